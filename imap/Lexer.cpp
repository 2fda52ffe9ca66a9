#include "imap/Lexer.h"

#include <algorithm>

#include "imap/ImapException.h"

namespace zelvo {
namespace mail {
namespace imap {

namespace {

bool readQuoted(const std::string& src, const_iterator& pos, std::string& out)
{
    // pos stands on the opening quote; \" and \\ are escapes.
    const_iterator i = pos + 1;
    const_iterator end = src.end();
    while (i != end) {
        char c = *i;
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 != end && (*(i + 1) == '"' || *(i + 1) == '\\')) {
            out += *(i + 1);
            i += 2;
            continue;
        }
        out += c;
        ++i;
    }
    throw ImapParserException("Character not found");
}

// A quoted string or a literal at pos (which stands on a non-blank); false,
// pos unchanged, for any other form.
bool readQuotedOrLiteral(const std::string& src, const_iterator& pos, std::string& out)
{
    if (*pos == '"')
        return readQuoted(src, pos, out);
    if (*pos != '{')
        return false;
    const_iterator close = findCharacterEx(src, pos + 1, '}');
    unsigned long n = 0;
    bool plus = false;
    if (!parseLiteralCount(pos + 1, close, n, plus))
        throw ImapParserException("Bad literal count");
    const_iterator data = testCharacter(src, close + 1, '\r');
    data = testCharacter(src, data, '\n');
    readNCharacters(src, data, static_cast<int>(n), out);
    pos = data + static_cast<std::string::difference_type>(n);
    return true;
}

// Everything up to the next blank or the end; pos moves past the blank.
void readAtom(const std::string& src, const_iterator& pos, std::string& out)
{
    const_iterator blank = findCharacter(src, pos, ' ');
    out.assign(pos, blank);
    pos = blank == src.end() ? blank : blank + 1;
}

} // namespace

bool parseLiteralCount(const_iterator first, const_iterator last, unsigned long& count, bool& plus)
{
    const bool hasPlus = last != first && *(last - 1) == '+';
    if (hasPlus)
        --last;
    if (first == last)
        return false;
    unsigned long n = 0;
    for (const_iterator i = first; i != last; ++i) {
        if (*i < '0' || *i > '9')
            return false;
        // At most maxLiteralCount before each step: n * 10 + 9 fits.
        n = n * 10 + static_cast<unsigned long>(*i - '0');
        if (n > maxLiteralCount)
            return false;
    }
    count = n;
    plus = hasPlus;
    return true;
}

bool testWord(const std::string& src, const_iterator& pos, const std::string& word)
{
    if (static_cast<std::string::size_type>(src.end() - pos) < word.size())
        return false;
    if (!std::equal(word.begin(), word.end(), pos))
        return false;
    pos += static_cast<std::string::difference_type>(word.size());
    return true;
}

bool skipSpace(const std::string& src, const_iterator& pos)
{
    while (pos != src.end() && *pos == ' ')
        ++pos;
    return pos != src.end();
}

bool skipSpaceEx(const std::string& src, const_iterator& pos)
{
    if (!skipSpace(src, pos))
        throw ImapParserException("Space not presented");
    return true;
}

const_iterator findCharacter(const std::string& src, const const_iterator& from, char c)
{
    return std::find(from, src.end(), c);
}

const_iterator findCharacterEx(const std::string& src, const const_iterator& from, char c)
{
    const_iterator i = findCharacter(src, from, c);
    if (i == src.end())
        throw ImapParserException("Character not found");
    return i;
}

const_iterator testCharacter(const std::string& src, const const_iterator& at, char c)
{
    if (at == src.end())
        throw ImapParserException("Bad ");
    if (*at != c)
        throw ImapParserException("Character different");
    return at + 1;
}

void readNCharacters(const std::string& src, const_iterator& pos, int n, std::string& out)
{
    if (n < 0 || src.end() - pos < n)
        throw ImapParserException("");
    out.assign(pos, pos + n);
}

bool readString(const std::string& src, const_iterator& pos, std::string& out)
{
    out.clear();
    if (!skipSpace(src, pos))
        return false;
    if (readQuotedOrLiteral(src, pos, out))
        return true;
    if (testNil(src, pos))
        return true;
    readAtom(src, pos, out);
    return true;
}

bool readAString(const std::string& src, const_iterator& pos, std::string& out)
{
    out.clear();
    if (!skipSpace(src, pos))
        return false;
    if (!readQuotedOrLiteral(src, pos, out))
        readAtom(src, pos, out);
    return true;
}

bool testNil(const std::string& src, const_iterator& pos)
{
    const_iterator after = pos;
    if (!testWord(src, after, "NIL"))
        return false;
    if (after != src.end() && *after != ' ' && *after != ')' && *after != ']')
        return false;
    pos = after;
    return true;
}

bool skipString(const std::string& src, const_iterator& pos)
{
    std::string scratch;
    return readString(src, pos, scratch);
}

bool readParenthesis(const std::string& src, const_iterator& pos, char open, char close, std::string& out)
{
    out.clear();
    if (!skipSpace(src, pos))
        return false;
    if (testNil(src, pos))
        return true;
    if (*pos != open)
        throw ImapParserException("");
    const const_iterator start = pos;
    const_iterator i = pos;
    long depth = 0;
    std::string scratch;
    while (i != src.end()) {
        const char c = *i;
        if (c == '"' || c == '{') {
            readString(src, i, scratch);
            continue;
        }
        ++i;
        if (c == open) {
            ++depth;
        } else if (c == close) {
            if (--depth == 0) {
                out.assign(start, i);
                pos = i;
                return true;
            }
        }
    }
    throw ImapParserException("");
}

void trim(std::string& s)
{
    if (s.size() >= 2)
        s = s.substr(1, s.size() - 2);
}

} // namespace imap
} // namespace mail
} // namespace zelvo
