#include "foundation/tls/ZSock.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/foundation/tls/TlsPeer.h"

using zelvo::utils::ZSock;

namespace {

// Two connected stream sockets; the test owns both until it hands one to a
// ZSock.
struct Pair {
    int ours = -1;
    int theirs = -1;
    Pair()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            ours = fds[0];
            theirs = fds[1];
        }
    }
    ~Pair()
    {
        if (theirs != -1)
            ::close(theirs);
    }
};

std::string readPeer(int fd)
{
    std::string all;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
        all.append(chunk, static_cast<size_t>(n));
    return all;
}

TEST(ZSockTest, StreamsBothWaysOverTheDescriptor)
{
    Pair pair;
    ZSock sock;
    ASSERT_TRUE(sock.open(pair.ours));
    ASSERT_EQ(5, sock.write("hello", 5));
    ASSERT_EQ(0, sock.flush());
    char got[16] = {};
    ASSERT_EQ(5, ::read(pair.theirs, got, sizeof got));
    EXPECT_STREQ("hello", got);

    ASSERT_EQ(6, ::write(pair.theirs, "world\n", 6));
    char line[16];
    EXPECT_EQ(6, sock.gets(line, sizeof line, false));
    EXPECT_STREQ("world\n", line);
}

TEST(ZSockTest, CloseSendsPendingOutputAndEndsTheStream)
{
    Pair pair;
    {
        ZSock sock;
        sock.open(pair.ours);
        sock.write("last words", 10);
        sock.close();
        EXPECT_EQ(-1, sock.getFd());
        EXPECT_TRUE(sock.isClosed());
        sock.close();  // a second close does nothing
    }
    EXPECT_EQ("last words", readPeer(pair.theirs));
}

TEST(ZSockTest, DestructorClosesToo)
{
    Pair pair;
    {
        ZSock sock;
        sock.open(pair.ours);
        sock.write("bye", 3);
    }
    EXPECT_EQ("bye", readPeer(pair.theirs));
}

TEST(ZSockTest, WithoutDescriptorEverythingFails)
{
    ZSock sock;
    sockaddr_in address;
    char value[4] = {};
    EXPECT_TRUE(sock.isReadEof());
    EXPECT_TRUE(sock.isClosed());
    EXPECT_FALSE(sock.getSockName(reinterpret_cast<sockaddr*>(&address)));
    EXPECT_FALSE(sock.getPeerName(reinterpret_cast<sockaddr*>(&address)));
    EXPECT_FALSE(sock.setSockOpt(SOL_SOCKET, SO_KEEPALIVE, value, sizeof value));
    EXPECT_EQ(-1, sock.select(ZSock::SelectRead, 0));
}

TEST(ZSockTest, SelectTakesAnyNumberOfSeconds)
{
    // Seconds beyond poll's int milliseconds wait the longest it can; none
    // overflows into a short wait (or undefined behaviour).
    Pair pair;
    ZSock sock;
    sock.open(pair.ours);
    ::write(pair.theirs, "x", 1);
    for (int seconds : {1, 2147483, 2147484, 3000000, 4294968, INT_MAX, -1, INT_MIN}) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(1, sock.select(ZSock::SelectWrite, seconds));
        EXPECT_EQ(1, sock.select(ZSock::SelectRead, seconds));
    }
}

TEST(ZSockTest, SelectOfANeverReadySocketWaitsForItsEvent)
{
    // Each time waits on a socket of its own that stays silent until the
    // event. A conversion that wrapped (4294968 s to 704 ms, 42949673 s to
    // 40 ms) or overflowed would end the wait before it.
    const int times[] = {4294968, 42949673, 115964117, 2147484, INT_MAX, -1};
    constexpr std::size_t count = sizeof times / sizeof times[0];
    Pair pairs[count];
    ZSock socks[count];
    std::atomic<pid_t> waiters[count] = {};
    std::atomic<bool> returned[count] = {};
    std::atomic<bool> eventSent{false};
    int results[count] = {};
    bool sawEvent[count] = {};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) {
        socks[i].open(pairs[i].ours);
        threads.emplace_back([&, i] {
            waiters[i] = static_cast<pid_t>(::syscall(SYS_gettid));
            results[i] = socks[i].select(ZSock::SelectRead, times[i]);
            sawEvent[i] = eventSent;
            returned[i] = true;
        });
    }
    // Every wait has begun (or already ended) before the event is timed.
    for (std::size_t i = 0; i < count; ++i)
        for (int tries = 0; tries < 2000 && !returned[i]; ++tries) {
            if (waiters[i] && tlstest::sleepsInKernel(waiters[i]))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    // Longer than any wrapped wait above.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    eventSent = true;
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(1, ::write(pairs[i].theirs, "x", 1));
    for (std::thread& t : threads)
        t.join();
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(times[i]);
        EXPECT_TRUE(sawEvent[i]) << "select returned " << results[i] << " before the socket became ready";
        EXPECT_EQ(1, results[i]);
    }
}

