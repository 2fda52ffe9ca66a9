#include "foundation/net/TcpClientStream.h"
#include "foundation/system/Exception.h"

#include "LoopbackPeer.h"
#include "foundation/net/SocketRegistry.h"
#include "tests/support/SignalStorm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <climits>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

using nettest::LoopbackPeer;
using nettest::readToEnd;
using nettest::readUntil;
using nettest::writeAll;
using zelvo::utils::basic_tcpclientbuffer;
using zelvo::utils::basic_tcpclientiostream;
using zelvo::utils::FdSet4096;
using zelvo::utils::InetSocketAddress;
using zelvo::utils::selectSock;
using zelvo::utils::tcpbuffer;

namespace {

// Long enough never to run out on a working connection; it only bounds how
// long a broken test hangs.
constexpr unsigned safetyTimeoutSeconds = 20;

std::unique_ptr<basic_tcpclientiostream> connectTo(const LoopbackPeer& peer, int inSize = 4096,
                                                   int outSize = 4096)
{
    auto s = std::make_unique<basic_tcpclientiostream>(InetSocketAddress(peer.url()),
                                                       InetSocketAddress::any(), inSize, outSize);
    s->setTimeoutInSeconds(safetyTimeoutSeconds);
    s->create();
    return s;
}

// Every byte value, several times over, in a length that is not a multiple
// of the buffer size.
std::string binaryPayload(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xff);
    return bytes;
}

// A listener on 127.0.0.1 whose queue of length 0 one connection fills:
// it is never accepted, and the SYNs of any further connect are dropped,
// so that connect waits without an answer.
class FullListener {
public:
    FullListener()
    {
        if (!zelvo::utils::sockListenIp4(listenFd, htonl(INADDR_LOOPBACK), 0, &port, 0))
            return;
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        filled = ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~FullListener()
    {
        if (filler >= 0)
            ::close(filler);
        if (listenFd >= 0)
            ::close(listenFd);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    bool ok() const { return filled; }
    std::string url() const { return "imap://127.0.0.1:" + std::to_string(port); }

private:
    int listenFd = -1;
    int filler = -1;
    unsigned short port = 0;
    bool filled = false;
};

// A client buffer that records the transfers and can be told to cut or fail
// the next sends.
class RecordingBuffer : public basic_tcpclientbuffer {
public:
    RecordingBuffer(const InetSocketAddress& peer)
        : basic_tcpclientbuffer(peer, InetSocketAddress::any(), 4096, 4096)
    {
        setTimeoutInSeconds(safetyTimeoutSeconds);
    }

    int sendData(void* data, int len) override
    {
        sendLengths.push_back(len);
        if (!sendPlan.empty()) {
            const int step = sendPlan.front();
            sendPlan.erase(sendPlan.begin());
            if (step < 0) {
                errno = EPIPE;
                return -1;
            }
            len = std::min(len, step);
        }
        return basic_tcpclientbuffer::sendData(data, len);
    }

    int recvData(void* data, int len) override
    {
        recvLengths.push_back(len);
        return basic_tcpclientbuffer::recvData(data, len);
    }

    std::vector<int> sendLengths;
    std::vector<int> recvLengths;
    // Per coming send: the most bytes to pass on, or -1 to fail it.
    std::vector<int> sendPlan;
};

TEST(TcpClientStream, ConstructionTouchesNoNetwork)
{
    // Nothing listens on this address, and nothing is tried.
    basic_tcpclientiostream s(InetSocketAddress(zelvo::utils::Inet4Address(0x7F000001u), 1),
                              InetSocketAddress::any(), 4096, 4096);
    EXPECT_TRUE(s.good());
    EXPECT_FALSE(s.isConnected());
    EXPECT_EQ(s.getBuffer()->getSocket(), -1);
    EXPECT_EQ(s.getBuffer()->getTimeout(), 30000000u);
    s.setTimeoutInSeconds(180);
    s.setTimeoutInuSeconds(5);
    EXPECT_EQ(s.getBuffer()->getTimeout(), 180000005u);
}

TEST(TcpClientStream, ReadsLinesAndBinaryBytesExactly)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    const std::string payload = binaryPayload(50000);
    peer.serve([&](int fd) { writeAll(fd, "\xff" "line one\r\n" + payload); });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    EXPECT_TRUE(s->isConnected());

    // 0xFF is data, not end-of-file.
    EXPECT_EQ(s->get(), 0xFF);
    EXPECT_TRUE(s->good());
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "line one\r");

