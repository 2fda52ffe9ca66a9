#ifndef ZELVO_FOUNDATION_TEXT_HEX_H
#define ZELVO_FOUNDATION_TEXT_HEX_H

#include "foundation/system/Exception.h"

#include <string>

namespace zelvo {
namespace utils {

// "0123456789abcdef"
extern const char nibbleToHexLowercaseTable[17];
// Indexed by byte value: 0-15 for hex digits of either case, -1 otherwise.
extern const signed char hexToNibbleTable[256];

// Two lower-case hex digits per byte, high nibble first.
std::string stringToHex(const std::string& bytes);

// One byte per pair of characters, high nibble first; an odd last character
// is ignored. Characters that are not hex digits are not detected.
std::string hexToString(const std::string& hex);

// The value of a hex digit; throws zelvo::utils::Exception for any other
// character. Inline, so the text library itself does not depend on the
// library that defines the exception.
inline int hexToNibbleThrowing(char c)
{
    const int v = hexToNibbleTable[static_cast<unsigned char>(c)];
    if (v < 0)
        throw Exception("Wrong hex character.");
    return v;
}

// Decodes hexLen / 2 bytes into dst. True for hexLen 0; false for a null
// pointer, dstSize 0 or too little room.
bool hexesToBytes(unsigned char* dst, unsigned long dstSize, const char* hex,
                  unsigned long hexLen);
void hexesToBytesUnsafe(unsigned char* dst, const char* hex, unsigned long hexLen);

// 2n lower-case hex digits and a NUL when dst has room; otherwise dst
// becomes empty (if it has a byte) and the result is true only for n = 0.
bool bytesToHexesZ(char* dst, unsigned long dstSize, const unsigned char* src, unsigned long n);
// 2n lower-case hex digits, no NUL.
void bytesToHexesUnsafe(char* dst, const unsigned char* src, unsigned long n);

// "%02x" of each byte with sep between them. dst is emptied first; when n is
// 0 or dst has fewer than 3n bytes, nothing more is written and 3n (the room
// needed) is returned; otherwise 2.
int strhex(char* dst, unsigned long dstSize, int sep, const void* data, unsigned long n);

} // namespace utils
} // namespace zelvo

#endif
