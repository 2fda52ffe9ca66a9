#include "imap/FetchMessage.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "foundation/text/Compare.h"
#include "imap/ConnectionInternal.h"
#include "imap/ImapException.h"
#include "imap/Lexer.h"
#include "imap/Parser.h"
#include "imap/ResponseResult.h"

using zelvo::utils::iEqual;
using zelvo::utils::iFind;

namespace {

enum class LiteralHeader { None, Ok, Malformed };

// Whether line ends with a literal header "{n}" CR LF, and its count. A
// count that is not a plain decimal number within the lexer's limit is
// Malformed: the bytes that follow cannot be skipped safely.
LiteralHeader literalAtEnd(const std::string& line, unsigned long& count)
{
    const std::size_t n = line.size();
    if (n < 5 || line.compare(n - 3, 3, "}\r\n") != 0)
        return LiteralHeader::None;
    const std::size_t open = line.rfind('{', n - 3);
    if (open == std::string::npos)
        return LiteralHeader::None;
    std::size_t end = n - 3;
    if (end > open + 1 && line[end - 1] == '+')
        --end;
    if (end == open + 1)
        return LiteralHeader::Malformed;
    unsigned long value = 0;
    for (std::size_t i = open + 1; i < end; ++i) {
        const char c = line[i];
        if (c < '0' || c > '9')
            return LiteralHeader::Malformed;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > zelvo::mail::imap::maxLiteralCount)
            return LiteralHeader::Malformed;
    }
    count = value;
    return LiteralHeader::Ok;
}

// Reads and drops count bytes; false (connection closed) when they do not
// all arrive.
bool skipBytes(ConnectionInternal& connection, unsigned long count)
{
    std::string scratch;
    scratch.reserve(FetchMessage::maxPartSize);
    while (count > 0) {
        const unsigned want = static_cast<unsigned>(std::min<unsigned long>(count, FetchMessage::maxPartSize));
        scratch.clear();
        if (connection.recvData(scratch, want) != want) {
            connection.close();
            return false;
        }
        count -= want;
    }
    return true;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The line after a body literal continues the FETCH item list: a blank
// before the next item or the closing parenthesis. Anything else (the next
// response, a tagged line, a bare line end) means the literal count did not
// match the bytes the server sent: the body is not the message.
bool continuesItemList(const std::string& line)
{
    return !line.empty() && (line[0] == ')' || line[0] == ' ');
}

} // namespace

FetchMessage::FetchMessage() : size(0), remaining(0), connection(nullptr) {}

FetchMessage::~FetchMessage() = default;

void FetchMessage::reset()
{
    date.clear();
    flags.clear();
    size = 0;
    remaining = 0;
}

bool FetchMessage::getFirstDataPart(std::string& part)
{
    return getNextDataPart(part);
}

bool FetchMessage::getNextDataPart(std::string& part)
{
    part.clear();
    if (remaining == 0)
        return false;
    if (connection == nullptr)
        throw ImapConnectionFailed("Message has no source connection");
    const unsigned want = std::min(remaining, maxPartSize);
    const unsigned got = connection->recvData(part, want);
    if (got != want) {
        // Whatever arrives later belongs to a body the target will never
        // complete; the source is out of step.
        remaining = 0;
        connection->close();
        throw ImapConnectionFailed("Message body ended early");
    }
    remaining -= got;
    if (remaining > 0)
        return true;
    std::string line;
    connection->recvLine(line);
    if (!continuesItemList(line) || !skipResponseLiterals(*connection, line)) {
        connection->close();
        throw ImapConnectionFailed("Message response ended early");
    }
    return true;
}

bool FetchMessage::skipRemaining()
{
    if (remaining == 0)
        return true;
    if (connection == nullptr)
        return false;
    const unsigned left = remaining;
    remaining = 0;
    try {
        if (!skipBytes(*connection, left))
            return false;
        std::string line;
        connection->recvLine(line);
        if (!continuesItemList(line)) {
            connection->close();
            return false;
        }
        return skipResponseLiterals(*connection, line);
    } catch (ImapException&) {
        connection->close();
        return false;
    }
}

bool FetchMessage::setSize(std::string text)
{
    if (text.size() < 5 || text[0] != '{')
        return false;
    text.erase(0, 1);
    if (text.compare(text.size() - 3, 3, "}\r\n") != 0)
        return false;
    text.erase(text.size() - 3);
    if (text.empty() || !std::all_of(text.begin(), text.end(), isDigit))
        return false;
    unsigned long value = 0;
    for (char c : text) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > zelvo::mail::imap::maxLiteralCount)
            return false;
    }
    size = remaining = static_cast<unsigned>(value);
    return value != 0;
}