    std::string got(payload.size(), '\0');
    s->read(&got[0], std::streamsize(got.size()));
    EXPECT_EQ(s->gcount(), std::streamsize(payload.size()));
    EXPECT_TRUE(got == payload) << "payload differs";

    // The peer closed: end-of-file, not an error.
    EXPECT_EQ(s->get(), std::char_traits<char>::eof());
    EXPECT_TRUE(s->eof());
    EXPECT_FALSE(s->bad());
    EXPECT_EQ(s->getSocketState(), 0);
}

TEST(TcpClientStream, ReadsThroughSmallBuffersAndSplitLines)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    std::string expected;
    for (int i = 0; i < 200; ++i)
        expected += "* " + std::to_string(i) + " FETCH (FLAGS (\\Seen))\r\n";
    peer.serve([&](int fd) {
        // Pieces of odd sizes, so lines straddle every refill.
        for (size_t at = 0; at < expected.size(); at += 13)
            writeAll(fd, expected.substr(at, 13));
    });

    auto s = connectTo(peer, 7, 5);
    ASSERT_TRUE(s->good());
    std::string all, line;
    while (std::getline(*s, line))
        all += line + "\n";
    EXPECT_EQ(all, expected);
}

TEST(TcpClientStream, UnflushedCommandIsSentBeforeReadWaits)
{
    std::string received;
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) {
        received = readUntil(fd, "\r\n");
        writeAll(fd, "Z0 OK done\r\n");
    });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    s->create(); // already connected: keeps the connection
    ASSERT_TRUE(s->good());
    *s << "Z0 NOOP\r\n"; // no flush
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "Z0 OK done\r");
    peer.join();
    EXPECT_EQ(received, "Z0 NOOP\r\n");
}

TEST(TcpClientStream, ReadTimeoutEndsGetlineAndStreamRecovers)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) {
        readUntil(fd, "go\n");
        writeAll(fd, "late\n");
    });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    s->setTimeoutInSeconds(0);
    s->setTimeoutInuSeconds(100000);

    std::string line = "stale";
    EXPECT_FALSE(std::getline(*s, line));
    EXPECT_TRUE(s->fail());
    EXPECT_TRUE(s->eof());
    EXPECT_FALSE(s->bad());
    EXPECT_EQ(line, "");
    EXPECT_EQ(s->getSocketState(), 0);

    s->clear();
    s->setTimeoutInSeconds(safetyTimeoutSeconds);
    *s << "go\n";
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "late");
}

TEST(TcpClientStream, ZeroTimeoutBlocksWithoutWaitLimit)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) {
        readUntil(fd, "go\n");
        // Give the client time to be inside its read: a zero time-out
        // must mean "wait", not "poll once".
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        writeAll(fd, "answer\n");
    });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    s->setTimeoutInSeconds(0);
    s->setTimeoutInuSeconds(0);
    *s << "go\n";
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "answer");
}

volatile sig_atomic_t signalsSeen = 0;
void countSignal(int)
{
    signalsSeen = signalsSeen + 1;
}

TEST(TcpClientStream, SignalDuringReadWaitIsNotEndOfFile)
{
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: poll and recv see EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    signalsSeen = 0;

    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    const pthread_t reader = pthread_self();
    peer.serve([&](int fd) {
        readUntil(fd, "go\n");
        for (int i = 0; i < 20; ++i) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        writeAll(fd, "after signals\n");
    });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    *s << "go\n";
    std::string line;
    const bool gotLine = bool(std::getline(*s, line));
    peer.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(gotLine);
    EXPECT_EQ(line, "after signals");
    EXPECT_GT(signalsSeen, 0);
    EXPECT_EQ(s->getSocketState(), 0);
}

