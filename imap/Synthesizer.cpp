#include "imap/Synthesizer.h"

#include "imap/ImapException.h"

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
    requireNoNul(p);
    // A plain parameter may end in the CR LF of a literal header ("{n+}"),
    // which the command layer relies on; no other line break may appear.
    std::string::size_type body = p.size();
    if (body >= 3 && p.compare(body - 3, 3, "}\r\n") == 0)
        body -= 2;
    if (p.find_first_of("\r\n") < body)
        throw ImapException("Line break in command parameter", 0);
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
    requireNoNul(s);
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