bool FetchMessage::setFlags(std::string list)
{
    if (list.size() < 2 || list[0] != '(')
        return false;
    list.erase(0, 1);
    if (list.back() != ')')
        return false;
    list.pop_back();
    flags = removeNonStandartFlags(list);
    return true;
}

bool FetchMessage::setData(const std::string& name, const std::string& value)
{
    if (iEqual(name, "INTERNALDATE")) {
        date = value;
        return true;
    }
    if (iEqual(name, "FLAGS")) {
        setFlags(value);
        return true;
    }
    return false;
}

bool FetchMessage::parseResponse(const std::string& line)
{
    Parser parser(line);
    std::string node;
    if (!parser.getNode(node) || node != "*")
        return false;
    if (!parser.getNode(node) || !parser.getNode(node) || !iEqual(node, "FETCH"))
        return false;
    std::string rest;
    if (!parser.getRest(rest) || rest.empty())
        return false;
    rest.erase(0, 1);
    Parser items(rest);
    if (!items.getNode(node) || !iEqual(node, "BODY[]"))
        return false;
    std::string header;
    items.getRest(header);
    return setSize(header);
}

std::string removeNonStandartFlags(const std::string& list)
{
    std::string result;
    for (int i = 0; i < StdImapFlagCount; ++i) {
        const std::string flag(StdImapFlag[i]);
        if (iFind(list, flag) == list.end())
            continue;
        if (!result.empty())
            result += ' ';
        result += flag;
    }
    return result;
}

bool loadFetchResponse(const std::string& line, FetchMessage& message)
{
    message.reset();
    Parser parser(line);
    std::string node;
    if (!parser.getNode(node) || !iEqual(node, "*"))
        return false;
    if (!parser.getNode(node) || !parser.getNode(node) || !iEqual(node, "FETCH"))
        return false;
    std::string rest;
    if (!parser.getRest(rest) || rest.empty() || rest[0] != '(')
        return false;
    rest.erase(0, 1);
    return loadFetchResponseInsideInfo(rest, message);
}

bool loadFetchResponseInsideInfo(const std::string& items, FetchMessage& message)
{
    Parser parser(items);
    std::string node;
    std::string value;
    for (;;) {
        node.clear();
        if (!parser.getNode(node))
            break;
        if (iEqual(node, "INTERNALDATE")) {
            parser.getNodeData(value);
            message.setData(node, value);
        } else if (iEqual(node, "FLAGS")) {
            parser.getNode(value);
            message.setFlags(value);
        } else {
            break;
        }
    }
    if (!iEqual(node, "BODY[]"))
        return false;
    std::string rest;
    parser.getRest(rest);
    return message.setSize(rest);
}

bool skipResponseLiterals(ConnectionInternal& connection, std::string line)
{
    for (;;) {
        unsigned long count = 0;
        switch (literalAtEnd(line, count)) {
        case LiteralHeader::None:
            return true;
        case LiteralHeader::Malformed:
            connection.close();
            return false;
        case LiteralHeader::Ok:
            break;
        }
        if (!skipBytes(connection, count))
            return false;
        connection.recvLine(line);
        if (line.empty()) {
            connection.close();
            return false;
        }
    }
}

bool isInternalDate(const std::string& s)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // The day: two digits, a blank and a digit, or one digit.
    std::size_t p = 0;
    if (s.size() >= 2 && (isDigit(s[0]) || s[0] == ' ') && isDigit(s[1]))
        p = 2;
    else if (!s.empty() && isDigit(s[0]))
        p = 1;
    else
        return false;
    // "-Mon-yyyy hh:mm:ss +zzzz"
    if (s.size() != p + 24)
        return false;
    const char* shape = "-AAA-9999 99:99:99 +9999";
    for (std::size_t i = 0; i < 24; ++i) {
        const char c = s[p + i];
        switch (shape[i]) {
        case 'A':
            if (!std::isalpha(static_cast<unsigned char>(c)))
                return false;
            break;
        case '9':
            if (!isDigit(c))
                return false;
            break;
        case '+':
            if (c != '+' && c != '-')
                return false;
            break;
        default:
            if (c != shape[i])
                return false;
        }
    }
    const std::string month = s.substr(p + 1, 3);
    return std::any_of(std::begin(months), std::end(months),
                       [&month](const char* m) { return iEqual(month, m); });
}
