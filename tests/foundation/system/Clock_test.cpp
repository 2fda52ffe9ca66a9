#include "foundation/system/Clock.h"

#include "FakeTickSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace tiny = zelvo::tiny;
using testclock::FakeTickSource;

namespace {

TEST(Clock, Ms64GrowsByTwoToThe32OncePerWrap)
{
    FakeTickSource clock(0xFFFFF000u);
    uint64_t beforeWrap = tiny::getMs64();
    clock.set(0x100);
    uint64_t afterWrap = tiny::getMs64();
    EXPECT_EQ(afterWrap - beforeWrap, 0x1100u);

    clock.set(0x100);
    EXPECT_EQ(tiny::getMs64(), afterWrap) << "an unchanged count is no wrap";
    clock.set(0x200);
    EXPECT_EQ(tiny::getMs64() - afterWrap, 0x100u);

    // A second wrap adds one more 2^32.
    clock.set(0xFFFFFFFFu);
    uint64_t top = tiny::getMs64();
    EXPECT_EQ(top - beforeWrap, (uint64_t(1) << 32) + 0xFFFu);
    clock.set(4);
    EXPECT_EQ(tiny::getMs64() - top, 5u);
}

std::atomic<uint32_t> countingNow{0};

// Every read is one millisecond later than the one before.
uint32_t countingTicks()
{
    return countingNow.fetch_add(1);
}

TEST(Clock, ConcurrentReadersSeeEachWrapOnce)
{
    constexpr int threadCount = 8;
    constexpr int readsPerThread = 2000;
    countingNow = 0xFFFFFFFFu - 5000;
    tiny::TickSource previous = tiny::setTickSource(&countingTicks);
    std::vector<std::vector<uint64_t>> seen(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&seen, t] {
            for (int i = 0; i < readsPerThread; ++i)
                seen[t].push_back(tiny::getMs64());
        });
    for (auto& th : threads)
        th.join();
    tiny::setTickSource(previous);

    // Serialised reads of a counter give one run of consecutive values: a
    // wrap counted twice, or a stale value taken for a wrap, leaves a gap.
    std::vector<uint64_t> all;
    for (auto& v : seen)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), size_t(threadCount * readsPerThread));
    EXPECT_EQ(all.back() - all.front(), all.size() - 1);
    for (auto& v : seen)
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
}

TEST(Clock, TicksToMilliseconds)
{
    struct Case {
        uint64_t ticks;
        long hz;
        uint32_t ms;
    } cases[] = {
        {100, 100, 1000},
        {1, 100, 10},
        {1234, 1000, 1234},
        {4000, 2000, 2000},
        {7, 3, 2331},  // 1000 / 3 = 333 ms per tick
        {5, 0, 50},    // rate unknown: taken as 100
        {5, -1, 50},
        {500000000, 100, static_cast<uint32_t>(5000000000ull)},  // cut to 32 bits
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tiny::ticksToMs(cases[i].ticks, cases[i].hz), cases[i].ms);
    }
}

TEST(Clock, RealClockNeverGoesBackwards)
{
    tiny::setTickSource(nullptr);
    uint64_t last = tiny::getMs64();
    EXPECT_GT(last, 0u);
    for (int i = 0; i < 1000; ++i) {
        uint64_t now = tiny::getMs64();
        ASSERT_GE(now, last);
        last = now;
    }
}

TEST(Clock, WallClockMilliseconds)
{
    long long before = static_cast<long long>(time(nullptr)) * 1000;
    long long ms = tiny::millisec64();
    long long after = static_cast<long long>(time(nullptr)) * 1000 + 1000;
    EXPECT_GE(ms, before);
    EXPECT_LT(ms, after);
    EXPECT_GT(ms, 1LL << 32) << "the 64-bit value is not cut";
}

