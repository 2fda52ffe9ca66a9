#include "imap/FetchMessage.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

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
    bool plus = false;
    if (!zelvo::mail::imap::parseLiteralCount(line.begin() + static_cast<std::ptrdiff_t>(open) + 1, line.end() - 3,
                                              count, plus))
        return LiteralHeader::Malformed;
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
        if (aborted && aborted())
            return connection.dropConnection("aborted while a literal was skipped");
        const unsigned want = static_cast<unsigned>(std::min<unsigned long>(count, FetchMessage::maxPartSize));
        scratch.clear();
        if (connection.recvData(scratch, want) != want)
            return connection.dropConnection("the data ended inside a literal");
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

// A FETCH response's msg-att list (RFC 3501 7.4.2), read as items: a name
// (an atom with an optional section and partial), a blank and a value (a
// number, quoted string, parenthesised list, NIL or literal), the items
// separated by blanks and closed by ")" and the line end. The items come in
// any order and the server may add any it was not asked for: FLAGS and
// INTERNALDATE are kept in the FetchedItems given, BODY[] is reported, every
// other item is skipped with its value. Lines are fed in turn; a literal is
// reported so that its bytes are skipped (or, for the body, streamed) before
// the next line, which goes on where it stood.
class ItemReader {
public:
    enum class Step { Continue, Done, Literal, Body, Wrong };

    // afterBody: the reader starts behind a body literal, where only ")" or
    // further items may follow. A BODY[] after a body is wrong: it means a
    // literal count ran on into the next message.
    ItemReader(FetchedItems& items, bool afterBody)
        : items(items), expect(afterBody ? Expect::BlankOrClose : Expect::NameOrClose), bodySeen(afterBody)
    {
    }

    // Done (the list is closed and the line ends), Literal (count in
    // literal; its bytes come next), Body (the body's literal header: its
    // bytes come next, and the rest of the list after them) or Wrong.
    Step feed(const std::string& line, std::size_t from, unsigned long& literal)
    {
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
            return Step::Wrong;
        text = &line;
        end = line.size() - 2;
        at = from;
        while (at < end) {
            const Step step = depth > 0 ? inList(literal) : inItems(literal);
            if (step != Step::Continue)
                return step;
        }
        return Step::Wrong; // the line ended before the list did
    }

private:
    enum class Expect { NameOrClose, BlankOrClose, Name, Value };
    enum class Kind { Other, Flags, Date, Body };
    // Deeper nesting than any real response has: a malformed one.
    static constexpr unsigned maxDepth = 64;

    char c() const { return (*text)[at]; }

    Step inItems(unsigned long& literal)
    {
        switch (expect) {
        case Expect::NameOrClose:
            if (c() == ')')
                return at + 1 == end ? Step::Done : Step::Wrong;
            expect = Expect::Name;
            return Step::Continue;
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
            return value(literal);
        }
        return Step::Wrong;
    }

    Step value(unsigned long& literal)
    {
        if (c() == '(') {
            ++at;
            depth = 1;
            flagsInList = kind == Kind::Flags;
            listFlagBits = 0;
            return Step::Continue;
        }
        if (c() == '"') {
            if (kind == Kind::Date) {
                std::string date;
                bool fits = true;
                if (!quoted(&date, internalDateLength, fits))
                    return Step::Wrong;
                keepDate(fits ? date : std::string());
                return Step::Continue;
            }
            if (kind == Kind::Body) {
                bool fits = true;
                items.quotedBody.clear();
                if (!quoted(&items.quotedBody, std::string::npos, fits))
                    return Step::Wrong;
                items.body = FetchedItems::Body::Quoted;
                return Step::Continue;
            }
            bool fits = true;
            return quoted(nullptr, 0, fits) ? Step::Continue : Step::Wrong;
        }
        if (c() == '{') {
            const Step step = literalHeader(literal);
            if (step == Step::Literal && kind == Kind::Body) {
                items.body = FetchedItems::Body::Literal;
                items.bodySize = literal;
                return Step::Body;
            }
            return step;
        }
        if (isDigit(c())) {
            while (at < end && isDigit(c()))
                ++at;
            return Step::Continue;
        }
        if (end - at >= 3 && zelvo::utils::iEqual(text->substr(at, 3), "NIL")) {
            at += 3;
            if (kind == Kind::Date)
                keepDate(std::string());
            if (kind == Kind::Body)
                items.body = FetchedItems::Body::Nil;
            return Step::Continue;
        }
        return Step::Wrong;
    }

