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

// Reads and drops count bytes in parts, counting count down; false
// (connection closed) when they do not all arrive or aborted fires before a
// part.
bool skipBytes(ConnectionInternal& connection, unsigned long& count, const AbortCheck& aborted)
{
    std::string scratch;
    scratch.reserve(FetchMessage::maxPartSize);
    while (count > 0) {
        if (aborted && aborted()) {
            connection.close();
            return false;
        }
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

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// ATOM-CHAR of RFC 3501 without "[" (a name's section is read apart).
bool isNameChar(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && std::strchr("(){%*\"\\][", c) == nullptr;
}

// A word inside a list value: flags such as \Seen or $Label, NIL, numbers.
bool isListWordChar(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7f && std::strchr("(){\"", c) == nullptr;
}

// The rest of a FETCH response after a body literal, read as the rest of its
// msg-att list: ")" and the line end, or blank-separated items (a name, then
// a number, quoted string, parenthesised list, NIL or literal) and then ")"
// and the line end. Lines are fed in turn; a literal is reported so that its
// bytes are skipped before the next line, which goes on where it stood.
class ItemListRest {
public:
    enum class Step { Continue, Done, Literal, Wrong };

    // Done, Literal (its count in literal) or Wrong.
    Step feed(const std::string& line, unsigned long& literal)
    {
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
            return Step::Wrong;
        text = &line;
        end = line.size() - 2;
        at = 0;
        while (at < end) {
            const Step step = depth > 0 ? inList(literal) : inItems(literal);
            if (step != Step::Continue)
                return step;
        }
        return Step::Wrong; // the line ended before the list did
    }

private:
    enum class Expect { BlankOrClose, Name, Value };
    // Deeper nesting than any real response has: a malformed one.
    static constexpr unsigned maxDepth = 64;

    char c() const { return (*text)[at]; }

    Step inItems(unsigned long& literal)
    {
        switch (expect) {
        case Expect::BlankOrClose:
            if (c() == ' ') {
                ++at;
                expect = Expect::Name;
                return Step::Continue;
            }
            return c() == ')' && at + 1 == end ? Step::Done : Step::Wrong;
        case Expect::Name:
            if (!name())
                return Step::Wrong;
            expect = Expect::Value;
            return Step::Continue;
        case Expect::Value:
            expect = Expect::BlankOrClose;
            if (c() == '(') {
                ++at;
                depth = 1;
            } else if (c() == '"') {
                if (!quoted())
                    return Step::Wrong;
            } else if (c() == '{') {
                return literalHeader(literal);
            } else if (isDigit(c())) {
                while (at < end && isDigit(c()))
                    ++at;
            } else if (end - at >= 3 && zelvo::utils::iEqual(text->substr(at, 3), "NIL")) {
                at += 3;
            } else {
                return Step::Wrong;
            }
            return Step::Continue;
        }
        return Step::Wrong;
    }

    Step inList(unsigned long& literal)
    {
        switch (c()) {
        case ')':
            ++at;
            if (--depth == 0)
                expect = Expect::BlankOrClose;
            return Step::Continue;
        case '(':
            ++at;
            return ++depth > maxDepth ? Step::Wrong : Step::Continue;
        case ' ':
            ++at;
            return Step::Continue;
        case '"':
            return quoted() ? Step::Continue : Step::Wrong;
        case '{':
            return literalHeader(literal);
        default:
            if (!isListWordChar(c()))
                return Step::Wrong;
            while (at < end && isListWordChar(c()))
                ++at;
            return Step::Continue;
        }
    }

    // An item name and the blank after it: an atom beginning with a letter,
    // an optional section "[...]" and partial "<n>" or "<n.m>". A second
    // BODY[] in one response means the count ran on into the next message.
    bool name()
    {
        const std::size_t start = at;
        if (!isAlpha(c()))
            return false;
        while (at < end && isNameChar(c()))
            ++at;
        if (at < end && c() == '[') {
            const std::size_t close = text->find(']', at);
            if (close == std::string::npos || close >= end || text->find('\r', at) < close)
                return false;
            at = close + 1;
            if (at < end && c() == '<') {
                const std::size_t digits = ++at;
                while (at < end && (isDigit(c()) || c() == '.'))
                    ++at;
                if (at == digits || at >= end || c() != '>')
                    return false;
                ++at;
            }
        }
        if (at >= end || c() != ' ')
            return false;
        if (zelvo::utils::iEqual(text->substr(start, at - start), "BODY[]"))
            return false;
        ++at;
        return true;
    }

    bool quoted()
    {
        for (++at; at < end; ++at) {
            if (c() == '"') {
                ++at;
                return true;
            }
            if (c() == '\\') {
                if (at + 1 >= end || ((*text)[at + 1] != '"' && (*text)[at + 1] != '\\'))
                    return false;
                ++at;
            } else if (c() == '\r' || c() == '\n' || c() == '\0') {
                return false;
            }
        }
        return false;
    }

    // "{n}" must end the line; its count within the lexer's limit.
    Step literalHeader(unsigned long& literal)
    {
        if (end - at < 3 || (*text)[end - 1] != '}')
            return Step::Wrong;
        unsigned long value = 0;
        for (std::size_t i = at + 1; i + 1 < end; ++i) {
            if (!isDigit((*text)[i]))
                return Step::Wrong;
            value = value * 10 + static_cast<unsigned long>((*text)[i] - '0');
            if (value > zelvo::mail::imap::maxLiteralCount)
                return Step::Wrong;
        }
        at = end;
        literal = value;
        return Step::Literal;
    }

    const std::string* text = nullptr;
    std::size_t at = 0;
    std::size_t end = 0;
    Expect expect = Expect::BlankOrClose;
    unsigned depth = 0;
};

// Reads the rest of a FETCH response after a body, line being the line that
// follows the body bytes, with the literals it holds. False, with the
// connection closed, when it is not the rest of an item list, the stream
// ends, or aborted fires while a literal is skipped.
bool finishItemList(ConnectionInternal& connection, std::string line, const AbortCheck& aborted)
{
    ItemListRest rest;
    for (;;) {
        unsigned long count = 0;
        switch (rest.feed(line, count)) {
        case ItemListRest::Step::Done:
            return true;
        case ItemListRest::Step::Literal:
            break;
        default:
            connection.close();
            return false;
        }
        if (!skipBytes(connection, count, aborted))
            return false;
        connection.recvLine(line);
    }
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
    dateGiven = false;
    flagsGiven = false;
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
    if (!finishItemList(*connection, line, abortCheck))
        throw ImapConnectionFailed("Message response does not go on as its body count says");
    return true;
}

bool FetchMessage::skipRemaining()
{
    if (remaining == 0)
        return true;
    if (connection == nullptr)
        return false;
    try {
        unsigned long left = remaining;
        const bool skipped = skipBytes(*connection, left, abortCheck);
        remaining = static_cast<unsigned>(left);
        if (!skipped)
            return false;
        std::string line;
        connection->recvLine(line);
        return finishItemList(*connection, line, abortCheck);
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
    flagsGiven = true;
    return true;
}

FetchedItems FetchMessage::getItems() const
{
    FetchedItems items;
    items.date = date;
    items.flags = flags;
    items.hasDate = dateGiven;
    items.hasFlags = flagsGiven;
    return items;
}

void FetchMessage::addMissingItems(const FetchedItems& earlier)
{
    if (!dateGiven && earlier.hasDate) {
        date = earlier.date;
        dateGiven = true;
    }
    if (!flagsGiven && earlier.hasFlags) {
        flags = earlier.flags;
        flagsGiven = true;
    }
}

void FetchedItems::update(const FetchedItems& later)
{
    if (later.hasDate) {
        date = later.date;
        hasDate = true;
    }
    if (later.hasFlags) {
        flags = later.flags;
        hasFlags = true;
    }
}

bool FetchMessage::setData(const std::string& name, const std::string& value)
{
    if (iEqual(name, "INTERNALDATE")) {
        date = value;
        dateGiven = true;
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

bool skipResponseLiterals(ConnectionInternal& connection, std::string line, const AbortCheck& aborted)
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
        if (!skipBytes(connection, count, aborted))
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
