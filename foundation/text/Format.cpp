#include "foundation/text/Format.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace zelvo {
namespace utils {

int vsnprintfx(char* s, unsigned long maxlen, const char* format, va_list args)
{
    if (s == nullptr || maxlen == 0)
        return 0;
    if (maxlen == 1) {
        s[0] = '\0';
        return 0;
    }
    const int n = std::vsnprintf(s, maxlen, format, args);
    if (n < 0) {
        // The buffer's contents are unspecified after a formatting error.
        s[0] = '\0';
        return 0;
    }
    if (static_cast<unsigned long>(n) < maxlen) {
        s[n] = '\0';
        return n;
    }
    const unsigned long m = maxlen < static_cast<unsigned long>(INT_MAX) ? maxlen : INT_MAX;
    s[m - 1] = '\0';
    return static_cast<int>(m - 1);
}

int snprintfx(char* s, unsigned long maxlen, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsnprintfx(s, maxlen, format, args);
    va_end(args);
    return n;
}

int snprintfadd(char* s, unsigned long size, const char* format, ...)
{
    if (s == nullptr || size == 0)
        return 0;
    if (size == 1) {
        s[0] = '\0';
        return 0;
    }
    unsigned long len = ::strnlen(s, size);
    if (len == size) {
        len = size - 1;
        s[len] = '\0';
    }
    va_list args;
    va_start(args, format);
    const int added = vsnprintfx(s + len, size - len, format, args);
    va_end(args);
    const unsigned long total = len + static_cast<unsigned long>(added);
    return total > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(total);
}

namespace {

constexpr std::size_t kFirstBufferSize = 4096;
// vsnprintf may report a too-small buffer with a negative result on some
// C libraries; glibc only does so for errors that no size can mend. Bound
// the doubling so such an error ends the loop.
constexpr std::size_t kMaxDoubledBufferSize = std::size_t(1) << 24;

} // namespace

void sprintf(std::string& out, const char* format, ...)
{
    std::size_t size = kFirstBufferSize;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    va_list args;
    va_start(args, format);
    while (buffer) {
        va_list again;
        va_copy(again, args);
        const int n = std::vsnprintf(buffer.get(), size, format, again);
        va_end(again);
        if (n >= 0 && static_cast<std::size_t>(n) < size) {
            try {
                out.append(buffer.get(), static_cast<std::size_t>(n));
            } catch (const std::bad_alloc&) {
            }
            break;
        }
        if (n >= 0) {
            size = static_cast<std::size_t>(n) + 1;
        } else {
            if (size >= kMaxDoubledBufferSize)
                break;
            size *= 2;
        }
        buffer.reset(new (std::nothrow) char[size]);
    }
    va_end(args);
}

void strncpys(char* dst, const char* src, unsigned long n)
{
    if (n == 0)
        return;
    std::strncpy(dst, src, n);
    dst[n - 1] = '\0';
}

} // namespace utils
} // namespace zelvo
