#pragma once

#include <string>

// Readers of the pieces of one IMAP response held in one string. The caller
// owns the read position; every failure is ImapParserException.
namespace zelvo {
namespace mail {
namespace imap {

using const_iterator = std::string::const_iterator;

// Longest literal the lexer accepts; larger counts are malformed.
constexpr unsigned long maxLiteralCount = 0x7fffffffUL;

// The count of a literal header, the text [first, last) between its "{" and
// "}": decimal digits, optionally followed by the "+" of LITERAL+ (plus
// tells which). False, count and plus unchanged, for no digit, any other
// character, or a count above maxLiteralCount. The one reader of literal
// counts: every caller decides itself whether the "+" is welcome.
bool parseLiteralCount(const_iterator first, const_iterator last, unsigned long& count, bool& plus);

// True when the text at pos begins with word (exact, case-sensitive); pos
// then moves past it. Nothing after the word is looked at.
bool testWord(const std::string& src, const_iterator& pos, const std::string& word);

// Moves over blanks (0x20 only); false when the end of the text was reached.
bool skipSpace(const std::string& src, const_iterator& pos);
// skipSpace, throwing "Space not presented" at the end of the text.
bool skipSpaceEx(const std::string& src, const_iterator& pos);

// First position at or after from holding c; end of text when none.
const_iterator findCharacter(const std::string& src, const const_iterator& from, char c);
// As findCharacter; none found throws "Character not found".
const_iterator findCharacterEx(const std::string& src, const const_iterator& from, char c);

// The position after at, which must hold c ("Bad " at the end, "Character
// different" for another character).
const_iterator testCharacter(const std::string& src, const const_iterator& at, char c);

// out = the n characters at pos (fewer left throws); pos is not moved.
void readNCharacters(const std::string& src, const_iterator& pos, int n, std::string& out);

// One string value: a quoted string (its \" and \\ escapes undone), a
// literal ({n} or {n+}, CR LF, n bytes), the word NIL (empty; testNil) or an
// atom (up to the next blank). False only when nothing but blanks is left.
bool readString(const std::string& src, const_iterator& pos, std::string& out);
bool skipString(const std::string& src, const_iterator& pos);

// One astring, the form of a mailbox name (RFC 3501): a quoted string, a
// literal, or an atom up to the next blank or the end, whatever characters
// it holds ("[Work]/Sub", "NILE", "NIL" are names). False only when nothing
// but blanks is left.
bool readAString(const std::string& src, const_iterator& pos, std::string& out);

// True when the text at pos is the word NIL, that is followed by a blank,
// ")", "]" or the end; pos then moves past the three letters. "NILE" is no NIL.
bool testNil(const std::string& src, const_iterator& pos);

// One bracketed group with its nesting, brackets included, or NIL (empty).
// Brackets inside quoted strings and literals do not count.
bool readParenthesis(const std::string& src, const_iterator& pos, char open, char close, std::string& out);

// Removes the first and last character of a text of two characters or more.
void trim(std::string& s);

} // namespace imap
} // namespace mail
} // namespace zelvo
