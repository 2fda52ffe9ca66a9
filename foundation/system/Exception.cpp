#include "foundation/system/Exception.h"

namespace zelvo {
namespace utils {

Exception::Exception(const std::string& message) : std::runtime_error(message) {}

Exception::Exception(const char* message) : std::runtime_error(message ? message : "") {}

Exception::~Exception() = default;

} // namespace utils
} // namespace zelvo