// A peer that never reads and signals arriving faster than the send
// time-out: each retry after a signal must wait only for what is left of
// the time-out, so the send still fails. A retry with the whole time-out
// again would wait until the signals stop, which they do only after many
// time-outs' worth of them.
TEST(TcpClientStream, SignalsDoNotStretchTheSendTimeout)
{
    std::atomic<bool> done{false};
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int) {
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });

    auto s = std::make_unique<basic_tcpclientiostream>(InetSocketAddress(peer.url()),
                                                       InetSocketAddress::any(), 4096, 4096);
    s->setTimeoutInSeconds(1);
    s->create();
    ASSERT_TRUE(s->good());

    bool failed;
    {
        // One signal every 20 ms, 50 per second of the time-out, up to ten
        // time-outs' worth.
        testsupport::SignalStorm storm(pthread_self(), 20, 500);
        const std::string payload(32 * 1024 * 1024, 'x');
        s->write(payload.data(), std::streamsize(payload.size()));
        failed = s->bad();
        storm.stop();
        EXPECT_GT(testsupport::SignalStorm::received(), 0);
        EXPECT_FALSE(storm.outlasted()) << "the send outlasted the signals";
    }
    done = true;
    peer.join();
    EXPECT_TRUE(failed);
}

// A connect to a listener whose queue is full gets no answer (its SYNs are
// dropped). Signals faster than the stream's time-out must not leave the
// connect waiting until the kernel gives up (minutes): it ends once the
// time-out has passed, while the signals still come. When they have all
// been sent, the registry cuts the connect, so a failure ends the test too.
TEST(TcpClientStream, SignalsDoNotStretchTheConnectTimeout)
{
    FullListener listener;
    ASSERT_TRUE(listener.ok());

    zelvo::utils::SocketRegistry registry;
    basic_tcpclientiostream s(InetSocketAddress(listener.url()), InetSocketAddress::any(), 4096, 4096);
    s.getBuffer()->setSocketRegistry(&registry);
    s.setTimeoutInSeconds(1);
    {
        // One signal every 20 ms, for up to ten time-outs.
        testsupport::SignalStorm storm(pthread_self(), 20, 500, [&registry] { registry.shutdownAll(); });
        s.create();
        storm.stop();
        EXPECT_FALSE(storm.outlasted()) << "the connect outlasted " << storm.sent() << " signals";
        EXPECT_GT(testsupport::SignalStorm::received(), 0);
    }
    EXPECT_TRUE(s.bad());
    EXPECT_FALSE(s.isConnected());
    s.getBuffer()->setSocketRegistry(nullptr);
}

