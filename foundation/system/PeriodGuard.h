#ifndef ZELVO_FOUNDATION_SYSTEM_PERIODGUARD_H
#define ZELVO_FOUNDATION_SYSTEM_PERIODGUARD_H

#include <cstdint>

namespace zelvo {
namespace tiny {

class ZMutex;

// Thread-safe test of whether a period (in seconds) has passed since
// start(), over getMs64(). A stopped guard never reports a period.
class PeriodGuard {
public:
    enum PgMode {
        // A passed period moves the start on by exactly one period.
        periodic = 0,
        // Once passed, stays passed.
        oneShot = 1,
        // A test before the period has passed starts it again.
        restartOnCheck = 2,
    };

    PeriodGuard(long period, PgMode mode);
    // A copy has a mutex of its own.
    PeriodGuard(const PeriodGuard& other);
    ~PeriodGuard();
    // Copies mode, period and start; each guard keeps its own mutex.
    PeriodGuard& operator=(const PeriodGuard& other);

    void start();
    void stop();
    // The start stays where it is.
    void changePeriod(long period);
    // True when the period has passed (see PgMode for what that changes);
    // *elapsed, when given, gets the whole seconds since the start (0 when
    // stopped).
    bool hasPeriodOccured(long* elapsed = nullptr);
    // Seconds since the start; meaningless while stopped.
    int64_t getElapsedTime() const;
    // Seconds left of the period, negative once it has passed; meaningless
    // while stopped.
    long getRemainingTime() const;

private:
    PgMode mode;
    long period;
    uint64_t startMs; // 0 = stopped
    ZMutex* mutex;
};

} // namespace tiny
} // namespace zelvo

#endif
