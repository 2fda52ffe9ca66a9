#include "foundation/text/Hex.h"

namespace zelvo {
namespace utils {

const char nibbleToHexLowercaseTable[17] = "0123456789abcdef";

const signed char hexToNibbleTable[256] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
     0,  1,  2,  3,  4,  5,  6,  7,  8,  9, -1, -1, -1, -1, -1, -1,
    -1, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
};

std::string stringToHex(const std::string& bytes)
{
    std::string hex;
    hex.reserve(2 * bytes.size() + 1);
    for (unsigned char c : bytes) {
        hex += nibbleToHexLowercaseTable[c >> 4];
        hex += nibbleToHexLowercaseTable[c & 0x0f];
    }
    return hex;
}

namespace {

unsigned char decodePair(const char* hex)
{
    // Computed unsigned: a non-digit (-1) gives the same byte as the
    // two's-complement arithmetic would.
    const unsigned hi = static_cast<unsigned>(hexToNibbleTable[static_cast<unsigned char>(hex[0])]);
    const unsigned lo = static_cast<unsigned>(hexToNibbleTable[static_cast<unsigned char>(hex[1])]);
    return static_cast<unsigned char>((hi << 4) | lo);
}

} // namespace

std::string hexToString(const std::string& hex)
{
    std::string bytes;
    if (hex.size() < 2)
        return bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(decodePair(hex.data() + i));
    return bytes;
}

bool hexesToBytes(unsigned char* dst, unsigned long dstSize, const char* hex, unsigned long hexLen)
{
    if (hexLen == 0)
        return true;
    if (dst == nullptr || hex == nullptr || dstSize == 0 || hexLen / 2 > dstSize)
        return false;
    hexesToBytesUnsafe(dst, hex, hexLen);
    return true;
}

void hexesToBytesUnsafe(unsigned char* dst, const char* hex, unsigned long hexLen)
{
    for (unsigned long i = 0; i < hexLen / 2; ++i)
        dst[i] = decodePair(hex + 2 * i);
}

bool bytesToHexesZ(char* dst, unsigned long dstSize, const unsigned char* src, unsigned long n)
{
    if (dst == nullptr || dstSize == 0)
        return false;
    if (src != nullptr && n <= (dstSize - 1) / 2) {
        bytesToHexesUnsafe(dst, src, n);
        dst[2 * n] = '\0';
        return true;
    }
    dst[0] = '\0';
    return n == 0;
}

void bytesToHexesUnsafe(char* dst, const unsigned char* src, unsigned long n)
{
    for (unsigned long i = 0; i < n; ++i) {
        dst[2 * i] = nibbleToHexLowercaseTable[src[i] >> 4];
        dst[2 * i + 1] = nibbleToHexLowercaseTable[src[i] & 0x0f];
    }
}

int strhex(char* dst, unsigned long dstSize, int sep, const void* data, unsigned long n)
{
    if (dst != nullptr && dstSize > 0)
        dst[0] = '\0';
    const unsigned long needed = 3 * n;
    if (n == 0 || dst == nullptr || needed > dstSize || n > dstSize)
        return static_cast<int>(needed);
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    char* p = dst;
    for (unsigned long i = 0; i < n; ++i) {
        *p++ = nibbleToHexLowercaseTable[bytes[i] >> 4];
        *p++ = nibbleToHexLowercaseTable[bytes[i] & 0x0f];
        if (i + 1 < n)
            *p++ = static_cast<char>(sep);
    }
    *p = '\0';
    return 2;
}

} // namespace utils
} // namespace zelvo
