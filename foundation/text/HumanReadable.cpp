#include "foundation/text/HumanReadable.h"

#include "foundation/text/Format.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

namespace zelvo {
namespace utils {

int strSize(char* buf, unsigned long size, long long bytes)
{
    constexpr long long kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    if (bytes <= kKiB)
        return snprintfx(buf, size, "%u B", static_cast<unsigned>(bytes & 0xffffffffLL));
    if (bytes <= kMiB)
        return snprintfx(buf, size, "%.2f kB", static_cast<double>(bytes) / kKiB);
    if (bytes <= kGiB)
        return snprintfx(buf, size, "%.2f MB", static_cast<double>(bytes) / kMiB);
    return snprintfx(buf, size, "%.2f GB", static_cast<double>(bytes) / kGiB);
}

int strSecond(unsigned seconds, char* buf)
{
    const unsigned days = seconds / 86400;
    const unsigned h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
    if (days == 0)
        return std::sprintf(buf, "%02u:%02u:%02u", h, m, s);
    return std::sprintf(buf, "%u day%s %02u:%02u:%02u", days, days == 1 ? "" : "s", h, m, s);
}

char* strip(char* dst, unsigned addr)
{
    std::sprintf(dst, "%u.%u.%u.%u", addr & 0xff, (addr >> 8) & 0xff, (addr >> 16) & 0xff,
                 addr >> 24);
    return dst;
}

char* stripport(char* dst, unsigned addr, unsigned short port)
{
    std::sprintf(dst, "%u.%u.%u.%u:%u", addr & 0xff, (addr >> 8) & 0xff, (addr >> 16) & 0xff,
                 addr >> 24, static_cast<unsigned>(ntohs(port)));
    return dst;
}

} // namespace utils
} // namespace zelvo
