#include "foundation/text/Numbers.h"

#include <cctype>

namespace zelvo {
namespace utils {

namespace {

const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// Returned by digitValue for a character that is no digit.
constexpr int notADigit = -1;

// Value 0-15 of '0'-'9', 'a'-'f' or 'A'-'F'; notADigit for anything else,
// which no base admits (the NUL at the end included).
int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return notADigit;
}

bool isDigitIn(int digit, unsigned base)
{
    return digit != notADigit && static_cast<unsigned>(digit) < base;
}

} // namespace

long long atoi64(const char* s)
{
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    unsigned long long v = 0;
    while (*s >= '0' && *s <= '9')
        v = v * 10 + static_cast<unsigned>(*s++ - '0');
    return static_cast<long long>(negative ? 0 - v : v);
}

char* i64toa(long long value, char* buf, int radix)
{
    if (radix < 2 || radix > 36) {
        buf[0] = '\0';
        return buf;
    }
    char digits[64];
    int n = 0;
    unsigned long long v = static_cast<unsigned long long>(value);
    do {
        digits[n++] = kDigits[v % static_cast<unsigned>(radix)];
        v /= static_cast<unsigned>(radix);
    } while (v != 0);
    for (int i = 0; i < n; ++i)
        buf[i] = digits[n - 1 - i];
    buf[n] = '\0';
    return buf;
}

int i64toan(unsigned long long v, char* buf, unsigned long size, unsigned radix)
{
    if (size == 0)
        return -1;
    if (radix < 2 || radix > 36) {
        buf[0] = '\0';
        return -1;
    }
    if (size == 1) {
        buf[0] = '\0';
        return 0;
    }
    char digits[64];
    int n = 0;
    do {
        digits[n++] = kDigits[v % radix];
        v /= radix;
    } while (v != 0);
    const int keep = static_cast<unsigned long>(n) < size - 1 ? n : static_cast<int>(size - 1);
    for (int i = 0; i < keep; ++i)
        buf[i] = digits[keep - 1 - i];
    buf[keep] = '\0';
    return keep;
}

unsigned long simple_strtoul(const char* s, char** end, unsigned base)
{
    if (base == 0) {
        if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && isDigitIn(digitValue(s[2]), 16)) {
            base = 16;
            s += 2;
        } else if (s[0] == '0') {
            base = 8;
            ++s;
        } else {
            base = 10;
        }
    }
    unsigned long v = 0;
    for (int d; isDigitIn(d = digitValue(*s), base); ++s)
        v = v * base + static_cast<unsigned>(d);
    if (end)
        *end = const_cast<char*>(s);
    return v;
}

std::string toOctal(unsigned v)
{
    std::string out;
    do {
        out.insert(out.begin(), static_cast<char>('0' + (v & 7)));
        v >>= 3;
    } while (v != 0);
    return out;
}

} // namespace utils
} // namespace zelvo
