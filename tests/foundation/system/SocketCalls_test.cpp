#include "foundation/system/SocketCalls.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tiny = zelvo::tiny;

namespace {

// Both ends of a connected socket pair, closed at the end of the test.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~SocketPair()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
};

TEST(SocketCalls, StartAndShutdownHooksSucceedAndIgnoreSigpipe)
{
    std::signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(tiny::initSockets(), 0);
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
    EXPECT_EQ(tiny::closeSockets(), 0);

    // A plain write to a pipe without reader now fails instead of killing us.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    errno = 0;
    EXPECT_EQ(write(p[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(p[1]);
}

TEST(SocketCalls, SetSockTimeoutCapsAtFiveMinutes)
{
    struct Case {
        int optname;
        int seconds;
        long expected;
    } cases[] = {
        {SO_RCVTIMEO, 5, 5},
        {SO_SNDTIMEO, 5, 5},
        {SO_RCVTIMEO, 300, 300},
        {SO_RCVTIMEO, 301, 300},
        {SO_SNDTIMEO, 600, 300},
        {SO_RCVTIMEO, 0, 0},
    };
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        EXPECT_EQ(tiny::setSockTimeout(fd, c.optname, c.seconds), 0);
        timeval tv{};
        socklen_t len = sizeof tv;
        ASSERT_EQ(getsockopt(fd, SOL_SOCKET, c.optname, &tv, &len), 0);
        EXPECT_EQ(tv.tv_sec, c.expected);
        EXPECT_EQ(tv.tv_usec, 0);
    }
    close(fd);
}

TEST(SocketCalls, SetSockTimeoutRejectsMissingDescriptorWithoutSystemCall)
{
    errno = 4242;
    EXPECT_EQ(tiny::setSockTimeout(-1, SO_RCVTIMEO, 10), -1);
    EXPECT_EQ(errno, 4242);

    // A descriptor that is not a socket reaches setsockopt and fails there.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(tiny::setSockTimeout(p[0], SO_RCVTIMEO, 10), -1);
    EXPECT_EQ(errno, ENOTSOCK);
    close(p[0]);
    close(p[1]);
}

TEST(SocketCalls, SockBlockModeTogglesNonBlocking)
{
    SocketPair sp;
    EXPECT_EQ(tiny::sockBlockMode(sp.fd[0], 0), 0);
    EXPECT_TRUE(fcntl(sp.fd[0], F_GETFL) & O_NONBLOCK);
    char c;
    EXPECT_EQ(read(sp.fd[0], &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(tiny::sockBlockMode(sp.fd[0], 1), 0);
    EXPECT_FALSE(fcntl(sp.fd[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(tiny::sockBlockMode(-1, 1), -1);
}

TEST(SocketCalls, ResetSocketAbortsTheConnection)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);

    EXPECT_EQ(tiny::resetsocket(client), 0);
    char c;
    errno = 0;
    EXPECT_EQ(read(server, &c, 1), -1);
    EXPECT_EQ(errno, ECONNRESET);
    close(server);
    close(listener);
}

TEST(SocketCalls, ResetSocketKeepsDescriptorWhenLingerCannotBeSet)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(tiny::resetsocket(p[0]), -1);
    EXPECT_NE(fcntl(p[0], F_GETFD), -1) << "descriptor was closed";
    close(p[0]);
    close(p[1]);
}

TEST(SocketCalls, DescriptorCalls)
{
    EXPECT_EQ(tiny::do_open(nullptr), -1);
    EXPECT_EQ(tiny::do_open("/nonexistent/zelvo-file"), -1);
    int fd = tiny::do_open("/dev/null");
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tiny::do_close(fd), 0);

    SocketPair sp;
    EXPECT_EQ(tiny::do_write(sp.fd[0], "hello", 5), 5);
    int pending = 0;
    EXPECT_EQ(tiny::do_ioctl(sp.fd[1], FIONREAD, &pending, sizeof pending), 0);
    EXPECT_EQ(pending, 5);
    char buf[16] = {};
    EXPECT_EQ(tiny::do_read(sp.fd[1], buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");

    EXPECT_EQ(tiny::do_read(-1, buf, sizeof buf), -1);
    EXPECT_EQ(closesocket(sp.fd[0]), 0);
    sp.fd[0] = -1;
    // The peer has gone: end of file.
    EXPECT_EQ(tiny::do_read(sp.fd[1], buf, sizeof buf), 0);
}

TEST(SocketCalls, WriteToClosedPeerFailsWithoutSignal)
{
    // Even with SIGPIPE at its default, the socket write must not kill us.
    std::signal(SIGPIPE, SIG_DFL);
    SocketPair sp;
    close(sp.fd[1]);
    sp.fd[1] = -1;
    errno = 0;
    EXPECT_EQ(tiny::do_write(sp.fd[0], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    tiny::initSockets();
}

TEST(SocketCalls, ReadWorksOnDescriptorsBeyondSelectLimit)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    constexpr int high = 1500;
    if (lim.rlim_cur <= static_cast<rlim_t>(high)) {
        if (lim.rlim_max <= static_cast<rlim_t>(high))
            GTEST_SKIP() << "descriptor limit too low";
        lim.rlim_cur = high + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    SocketPair sp;
    ASSERT_EQ(dup2(sp.fd[1], high), high);
    EXPECT_EQ(tiny::do_write(sp.fd[0], "abc", 3), 3);
    char buf[4] = {};
    EXPECT_EQ(tiny::do_read(high, buf, 3), 3);
    EXPECT_STREQ(buf, "abc");
    close(high);
}

void testerA(int, int) {}

TEST(SocketCalls, CloseSocketTesterIsStoredAndReturned)
{
    EXPECT_EQ(tiny::getCloseSocketTester(), nullptr);
    tiny::installCloseSocketTester(&testerA);
    EXPECT_EQ(tiny::getCloseSocketTester(), &testerA);
    tiny::installCloseSocketTester(nullptr);
    EXPECT_EQ(tiny::getCloseSocketTester(), nullptr);
}

} // namespace