// A call that a signal interrupts half-way through its time-out resumes
// with what is left of the time-out counted from its start, not with the
// whole time-out again from the signal. The signals begin at 500 ms of a
// 1 s time-out: a wait counted from the first of them would end at 1.5 s.
TEST(TcpClientStream, AfterASignalTheTimeoutCountsFromTheStart)
{
    enum class Call { Connect, Receive, Send };
    const struct Row {
        const char* name;
        Call call;
    } rows[] = {{"connect", Call::Connect}, {"receive", Call::Receive}, {"send", Call::Send}};
    constexpr int timeoutSeconds = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FullListener listener;
        ASSERT_TRUE(listener.ok());
        zelvo::utils::SocketRegistry registry;
        basic_tcpclientiostream stream(InetSocketAddress(listener.url()), InetSocketAddress::any(), 4096, 4096);
        stream.getBuffer()->setSocketRegistry(&registry);
        stream.setTimeoutInSeconds(timeoutSeconds);
        // Nothing ever arrives on ours, and theirs never reads.
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const int ours = pair[0];
        const timeval tv{timeoutSeconds, 0};
        ASSERT_EQ(0, setsockopt(ours, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
        ASSERT_EQ(0, setsockopt(ours, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv));
        const std::string block(64 * 1024, 'x');
        if (row.call == Call::Send)
            while (::send(ours, block.data(), block.size(), MSG_DONTWAIT) > 0) {
            }

        bool failed = false;
        int signalsBeforeTheEnd = 0;
        std::chrono::steady_clock::duration took{};
        {
            // One signal every 20 ms from 500 ms on, for two seconds; then
            // the registry cuts a connect that still waits.
            testsupport::SignalStorm storm(pthread_self(), 20, 100, [&registry] { registry.shutdownAll(); }, 500);
            const auto start = std::chrono::steady_clock::now();
            char byte;
            switch (row.call) {
            case Call::Connect:
                stream.create();
                failed = stream.bad();
                break;
            case Call::Receive:
                failed = zelvo::utils::recvWithinTimeout(ours, &byte, 1, 0) < 0 && errno == EAGAIN;
                break;
            case Call::Send:
                failed = zelvo::utils::sendWithinTimeout(ours, block.data(), block.size(), MSG_NOSIGNAL) < 0 &&
                         (errno == EAGAIN || errno == EWOULDBLOCK);
                break;
            }
            took = std::chrono::steady_clock::now() - start;
            signalsBeforeTheEnd = testsupport::SignalStorm::received();
            storm.stop();
        }
        stream.getBuffer()->setSocketRegistry(nullptr);
        ::close(pair[0]);
        ::close(pair[1]);
        EXPECT_TRUE(failed);
        EXPECT_GT(signalsBeforeTheEnd, 0) << "no signal came while the call waited";
        // The kernel counts socket time-outs in ticks: one may end a few
        // milliseconds early.
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        EXPECT_GE(tookMs, timeoutSeconds * 1000 - 20);
        EXPECT_LT(tookMs, timeoutSeconds * 1000 + 300);
    }
}

TEST(TcpClientStream, RefusedConnectSetsBadbitAndBufferCanRetry)
{
    LoopbackPeer probe;
    ASSERT_TRUE(probe.ok());
    const unsigned short port = probe.port();
    probe.closeListener(); // nothing listens there now

    basic_tcpclientiostream s(InetSocketAddress("imap://127.0.0.1:" + std::to_string(port)),
                              InetSocketAddress::any(), 4096, 4096);
    s.setTimeoutInSeconds(safetyTimeoutSeconds);
    s.create();
    EXPECT_TRUE(s.bad());
    EXPECT_FALSE(s.isConnected());
    EXPECT_EQ(s.getBuffer()->getSocket(), -1);

    // Reads and writes on the failed stream fail; nothing reaches a stale
    // descriptor.
    s.clear();
    s << "x" << std::flush;
    EXPECT_TRUE(s.bad());
    s.clear();
    EXPECT_EQ(s.get(), std::char_traits<char>::eof());

    s.clear();
    s.close();
    EXPECT_TRUE(s.bad()) << "closing a stream without a descriptor reports failure";

    // The same buffer connects once the port listens.
    int listener = -1;
    unsigned short bound = 0;
    if (!zelvo::utils::sockListenIp4(listener, htonl(INADDR_LOOPBACK), port, &bound, 4))
        GTEST_SKIP() << "port " << port << " was taken meanwhile";
    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd >= 0) {
            writeAll(fd, "hello\n");
            ::close(fd);
        }
    });
    s.create();
    EXPECT_TRUE(s.good());
    EXPECT_TRUE(s.isConnected());
    std::string line;
    EXPECT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, "hello");
    server.join();
    ::close(listener);
}

