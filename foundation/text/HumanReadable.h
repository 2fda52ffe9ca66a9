#ifndef ZELVO_FOUNDATION_TEXT_HUMANREADABLE_H
#define ZELVO_FOUNDATION_TEXT_HUMANREADABLE_H

namespace zelvo {
namespace utils {

// "%u B" up to 1024 bytes (negative counts print their low 32 bits), then
// "%.2f kB", "%.2f MB" and "%.2f GB" above 1 KiB, 1 MiB and 1 GiB; cut to
// size like snprintfx, whose result it returns.
int strSize(char* buf, unsigned long size, long long bytes);

// "hh:mm:ss" below one day, else "N day hh:mm:ss" ("days" above one);
// buf needs 32 bytes. Returns the length written.
int strSecond(unsigned seconds, char* buf);

// Dotted quad of an IPv4 address in network byte order; dst needs 16 bytes
// (22 with the port). The port is in network byte order too.
char* strip(char* dst, unsigned addr);
char* stripport(char* dst, unsigned addr, unsigned short port);

} // namespace utils
} // namespace zelvo

#endif