TEST(ZSockTest, SelectAndReadEofFollowTheSocket)
{
    Pair pair;
    ZSock sock;
    sock.open(pair.ours);
    EXPECT_EQ(-1, sock.select(ZSock::SelectNotSupported, 0));
    EXPECT_EQ(1, sock.select(ZSock::SelectWrite, 0));
    EXPECT_EQ(0, sock.select(ZSock::SelectRead, 0));
    EXPECT_TRUE(sock.isReadEof());
    EXPECT_FALSE(sock.isClosed());

    ::write(pair.theirs, "ab", 2);
    EXPECT_EQ(1, sock.select(ZSock::SelectRead, 1));
    EXPECT_FALSE(sock.isReadEof());
    char c;
    ASSERT_EQ(1, sock.read(&c, 1));
    EXPECT_FALSE(sock.isReadEof()) << "one byte is still buffered";
    ASSERT_EQ(1, sock.read(&c, 1));
    EXPECT_TRUE(sock.isReadEof());

    ::close(pair.theirs);
    pair.theirs = -1;
    EXPECT_FALSE(sock.isReadEof()) << "the peer's end counts as something to read";
}

TEST(ZSockTest, ClosedDescriptorIsSeen)
{
    Pair pair;
    ZSock sock;
    int fd = ::dup(pair.ours);
    ::close(pair.ours);
    sock.open(fd);
    EXPECT_FALSE(sock.isClosed());
    ::close(fd);
    EXPECT_TRUE(sock.isClosed());
    sock.open(-1);
}

// True when a read on sock waits until the byte that peer writes once the
// read sleeps in the kernel (or has already returned) arrives, and gets it.
bool readWaitsForData(ZSock& sock, int peer)
{
    std::atomic<pid_t> reader{0};
    std::atomic<bool> returned{false};
    int got = 0;
    std::thread thread([&] {
        reader = static_cast<pid_t>(::syscall(SYS_gettid));
        char c;
        got = sock.read(&c, 1);
        returned = true;
    });
    for (int tries = 0; tries < 2000 && !returned; ++tries) {
        if (reader && tlstest::sleepsInKernel(reader))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool early = returned;
    const bool written = ::write(peer, "x", 1) == 1;
    thread.join();
    return written && !early && got == 1;
}

TEST(ZSockTest, TimeoutsAreWholeSeconds)
{
    struct Row {
        int ms;
        long seconds;
    };
    // Beyond INT_MAX - 999 ms a started second must not overflow; a negative
    // time is none, never a negative time-out.
    const Row rows[] = {
        {0, 0},      {1, 1},      {999, 1},        {1000, 1},           {1001, 2},       {2500, 3},
        {900000, 300}, {INT_MAX - 999, 300}, {INT_MAX - 998, 300}, {INT_MAX, 300},
        {-1, 0},     {-5000, 0},  {INT_MIN, 0},
    };
    Pair pair;
    ZSock sock;
    sock.open(pair.ours);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ms);
        sock.setReadTimeout(row.ms);
        sock.setWriteTimeout(row.ms);
        timeval tv{};
        socklen_t length = sizeof tv;
        ASSERT_EQ(0, ::getsockopt(pair.ours, SOL_SOCKET, SO_RCVTIMEO, &tv, &length));
        EXPECT_EQ(row.seconds, tv.tv_sec);
        ASSERT_EQ(0, ::getsockopt(pair.ours, SOL_SOCKET, SO_SNDTIMEO, &tv, &length));
        EXPECT_EQ(row.seconds, tv.tv_sec);
        if (row.ms < 0) {
            // Linux would store a negative time-out as "return at once" and
            // read it back as 0 too: only a read tells the two apart.
            EXPECT_TRUE(readWaitsForData(sock, pair.theirs));
        }
    }
}

TEST(ZSockTest, AddressesOfATcpConnection)
{
    tlstest::Listener listener;
    int client = tlstest::connectTo(listener.port());
    ASSERT_NE(-1, client);
    int server = listener.acceptOne();
    ZSock sock;
    sock.open(client);

    sockaddr_in local{}, peer{};
    ASSERT_TRUE(sock.getSockName(reinterpret_cast<sockaddr*>(&local)));
    ASSERT_TRUE(sock.getPeerName(reinterpret_cast<sockaddr*>(&peer)));
    EXPECT_EQ(listener.port(), ntohs(peer.sin_port));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), local.sin_addr.s_addr);
    EXPECT_NE(0, local.sin_port);

    int on = 1;
    EXPECT_TRUE(sock.setSockOpt(SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), sizeof on));
    ::close(server);
}

TEST(ZSockTest, WriteToAGonePeerFailsWithoutSignal)
{
    std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this test's process
    Pair pair;
    ZSock sock;
    sock.open(pair.ours);
    ::close(pair.theirs);
    pair.theirs = -1;
    EXPECT_EQ(3, sock.write("abc", 3));
    EXPECT_EQ(-1, sock.flush());
}

}  // namespace
