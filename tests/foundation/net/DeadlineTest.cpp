#include "foundation/net/Deadline.h"
#include "foundation/net/TcpClientStream.h"

#include "tests/support/SignalStorm.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <functional>
#include <thread>

using zelvo::utils::Deadline;
using Clock = Deadline::Clock;
using namespace std::chrono_literals;

namespace {

// What a deadline reports right after it was made from the time just before.
struct Reading {
    Clock::duration spent;  // from the time given to make() to the last reading
    bool unlimited;
    bool passed;
    int pollMillis;
    long long microseconds;
};

Reading read(const std::function<Deadline(Clock::time_point)>& make)
{
    const Clock::time_point before = Clock::now();
    const Deadline deadline = make(before);
    Reading r;
    r.unlimited = deadline.unlimited();
    r.passed = deadline.passed();
    r.pollMillis = deadline.pollMillisLeft();
    r.microseconds = deadline.microsecondsLeft().count();
    r.spent = Clock::now() - before;
    return r;
}

// Readings taken within a microsecond of the deadline's start have one
// right answer each, rounded up: a wait resumed with what is left never
// ends before the deadline, a passed one never waits, "no limit" never
// passes.
TEST(Deadline, WhatIsLeftAtTheStart)
{
    const long long thirtyDaysUs = 30LL * 24 * 3600 * 1000000;
    struct Row {
        const char* name;
        std::function<Deadline(Clock::time_point)> make;
        bool unlimited;
        bool passed;
        int pollMillis;
        long long microseconds;  // -1: not part of the contract
    } rows[] = {
        {"-1 ms for poll", [](Clock::time_point) { return Deadline::afterPollMillis(-1); }, true, false, -1, -1},
        {"0 ms for poll", [](Clock::time_point) { return Deadline::afterPollMillis(0); }, false, true, 0, 0},
        {"1 ms for poll", [](Clock::time_point) { return Deadline::afterPollMillis(1); }, false, false, 1, 1000},
        {"INT_MAX ms for poll", [](Clock::time_point) { return Deadline::afterPollMillis(INT_MAX); }, false,
         false, INT_MAX, INT_MAX * 1000LL},
        {"-1 s", [](Clock::time_point start) { return Deadline(start, -1s); }, false, true, 0, 0},
        {"0 s", [](Clock::time_point start) { return Deadline(start, 0s); }, false, true, 0, 0},
        {"1500 us", [](Clock::time_point start) { return Deadline(start, 1500us); }, false, false, 2, 1500},
        {"30 days", [](Clock::time_point start) { return Deadline(start, 24h * 30); }, false, false, INT_MAX,
         thirtyDaysUs},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A reading that took longer (the thread was descheduled) could
        // round either way; it is taken again.
        Reading r{};
        int attempts = 0;
        do
            r = read(row.make);
        while (r.spent >= 1us && ++attempts < 100000);
        ASSERT_LT(r.spent, 1us) << "no reading within a microsecond";
        EXPECT_EQ(row.unlimited, r.unlimited);
        EXPECT_EQ(row.passed, r.passed);
        EXPECT_EQ(row.pollMillis, r.pollMillis);
        if (row.microseconds >= 0) {
            EXPECT_EQ(row.microseconds, r.microseconds);
        }
    }
}

TEST(Deadline, APassedDeadlineStaysPassed)
{
    const Deadline deadline = Deadline::afterPollMillis(1);
    const Deadline earlier(Clock::now() - 1h, 30min);
    std::this_thread::sleep_for(2ms);
    for (const Deadline* d : {&deadline, &earlier}) {
        EXPECT_FALSE(d->unlimited());
        EXPECT_TRUE(d->passed());
        EXPECT_EQ(0, d->pollMillisLeft());
        EXPECT_EQ(0, d->microsecondsLeft().count());
    }
}

// A signal every millisecond interrupts selectSock's poll again and again;
// each resumed wait must take only what is left, rounded up: the wait ends
// at its time, neither before nor after. When the signals have all been
// sent, the socket becomes readable, so a wait that never ends fails too.
TEST(Deadline, AShortWaitUnderASignalStormEndsAtItsTime)
{
    constexpr auto wait = 100ms;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        int pair[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
        int result;
        Clock::duration took;
        int signals;
        {
            testsupport::SignalStorm storm(pthread_self(), 1, 5000, [&] { (void)!::write(pair[1], "x", 1); });
            const Clock::time_point start = Clock::now();
            result = zelvo::utils::selectSock(pair[0], true, int(wait.count()));
            took = Clock::now() - start;
            storm.stop();
            signals = testsupport::SignalStorm::received();
        }
        ::close(pair[0]);
        ::close(pair[1]);
        const auto tookUs = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
        EXPECT_EQ(0, result);
        EXPECT_GE(tookUs, std::chrono::microseconds(wait).count());
        EXPECT_LT(tookUs, std::chrono::microseconds(wait + 40ms).count());
        EXPECT_GT(signals, 0);
    }
}

}  // namespace