    // A later INTERNALDATE replaces an earlier one; text that is no
    // date-time is no date.
    void keepDate(const std::string& date)
    {
        items.hasDate = isInternalDate(date);
        items.date = items.hasDate ? date : std::string();
    }

    Step inList(unsigned long& literal)
    {
        switch (c()) {
        case ')':
            ++at;
            if (--depth == 0) {
                expect = Expect::BlankOrClose;
                if (flagsInList) {
                    items.flagBits = listFlagBits;
                    items.hasFlags = true;
                }
            }
            return Step::Continue;
        case '(':
            ++at;
            flagsInList = false; // a flag list holds only flags
            return ++depth > maxDepth ? Step::Wrong : Step::Continue;
        case ' ':
            ++at;
            return Step::Continue;
        case '"': {
            flagsInList = false;
            bool fits = true;
            return quoted(nullptr, 0, fits) ? Step::Continue : Step::Wrong;
        }
        case '{':
            flagsInList = false;
            return literalHeader(literal);
        default: {
            if (!isListWordChar(c()))
                return Step::Wrong;
            const std::size_t start = at;
            while (at < end && isListWordChar(c()))
                ++at;
            if (flagsInList)
                listFlagBits |= systemFlagBits(text->substr(start, at - start));
            return Step::Continue;
        }
        }
    }

    // An item name and the blank after it: an atom beginning with a letter,
    // an optional section "[...]" and partial "<n>" or "<n.m>".
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
        const std::string word = text->substr(start, at - start);
        kind = Kind::Other;
        if (zelvo::utils::iEqual(word, "FLAGS")) {
            kind = Kind::Flags;
        } else if (zelvo::utils::iEqual(word, "INTERNALDATE")) {
            kind = Kind::Date;
        } else if (zelvo::utils::iEqual(word, "BODY[]")) {
            if (bodySeen)
                return false;
            bodySeen = true;
            kind = Kind::Body;
        }
        ++at;
        return true;
    }

    // A quoted string; its content (escapes undone) goes to out when given,
    // as long as it stays within limit bytes (fits false beyond).
    bool quoted(std::string* out, std::size_t limit, bool& fits)
    {
        for (++at; at < end; ++at) {
            char ch = c();
            if (ch == '"') {
                ++at;
                return true;
            }
            if (ch == '\\') {
                if (at + 1 >= end || ((*text)[at + 1] != '"' && (*text)[at + 1] != '\\'))
                    return false;
                ch = (*text)[++at];
            } else if (ch == '\r' || ch == '\n' || ch == '\0') {
                return false;
            }
            if (out && fits) {
                if (out->size() < limit)
                    *out += ch;
                else
                    fits = false;
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
        bool plus = false;
        if (!zelvo::mail::imap::parseLiteralCount(text->begin() + static_cast<std::ptrdiff_t>(at) + 1,
                                                  text->begin() + static_cast<std::ptrdiff_t>(end) - 1, value, plus) ||
            plus)
            return Step::Wrong;
        at = end;
        literal = value;
        return Step::Literal;
    }

    FetchedItems& items;
    const std::string* text = nullptr;
    std::size_t at = 0;
    std::size_t end = 0;
    Expect expect;
    Kind kind = Kind::Other;
    unsigned depth = 0;
    bool bodySeen;
    // The list being read is a FLAGS value of flags only so far.
    bool flagsInList = false;
    unsigned listFlagBits = 0;
};

// Feeds line from from on to reader, with the lines that follow on
// connection, skipping the literals of the list, until Done or Body. Wrong,
// an ended stream or aborted firing while a literal is skipped close the
// connection and give Wrong.
ItemReader::Step readItems(ConnectionInternal& connection, ItemReader& reader, std::string line, std::size_t from,
                           unsigned long& bodySize, const AbortCheck& aborted)
{
    for (;;) {
        unsigned long count = 0;
        const ItemReader::Step step = reader.feed(line, from, count);
        switch (step) {
        case ItemReader::Step::Done:
            return step;
        case ItemReader::Step::Body:
            bodySize = count;
            return step;
        case ItemReader::Step::Literal:
            break;
        default:
            connection.dropConnection("a FETCH response that cannot be read");
            return ItemReader::Step::Wrong;
        }
        if (!skipBytes(connection, count, aborted))
            return ItemReader::Step::Wrong;
        connection.recvLine(line);
        from = 0;
    }
}

// Reads the rest of a FETCH response after a body, line being the line that
// follows the body bytes, with the literals it holds. False, with the
// connection closed, when it is not the rest of an item list, the stream
// ends, or aborted fires while a literal is skipped.
bool finishItemList(ConnectionInternal& connection, std::string line, const AbortCheck& aborted)
{
    FetchedItems ignored;
    ItemReader rest(ignored, true);
    unsigned long bodySize = 0;
    return readItems(connection, rest, std::move(line), 0, bodySize, aborted) == ItemReader::Step::Done;
}

} // namespace

