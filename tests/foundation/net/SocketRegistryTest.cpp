#include "foundation/net/SocketRegistry.h"
#include "foundation/net/TcpClientStream.h"

#include "LoopbackPeer.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using nettest::LoopbackPeer;
using nettest::readUntil;
using nettest::writeAll;
using zelvo::utils::basic_tcpclientiostream;
using zelvo::utils::InetSocketAddress;
using zelvo::utils::SocketRegistry;

namespace {

SocketRegistry* registryOfHandler = nullptr;
void cutFromHandler(int)
{
    registryOfHandler->shutdownAll();
}

// Fills slot after slot with one end of socket pairs; both ends of each pair
// are closed by the destructor.
struct SocketPairs {
    std::vector<int> ends;
    int open()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return -1;
        ends.push_back(fds[0]);
        ends.push_back(fds[1]);
        return fds[0];
    }
    ~SocketPairs()
    {
        for (int fd : ends)
            ::close(fd);
    }
};

bool readsEndOfFile(int fd)
{
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

} // namespace

// A read that waits on a silent peer returns at once when a signal handler
// cuts the registry; the peer's answer, sent only once the client gave up
// or much later, never arrives.
TEST(SocketRegistry, CutFromASignalHandlerEndsABlockedRead)
{
    SocketRegistry registry;
    registryOfHandler = &registry;
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = cutFromHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    const pthread_t reader = pthread_self();
    peer.serve([&](int fd) {
        readUntil(fd, "go\n");
        pthread_kill(reader, SIGUSR1);
        // The answer comes only when the client has not closed within the
        // time a blocked read would wait.
        if (readUntil(fd, "never").empty())
            return;
        writeAll(fd, "too late\n");
    });

    basic_tcpclientiostream s(InetSocketAddress(peer.url()), InetSocketAddress::any(), 4096, 4096);
    s.getBuffer()->setSocketRegistry(&registry);
    s.setTimeoutInSeconds(20);
    s.create();
    ASSERT_TRUE(s.good());
    s << "go\n";
    std::string line;
    const bool gotLine = bool(std::getline(s, line));
    s.close();
    peer.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_FALSE(gotLine) << line;
    EXPECT_TRUE(registry.isShutDown());
}

// Once cut, an attached buffer makes no new connection until the registry
// is reset; a buffer without the registry is not affected.
TEST(SocketRegistry, NoNewConnectionAfterTheCut)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve({[](int) {}, [](int) {}});
    SocketRegistry registry;
    registry.shutdownAll();

    basic_tcpclientiostream cut(InetSocketAddress(peer.url()), InetSocketAddress::any(), 4096, 4096);
    cut.getBuffer()->setSocketRegistry(&registry);
    cut.setTimeoutInSeconds(20);
    cut.create();
    EXPECT_TRUE(cut.bad());
    EXPECT_EQ(cut.getBuffer()->getSocket(), -1);

    basic_tcpclientiostream free(InetSocketAddress(peer.url()), InetSocketAddress::any(), 4096, 4096);
    free.setTimeoutInSeconds(20);
    free.create();
    EXPECT_TRUE(free.good());

    registry.reset();
    cut.create();
    EXPECT_TRUE(cut.good());
    cut.close();
    free.close();
    peer.join();
}

TEST(SocketRegistry, SlotsAreTakenFreedAndCutOnlyWhileRegistered)
{
    SocketPairs pairs;
    SocketRegistry registry;
    std::vector<int> added;
    for (int i = 0; i < SocketRegistry::capacity; ++i) {
        const int fd = pairs.open();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(registry.add(fd));
        added.push_back(fd);
    }
    const int extra = pairs.open();
    ASSERT_GE(extra, 0);
    EXPECT_FALSE(registry.add(extra)) << "a full registry takes no more";
    EXPECT_FALSE(registry.add(-1));

    registry.remove(added[0]);
    registry.shutdownAll();
    EXPECT_FALSE(readsEndOfFile(added[0])) << "a removed socket is left alone";
    for (size_t i = 1; i < added.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(readsEndOfFile(added[i]));
    }
    EXPECT_FALSE(readsEndOfFile(extra));

    // The freed slot takes a socket again, and after the cut it is cut as
    // it comes in.
    EXPECT_TRUE(registry.add(extra));
    EXPECT_TRUE(readsEndOfFile(extra));
}
