#ifndef ZELVO_FOUNDATION_TEXT_HEX_H
#define ZELVO_FOUNDATION_TEXT_HEX_H

#include <string>

namespace zelvo {
namespace utils {

// "0123456789abcdef"
extern const char nibbleToHexLowercaseTable[17];
// Indexed by byte value: 0-15 for hex digits of either case, -1 otherwise.
extern const signed char hexToNibbleTable[256];

// Two lower-case hex digits per byte, high nibble first.
std::string stringToHex(const std::string& bytes);

} // namespace utils
} // namespace zelvo

#endif