namespace {

// "* n " with n a 32-bit number: the position after the blanks that follow
// n, 0 for any other start.
std::size_t afterMessageNumber(const std::string& line, unsigned long& number)
{
    if (line.compare(0, 2, "* ") != 0)
        return 0;
    std::size_t p = line.find_first_not_of(' ', 2);
    if (p == std::string::npos || !isDigit(line[p]))
        return 0;
    const std::size_t digits = p;
    p = line.find_first_not_of("0123456789", p);
    if (p == std::string::npos || line[p] != ' ' || p - digits > 10)
        return 0;
    const unsigned long n = std::stoul(line.substr(digits, p - digits));
    if (n > 0xffffffffUL)
        return 0;
    p = line.find_first_not_of(' ', p);
    if (p == std::string::npos)
        return 0;
    number = n;
    return p;
}

} // namespace

std::size_t fetchItemsStart(const std::string& line, unsigned long& number)
{
    unsigned long n = 0;
    std::size_t p = afterMessageNumber(line, n);
    if (p == 0 || n == 0 || line.size() < p + 7 || !iEqual(line.substr(p, 5), "FETCH"))
        return 0;
    p = line.find_first_not_of(' ', p + 5);
    if (p == std::string::npos || line[p] != '(')
        return 0;
    number = n;
    return p + 1;
}

bool untaggedNumber(const std::string& line, const char* word, unsigned long& number)
{
    unsigned long n = 0;
    std::size_t p = afterMessageNumber(line, n);
    const std::size_t length = std::strlen(word);
    if (p == 0 || line.size() < p + length || !iEqual(line.substr(p, length), word))
        return false;
    p += length;
    if (line.compare(p, std::string::npos, "\r\n") != 0 && line.compare(p, std::string::npos, "\n") != 0)
        return false;
    number = n;
    return true;
}

bool readFetchItems(ConnectionInternal& connection, std::string line, std::size_t from, FetchedItems& items,
                    const AbortCheck& aborted)
{
    ItemReader reader(items, false);
    unsigned long bodySize = 0;
    return readItems(connection, reader, std::move(line), from, bodySize, aborted) != ItemReader::Step::Wrong;
}

FetchMessage::FetchMessage() : size(0), remaining(0), connection(nullptr) {}

FetchMessage::~FetchMessage() = default;

void FetchMessage::reset()
{
    date.clear();
    flags.clear();
    size = 0;
    remaining = 0;
    restPending = false;
    heldBody.clear();
    held = false;
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
    const unsigned want = std::min(remaining, maxPartSize);
    if (held) {
        part.assign(heldBody, size - remaining, want);
        remaining -= want;
        return true;
    }
    if (connection == nullptr)
        throw ImapConnectionFailed("Message has no source connection");
    const unsigned got = connection->recvData(part, want);
    if (got != want) {
        // Whatever arrives later belongs to a body the target will never
        // complete; the source is out of step.
        remaining = 0;
        restPending = false;
        connection->dropConnection("the data ended inside a message body");
        throw ImapConnectionFailed("Message body ended early");
    }
    remaining -= got;
    if (remaining > 0 || !restPending)
        return true;
    restPending = false;
    std::string line;
    connection->recvLine(line);
    if (!finishItemList(*connection, line, abortCheck))
        throw ImapConnectionFailed("Message response does not go on as its body count says");
    return true;
}

