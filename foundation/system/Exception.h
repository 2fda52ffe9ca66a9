#ifndef ZELVO_FOUNDATION_SYSTEM_EXCEPTION_H
#define ZELVO_FOUNDATION_SYSTEM_EXCEPTION_H

#include <stdexcept>
#include <string>

namespace zelvo {
namespace utils {

// The library's exception for conditions a caller cannot go on from
// (a descriptor too large for a descriptor set, a bad hex digit).
// Thrown by value; the message is what() returns.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message);
    explicit Exception(const char* message);
    ~Exception() override;
};

} // namespace utils
} // namespace zelvo

#endif
