#ifndef ZELVO_FOUNDATION_TEXT_NUMBERS_H
#define ZELVO_FOUNDATION_TEXT_NUMBERS_H

#include <string>

namespace zelvo {
namespace utils {

// Leading whitespace, one optional sign, decimal digits up to the first
// non-digit (none: 0). Overflow wraps.
long long atoi64(const char* s);

// v as an unsigned 64-bit value in radix 2 to 36 (lower-case letters), NUL
// terminated; buf needs 65 bytes. Another radix gives the empty text.
char* i64toa(long long v, char* buf, int radix);

// Like i64toa into size bytes: at most size - 1 digits, the lowest ones.
// Returns the digits written; -1 for size 0 or a radix outside 2..36 (buf
// then empty when it has room).
int i64toan(unsigned long long v, char* buf, unsigned long size, unsigned radix);

// Base 0 picks 16 after "0x" followed by a hex digit, 8 after another
// leading '0', else 10. Digits 0-9, a-f, A-F are taken while below the
// base (they are the only digits, also for bases above 16); end (when not
// null) gets the position after the last one.
unsigned long simple_strtoul(const char* s, char** end, unsigned base);

// v in octal, no prefix.
std::string toOctal(unsigned v);

} // namespace utils
} // namespace zelvo

#endif