TEST(TcpClientStream, WriteAfterPeerClosedSetsBadbitAndProcessSurvives)
{
    // With the default action a SIGPIPE would end the test program.
    struct sigaction dfl = {};
    struct sigaction previous = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &previous), 0);

    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([](int) {});

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    EXPECT_EQ(s->get(), std::char_traits<char>::eof()); // the peer is gone
    s->clear();

    const std::string block(4096, 'x');
    for (int i = 0; i < 1000 && !s->bad(); ++i)
        *s << block << std::flush;
    sigaction(SIGPIPE, &previous, nullptr);

    EXPECT_TRUE(s->bad());
    EXPECT_EQ(s->getSocketState(), -1);
}

TEST(TcpClientStream, OutputWaitsForFlushAndFlushWithNothingPendingSucceeds)
{
    std::string received;
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) { received = readToEnd(fd); });

    auto* buffer = new RecordingBuffer(InetSocketAddress(peer.url()));
    basic_tcpclientiostream s(buffer);
    s.create();
    ASSERT_TRUE(s.good());

    for (int i = 0; i < 10; ++i)
        s << "0123456789";
    EXPECT_TRUE(buffer->sendLengths.empty()) << "output went out before a flush";
    s.flush();
    EXPECT_TRUE(s.good());
    ASSERT_EQ(buffer->sendLengths.size(), 1u);
    EXPECT_EQ(buffer->sendLengths[0], 100);

    s.flush();
    EXPECT_TRUE(s.good());
    EXPECT_EQ(buffer->sendLengths.size(), 1u);

    s << "tail";
    s.close(); // sends the pending bytes first
    EXPECT_FALSE(s.bad());
    peer.join();
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += "0123456789";
    EXPECT_EQ(received, expected + "tail");
}

TEST(TcpClientStream, DestroyingConnectedStreamSendsPendingOutput)
{
    std::string received;
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) { received = readToEnd(fd); });
    {
        auto s = connectTo(peer);
        ASSERT_TRUE(s->good());
        *s << "Z9 LOGOUT\r\n";
    }
    peer.join();
    EXPECT_EQ(received, "Z9 LOGOUT\r\n");
}

TEST(TcpClientStream, LargeTransfersBypassTheAreas)
{
    const std::string upload = binaryPayload(10240);
    const std::string download = binaryPayload(100000);
    std::string received;
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) {
        received = readUntil(fd, "\r\n");
        received += [&] {
            std::string body(upload.size() + 2, '\0');
            size_t got = 0;
            while (got < body.size()) {
                const ssize_t n = ::recv(fd, &body[got], body.size() - got, 0);
                if (n <= 0)
                    break;
                got += size_t(n);
            }
            body.resize(got);
            return body;
        }();
        writeAll(fd, "* 1 FETCH {100000}\r\n" + download);
    });

    auto* buffer = new RecordingBuffer(InetSocketAddress(peer.url()));
    basic_tcpclientiostream s(buffer);
    s.create();
    ASSERT_TRUE(s.good());

    const std::string header = "Z1 APPEND INBOX {10240+}\r\n";
    s << header;
    s.write(upload.data(), std::streamsize(upload.size()));
    s << "\r\n";
    ASSERT_TRUE(s.good());

    std::string line;
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, "* 1 FETCH {100000}\r");
    std::string got(download.size(), '\0');
    s.read(&got[0], std::streamsize(got.size()));
    ASSERT_EQ(s.gcount(), std::streamsize(download.size()));
    EXPECT_TRUE(got == download) << "download differs";

    peer.join();
    EXPECT_TRUE(received == header + upload + "\r\n") << "upload differs";
    // The body went out in one send of its own, not in area-sized pieces.
    ASSERT_GE(buffer->sendLengths.size(), 3u);
    EXPECT_EQ(buffer->sendLengths[0], int(header.size()));
    EXPECT_EQ(buffer->sendLengths[1], int(upload.size()));
    // Reading the rest of the download asked the socket for more than one
    // area at once.
    int largestRead = 0;
    for (int n : buffer->recvLengths)
        largestRead = std::max(largestRead, n);
    EXPECT_GT(largestRead, 4096);
}