TEST(Clock, MsleepSplitsIntoSecondsAndNanoseconds)
{
    struct Case {
        int ms;
        time_t sec;
        long nsec;
    } cases[] = {
        {1500, 1, 500000000}, {0, 0, 0}, {999, 0, 999000000}, {1000, 1, 0}, {61001, 61, 1000000}, {-5, 0, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        timespec ts = tiny::msleepInterval(cases[i].ms);
        EXPECT_EQ(ts.tv_sec, cases[i].sec);
        EXPECT_EQ(ts.tv_nsec, cases[i].nsec);
    }
}

TEST(Clock, MsleepKeepsErrno)
{
    errno = EAGAIN;
    tiny::msleep(0);
    EXPECT_EQ(errno, EAGAIN);
    errno = ENOENT;
    tiny::msleep(-10);
    EXPECT_EQ(errno, ENOENT);
    errno = ENOENT;
    tiny::msleep(1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Clock, DayAndMonthNames)
{
    EXPECT_STREQ(tiny::getDayName(0), "Sun");
    EXPECT_STREQ(tiny::getDayName(6), "Sat");
    EXPECT_STREQ(tiny::getDayName(7), "Sun");
    EXPECT_STREQ(tiny::getDayName(-1), "Sun");
    EXPECT_STREQ(tiny::getMonthName(0), "Jan");
    EXPECT_STREQ(tiny::getMonthName(11), "Dec");
    EXPECT_STREQ(tiny::getMonthName(12), "Jan");
    EXPECT_STREQ(tiny::getMonthName(-1), "Jan");

    struct Case {
        const char* name;
        int num;
    } cases[] = {
        {"Jan", 0}, {"dec", 11}, {"SEP", 8}, {"Sept", 0}, {"", 0}, {nullptr, 0}, {"xyz", 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tiny::getMonthNum(cases[i].name), cases[i].num);
    }
}

// Sets TZ for the test and puts the previous value back.
class ClockInTimeZone : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("TZ");
        hadTz = old != nullptr;
        if (old)
            oldTz = old;
    }
    void TearDown() override
    {
        if (hadTz)
            setenv("TZ", oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void use(const char* tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    bool hadTz = false;
    std::string oldTz;
};

TEST_F(ClockInTimeZone, TimezoneOffsetAcrossDayAndYearBoundaries)
{
    struct Case {
        const char* tz;
        long t;
        long minutes;
    } cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1689422400, 120},  // 2023-07-15 12:00 UTC
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1689460200, 120},  // local already on the 16th
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1673784000, 60},   // winter time
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1672529400, 60},   // local already in the new year
        {"EST5EDT,M3.2.0,M11.1.0", 1689386400, -240},     // local still on the 14th
        {"EST5EDT,M3.2.0,M11.1.0", 1672542000, -300},     // local still in the old year
        {"EST5EDT,M3.2.0,M11.1.0", 1689422400, -240},
        {"IST-5:30", 1689451200, 330},
        {"UTC0", 1689451200, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        use(cases[i].tz);
        EXPECT_EQ(tiny::timezoneOffset(cases[i].t), cases[i].minutes);
    }
}

TEST_F(ClockInTimeZone, TimeConversionWrappers)
{
    use("UTC0");
    time_t epoch = 0;
    tm out{};
    ASSERT_EQ(tiny::z_gmtime_r(&epoch, &out), &out);
    EXPECT_EQ(out.tm_year, 70);
    char buf[64];
    EXPECT_STREQ(tiny::z_asctime_r(&out, buf), "Thu Jan  1 00:00:00 1970\n");
    EXPECT_STREQ(tiny::z_ctime_r(&epoch, buf), "Thu Jan  1 00:00:00 1970\n");

    use("CET-1CEST,M3.5.0,M10.5.0/3");
    ASSERT_EQ(tiny::z_localtime_r(&epoch, &out), &out);
    EXPECT_EQ(out.tm_hour, 1);

    tm now{};
    ASSERT_EQ(tiny::getLocalTime(&now), &now);
    EXPECT_GE(now.tm_year, 123);
}

} // namespace
