#ifndef ZELVO_FOUNDATION_SYSTEM_EXCEPTION_H
#define ZELVO_FOUNDATION_SYSTEM_EXCEPTION_H

#include <stdexcept>
#include <string>

namespace zelvo {
namespace utils {

// The library's exception for conditions a caller cannot go on from
// (a descriptor too large for a descriptor set, a bad hex digit).
// Thrown by value; the message is what() returns. Header-only, so the pure
// text helpers can throw it without linking the system library.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    explicit Exception(const char* message) : std::runtime_error(message ? message : "") {}
    ~Exception() override = default;
};

} // namespace utils
} // namespace zelvo

#endif
