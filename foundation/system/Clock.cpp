#include "foundation/system/Clock.h"

#include "foundation/system/ZMutex.h"

#include <atomic>
#include <cerrno>
#include <strings.h>
#include <sys/time.h>
#include <sys/times.h>
#include <unistd.h>

namespace zelvo {
namespace tiny {

namespace {

const char* const dayTab[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const monthTab[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Tick rate assumed when the system cannot report one.
constexpr long fallbackTicksPerSecond = 100;

std::atomic<TickSource> tickSource{nullptr};

// Never destroyed: exit-time destructors (a TLS session restoring the target)
// may still read the clock after this file's statics would be gone.
ZMutex& timer64BaseMutex()
{
    static ZMutex* const mutex = new ZMutex();
    return *mutex;
}
uint64_t timer64Base = 0;
uint32_t lastTimer64 = 0;

// Built during static initialisation, before any second thread exists.
const bool clockMutexReady = (timer64BaseMutex(), true);

} // namespace

unsigned millisec()
{
    return static_cast<unsigned>(millisec64());
}

long long millisec64()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

uint32_t ticksToMs(uint64_t ticks, long hz)
{
    if (hz <= 0)
        hz = fallbackTicksPerSecond;
    uint64_t ms = hz > 999 ? ticks / static_cast<uint64_t>(hz / 1000)
                           : ticks * static_cast<uint64_t>(1000 / hz);
    return static_cast<uint32_t>(ms);
}

uint32_t defaultTickSource()
{
    tms unused;
    clock_t ticks = times(&unused);
    return ticksToMs(static_cast<uint64_t>(ticks), sysconf(_SC_CLK_TCK));
}

TickSource setTickSource(TickSource source)
{
    return tickSource.exchange(source);
}

uint64_t getMs64()
{
    (void)clockMutexReady;
    ZMutexGuard guard(&timer64BaseMutex());
    TickSource source = tickSource.load();
    uint32_t t = source ? source() : defaultTickSource();
    if (t < lastTimer64)
        timer64Base += uint64_t(1) << 32;
    lastTimer64 = t;
    return timer64Base + t;
}

timespec msleepInterval(int ms)
{
    timespec ts{};
    if (ms <= 0)
        return ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return ts;
}

void msleep(int ms)
{
    if (ms <= 0)
        return;
    int before = errno;
    timespec ts = msleepInterval(ms);
    nanosleep(&ts, nullptr);
    if (errno == ETIMEDOUT)
        errno = before;
}

const char* getDayName(int i)
{
    return i >= 0 && i <= 6 ? dayTab[i] : dayTab[0];
}

const char* getMonthName(int i)
{
    return i >= 0 && i <= 11 ? monthTab[i] : monthTab[0];
}

int getMonthNum(const char* name)
{
    if (!name)
        return 0;
    for (int i = 0; i < 12; ++i)
        if (strcasecmp(name, monthTab[i]) == 0)
            return i;
    return 0;
}

char* z_asctime_r(const tm* t, char* buf)
{
    return asctime_r(t, buf);
}

char* z_ctime_r(const time_t* t, char* buf)
{
    return ctime_r(t, buf);
}

tm* z_gmtime_r(const time_t* t, tm* out)
{
    return gmtime_r(t, out);
}

tm* z_localtime_r(const time_t* t, tm* out)
{
    return localtime_r(t, out);
}

tm* getLocalTime(tm* out)
{
    time_t now = time(nullptr);
    return localtime_r(&now, out);
}

long timezoneOffset(long t)
{
    time_t when = static_cast<time_t>(t);
    tm utc{};
    tm local{};
    if (!gmtime_r(&when, &utc) || !localtime_r(&when, &local))
        return 0;
    long d = (local.tm_hour - utc.tm_hour) * 60L + (local.tm_min - utc.tm_min);
    if (local.tm_year < utc.tm_year || (local.tm_year == utc.tm_year && local.tm_yday < utc.tm_yday))
        d -= 1440;
    else if (local.tm_year > utc.tm_year || (local.tm_year == utc.tm_year && local.tm_yday > utc.tm_yday))
        d += 1440;
    return d;
}

} // namespace tiny
} // namespace zelvo