TEST(TcpClientStream, FailedSendKeepsOnlyUnsentBytes)
{
    std::string received;
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) { received = readToEnd(fd); });

    auto* buffer = new RecordingBuffer(InetSocketAddress(peer.url()));
    basic_tcpclientiostream s(buffer);
    s.create();
    ASSERT_TRUE(s.good());

    s << "0123456789";
    buffer->sendPlan = {3, -1};
    s.flush();
    EXPECT_TRUE(s.bad());
    EXPECT_EQ(s.getSocketState(), -1);

    s.clear();
    s.flush(); // the transport works again
    EXPECT_TRUE(s.good());
    s.close();
    peer.join();
    EXPECT_EQ(received, "0123456789");
}

TEST(TcpClientStream, ClosedStreamFailsReadsAndWrites)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([](int fd) { readToEnd(fd); });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    s->close();
    EXPECT_FALSE(s->bad());
    EXPECT_FALSE(s->isConnected());
    EXPECT_EQ(s->getBuffer()->getSocket(), -1);

    *s << "x" << std::flush;
    EXPECT_TRUE(s->bad());
    s->clear();
    EXPECT_EQ(s->get(), std::char_traits<char>::eof());
    s->clear();
    s->close();
    EXPECT_TRUE(s->bad());
}

TEST(TcpClientStream, RecreateUsesNewSocketAndLocalEndpoint)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve({[](int fd) { writeAll(fd, "first\n"); readToEnd(fd); },
                [](int fd) { writeAll(fd, "second\n"); readToEnd(fd); }});

    basic_tcpclientiostream s(InetSocketAddress(peer.url()),
                              InetSocketAddress(zelvo::utils::Inet4Address(0x7F000001u), 4444),
                              4096, 4096);
    s.setTimeoutInSeconds(safetyTimeoutSeconds);
    // Before create() the local endpoint is the one given.
    EXPECT_EQ(s.getHost().getPort(), 4444u);

    ASSERT_TRUE(s.init());
    EXPECT_EQ(s.getHost().getAddress().getAddress(), 0u);
    EXPECT_NE(s.getHost().getPort(), 0u) << "bound to a system-chosen port";

    s.create();
    ASSERT_TRUE(s.good());
    std::string line;
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, "first");
    const unsigned firstPort = s.getHost().getPort();
    EXPECT_EQ(s.getHost().getAddress().getAddress(), 0x7F000001u);
    s.close();

    s.create();
    ASSERT_TRUE(s.good());
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, "second");
    const unsigned secondPort = s.getHost().getPort();
    s.close();
    peer.join();

    ASSERT_EQ(peer.peerPorts.size(), 2u);
    EXPECT_EQ(peer.peerPorts[0], firstPort);
    EXPECT_EQ(peer.peerPorts[1], secondPort);
    EXPECT_NE(firstPort, secondPort);
}

TEST(TcpClientStream, LeftoverInputDoesNotCrossIntoNextConnection)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve({[](int fd) { writeAll(fd, "one\nunread rest\n"); readToEnd(fd); },
                [](int fd) { writeAll(fd, "two\n"); readToEnd(fd); }});

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "one");
    s->close();
    s->create();
    ASSERT_TRUE(s->good());
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "two");
    s->close();
}

TEST(TcpClientStream, DestructorClosesUnconnectedDescriptor)
{
    int fd;
    {
        basic_tcpclientiostream s(InetSocketAddress(zelvo::utils::Inet4Address(0x7F000001u), 1),
                                  InetSocketAddress::any(), 4096, 4096);
        ASSERT_TRUE(s.init());
        fd = s.getBuffer()->getSocket();
        ASSERT_GE(fd, 0);
        EXPECT_GE(fcntl(fd, F_GETFD), 0);
    }
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(TcpClientStream, ReadinessAndSingleReceive)
{
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([](int fd) {
        readUntil(fd, "go\n");
        writeAll(fd, "hello\nworld\n");
        readToEnd(fd);
    });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    tcpbuffer* buffer = s->getBuffer();
    EXPECT_EQ(buffer->isRecvReady(), 3);
    *s << "go\n";
    // recieve() flushes the command and fills the empty get area.
    const int n = buffer->recieve();
    ASSERT_GT(n, 0);
    EXPECT_EQ(buffer->recieve(), n) << "unread bytes are not overwritten";
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "hello");
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "world");
    s->close();
}

