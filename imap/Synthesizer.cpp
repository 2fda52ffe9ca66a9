#include "imap/Synthesizer.h"

#include "imap/ImapException.h"
#include "imap/Lexer.h"

namespace {

bool hasLineBreakOrNul(const std::string& s)
{
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

void requireNoNul(const std::string& s)
{
    if (s.find('\0') != std::string::npos)
        throw ImapException("NUL byte in command parameter", 0);
}

void requireQuotable(const std::string& s)
{
    if (hasLineBreakOrNul(s))
        throw ImapException("Line break or NUL byte in quoted command parameter", 0);
}

// The LITERAL+ header "{n+}" CR LF at at; end is then the position after its
// LF and count its n.
bool literalHeaderAt(const std::string& s, std::size_t at, std::size_t& end, std::size_t& count)
{
    const std::size_t close = s.find_first_not_of("0123456789+", at + 1);
    if (close == std::string::npos || s.compare(close, 3, "}\r\n") != 0)
        return false;
    unsigned long n = 0;
    bool plus = false;
    if (!zelvo::mail::imap::parseLiteralCount(s.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                                              s.begin() + static_cast<std::ptrdiff_t>(close), n, plus) ||
        !plus)
        return false;
    end = close + 3;
    count = n;
    return true;
}

// Throws unless s stays inside the command line: no NUL anywhere, and CR or
// LF only in the counted bytes of a LITERAL+ literal that begins an item
// (at the start, after a blank or after "("), never in a quoted string.
// Quoted strings must close within s. With openHeader, s may end in the
// header of a literal whose bytes follow it on the wire.
void requireInline(const std::string& s, bool openHeader)
{
    requireNoNul(s);
    bool quoted = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (quoted) {
            if (c == '\\' && i + 1 < s.size() && s[i + 1] != '\r' && s[i + 1] != '\n')
                ++i;
            else if (c == '"')
                quoted = false;
            else if (c == '\r' || c == '\n')
                break;
            continue;
        }
        if (c == '"') {
            quoted = true;
            continue;
        }
        std::size_t end = 0;
        std::size_t count = 0;
        if (c == '{' && (i == 0 || s[i - 1] == ' ' || s[i - 1] == '(') && literalHeaderAt(s, i, end, count)) {
            if (end == s.size() && openHeader)
                return;
            if (s.size() - end < count)
                throw ImapException("Literal longer than its command parameter", 0);
            i = end + count - 1;
            continue;
        }
        if (c == '\r' || c == '\n')
            throw ImapException("Line break in command parameter", 0);
    }
    if (quoted)
        throw ImapException("Line break or open quoted string in command parameter", 0);
}

void appendQuoted(std::string& target, const std::string& s)
{
    target += '"';
    target += zelvo::mail::escapeQuotationMarks(s);
    target += '"';
}

// A parenthesised list, every item checked before any is written.
void appendList(std::string& target, const std::vector<std::string>& items, bool quoted)
{
    for (const std::string& item : items)
        requireQuotable(item);
    Synthesizer::addSpace(target);
    target += '(';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i)
            target += ' ';
        if (quoted)
            appendQuoted(target, items[i]);
        else
            target += items[i];
    }
    target += ')';
}

struct ExtensionWord {
    unsigned bit;
    const char* word;
    const char* flag;
};

const ExtensionWord extensionWords[] = {
    {ListExtension::Contact, "X-CONTACT", "\\ZelvoContact"},
    {ListExtension::Calendar, "X-CALENDAR", "\\ZelvoCalendar"},
    {ListExtension::Todo, "X-TODO", "\\ZelvoTodo"},
    {ListExtension::Journal, "X-JOURNAL", "\\ZelvoJournal"},
    {ListExtension::Mail, "X-MAIL", "\\ZelvoMail"},
    {ListExtension::Mapi, "X-MAPI", "\\ZelvoMapi"},
    {ListExtension::Note, "X-NOTE", "\\ZelvoNote"},
    {ListExtension::Search, "X-SEARCH", "\\ZelvoSearch"},
};

} // namespace

namespace zelvo {
namespace mail {

std::string escapeQuotationMarks(const std::string& s)
{
    std::string out;
    out.reserve(s.size() + 8);
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

std::string literalPlus(const std::string& s)
{
    std::string out = "{" + std::to_string(s.size()) + "+}\r\n";
    out += s;
    return out;
}

} // namespace mail
} // namespace zelvo

std::string convertListExtension(unsigned bits)
{
    if ((bits & ListExtension::All) == ListExtension::All)
        return "X-ALL";
    for (const ExtensionWord& e : extensionWords)
        if (bits & e.bit)
            return e.word;
    return std::string();
}

unsigned convertListExtension(const std::string& flags)
{
    unsigned bits = 0;
    for (const ExtensionWord& e : extensionWords)
        if (flags.find(e.flag) != std::string::npos)
            bits |= e.bit;
    if (flags.find("\\Noselect") != std::string::npos)
        bits |= ListExtension::NoSelect;
    return bits;
}

void Synthesizer::addSpace(std::string& target)
{
    if (!target.empty())
        target += ' ';
}

void Synthesizer::addParam(std::string& target, const std::string& p)
{
    requireInline(p, true);
    addSpace(target);
    target += p;
}

void Synthesizer::addParam(unsigned n)
{
    addSpace(text);
    text += std::to_string(n);
}

void Synthesizer::addParamString(std::string& target, const std::string& s)
{
    requireQuotable(s);
    addSpace(target);
    appendQuoted(target, s);
}

void Synthesizer::addParamStringEx(std::string& target, const std::string& s)
{
    requireNoNul(s);
    addSpace(target);
    target += zelvo::mail::literalPlus(s);
}

void Synthesizer::addParamVector(std::string& target, const std::string& s)
{
    requireInline(s, false);
    addSpace(target);
    target += '(';
    target += s;
    target += ')';
}

void Synthesizer::addParamVector(std::string& target, const std::vector<std::string>& items)
{
    appendList(target, items, false);
}

void Synthesizer::addParamVectorString(std::string& target, const std::vector<std::string>& items)
{
    appendList(target, items, true);
}
