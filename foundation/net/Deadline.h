#ifndef ZELVO_FOUNDATION_NET_DEADLINE_H
#define ZELVO_FOUNDATION_NET_DEADLINE_H

#include <chrono>

namespace zelvo {
namespace utils {

// A wait of seconds plus microseconds in poll's whole milliseconds (a part
// of a millisecond is dropped): a negative wait is -1 (no limit), one beyond
// INT_MAX milliseconds is INT_MAX. Any 32-bit seconds fit the arithmetic.
int pollMillisOf(std::chrono::seconds seconds, std::chrono::microseconds microseconds);

// The moment a wait, resumed as often as signals interrupt it, must end.
// What is left is rounded up, so a wait never ends before the deadline.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // timeout after start.
    Deadline(Clock::time_point start, Clock::duration timeout) : end(start + timeout), limited(true) {}
    // pollMillis from now, in poll's terms: a negative time means no limit.
    static Deadline afterPollMillis(int pollMillis);

    bool unlimited() const { return !limited; }
    bool passed() const { return limited && Clock::now() >= end; }
    // Whole microseconds left, at least 1 before the deadline, 0 once it has
    // passed.
    std::chrono::microseconds microsecondsLeft() const;
    // Milliseconds left for poll: -1 without limit, else 0 once passed and
    // at most INT_MAX.
    int pollMillisLeft() const;

private:
    Deadline() : end(), limited(false) {}

    Clock::time_point end;
    bool limited;
};

}  // namespace utils
}  // namespace zelvo

#endif