TEST(TcpClientStream, SetbufHonoursGivenSize)
{
    const std::string text = binaryPayload(1000);
    std::string echoed;
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.serve([&](int fd) {
        echoed = readUntil(fd, "END\n");
        writeAll(fd, echoed);
    });

    auto s = connectTo(peer);
    ASSERT_TRUE(s->good());
    tcpbuffer* buffer = s->getBuffer();

    EXPECT_EQ(buffer->pubsetbuf(nullptr, 64), nullptr);
    char* tiny = new char[1];
    EXPECT_EQ(buffer->pubsetbuf(tiny, 1), nullptr);
    delete[] tiny; // refused: still ours

    char* small = new char[16];
    ASSERT_EQ(buffer->pubsetbuf(small, 16), buffer);
    *s << text << "END\n";
    std::string back(text.size() + 4, '\0');
    s->read(&back[0], std::streamsize(back.size()));
    EXPECT_EQ(s->gcount(), std::streamsize(back.size()));
    EXPECT_TRUE(back == text + "END\n");
}

TEST(SelectSock, ReadyTimeoutAndErrors)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(selectSock(pair[0], true, 0), 0);
    EXPECT_EQ(selectSock(pair[0], false, 0), 1);
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    EXPECT_EQ(selectSock(pair[0], true, 0), 1);
    EXPECT_EQ(selectSock(pair[0], true, 1000), 1);
    EXPECT_TRUE(zelvo::utils::helper::waitOnSocketSet(pair[0], 0, 0));
    // Times beyond poll's int milliseconds are clamped, never overflow.
    EXPECT_TRUE(zelvo::utils::helper::waitOnSocketSet(pair[0], INT_MAX, 999999));
    EXPECT_TRUE(zelvo::utils::helper::waitOnSocketSet(pair[0], INT_MIN, -999999));
    ::close(pair[0]);
    ::close(pair[1]);

    EXPECT_EQ(selectSock(-1, true, 0), -1);
    EXPECT_EQ(selectSock(pair[0], true, 0), -1) << "a closed descriptor is an error";
    EXPECT_FALSE(zelvo::utils::helper::waitOnSocketSet(pair[0], 0, 0));
}

TEST(SelectSock, WaitsInSecondsBecomeClampedMilliseconds)
{
    struct Row {
        int seconds;
        int microseconds;
        int ms;
    } rows[] = {
        {0, 0, 0},
        {0, 999, 0},
        {1, 500000, 1500},
        {2147483, 647000, INT_MAX},
        {2147483, 648000, INT_MAX},
        {3000000, 0, INT_MAX},
        {4294968, 0, INT_MAX},  // 32-bit milliseconds would wrap to 704
        {INT_MAX, 999999, INT_MAX},
        {0, -1000, -1},
        {-1, 0, -1},
        {INT_MIN, -999999, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.seconds) + " s " + std::to_string(row.microseconds) + " us");
        EXPECT_EQ(row.ms, zelvo::utils::pollMillis(row.seconds, row.microseconds));
    }
}

TEST(FdSet4096, SetsBitsWithinFourThousandNinetySix)
{
    struct Row {
        int fd;
        bool inRange;
    } rows[] = {{0, true}, {31, true}, {32, true}, {1024, true}, {4095, true},
                {4096, false}, {-1, false}, {100000, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fd);
        FdSet4096 set;
        set.zero();
        EXPECT_EQ(zelvo::utils::FD_SET_s(row.fd, &set), row.inRange);
        int bits = 0;
        for (std::uint32_t w : set.words)
            bits += __builtin_popcount(w);
        EXPECT_EQ(bits, row.inRange ? 1 : 0);
        if (row.inRange) {
            EXPECT_TRUE(set.isSet(row.fd));
            EXPECT_EQ(set.words[row.fd / 32], 1u << (row.fd % 32));
        }
    }
    FdSet4096 set;
    set.zero();
    EXPECT_NO_THROW(zelvo::utils::FD_SET_safer(4095, &set));
    try {
        zelvo::utils::FD_SET_safer(4096, &set);
        FAIL() << "no exception";
    } catch (const zelvo::utils::Exception& e) {
        EXPECT_STREQ(e.what(), "Too many open sockets/file descriptors.");
    }
}

