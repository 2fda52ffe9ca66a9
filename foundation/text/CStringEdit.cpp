#include "foundation/text/CStringEdit.h"

#include <cctype>
#include <cstring>

namespace zelvo {
namespace utils {

namespace {

// The span between the first open and the next close: [*begin, *end).
bool findSpan(const char* s, char open, char close, const char** begin, const char** end)
{
    const char* o = std::strchr(s, open);
    if (o == nullptr || open == '\0')
        return false;
    const char* c = std::strchr(o + 1, close);
    if (c == nullptr || close == '\0')
        return false;
    *begin = o + 1;
    *end = c;
    return true;
}

bool extract(const char* s, char open, char close, char* dst, unsigned long dstSize)
{
    if (dstSize == 0)
        return false;
    dst[0] = '\0';
    const char *b, *e;
    if (!findSpan(s, open, close, &b, &e))
        return false;
    const unsigned long n = static_cast<unsigned long>(e - b);
    if (dstSize < 2 || n > dstSize - 2)
        return false;
    std::memcpy(dst, b, n);
    dst[n] = '\0';
    return true;
}

} // namespace

int strreplchr(char* s, char from, char to)
{
    if (from == '\0')
        return 0;
    int count = 0;
    for (; *s; ++s) {
        if (*s == from) {
            *s = to;
            ++count;
        }
    }
    return count;
}

char* strextr(char* dst, const char* s, unsigned long dstSize, char open, char close)
{
    return extract(s, open, close, dst, dstSize) ? dst : nullptr;
}

bool strgetstr(const char* s, char open, char close, char* dst, unsigned long dstSize)
{
    return extract(s, open, close, dst, dstSize);
}

bool strstrip(char* s, char open, char close)
{
    const char *b, *e;
    if (!findSpan(s, open, close, &b, &e))
        return false;
    const std::size_t n = static_cast<std::size_t>(e - b);
    std::memmove(s, b, n);
    s[n] = '\0';
    return true;
}

void strremovestr(char* s, char open, char close)
{
    const char *b, *e;
    while (findSpan(s, open, close, &b, &e)) {
        char* from = const_cast<char*>(b) - 1;
        std::memmove(from, e + 1, std::strlen(e + 1) + 1);
    }
}

void strremovechr(char* s, const char* set)
{
    char* out = s;
    for (const char* in = s; *in; ++in)
        if (std::strchr(set, *in) == nullptr)
            *out++ = *in;
    *out = '\0';
}

bool strreplstr(char* s, unsigned long size, const char* needle, const char* repl)
{
    const std::size_t nlen = std::strlen(needle);
    if (nlen == 0)
        return false;
    const std::size_t rlen = std::strlen(repl);
    std::size_t len = std::strlen(s);
    char* from = s;
    while (char* found = std::strstr(from, needle)) {
        const std::size_t newLen = len - nlen + rlen;
        if (newLen + 1 > size)
            return false;
        std::memmove(found + rlen, found + nlen, len - static_cast<std::size_t>(found - s) - nlen + 1);
        std::memcpy(found, repl, rlen);
        len = newLen;
        from = found + rlen;
    }
    return true;
}

bool strinsertstr(char* s, unsigned long size, const char* ins, unsigned long pos)
{
    const unsigned long len = std::strlen(s);
    if (pos > len || size < len + 1)
        return false;
    const unsigned long room = size - 1 - pos;
    unsigned long il = std::strlen(ins);
    if (il > room)
        il = room;
    unsigned long tail = len - pos;
    if (tail > room - il)
        tail = room - il;
    std::memmove(s + pos + il, s + pos, tail);
    std::memcpy(s + pos, ins, il);
    s[pos + il + tail] = '\0';
    return true;
}

void strrmln(char* s)
{
    std::size_t n = std::strlen(s);
    if (n > 0 && s[n - 1] == '\n') {
        s[--n] = '\0';
        if (n > 0 && s[n - 1] == '\r')
            s[--n] = '\0';
    } else if (n > 0 && s[n - 1] == '\r') {
        s[n - 1] = '\0';
    }
}

int strip_crlf(char* s)
{
    std::size_t n = std::strlen(s);
    if (n == 0)
        return 0;
    while (n > 0 && std::isspace(static_cast<unsigned char>(s[n - 1])))
        s[--n] = '\0';
    return n > 0 ? 0 : 1;
}

void strlwr(char* s)
{
    for (; *s; ++s)
        if (*s >= 'A' && *s <= 'Z')
            *s = static_cast<char>(*s - 'A' + 'a');
}

void z_strlwr(char* s)
{
    strlwr(s);
}

char* z_strtok_r(char* s, const char* delim, char** save)
{
    return ::strtok_r(s, delim, save);
}

namespace {

bool enumerate(char** cursor, const char* delims, bool quoting, char qo, char qc, char* dst,
               unsigned long dstSize)
{
    if (dstSize > 0)
        dst[0] = '\0';
    char* p = *cursor;
    while (*p && std::strchr(delims, *p))
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return false;
    }
    char* start = p;
    while (*p && !std::strchr(delims, *p)) {
        if (quoting && *p == qo) {
            ++p;
            while (*p && *p != qc)
                ++p;
            if (*p == '\0')
                break;
        }
        ++p;
    }
    *cursor = p;
    const unsigned long n = static_cast<unsigned long>(p - start);
    if (n >= dstSize)
        return false;
    std::memcpy(dst, start, n);
    dst[n] = '\0';
    return true;
}

} // namespace

bool strEnum(char** cursor, const char* delims, char* dst, unsigned long dstSize)
{
    return enumerate(cursor, delims, false, 0, 0, dst, dstSize);
}

bool strEnum2(char** cursor, const char* delims, char quoteOpen, char quoteClose, char* dst,
              unsigned long dstSize)
{
    return enumerate(cursor, delims, true, quoteOpen, quoteClose, dst, dstSize);
}

} // namespace utils
} // namespace zelvo
