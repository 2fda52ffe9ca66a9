#ifndef ZELVO_FOUNDATION_SYSTEM_CLOCK_H
#define ZELVO_FOUNDATION_SYSTEM_CLOCK_H

#include <cstdint>
#include <ctime>

namespace zelvo {
namespace tiny {

// Wall-clock milliseconds (gettimeofday), cut to 32 bits / uncut.
unsigned millisec();
long long millisec64();

// Monotonic milliseconds since an arbitrary origin. Extends a 32-bit tick
// count to 64 bits, so it must be called at least once per 2^32 ms (about
// 49.7 days) to see every wrap. Safe from any thread.
uint64_t getMs64();

// The 32-bit millisecond count getMs64() extends. The default reads times()
// and the clock-tick rate; tests put their own in to drive wraps and long
// periods without waiting. Returns the previous source; null restores the
// default.
using TickSource = uint32_t (*)();
TickSource setTickSource(TickSource source);
uint32_t defaultTickSource();
// ticks at hz ticks per second as milliseconds, cut to 32 bits. A rate the
// system could not report (hz <= 0) is taken as 100.
uint32_t ticksToMs(uint64_t ticks, long hz);

// Sleeps ms milliseconds once; a signal may cut it short. Leaves errno as
// it was unless the sleep reports a real error. ms <= 0 returns at once.
void msleep(int ms);
// The interval msleep(ms) asks nanosleep for.
timespec msleepInterval(int ms);

// English abbreviations; out of range gives "Sun" / "Jan".
const char* getDayName(int i);
const char* getMonthName(int i);
// 0-based month of an abbreviation, ignoring case; 0 for null or unknown.
int getMonthNum(const char* name);

char* z_asctime_r(const tm* t, char* buf);
char* z_ctime_r(const time_t* t, char* buf);
tm* z_gmtime_r(const time_t* t, tm* out);
tm* z_localtime_r(const time_t* t, tm* out);
// The current local time broken down into out.
tm* getLocalTime(tm* out);

// Minutes to add to UTC to get local time at instant t; 0 when t cannot be
// broken down.
long timezoneOffset(long t);

} // namespace tiny
} // namespace zelvo

#endif
