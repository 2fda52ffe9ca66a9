#include "imap/CommandAppend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "foundation/text/Compare.h"
#include "imap/FetchMessage.h"
#include "imap/ImapException.h"
#include "imap/Parser.h"
#include "imap/ResponseResult.h"

namespace {

// The system flags a client may set (RFC 3501); \Recent is the server's.
const char* const settableSystemFlags[] = {"\\Answered", "\\Flagged", "\\Deleted", "\\Seen", "\\Draft"};

// ATOM-CHAR of RFC 3501: printable ASCII but the atom-specials.
bool isAtomChar(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && std::strchr("(){%*\"\\]", c) == nullptr;
}

// A settable system flag in any letter case, or a keyword atom. A server
// answers any other flag with BAD before it reads the literal, and would
// then take the message's lines for commands.
bool isAppendableFlag(const std::string& flag)
{
    if (!flag.empty() && flag[0] == '\\')
        return std::any_of(std::begin(settableSystemFlags), std::end(settableSystemFlags),
                           [&](const char* system) { return zelvo::utils::iEqual(flag, system); });
    return !flag.empty() && std::all_of(flag.begin(), flag.end(), isAtomChar);
}

void requireAppendableFlags(const std::string& flags)
{
    std::size_t pos = 0;
    while (pos < flags.size()) {
        std::size_t end = flags.find(' ', pos);
        if (end == std::string::npos)
            end = flags.size();
        if (end > pos && !isAppendableFlag(flags.substr(pos, end - pos)))
            throw ImapException("APPEND flag is neither a settable system flag nor an atom", 0);
        pos = end + 1;
    }
}

} // namespace

CommandAppend::CommandAppend(ConnectionInternal& connection, const std::string& folder,
                             const std::string& flags, const std::string& date, unsigned size,
                             bool xAppend)
    : Command(connection, xAppend ? "X-APPEND" : "APPEND")
{
    params(folder, flags, date);
    addParam("{" + std::to_string(size) + "+}\r\n");
}

void CommandAppend::params(const std::string& folder, const std::string& flags, const std::string& date)
{
    requireAppendableFlags(flags);
    addParamString(folder);
    if (!flags.empty())
        addParamVector(flags);
    if (!date.empty() && isInternalDate(date))
        addParamString(date);
}

unsigned long CommandAppend::getUid() const
{
    ResponseResult result;
    Parser parser(taggedResponse);
    parser.parseResponse(result);
    std::string code = result.getCode();
    if (code.size() < 2)
        return 0;
    code = code.substr(1, code.size() - 2);
    Parser words(code);
    std::string name, validity, uid;
    if (!words.getNode(name) || !words.getNode(validity) || !words.getNode(uid) || uid.empty())
        return 0;
    return std::strtoul(uid.c_str(), nullptr, 10);
}
