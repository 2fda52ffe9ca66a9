#include "foundation/tls/ZSslSocket.h"

#include <csignal>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "foundation/system/Clock.h"
#include "foundation/system/PeriodGuard.h"
#include "foundation/tls/SslErrHandler.h"
#include "tests/foundation/tls/TlsErrors.h"
#include "tests/foundation/tls/TlsPeer.h"
#include "tests/support/SignalStorm.h"

using zelvo::ssl::SSLContext;
using zelvo::ssl::SslMode;
using zelvo::ssl::ZSslSocket;
using zelvo::ssl::errHandler;
using tlstest::takeErrors;

namespace {

// The administration client's context: TLS 1.0, optionally at security
// level 0 (without it this library refuses TLS 1.0 handshakes).
struct Tls10Client {
    SSLContext context;
    explicit Tls10Client(bool securityLevel0)
    {
        context.set_mode(SslMode::TLSv1);
        if (securityLevel0)
            SSL_CTX_set_security_level(context.context(), 0);
    }
};

struct ServerCtx {
    SSL_CTX* ctx;
    explicit ServerCtx(const tlstest::PeerOptions& options) : ctx(tlstest::makeContext(true, options)) {}
    ~ServerCtx() { SSL_CTX_free(ctx); }
};

tlstest::PeerOptions tls10Server()
{
    tlstest::PeerOptions options;
    options.version = TLS1_VERSION;
    options.securityLevel0 = true;
    return options;
}

std::string readLine(ZSslSocket& sock)
{
    char line[256];
    int n = sock.gets(line, sizeof line, true);
    return n > 0 ? std::string(line, static_cast<size_t>(n)) : std::string();
}

TEST(ZSslSocketTest, Tls10HandshakeAndRoundTrip)
{
    ServerCtx server(tls10Server());
    tlstest::Listener listener;
    int negotiated = 0;
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
            negotiated = SSL_version(ssl);
            tlstest::echo(ssl);
            SSL_free(ssl);
        }
    });

    Tls10Client client(true);
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(&client.context));
    ASSERT_TRUE(sock.open(tlstest::connectTo(listener.port())));
    ASSERT_TRUE(sock.connect()) << takeErrors();

    const std::string big(100000, 'x');
    ASSERT_EQ(6, sock.write("hello\n", 6));
    ASSERT_EQ(static_cast<int>(big.size()), sock.write(big.data(), big.size()));
    ASSERT_EQ(1, sock.write("\n", 1));
    ASSERT_EQ(0, sock.flush());
    EXPECT_EQ("hello\n", readLine(sock));
    std::string echoed;
    char chunk[4096];
    while (echoed.size() < big.size() + 1) {
        int n = sock.read(chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        echoed.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_EQ(big + "\n", echoed);

    sock.close();
    EXPECT_EQ(-1, sock.getFd());
    peer.join();
    EXPECT_EQ(TLS1_VERSION, negotiated);
}

TEST(ZSslSocketTest, DecodedBytesCountAsSomethingToRead)
{
    ServerCtx server(tls10Server());
    tlstest::Listener listener;
    std::promise<void> finished;
    std::shared_future<void> done = finished.get_future().share();
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
            SSL_write(ssl, "0123456789", 10);  // one record
            done.wait();
            SSL_free(ssl);
        }
    });

    Tls10Client client(true);
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(&client.context));
    ASSERT_TRUE(sock.open(tlstest::connectTo(listener.port())));
    ASSERT_TRUE(sock.connect());
    char c;
    ASSERT_EQ(1, sock.i_read(&c, 1));  // decodes the whole record, hands out one byte
    EXPECT_EQ('0', c);
    EXPECT_EQ(9, sock.pending());
    EXPECT_FALSE(sock.isReadEof()) << "nothing waits on the socket, but TLS holds nine bytes";
    char rest[16];
    ASSERT_EQ(9, sock.i_read(rest, sizeof rest));
    EXPECT_EQ(0, sock.pending());
    EXPECT_TRUE(sock.isReadEof());
    sock.kill();
    EXPECT_EQ(-1, sock.pending());
    EXPECT_TRUE(sock.isReadEof());
    finished.set_value();
}

