#ifndef ZELVO_FOUNDATION_TEXT_BYTEORDER_H
#define ZELVO_FOUNDATION_TEXT_BYTEORDER_H

#include <cstring>

namespace zelvo {
namespace utils {

// The value whose bytes in memory are the big-endian bytes of v.
inline unsigned long long hton64(unsigned long long v)
{
    unsigned char bytes[8];
    for (int i = 7; i >= 0; --i) {
        bytes[i] = static_cast<unsigned char>(v & 0xff);
        v >>= 8;
    }
    unsigned long long out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}

// The value whose big-endian bytes are the bytes of v in memory.
inline unsigned long long ntoh64(unsigned long long v)
{
    unsigned char bytes[8];
    std::memcpy(bytes, &v, sizeof bytes);
    unsigned long long out = 0;
    for (int i = 0; i < 8; ++i)
        out = (out << 8) | bytes[i];
    return out;
}

} // namespace utils
} // namespace zelvo

#endif
