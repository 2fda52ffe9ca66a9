#include "migration/Interrupt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct InterruptTest : ::testing::Test {
    void SetUp() override { Interrupt::reset(); }
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
