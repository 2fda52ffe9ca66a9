#include "foundation/net/Deadline.h"

#include <climits>

namespace zelvo {
namespace utils {

namespace {

int clampPollMillis(std::chrono::milliseconds wait)
{
    const auto ms = wait.count();
    return ms < 0 ? -1 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

int pollMillisOf(std::chrono::seconds seconds, std::chrono::microseconds microseconds)
{
    return clampPollMillis(seconds + std::chrono::duration_cast<std::chrono::milliseconds>(microseconds));
}

Deadline Deadline::afterPollMillis(int pollMillis)
{
    if (pollMillis < 0)
        return Deadline();
    return Deadline(Clock::now(), std::chrono::milliseconds(pollMillis));
}

std::chrono::microseconds Deadline::microsecondsLeft() const
{
    const Clock::duration left = end - Clock::now();
    if (left <= Clock::duration::zero())
        return std::chrono::microseconds::zero();
    return std::chrono::ceil<std::chrono::microseconds>(left);
}

int Deadline::pollMillisLeft() const
{
    if (!limited)
        return -1;
    const Clock::duration left = end - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return clampPollMillis(std::chrono::ceil<std::chrono::milliseconds>(left));
}

}  // namespace utils
}  // namespace zelvo
