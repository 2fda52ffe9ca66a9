#include "imap/CommandAppend.h"

#include <cstdlib>

#include "imap/FetchMessage.h"
#include "imap/Parser.h"
#include "imap/ResponseResult.h"

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