TEST(ZSslSocketTest, Tls10NeedsSecurityLevel0)
{
    ServerCtx server(tls10Server());
    tlstest::Listener listener;
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true))
            SSL_free(ssl);
    });

    takeErrors();
    Tls10Client client(false);
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(&client.context));
    ASSERT_TRUE(sock.open(tlstest::connectTo(listener.port())));
    EXPECT_FALSE(sock.connect());
    std::string text;
    EXPECT_EQ(static_cast<unsigned long>(SSL_ERROR_SSL), errHandler->getLastError(text))
        << "the failed call's code comes last";
    EXPECT_NE(std::string::npos, text.find("\n")) << "with the queued reasons before it: " << text;
    sock.kill();
}

TEST(ZSslSocketTest, OpenNeedsAContextAndInitIsRefusedWhileOpen)
{
    tlstest::Listener listener;
    int fd = tlstest::connectTo(listener.port());
    ZSslSocket sock;
    EXPECT_FALSE(sock.open(fd));
    EXPECT_EQ(-1, sock.pending());
    char c;
    EXPECT_EQ(-1, sock.i_read(&c, 1));

    SSLContext first, second;
    ASSERT_TRUE(sock.init(&first));
    ASSERT_TRUE(sock.open(fd));
    EXPECT_FALSE(sock.init(&second));
    EXPECT_FALSE(sock.init(tlstest::fixture("server.crt"), tlstest::fixture("server.key")));
    EXPECT_EQ(0, sock.pending());
    // Opening again replaces (and frees) the connection object.
    EXPECT_TRUE(sock.open(fd));
    sock.kill();
    EXPECT_EQ(-1, sock.i_read(&c, 1));
    EXPECT_EQ(-1, sock.i_write("x", 1));
    EXPECT_EQ(-1, sock.pending());
    EXPECT_TRUE(sock.init(&second)) << "allowed again once closed";
}

TEST(ZSslSocketTest, CloseOfANeverOpenedSocketDoesNothing)
{
    ZSslSocket sock;
    sock.close();
    sock.kill();
    SSLContext context;
    sock.init(&context);
    sock.close();
    EXPECT_EQ(-1, sock.getFd());
}

TEST(ZSslSocketTest, KillWakesAReadBlockedOnAnotherThread)
{
    ServerCtx server(tls10Server());
    tlstest::Listener listener;
    std::promise<void> released;
    std::shared_future<void> done = released.get_future().share();
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
            done.wait();  // sends nothing until the client is finished
            SSL_free(ssl);
        }
    });

    Tls10Client client(true);
    zelvo::tiny::PeriodGuard ioGuard(0, zelvo::tiny::PeriodGuard::oneShot);
    ZSslSocket sock(&ioGuard);
    ASSERT_TRUE(sock.init(&client.context));
    ASSERT_TRUE(sock.open(tlstest::connectTo(listener.port())));
    ASSERT_TRUE(sock.connect());

    std::atomic<pid_t> readerTid{0};
    std::promise<int> result;
    std::future<int> readResult = result.get_future();
    std::thread reader([&] {
        readerTid = static_cast<pid_t>(::syscall(SYS_gettid));
        char buffer[64];
        result.set_value(sock.read(buffer, sizeof buffer));
    });
    tlstest::waitUntilBlocked(readerTid);
    EXPECT_TRUE(ioGuard.hasPeriodOccured()) << "the guard runs while the read does";
    sock.kill();
    // A safety limit, not a speed claim: a read that kill cannot wake
    // would block for good.
    if (readResult.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        reader.detach();
        released.set_value();
        FAIL() << "kill did not wake the blocked read";
    }
    reader.join();
    EXPECT_EQ(0, readResult.get());
    EXPECT_FALSE(ioGuard.hasPeriodOccured()) << "and stops with it";
    char c;
    EXPECT_EQ(-1, sock.i_read(&c, 1));
    EXPECT_EQ(-1, sock.getFd());
    released.set_value();
}

