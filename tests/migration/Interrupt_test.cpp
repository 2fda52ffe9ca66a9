#include "migration/Interrupt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct InterruptTest : ::testing::Test {
    void SetUp() override
    {
        // Whatever started the tests may have left SIGINT ignored.
        std::signal(SIGINT, SIG_DFL);
        Interrupt::reset();
    }
    void TearDown() override
    {
        Interrupt::setHook(nullptr, nullptr);
        Interrupt::reset();
        std::signal(SIGINT, SIG_DFL);
    }
};

void countHook(void* context)
{
    ++*static_cast<int*>(context);
}

void shutdownHook(void* context)
{
    ::shutdown(*static_cast<int*>(context), SHUT_RDWR);
}

} // namespace

TEST_F(InterruptTest, SigintSetsTheFlagAndCountsEachSignal)
{
    Interrupt::install();
    EXPECT_FALSE(Interrupt::pending());
    EXPECT_EQ(0u, Interrupt::take());

    ASSERT_EQ(0, raise(SIGINT));
    EXPECT_TRUE(Interrupt::pending());
    EXPECT_TRUE(Interrupt::flag().load());
    ASSERT_EQ(0, raise(SIGINT));
    EXPECT_EQ(2u, Interrupt::take());
    EXPECT_EQ(0u, Interrupt::take());
    EXPECT_TRUE(Interrupt::pending()); // stays set after take

    ASSERT_EQ(0, raise(SIGINT));
    EXPECT_EQ(1u, Interrupt::take());
    EXPECT_EQ(3u, Interrupt::count()); // every request since the reset, taken or not

    Interrupt::reset();
    EXPECT_FALSE(Interrupt::pending());
    EXPECT_FALSE(Interrupt::flag().load());
    EXPECT_EQ(0u, Interrupt::count());
}

// A SIGINT ignored when the tool starts (as for a job started in the
// background of a script) stays ignored, as the other stop signals do.
TEST_F(InterruptTest, IgnoredSigintStaysIgnored)
{
    std::signal(SIGINT, SIG_IGN);
    Interrupt::install();
    struct sigaction now;
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &now));
    EXPECT_EQ(SIG_IGN, now.sa_handler);
    ASSERT_EQ(0, raise(SIGINT));
    EXPECT_FALSE(Interrupt::pending());
}

TEST_F(InterruptTest, HookRunsInTheHandlerWithItsContext)
{
    Interrupt::install();
    int first = 0, second = 0;
    Interrupt::setHook(countHook, &first);
    raise(SIGINT);
    Interrupt::setHook(countHook, &second);
    raise(SIGINT);
    raise(SIGINT);
    Interrupt::setHook(nullptr, nullptr);
    raise(SIGINT);
    EXPECT_EQ(1, first);
    EXPECT_EQ(2, second);
    EXPECT_EQ(4u, Interrupt::take());
}

TEST_F(InterruptTest, HookCanShutDownASocketToEndABlockedRead)
{
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    Interrupt::install();
    Interrupt::setHook(shutdownHook, &fds[0]);
    raise(SIGINT);
    char c;
    // The peer is still open, so only the shutdown makes this read return.
    EXPECT_EQ(0, read(fds[0], &c, 1));
    close(fds[0]);
    close(fds[1]);
}

TEST_F(InterruptTest, RequestWithoutASignalBehavesLikeOne)
{
    int calls = 0;
    Interrupt::setHook(countHook, &calls);
    Interrupt::request();
    EXPECT_TRUE(Interrupt::pending());
    EXPECT_EQ(1u, Interrupt::take());
    EXPECT_EQ(1, calls);
}

TEST_F(InterruptTest, HandlerKeepsTheInterruptedCodesErrno)
{
    Interrupt::install();
    int badDescriptor = -1; // the hook's shutdown fails with EBADF
    Interrupt::setHook(shutdownHook, &badDescriptor);
    errno = ENOENT;
    raise(SIGINT);
    EXPECT_EQ(ENOENT, errno);
}

namespace {

struct StopSignal {
    const char* name;
    int number;
};

std::vector<StopSignal> stopSignals()
{
    std::vector<StopSignal> out = {{"TERM", SIGTERM},     {"HUP", SIGHUP},   {"USR1", SIGUSR1},
                                   {"USR2", SIGUSR2},     {"ALRM", SIGALRM}, {"VTALRM", SIGVTALRM},
                                   {"PROF", SIGPROF},     {"XCPU", SIGXCPU}, {"XFSZ", SIGXFSZ},
                                   {"IO", SIGIO},         {"PWR", SIGPWR},   {"STKFLT", SIGSTKFLT}};
    for (int n = SIGRTMIN; n <= SIGRTMAX; ++n)
        out.push_back({"RT", n});
    return out;
}

struct StopSignalsTest : InterruptTest {
    void TearDown() override
    {
        for (const StopSignal& s : stopSignals())
            std::signal(s.number, SIG_DFL);
        InterruptTest::TearDown();
    }
};

} // namespace

// Each would end the process by default; each becomes one request instead.
TEST_F(StopSignalsTest, EveryCatchableEndingSignalIsARequest)
{
    for (const StopSignal& s : stopSignals())
        std::signal(s.number, SIG_DFL);
    Interrupt::installStopSignals();
    for (const StopSignal& s : stopSignals()) {
        SCOPED_TRACE(std::string(s.name) + " " + std::to_string(s.number));
        ASSERT_EQ(0, raise(s.number));
        EXPECT_EQ(1u, Interrupt::take());
    }
    EXPECT_TRUE(Interrupt::pending());
}

// One ignored before (as SIGHUP under nohup) stays ignored; SIGQUIT and the
// signals of faults keep their actions.
TEST_F(StopSignalsTest, IgnoredSignalsAndHardKillsAreLeftAlone)
{
    for (const StopSignal& s : stopSignals())
        std::signal(s.number, SIG_IGN);
    Interrupt::installStopSignals();
    for (const StopSignal& s : stopSignals()) {
        SCOPED_TRACE(std::string(s.name) + " " + std::to_string(s.number));
        struct sigaction now;
        ASSERT_EQ(0, sigaction(s.number, nullptr, &now));
        EXPECT_EQ(SIG_IGN, now.sa_handler);
        ASSERT_EQ(0, raise(s.number));
    }
    EXPECT_EQ(0u, Interrupt::take());
    for (int kept : {SIGQUIT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) {
        SCOPED_TRACE(kept);
        struct sigaction now;
        ASSERT_EQ(0, sigaction(kept, nullptr, &now));
        EXPECT_NE(reinterpret_cast<void*>(catch_signal), reinterpret_cast<void*>(now.sa_handler));
    }
}
