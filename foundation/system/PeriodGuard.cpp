#include "foundation/system/PeriodGuard.h"

#include "foundation/system/Clock.h"
#include "foundation/system/ZMutex.h"

namespace zelvo {
namespace tiny {

PeriodGuard::PeriodGuard(long period, PgMode mode)
    : mode(mode), period(period), startMs(0), mutex(new ZMutex())
{
}

PeriodGuard::PeriodGuard(const PeriodGuard& other)
    : mode(other.mode), period(other.period), startMs(other.startMs), mutex(new ZMutex())
{
}

PeriodGuard::~PeriodGuard()
{
    delete mutex;
}

PeriodGuard& PeriodGuard::operator=(const PeriodGuard& other)
{
    mode = other.mode;
    ZMutexGuard guard(mutex);
    period = other.period;
    startMs = other.startMs;
    return *this;
}

void PeriodGuard::start()
{
    ZMutexGuard guard(mutex);
    startMs = getMs64();
}

void PeriodGuard::stop()
{
    ZMutexGuard guard(mutex);
    startMs = 0;
}

void PeriodGuard::changePeriod(long newPeriod)
{
    ZMutexGuard guard(mutex);
    period = newPeriod;
}

bool PeriodGuard::hasPeriodOccured(long* elapsed)
{
    ZMutexGuard guard(mutex);
    if (startMs == 0) {
        if (elapsed)
            *elapsed = 0;
        return false;
    }
    uint64_t seconds = (getMs64() - startMs) / 1000;
    if (elapsed)
        *elapsed = static_cast<long>(seconds);
    if (static_cast<int32_t>(seconds) >= period) {
        if (mode == periodic)
            startMs += static_cast<uint64_t>(period) * 1000;
        return true;
    }
    if (mode == restartOnCheck)
        startMs = getMs64();
    return false;
}

int64_t PeriodGuard::getElapsedTime() const
{
    return static_cast<int64_t>((getMs64() - startMs) / 1000);
}

long PeriodGuard::getRemainingTime() const
{
    ZMutexGuard guard(mutex);
    return period - static_cast<long>((getMs64() - startMs) / 1000);
}

} // namespace tiny
} // namespace zelvo
