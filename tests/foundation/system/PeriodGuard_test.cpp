#include "foundation/system/PeriodGuard.h"

#include "FakeTickSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using zelvo::tiny::PeriodGuard;
using testclock::FakeTickSource;

namespace {

constexpr uint32_t second = 1000;
// Any start but 0, which a guard reads as "stopped".
constexpr uint32_t origin = 5000000;

TEST(PeriodGuard, OneShotStaysPassed)
{
    FakeTickSource clock(origin);
    PeriodGuard guard(30, PeriodGuard::oneShot);
    guard.start();
    long elapsed = -1;
    clock.advance(30 * second - 1);
    EXPECT_FALSE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 29);
    clock.advance(1 * second + 1);
    EXPECT_TRUE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 31);
    EXPECT_TRUE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 31);
    clock.advance(100 * second);
    EXPECT_TRUE(guard.hasPeriodOccured(nullptr));
}

TEST(PeriodGuard, PeriodicCatchesUpOnePeriodPerTest)
{
    FakeTickSource clock(origin);
    PeriodGuard guard(10, PeriodGuard::periodic);
    guard.start();
    clock.advance(35 * second);
    long elapsed = 0;
    EXPECT_TRUE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 35);
    EXPECT_TRUE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 25);
    EXPECT_TRUE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 15);
    EXPECT_FALSE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 5);
    clock.advance(4 * second);
    EXPECT_FALSE(guard.hasPeriodOccured());
    clock.advance(1 * second);
    EXPECT_TRUE(guard.hasPeriodOccured());
    EXPECT_FALSE(guard.hasPeriodOccured());
}

TEST(PeriodGuard, RestartOnCheckNeverFiresWhenTestedOften)
{
    FakeTickSource clock(origin);
    PeriodGuard guard(10, PeriodGuard::restartOnCheck);
    guard.start();
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        clock.advance(5 * second);
        long elapsed = -1;
        EXPECT_FALSE(guard.hasPeriodOccured(&elapsed));
        EXPECT_EQ(elapsed, 5);
    }
    clock.advance(10 * second);
    EXPECT_TRUE(guard.hasPeriodOccured());
    EXPECT_TRUE(guard.hasPeriodOccured()) << "a passed period does not restart";
}

TEST(PeriodGuard, StoppedGuardNeverFires)
{
    FakeTickSource clock(origin);
    PeriodGuard guard(1, PeriodGuard::oneShot);
    long elapsed = 99;
    clock.advance(10 * second);
    EXPECT_FALSE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 0);

    guard.start();
    clock.advance(10 * second);
    guard.stop();
    elapsed = 99;
    EXPECT_FALSE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 0);
}

TEST(PeriodGuard, PeriodRunsAcrossTheWrapOfTheTickCount)
{
    FakeTickSource clock(0xFFFFFFFFu - 10 * second);
    PeriodGuard guard(30, PeriodGuard::oneShot);
    guard.start();
    clock.advance(29 * second);  // wraps the 32-bit count
    long elapsed = 0;
    EXPECT_FALSE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 29);
    clock.advance(2 * second);
    EXPECT_TRUE(guard.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 31);
}

TEST(PeriodGuard, ChangePeriodKeepsStart)
{
    FakeTickSource clock(origin);
    PeriodGuard guard(30, PeriodGuard::oneShot);
    guard.start();
    clock.advance(20 * second);
    EXPECT_FALSE(guard.hasPeriodOccured());
    guard.changePeriod(15);
    EXPECT_TRUE(guard.hasPeriodOccured());
}

TEST(PeriodGuard, ElapsedAndRemainingTime)
{
    FakeTickSource clock(origin);
    PeriodGuard guard(30, PeriodGuard::periodic);
    guard.start();
    clock.advance(12 * second + 999);
    EXPECT_EQ(guard.getElapsedTime(), 12);
    EXPECT_EQ(guard.getRemainingTime(), 18);
    clock.advance(28 * second);
    EXPECT_EQ(guard.getElapsedTime(), 40);
    EXPECT_EQ(guard.getRemainingTime(), -10);
}

TEST(PeriodGuard, CopiesTakeModePeriodAndStart)
{
    FakeTickSource clock(origin);
    PeriodGuard source(10, PeriodGuard::periodic);
    source.start();
    clock.advance(5 * second);

    PeriodGuard assigned(99, PeriodGuard::oneShot);
    assigned = source;
    PeriodGuard copied(source);
    clock.advance(30 * second);
    for (PeriodGuard* g : {&assigned, &copied}) {
        long elapsed = 0;
        EXPECT_TRUE(g->hasPeriodOccured(&elapsed));
        EXPECT_EQ(elapsed, 35);
        EXPECT_TRUE(g->hasPeriodOccured());
        EXPECT_TRUE(g->hasPeriodOccured());
        EXPECT_FALSE(g->hasPeriodOccured()) << "periodic mode was copied";
    }
    // The copies moved their own start, not the source's.
    long elapsed = 0;
    EXPECT_TRUE(source.hasPeriodOccured(&elapsed));
    EXPECT_EQ(elapsed, 35);

    assigned = assigned;
    EXPECT_EQ(assigned.getElapsedTime(), 5);
}

TEST(PeriodGuard, ConcurrentTestsCountEachPeriodOnce)
{
    FakeTickSource clock(origin);
    PeriodGuard guard(10, PeriodGuard::periodic);
    guard.start();
    clock.advance(35 * second);
    std::atomic<int> fired{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                if (guard.hasPeriodOccured())
                    ++fired;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(fired.load(), 3);
}

} // namespace
