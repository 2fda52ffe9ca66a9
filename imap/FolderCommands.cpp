#include "imap/FolderCommands.h"

#include "foundation/text/Compare.h"
#include "imap/ImapException.h"
#include "imap/Lexer.h"
#include "imap/Parser.h"
#include "imap/ResponseResult.h"

namespace lex = zelvo::mail::imap;

namespace {

// Parses one untagged response; false for one the parser does not know
// ("* OK" without code, "* NO ...", "* ENABLED ..."), which the readers skip.
bool parseKnown(const std::string& response, ResponseResult& result)
{
    try {
        Parser(response).parseResponse(result);
        return true;
    } catch (const ImapParserException&) {
        return false;
    }
}

unsigned leadingNumber(const std::string& s)
{
    unsigned long long n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            break;
        n = n * 10 + static_cast<unsigned>(c - '0');
        if (n > 0xffffffffULL)
            return 0xffffffffU;
    }
    return static_cast<unsigned>(n);
}

} // namespace

CommandSelect::CommandSelect(ConnectionInternal& connection, const std::string& folder)
    : Command(connection, "SELECT")
{
    addParamString(folder);
}

CommandCreate::CommandCreate(ConnectionInternal& connection, const std::string& folder, unsigned typeBits,
                             const std::string& guid)
    : Command(connection, "CREATE")
{
    if (guid.find_first_of(std::string("\"\\\r\n\0", 5)) != std::string::npos)
        throw ImapException("GUID cannot be quoted", 0);
    if (typeBits != 0 || !guid.empty()) {
        std::string list = "(";
        if (typeBits != 0)
            list += convertListExtension(typeBits);
        if (!guid.empty()) {
            if (typeBits != 0)
                list += ' ';
            list += "GUID \"" + guid + "\"";
        }
        list += ')';
        addParam(list);
    }
    addParamString(folder);
}

CommandList::CommandList(ConnectionInternal& connection, const std::string& reference, const std::string& pattern)
    : Command(connection, "LIST")
{
    addParamString(reference);
    addParamString(pattern);
}

int CommandList::getList(std::vector<FolderListEntry>& out, bool checkSelectable)
{
    out.clear();
    out.reserve(untaggedResponses.size());
    int count = 0;
    for (const std::string& response : untaggedResponses) {
        ResponseResult result;
        if (!parseKnown(response, result))
            continue;
        if (result.type != ImapResponseList && result.type != ImapResponseLsub)
            continue;
        Parser fields(result.string);
        std::string attributes;
        std::string delimiter;
        FolderListEntry entry;
        fields.getNode(attributes);
        fields.getNode(delimiter);
        fields.getMailbox(entry.name);
        // A \NonExistent name (RFC 5258) is no mailbox either.
        if (checkSelectable && (zelvo::utils::iFind(attributes, std::string("\\NoSelect")) != attributes.end() ||
                                zelvo::utils::iFind(attributes, std::string("\\NonExistent")) != attributes.end()))
            entry.selectable = false;
        out.push_back(entry);
        ++count;
    }
    return count;
}

CommandStatus::CommandStatus(ConnectionInternal& connection, const std::string& folder)
    : Command(connection, "STATUS")
{
    addParamString(folder);
    addParam("(MESSAGES)");
}

unsigned CommandStatus::getMessagesCount()
{
    unsigned count = 0;
    findMessagesCount(count);
    return count;
}

bool CommandStatus::findMessagesCount(unsigned& count)
{
    for (const std::string& response : untaggedResponses) {
        ResponseResult result;
        if (!parseKnown(response, result) || result.type != ImapResponseStatus)
            continue;
        return parseStatusMessages(result.string, count);
    }
    return false;
}

unsigned parseStatusMessages(std::string statusText)
{
    unsigned count = 0;
    parseStatusMessages(statusText, count);
    return count;
}

bool parseStatusMessages(const std::string& statusText, unsigned& count)
{
    // The item list is the last parenthesised group of the text, so a name
    // sent unquoted with blanks ("Sent Messages") does not hide it.
    std::string::const_iterator position = statusText.begin();
    std::string node;
    std::string items;
    bool found = false;
    lex::readAString(statusText, position, node);
    while (lex::skipSpace(statusText, position)) {
        const char open = *position;
        if (open == '(' || open == '[') {
            lex::readParenthesis(statusText, position, open, open == '(' ? ')' : ']', node);
            if (open == '(' && !node.empty()) {
                items = node.substr(1, node.size() - 2);
                found = true;
            }
        } else {
            lex::readString(statusText, position, node);
        }
    }
    if (!found)
        return false;
    Parser pairs(items);
    std::string key;
    std::string value;
    pairs.getNode(key);
    pairs.getNode(value);
    if (!zelvo::utils::iEqual(key, "MESSAGES") || value.empty() || !Parser::isNumber(value))
        return false;
    count = leadingNumber(value);
    return true;
}