TEST(SockListenIp4, EphemeralPortIsReportedAndBusyPortRefused)
{
    int sock = -1;
    unsigned short bound = 0;
    ASSERT_TRUE(zelvo::utils::sockListenIp4(sock, htonl(INADDR_LOOPBACK), 0, &bound, 4));
    ASSERT_GE(sock, 0);
    ASSERT_NE(bound, 0);

    sockaddr_in where = {};
    socklen_t length = sizeof(where);
    ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&where), &length), 0);
    EXPECT_EQ(ntohl(where.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(where.sin_port), bound);

    int second = 12345;
    unsigned short secondBound = 0;
    EXPECT_FALSE(zelvo::utils::sockListenIp4(second, htonl(INADDR_LOOPBACK), bound,
                                             &secondBound, 4));
    EXPECT_EQ(secondBound, 0);

    // A client reaches the listener.
    basic_tcpclientiostream s(InetSocketAddress("imap://127.0.0.1:" + std::to_string(bound)),
                              InetSocketAddress::any(), 4096, 4096);
    s.create();
    EXPECT_TRUE(s.good());
    s.close();
    ::close(sock);
}

TEST(SockListenIp4, ChosenFreePortIsTaken)
{
    LoopbackPeer probe;
    ASSERT_TRUE(probe.ok());
    const unsigned short port = probe.port();
    probe.closeListener();

    int sock = -1;
    unsigned short bound = 0;
    if (!zelvo::utils::sockListenIp4(sock, htonl(INADDR_ANY), port, &bound, 4))
        GTEST_SKIP() << "port " << port << " was taken meanwhile";
    EXPECT_EQ(bound, port);
    int other = -1;
    EXPECT_FALSE(zelvo::utils::sockListenIp4(other, htonl(INADDR_LOOPBACK), port, nullptr, 4));
    ::close(sock);
}

TEST(SockListenIp4, PortHeldByIpv6ListenerIsBusy)
{
    const int v6 = socket(AF_INET6, SOCK_STREAM, 0);
    if (v6 < 0)
        GTEST_SKIP() << "no IPv6 on this machine";
    const int on = 1;
    setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    sockaddr_in6 any6 = {};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    if (bind(v6, reinterpret_cast<sockaddr*>(&any6), sizeof(any6)) != 0 || listen(v6, 4) != 0) {
        ::close(v6);
        GTEST_SKIP() << "cannot listen on the IPv6 wildcard here";
    }
    socklen_t length = sizeof(any6);
    ASSERT_EQ(getsockname(v6, reinterpret_cast<sockaddr*>(&any6), &length), 0);
    const unsigned short port = ntohs(any6.sin6_port);

    // The IPv4 bind alone would succeed next to an IPv6-only listener.
    int sock = 12345;
    EXPECT_FALSE(zelvo::utils::sockListenIp4(sock, htonl(INADDR_LOOPBACK), port, nullptr, 4));
    EXPECT_EQ(sock, 12345) << "the IPv6 check fails before any IPv4 socket exists";
    ::close(v6);
}

TEST(TcpClientStream, SocketLayerHookStartsTheSystemLayer)
{
    // The system layer's start-up makes SIGPIPE harmless; the stream's hook
    // must reach it.
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &before), 0);
    std::signal(SIGPIPE, SIG_DFL);
    tcpbuffer::initSockets();
    struct sigaction after {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
    sigaction(SIGPIPE, &before, nullptr);
}

} // namespace
