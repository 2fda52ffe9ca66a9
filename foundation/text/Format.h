#ifndef ZELVO_FOUNDATION_TEXT_FORMAT_H
#define ZELVO_FOUNDATION_TEXT_FORMAT_H

#include <cstdarg>
#include <string>

namespace zelvo {
namespace utils {

// Bounded printf into s (room maxlen bytes, NUL included). Returns the
// number of characters in s afterwards. A text that does not fit is cut to
// maxlen - 1 characters (so an exact fit and a cut give the same result);
// a formatting error leaves s empty. Null s or maxlen 0: nothing written, 0.
int vsnprintfx(char* s, unsigned long maxlen, const char* format, va_list args);
int snprintfx(char* s, unsigned long maxlen, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends to the NUL-terminated text already in s (size bytes in all) under
// the same cutting rule; returns the total length of the text in s, at most
// 2^31 - 1. A buffer without a NUL within size is first terminated at its
// last byte.
int snprintfadd(char* s, unsigned long size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends the formatted text, of any length, to out. Appends nothing when
// memory is short or the format cannot be rendered.
void sprintf(std::string& out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// strncpy that always terminates within n bytes; n = 0 touches nothing.
void strncpys(char* dst, const char* src, unsigned long n);

} // namespace utils
} // namespace zelvo

#endif