bool FetchMessage::skipRemaining()
{
    if (held) {
        remaining = 0;
        return true;
    }
    if (remaining == 0 && !restPending)
        return true;
    if (connection == nullptr)
        return false;
    try {
        unsigned long left = remaining;
        const bool skipped = skipBytes(*connection, left, abortCheck);
        remaining = static_cast<unsigned>(left);
        if (!skipped)
            return false;
        if (!restPending)
            return true;
        restPending = false;
        std::string line;
        connection->recvLine(line);
        return finishItemList(*connection, line, abortCheck);
    } catch (ImapException& e) {
        connection->dropConnection(e.what());
        return false;
    }
}

void FetchMessage::startBody(unsigned bodySize)
{
    heldBody.clear();
    held = false;
    size = remaining = bodySize;
    restPending = true;
}

void FetchMessage::setBody(std::string bytes)
{
    heldBody = std::move(bytes);
    held = true;
    size = remaining = static_cast<unsigned>(heldBody.size());
    restPending = false;
}

void FetchMessage::setDateAndFlags(const std::string& d, const std::string& f)
{
    date = d;
    flags = f;
}

bool FetchMessage::setSize(std::string text)
{
    if (text.size() < 5 || text[0] != '{' || text.compare(text.size() - 3, 3, "}\r\n") != 0)
        return false;
    unsigned long value = 0;
    bool plus = false;
    if (!zelvo::mail::imap::parseLiteralCount(text.begin() + 1, text.end() - 3, value, plus) || plus)
        return false;
    startBody(static_cast<unsigned>(value));
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

unsigned systemFlagBits(const std::string& list)
{
    unsigned bits = 0;
    std::istringstream words(list);
    for (std::string word; words >> word;)
        for (int i = 0; i < StdImapFlagCount; ++i)
            if (iEqual(word, StdImapFlag[i]))
                bits |= 1u << i;
    return bits;
}

std::string systemFlagsText(unsigned bits)
{
    std::string result;
    for (int i = 0; i < StdImapFlagCount; ++i) {
        if ((bits & (1u << i)) == 0)
            continue;
        if (!result.empty())
            result += ' ';
        result += StdImapFlag[i];
    }
    return result;
}

std::string removeNonStandartFlags(const std::string& list)
{
    return systemFlagsText(systemFlagBits(list));
}

bool loadFetchResponse(const std::string& line, FetchMessage& message)
{
    message.reset();
    unsigned long number = 0;
    const std::size_t from = fetchItemsStart(line, number);
    if (from == 0)
        return false;
    return loadFetchResponseInsideInfo(line.substr(from), message);
}

bool loadFetchResponseInsideInfo(const std::string& items, FetchMessage& message)
{
    FetchedItems fetched;
    ItemReader reader(fetched, false);
    unsigned long size = 0;
    if (reader.feed(items, 0, size) != ItemReader::Step::Body || size == 0)
        return false;
    message.setDateAndFlags(fetched.hasDate ? fetched.date : std::string(),
                            fetched.hasFlags ? systemFlagsText(fetched.flagBits) : std::string());
    message.startBody(static_cast<unsigned>(size));
    return true;
}

bool skipResponseLiterals(ConnectionInternal& connection, std::string line, const AbortCheck& aborted)
{
    for (;;) {
        unsigned long count = 0;
        switch (literalAtEnd(line, count)) {
        case LiteralHeader::None:
            return true;
        case LiteralHeader::Malformed:
            return connection.dropConnection("a literal count that cannot be skipped");
        case LiteralHeader::Ok:
            break;
        }
        if (!skipBytes(connection, count, aborted))
            return false;
        connection.recvLine(line);
        if (line.empty())
            return connection.dropConnection("silent after a literal");
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
