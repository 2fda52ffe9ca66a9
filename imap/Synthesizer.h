#pragma once

#include <string>
#include <vector>

namespace zelvo {
namespace mail {

// s with a backslash before every double quote and every backslash.
std::string escapeQuotationMarks(const std::string& s);

// The LITERAL+ form of s: "{" byte count "+}" CR LF, then s itself.
std::string literalPlus(const std::string& s);

} // namespace mail
} // namespace zelvo

// Folder-type bits of the CREATE extension list and of LIST flags.
struct ListExtension {
    enum : unsigned {
        Contact = 1,
        Calendar = 2,
        Todo = 4,
        Journal = 8,
        Mail = 16,
        Mapi = 32,
        Note = 64,
        Search = 128,
        All = 0x7fff,
        NoSelect = 0x10000,
    };
};

// The CREATE word of the lowest known type bit ("X-ALL" when all of the low
// 15 bits are set); empty when no type bit is set.
std::string convertListExtension(unsigned bits);

// The bits of every LIST flag found (case-sensitive) in a flag text.
unsigned convertListExtension(const std::string& flags);

// Builds one command line. Every add operation puts one blank before its item
// when the text it writes to is not empty; append never does.
//
// No value that would end the command line early ever goes out: a quoted
// string or list item holding CR, LF or NUL, a literal holding NUL, and a
// plain parameter or list text holding NUL, or CR or LF anywhere but in the
// counted bytes of a LITERAL+ literal that begins an item (a plain parameter
// may end in such a header, its bytes following on the wire), or a quoted
// string left open, throw ImapException (code 0) and leave the text
// unchanged. A line end in the text thus always belongs to a LITERAL+
// literal.
class Synthesizer {
public:
    std::string& get() { return text; }
    const std::string& get() const { return text; }
    void append(const std::string& s) { text += s; }
    void clear() { text.clear(); }

    static void addSpace(std::string& target);

    void addParam(const std::string& p) { addParam(text, p); }
    static void addParam(std::string& target, const std::string& p);
    void addParam(unsigned n);

    // Quoted string with every double quote and backslash escaped, so the
    // server reads back exactly s (the lexer undoes the same escapes).
    void addParamString(const std::string& s) { addParamString(text, s); }
    static void addParamString(std::string& target, const std::string& s);

    // Non-synchronizing literal (literalPlus).
    void addParamStringEx(const std::string& s) { addParamStringEx(text, s); }
    static void addParamStringEx(std::string& target, const std::string& s);

    // "(" s ")" with s unchanged.
    void addParamVector(const std::string& s) { addParamVector(text, s); }
    static void addParamVector(std::string& target, const std::string& s);

    // Parenthesised list of the items, unchanged or as quoted strings.
    void addParamVector(const std::vector<std::string>& items) { addParamVector(text, items); }
    static void addParamVector(std::string& target, const std::vector<std::string>& items);
    void addParamVectorString(const std::vector<std::string>& items) { addParamVectorString(text, items); }
    static void addParamVectorString(std::string& target, const std::vector<std::string>& items);

private:
    std::string text;
};