TEST(ZSslSocketTest, WriteAfterThePeerClosedFailsWithoutSignal)
{
    std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this test's process
    ServerCtx server(tls10Server());
    tlstest::Listener listener;
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true))
            SSL_free(ssl);  // and the descriptor closes without a word
    });

    Tls10Client client(true);
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(&client.context));
    ASSERT_TRUE(sock.open(tlstest::connectTo(listener.port())));
    ASSERT_TRUE(sock.connect());
    peer.join();

    const std::string block(4096, 'y');
    bool failed = false;
    for (int i = 0; i < 64 && !failed; ++i)
        failed = sock.write(block.data(), block.size()) == 0 || sock.flush() == -1;
    EXPECT_TRUE(failed);
    takeErrors();
}

TEST(ZSslSocketTest, ServerHandshakeWithOwnCertificate)
{
    tlstest::Listener listener;
    SSL_CTX* clientCtx = tlstest::makeContext(false, tlstest::PeerOptions());
    std::string subject, answer;
    std::thread client([&] {
        int fd = tlstest::connectTo(listener.port());
        if (SSL* ssl = tlstest::handshake(clientCtx, fd, false)) {
            if (X509* cert = SSL_get1_peer_certificate(ssl)) {
                char name[256];
                X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
                subject = name;
                X509_free(cert);
            }
            SSL_write(ssl, "ping\n", 5);
            answer = tlstest::readExactly(ssl, 5);
            SSL_free(ssl);
        }
        ::close(fd);
    });

    ZSslSocket sock;
    ASSERT_TRUE(sock.init(tlstest::fixture("server.crt"), tlstest::fixture("server.key")));
    ASSERT_TRUE(sock.open(listener.acceptOne(), ZSslSocket::SslSocketModes::AutoRetry));
    EXPECT_TRUE(sock.accept(10000ULL)) << takeErrors();
    EXPECT_EQ("ping\n", readLine(sock));
    sock.write("pong\n", 5);
    sock.close();
    client.join();
    SSL_CTX_free(clientCtx);
    EXPECT_EQ("/CN=server.test/O=Fixture", subject);
    EXPECT_EQ("pong\n", answer);
}

TEST(ZSslSocketTest, InitWithFilesFailsForAMismatchedKey)
{
    ZSslSocket sock;
    EXPECT_FALSE(sock.init(tlstest::fixture("server.crt"), tlstest::fixture("other.key")));
    EXPECT_FALSE(sock.open(-1)) << "no context after a failed init";
    EXPECT_TRUE(sock.init(tlstest::fixture("server.crt"), tlstest::fixture("server.key")));
    takeErrors();
}

TEST(ZSslSocketTest, TimedAcceptOfASilentPeerGivesUp)
{
    tlstest::Listener listener;
    int silent = tlstest::connectTo(listener.port());
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(tlstest::fixture("server.crt"), tlstest::fixture("server.key")));
    ASSERT_TRUE(sock.open(listener.acceptOne()));
    EXPECT_FALSE(sock.accept(zelvo::tiny::getMs64(), 0));
    EXPECT_FALSE(sock.accept(50ULL));
    // The descriptor is back in blocking mode.
    EXPECT_EQ(0, ::fcntl(sock.getFd(), F_GETFL) & O_NONBLOCK);
    ::close(silent);
    takeErrors();
}

TEST(ZSslSocketTest, BlockingAcceptFailsWhenThePeerLeaves)
{
    tlstest::Listener listener;
    int leaving = tlstest::connectTo(listener.port());
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(tlstest::fixture("server.crt"), tlstest::fixture("server.key")));
    ASSERT_TRUE(sock.open(listener.acceptOne()));
    ::close(leaving);
    EXPECT_FALSE(sock.accept(0xffffffffULL));
    EXPECT_FALSE(sock.connect()) << "the connection is unusable now";
    takeErrors();
}

// Holds a handshake inside OpenSSL, on the handshaking thread, until kill()
// on the test thread has begun and then either waits for the handshake (its
// thread sleeps), as it must, or returns without waiting.
struct HandshakeBarrier {
    int otherEnd = -1;      // reads end of file once kill() shut the socket down
    pid_t killer = 0;       // the thread that calls kill()
    std::promise<void> inside;
    std::atomic<bool> held{false};
    std::atomic<bool> killReturned{false};
    std::atomic<bool> killWaited{false};
    // A reference of the barrier's own: a kill() that does not wait frees
    // nothing under the handshake, so the fault shows as a failed check.
    SSL* connection = nullptr;
};

HandshakeBarrier* handshakeBarrier = nullptr;

void holdHandshake(const SSL* ssl, int where, int)
{
    HandshakeBarrier* b = handshakeBarrier;
    if (!(where & SSL_CB_HANDSHAKE_START) || b == nullptr || b->held.exchange(true))
        return;
    b->connection = const_cast<SSL*>(ssl);
    SSL_up_ref(b->connection);
    b->inside.set_value();
    pollfd entry{b->otherEnd, POLLIN, 0};
    if (::poll(&entry, 1, 20000) != 1)  // a safety limit
        return;
    // kill() is under way. Waiting for this handshake it sleeps for good; a
    // kill() that does not wait returns at once.
    for (int i = 0; i < 400 && !b->killReturned; ++i) {
        if (tlstest::sleepsInKernel(b->killer)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (tlstest::sleepsInKernel(b->killer) && !b->killReturned) {
                b->killWaited = true;
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST(ZSslSocketTest, KillDuringAHandshakeOnAnotherThreadEndsIt)
{
    // The peer never answers; the handshake is held inside OpenSSL until
    // kill() has begun, so kill() always meets it in progress.
    struct Row {
        const char* name;
        bool server;
        std::function<bool(ZSslSocket&)> handshake;
    };
    const Row rows[] = {
        {"connect", false, [](ZSslSocket& s) { return s.connect(); }},
        {"accept", true, [](ZSslSocket& s) { return s.accept(); }},
        {"accept with a time-out", true, [](ZSslSocket& s) { return s.accept(60000ULL); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int pair[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
        SSLContext context;
        if (row.server) {
            ASSERT_EQ(0, context.set_mode(SslMode::SSLv23));
            ASSERT_EQ(0, context.certificate(tlstest::fixture("server.crt").c_str(), SSL_FILETYPE_PEM));
            ASSERT_EQ(0, context.private_key(tlstest::fixture("server.key").c_str(), SSL_FILETYPE_PEM));
        }
        SSL_CTX_set_info_callback(context.context(), holdHandshake);
        HandshakeBarrier barrier;
        barrier.otherEnd = pair[1];
        barrier.killer = static_cast<pid_t>(::syscall(SYS_gettid));
        handshakeBarrier = &barrier;
        std::future<void> inside = barrier.inside.get_future();
        {
            ZSslSocket sock;
            ASSERT_TRUE(sock.init(&context));
            ASSERT_TRUE(sock.open(pair[0]));

            std::promise<bool> result;
            std::future<bool> handshakeResult = result.get_future();
            std::thread handshaking([&] { result.set_value(row.handshake(sock)); });
            // Safety limits, not speed claims.
            if (inside.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                ::close(pair[1]);
                handshaking.join();
                FAIL() << "the handshake never started";
            }
            sock.kill();
            barrier.killReturned = true;
            if (handshakeResult.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                ::close(pair[1]);
                handshaking.join();
                FAIL() << "kill did not end the handshake";
            }
            handshaking.join();
            EXPECT_TRUE(barrier.killWaited) << "kill() returned while the handshake still ran";
            EXPECT_FALSE(handshakeResult.get());
            EXPECT_EQ(-1, sock.getFd());
            EXPECT_FALSE(sock.connect()) << "closed now";
        }
        handshakeBarrier = nullptr;
        SSL_free(barrier.connection);
        ::close(pair[1]);
        takeErrors();
    }
}

TEST(ZSslSocketTest, OpeningAnotherDescriptorClosesTheFirst)
{
    int first[2], second[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, first));
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, second));
    SSLContext context;
    {
        ZSslSocket sock;
        ASSERT_TRUE(sock.init(&context));
        ASSERT_TRUE(sock.open(first[0]));
        ASSERT_TRUE(sock.open(second[0]));
        EXPECT_EQ(second[0], sock.getFd());
        // The other end of a closed socket reads end of file at once.
        pollfd entry{first[1], POLLIN, 0};
        EXPECT_EQ(1, ::poll(&entry, 1, 0)) << "the first descriptor is still open";
        char c;
        EXPECT_EQ(0, ::recv(first[1], &c, 1, MSG_DONTWAIT));
        entry = pollfd{second[1], POLLIN, 0};
        EXPECT_EQ(0, ::poll(&entry, 1, 0)) << "the second one is in use";
    }
    ::close(first[1]);
    ::close(second[1]);
}

}  // namespace

// A read from a silent peer and a write to a peer that never reads, on the
// plain and on the TLS stream, under signals that come faster than the
// socket's one-second time-out: each retry after a signal gets only what is
// left of that time-out, so the call still fails while the signals come.
TEST(ZSslSocketTest, SignalsDoNotStretchTheSocketTimeOuts)
{
    struct Case {
        const char* name;
        bool tls;
        bool write;
    } cases[] = {
        {"plain read", false, false},
        {"plain write", false, true},
        {"TLS read", true, false},
        {"TLS write", true, true},
    };
    tlstest::SigpipeIgnored sigpipe;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerCtx server(tls10Server());
        tlstest::Listener listener;
        std::promise<void> released;
        std::shared_future<void> done = released.get_future().share();
        tlstest::PeerThread peer(listener, [&](int fd) {
            SSL* ssl = c.tls ? tlstest::handshake(server.ctx, fd, true) : nullptr;
            done.wait();  // neither reads nor sends until the client is finished
            if (ssl)
                SSL_free(ssl);
        });

        Tls10Client client(true);
        ZSslSocket tlsSock;
        zelvo::utils::ZSock plainSock;
        zelvo::utils::ZSock& sock = c.tls ? tlsSock : plainSock;
        if (c.tls) {
            ASSERT_TRUE(tlsSock.init(&client.context));
            ASSERT_TRUE(tlsSock.open(tlstest::connectTo(listener.port())));
            ASSERT_TRUE(tlsSock.connect());
        } else {
            ASSERT_TRUE(plainSock.open(tlstest::connectTo(listener.port())));
        }
        sock.setReadTimeout(1000);
        sock.setWriteTimeout(1000);

        bool failed = false;
        {
            // One signal every 20 ms, for up to ten time-outs.
            testsupport::SignalStorm storm(pthread_self(), 20, 500);
            if (c.write) {
                const std::string block(64 * 1024, 'w');
                for (int i = 0; i < 512 && !failed; ++i)
                    failed = sock.write(block.data(), block.size()) != static_cast<int>(block.size()) ||
                             sock.flush() == -1;
            } else {
                char buffer[64];
                failed = sock.read(buffer, sizeof buffer) <= 0;
            }
            storm.stop();
            EXPECT_FALSE(storm.outlasted()) << "the call outlasted " << storm.sent() << " signals";
            EXPECT_GT(testsupport::SignalStorm::received(), 0);
        }
        EXPECT_TRUE(failed);
        takeErrors();
        sock.close();
        released.set_value();
        peer.join();
    }
}

namespace {

// How the peer ends the session once the client has read its line.
enum class PeerEnd { CloseNotify, Fin, Reset, ForgedRecord, CutRecord, Silence };

// Reads and drops raw bytes until the client closes (or a safety limit).
void drainUntilClosed(int fd)
{
    char ignored[4096];
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, 20000) == 1 && ::recv(fd, ignored, sizeof ignored, 0) > 0) {
    }
}

void endSession(SSL* ssl, int fd, PeerEnd end)
{
    switch (end) {
    case PeerEnd::CloseNotify:
        SSL_shutdown(ssl);
        break;
    case PeerEnd::Fin:
        break;
    case PeerEnd::Reset: {
        const linger now{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        break;
    }
    case PeerEnd::ForgedRecord: {
        std::string record = tlstest::recordFor(ssl, "more\n");
        record.back() ^= 0x01;  // the record's authentication no longer holds
        ::send(fd, record.data(), record.size(), MSG_NOSIGNAL);
        drainUntilClosed(fd);
        break;
    }
    case PeerEnd::CutRecord: {
        const std::string record = tlstest::recordFor(ssl, "more\n");
        ::send(fd, record.data(), record.size() / 2, MSG_NOSIGNAL);
        break;
    }
    case PeerEnd::Silence:
        drainUntilClosed(fd);
        break;
    }
}

}  // namespace

// Only the peer's close-notify ends a session cleanly (a read of 0, end of
// data); any other end may have cut the data short and reads as a broken
// connection (-1), on every later read too. So does a read that ran out of
// time on a peer that keeps silent.
TEST(ZSslSocketTest, OnlyCloseNotifyIsACleanEnd)
{
    tlstest::SigpipeIgnored quiet;
    struct Row {
        const char* name;
        bool tls10;  // the administration client's TLS 1.0, else the default context
        PeerEnd end;
        bool clean;
    };
    const Row rows[] = {
        {"TLS 1.0, close-notify", true, PeerEnd::CloseNotify, true},
        {"TLS 1.0, FIN without close-notify", true, PeerEnd::Fin, false},
        {"TLS 1.0, reset", true, PeerEnd::Reset, false},
        {"TLS 1.0, forged record", true, PeerEnd::ForgedRecord, false},
        {"TLS 1.0, cut record", true, PeerEnd::CutRecord, false},
        {"default, close-notify", false, PeerEnd::CloseNotify, true},
        {"default, FIN without close-notify", false, PeerEnd::Fin, false},
        {"default, reset", false, PeerEnd::Reset, false},
        {"default, forged record", false, PeerEnd::ForgedRecord, false},
        {"default, cut record", false, PeerEnd::CutRecord, false},
        {"TLS 1.0, silence", true, PeerEnd::Silence, false},
        {"default, silence", false, PeerEnd::Silence, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServerCtx server(row.tls10 ? tls10Server() : tlstest::PeerOptions());
        tlstest::Listener listener;
        tlstest::PeerThread peer(listener, [&](int fd) {
            if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
                SSL_write(ssl, "hello\n", 6);
                // The end comes only after the client has read the line and
                // said so: nothing it expects is still in flight.
                if (tlstest::readExactly(ssl, 4) == "ack\n")
                    endSession(ssl, fd, row.end);
                SSL_free(ssl);
            }
        });

        Tls10Client tls10(true);
        SSLContext standard;
        ZSslSocket sock;
        ASSERT_TRUE(sock.init(row.tls10 ? &tls10.context : &standard));
        ASSERT_TRUE(sock.open(tlstest::connectTo(listener.port())));
        ASSERT_TRUE(sock.connect()) << takeErrors();
        EXPECT_EQ("hello\n", readLine(sock));
        ASSERT_EQ(4, sock.write("ack\n", 4));
        ASSERT_EQ(0, sock.flush());
        // Far shorter than the silent peer's patience (drainUntilClosed);
        // the other ends come at once.
        if (row.end == PeerEnd::Silence)
            sock.setReadTimeout(1000);
        char buffer[64];
        for (int attempt = 0; attempt < 2; ++attempt) {
            SCOPED_TRACE(attempt);
            EXPECT_EQ(row.clean ? 0 : -1, sock.i_read(buffer, sizeof buffer));
        }
        EXPECT_EQ(0, sock.read(buffer, sizeof buffer));
        EXPECT_EQ(row.clean, sock.endOfData);
        takeErrors();
        sock.close();
    }
}
