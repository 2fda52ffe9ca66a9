#include "foundation/tls/SslBuffer.h"

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/foundation/tls/TlsPeer.h"

using zelvo::utils::Inet4Address;
using zelvo::utils::InetSSLSocketAddress;
using zelvo::utils::basic_tcpclientiostream;

namespace {

constexpr unsigned loopback = 0x7f000001;

tlstest::PeerOptions onlyVersion(int version)
{
    tlstest::PeerOptions options;
    options.version = version;
    return options;
}

// A server context; version: its only protocol version, 0 for the default.
struct ServerCtx {
    SSL_CTX* ctx;
    explicit ServerCtx(int version = 0) : ctx(tlstest::makeContext(true, onlyVersion(version))) {}
    ~ServerCtx() { SSL_CTX_free(ctx); }
    ServerCtx(const ServerCtx&) = delete;
    ServerCtx& operator=(const ServerCtx&) = delete;
};

std::unique_ptr<basic_tcpclientiostream> streamTo(const tlstest::Listener& listener, bool useSsl)
{
    InetSSLSocketAddress peer(Inet4Address(loopback), listener.port(), "", "");
    auto stream = std::make_unique<basic_tcpclientiostream>(peer, InetSSLSocketAddress::any(), 4096, 4096, useSsl);
    stream->setTimeoutInSeconds(2);
    return stream;
}

// A TLS stream whose handshake ran under a generous time-out, set to a
// time-out of one second for what the test does with it.
std::unique_ptr<basic_tcpclientiostream> connectedWithShortTimeout(const tlstest::Listener& listener)
{
    auto stream = streamTo(listener, true);
    stream->setTimeoutInSeconds(20);
    stream->create();
    stream->setTimeoutInSeconds(1);
    return stream;
}

// A silent peer keeps silent at most this long: far beyond the client's
// time-out, so a client that does not hold its time-out is still waiting
// when the peer gives up, and the test sees that the peer gave up.
constexpr auto silenceCap = std::chrono::seconds(20);

// Keeps silent on fd until released, the client closes or the cap runs out.
// With drain, whatever the client sends meanwhile is read and ignored;
// without, nothing is read, so the client's writes fill the connection up.
// False when the cap ran out.
bool keepSilent(int fd, const std::atomic<bool>& released, bool drain = true)
{
    const auto end = std::chrono::steady_clock::now() + silenceCap;
    while (!released) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        if (!drain) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) == 1) {
            char ignored[4096];
            if (::recv(fd, ignored, sizeof ignored, 0) <= 0)
                return true;  // the client closed
        }
    }
    return true;
}

// Runs the server side of the handshake on fd up to its first flight, sends
// that flight and returns the connection. The flight is written to memory
// first, so the server cannot go on with whatever the client answers.
SSL* serverFirstFlight(SSL_CTX* ctx, int fd)
{
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    BIO* flight = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ssl, flight);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    for (int attempt = 0; attempt < 500 && BIO_ctrl_pending(flight) == 0; ++attempt) {
        SSL_accept(ssl);  // wants the client hello until it is in
        pollfd entry{fd, POLLIN, 0};
        ::poll(&entry, 1, 10);
    }
    ERR_clear_error();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(flight, &bytes);
    ::send(fd, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    return ssl;
}

// Sends text and a LF, and returns the line that comes back ("" for none).
std::string echoed(basic_tcpclientiostream& stream, const std::string& text)
{
    stream << text << "\n" << std::flush;
    std::string line;
    std::getline(stream, line);
    return line;
}

// Reads raw bytes up to and including the first LF.
std::string rawLine(int fd)
{
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n')
            break;
    }
    return line;
}

TEST(SslBufferTest, TlsRoundTripRightAfterConnect)
{
    ServerCtx server;
    tlstest::Listener listener;
    tlstest::PeerThread peer(listener, [&](int fd) { tlstest::serveEcho(server.ctx, fd); });
    auto stream = streamTo(listener, true);
    stream->create();
    ASSERT_TRUE(stream->good());
    EXPECT_EQ("hello over tls", echoed(*stream, "hello over tls"));
    auto* buffer = dynamic_cast<zelvo::ssl::basic_sslbuffer*>(stream->getBuffer());
    ASSERT_NE(nullptr, buffer);
    EXPECT_TRUE(buffer->isSslActive());
    EXPECT_EQ(listener.port(), stream->getPeerHost().getPort());
    EXPECT_NE(0u, stream->getHost().getPort());
    stream->close();
}

TEST(SslBufferTest, ARecordLargerThanTheGetAreaIsReadAtOnce)
{
    // 16 KB of lines in one TLS record, then silence: every line is already
    // decoded when the first 4096 bytes are delivered, so no read may wait on
    // the socket (which would end the stream at the time-out).
    std::string record;
    for (int i = 0; record.size() + 64 <= 16384; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.append(63 - line.size(), '.');
        record += line + "\n";
    }
    ServerCtx server;
    tlstest::Listener listener;
    std::promise<void> finished;
    std::shared_future<void> done = finished.get_future().share();
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
            SSL_write(ssl, record.data(), static_cast<int>(record.size()));
            done.wait();
            SSL_free(ssl);
        }
    });
    auto stream = streamTo(listener, true);
    stream->create();
    ASSERT_TRUE(stream->good());
    std::string got, line;
    while (got.size() < record.size() && std::getline(*stream, line))
        got += line + "\n";
    finished.set_value();
    EXPECT_EQ(record.size(), got.size());
    EXPECT_EQ(record, got);
}

// The server of a STARTTLS exchange: reads the request line, answers with
// reply in clear, then shakes hands and echoes.
struct StartTlsServer {
    ServerCtx server;
    tlstest::Listener listener;
    std::string request;
    std::atomic<bool> handshaken{false};
    tlstest::PeerThread peer;

    explicit StartTlsServer(const std::string& reply)
        : peer(listener, [this, reply](int fd) {
              request = rawLine(fd);
              ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
              if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
                  handshaken = true;
                  tlstest::echo(ssl);
                  SSL_free(ssl);
              }
          })
    {
    }
};

// A plain stream that asked for TLS and read the go-ahead line.
std::unique_ptr<basic_tcpclientiostream> askForTls(const tlstest::Listener& listener)
{
    auto stream = streamTo(listener, false);
    stream->create();
    *stream << "STARTTLS\r\n" << std::flush;
    std::string line;
    std::getline(*stream, line);
    EXPECT_EQ("GO\r", line);
    return stream;
}

TEST(SslBufferTest, PlainUntilStartSslThenTls)
{
    StartTlsServer server("GO\r\n");
    auto stream = askForTls(server.listener);
    ASSERT_TRUE(stream->good());
    ASSERT_NE(nullptr, stream->startSSL());
    EXPECT_EQ("now secret", echoed(*stream, "now secret"));
    stream->close();
    server.peer.join();
    EXPECT_EQ("STARTTLS\r\n", server.request);
}

TEST(SslBufferTest, ResetSslSendsPendingThroughTlsAndLaterOutputInClear)
{
    ServerCtx server;
    tlstest::Listener listener;
    std::string viaTls, viaPlain;
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
            viaTls = tlstest::readExactly(ssl, 8);
            viaPlain = rawLine(fd);
            SSL_free(ssl);
        }
    });
    auto stream = streamTo(listener, true);
    stream->create();
    ASSERT_TRUE(stream->good());
    *stream << "pending!";  // not flushed yet
    ASSERT_NE(nullptr, stream->resetSSL());
    *stream << "in clear\n" << std::flush;
    peer.join();
    EXPECT_EQ("pending!", viaTls);
    EXPECT_EQ("in clear\n", viaPlain);
}

TEST(SslBufferTest, APeerThatDropsTheHandshakeFailsCreate)
{
    tlstest::Listener listener;
    tlstest::PeerThread peer(listener, [](int) {});  // closes at once
    auto stream = streamTo(listener, true);
    stream->create();
    EXPECT_TRUE(stream->bad());
}

TEST(SslBufferTest, OutputMeantForTlsNeverGoesOutInClear)
{
    tlstest::Listener listener;
    std::string received;
    tlstest::PeerThread peer(listener, [&](int fd) {
        char hello[512];
        ::recv(fd, hello, sizeof hello, 0);  // the client hello
        const char notTls[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
        ::send(fd, notTls, sizeof notTls - 1, MSG_NOSIGNAL);
        char chunk[4096];
        ssize_t n;
        while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
            received.append(chunk, static_cast<size_t>(n));
    });
    {
        auto stream = streamTo(listener, true);
        stream->create();
        ASSERT_TRUE(stream->bad());
        // The stream refuses output now; the buffer itself still takes it.
        stream->getBuffer()->sputn("SECRET-DATA", 11);
    }
    peer.join();
    EXPECT_EQ(std::string::npos, received.find("SECRET-DATA"));
}

TEST(SslBufferTest, WithoutTlsItIsAPlainTcpStream)
{
    tlstest::Listener listener;
    tlstest::PeerThread peer(listener, [](int fd) {
        std::string line = rawLine(fd);
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    });
    auto stream = streamTo(listener, false);
    stream->create();
    ASSERT_TRUE(stream->good());
    *stream << "plain\n" << std::flush;
    std::string line;
    ASSERT_TRUE(std::getline(*stream, line));
    EXPECT_EQ("plain", line);
    auto* buffer = dynamic_cast<zelvo::ssl::basic_sslbuffer*>(stream->getBuffer());
    ASSERT_NE(nullptr, buffer);
    EXPECT_FALSE(buffer->isSslActive());
}

TEST(SslBufferTest, APeerGoneWithoutCloseNotifyEndsTheConnection)
{
    tlstest::SigpipeIgnored quiet;
    struct Row {
        const char* name;
        int version;
        bool closeNotify;  // the peer ends TLS before it closes the socket
        int socketState;   // after the read that meets the end
        bool connected;
        bool reset = false;  // once the client has read the line, the peer resets
    };
    // A close without close-notify may cut the data short: the stream must
    // not read it as a quiet peer (end of file, still connected, state 0).
    // Nor may a reset, which OpenSSL reports as a system error, not as a
    // TLS one.
    const Row rows[] = {
        {"TLS 1.2, close-notify", TLS1_2_VERSION, true, 0, true},
        {"TLS 1.3, close-notify", TLS1_3_VERSION, true, 0, true},
        {"TLS 1.2, no close-notify", TLS1_2_VERSION, false, -1, false},
        {"TLS 1.3, no close-notify", TLS1_3_VERSION, false, -1, false},
        {"TLS 1.2, reset", TLS1_2_VERSION, false, -1, false, true},
        {"TLS 1.3, reset", TLS1_3_VERSION, false, -1, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServerCtx server(row.version);
        tlstest::Listener listener;
        {
            tlstest::PeerThread peer(listener, [&](int fd) {
                if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
                    SSL_write(ssl, "hello\n", 6);
                    if (row.closeNotify)
                        SSL_shutdown(ssl);
                    // The reset comes only once the client has the line
                    // (SO_LINGER 0: the close that follows sends RST).
                    if (row.reset && tlstest::readExactly(ssl, 4) == "ack\n") {
                        const linger now{1, 0};
                        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
                    }
                    SSL_free(ssl);
                }
            });
            auto stream = streamTo(listener, true);
            stream->create();
            ASSERT_TRUE(stream->good());
            std::string line;
            ASSERT_TRUE(std::getline(*stream, line));
            EXPECT_EQ("hello", line);
            if (row.reset)
                *stream << "ack\n" << std::flush;
            EXPECT_FALSE(std::getline(*stream, line));
            EXPECT_TRUE(stream->eof());
            EXPECT_EQ(row.socketState, stream->getSocketState());
            EXPECT_EQ(row.connected, stream->isConnected());
            stream->close();
        }
    }
}

TEST(SslBufferTest, APeerSilentInTheHandshakeFailsCreateAtTheTimeOut)
{
    tlstest::SigpipeIgnored quiet;
    struct Row {
        const char* name;
        int version;         // the server's only version
        bool firstFlight;    // the server sends its first flight, then keeps silent
        const char* groups;  // the server's key groups; null: the default
    };
    const Row rows[] = {
        {"never answers the client hello", 0, false, nullptr},
        {"TLS 1.2, silent after its first flight", TLS1_2_VERSION, true, nullptr},
        // The client offers no key share for this group, so the server's
        // first flight is a hello retry request.
        {"TLS 1.3, silent after a hello retry request", TLS1_3_VERSION, true, "P-384"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServerCtx server(row.version);
        if (row.groups)
            SSL_CTX_set1_groups_list(server.ctx, row.groups);
        std::atomic<bool> gaveUp{false};
        const std::atomic<bool> never{false};
        tlstest::Listener listener;
        {
            tlstest::PeerThread peer(listener, [&](int fd) {
                SSL* ssl = row.firstFlight ? serverFirstFlight(server.ctx, fd) : nullptr;
                gaveUp = !keepSilent(fd, never);
                SSL_free(ssl);
            });
            auto stream = streamTo(listener, true);
            stream->setTimeoutInSeconds(1);
            stream->create();
            EXPECT_TRUE(stream->bad());
            EXPECT_FALSE(gaveUp) << "create() waited until the peer gave up";
            EXPECT_FALSE(stream->isConnected());
        }
    }
}

TEST(SslBufferTest, ASilentPeerEndsAReadAtTheTimeOutAndTheStreamGoesOn)
{
    tlstest::SigpipeIgnored quiet;
    struct Row {
        const char* name;
        int version;
        bool partialRecord;  // the start of a record arrives, the rest later
    };
    // TLS 1.3 servers send session tickets after the handshake: the socket
    // becomes readable without any application data.
    const Row rows[] = {
        {"TLS 1.3, session tickets then silence", TLS1_3_VERSION, false},
        {"TLS 1.2, silence", TLS1_2_VERSION, false},
        {"TLS 1.2, part of a record then silence", TLS1_2_VERSION, true},
        {"TLS 1.3, part of a record then silence", TLS1_3_VERSION, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServerCtx server(row.version);
        std::atomic<bool> released{false};
        std::atomic<bool> gaveUp{false};
        tlstest::Listener listener;
        {
            tlstest::PeerThread peer(listener, [&](int fd) {
                SSL* ssl = tlstest::handshake(server.ctx, fd, true);
                if (!ssl)
                    return;
                std::string record;
                if (row.partialRecord) {
                    // The record is built in memory and sent in two pieces.
                    record = tlstest::recordFor(ssl, "hello\n");
                    ::send(fd, record.data(), 8, MSG_NOSIGNAL);
                }
                gaveUp = !keepSilent(fd, released);
                if (row.partialRecord)
                    ::send(fd, record.data() + 8, record.size() - 8, MSG_NOSIGNAL);
                else
                    SSL_write(ssl, "hello\n", 6);
                tlstest::readAll(ssl);  // until the client closes
                SSL_free(ssl);
            });
            auto stream = connectedWithShortTimeout(listener);
            ASSERT_TRUE(stream->good());
            std::string line;
            EXPECT_FALSE(std::getline(*stream, line)) << "read: " << line;
            EXPECT_TRUE(stream->eof());
            EXPECT_FALSE(gaveUp) << "the read waited until the peer gave up";
            EXPECT_EQ(0, stream->getSocketState());

            stream->clear();
            stream->setTimeoutInSeconds(20);
            released = true;
            ASSERT_TRUE(std::getline(*stream, line));
            EXPECT_EQ("hello", line);
            stream->close();
        }
    }
}

// A peer that sends a record one byte every 250 ms keeps the socket
// readable more often than the time-out, but never completes the record:
// the read ends at its time-out from its start, neither a whole time-out
// after the latest byte (which would hold it for as long as the bytes
// come) nor after a wait of a whole time-out begun at the latest byte.
TEST(SslBufferTest, ATricklingPeerEndsAReadAtTheTimeOut)
{
    tlstest::SigpipeIgnored quiet;
    constexpr auto trickleCap = std::chrono::seconds(6);
    constexpr auto interval = std::chrono::milliseconds(250);
    struct Row {
        const char* name;
        int version;
        int bytes;  // then silence; 0: until the read ends
    };
    const Row rows[] = {
        {"TLS 1.2, bytes until the read ends", TLS1_2_VERSION, 0},
        {"TLS 1.3, bytes until the read ends", TLS1_3_VERSION, 0},
        // The last byte comes at 750 ms of the client's 1 s time-out.
        {"TLS 1.2, four bytes then silence", TLS1_2_VERSION, 4},
        {"TLS 1.3, four bytes then silence", TLS1_3_VERSION, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServerCtx server(row.version);
        std::atomic<pid_t> reader{0};
        std::atomic<bool> released{false};
        std::atomic<bool> gaveUp{false};
        tlstest::Listener listener;
        {
            tlstest::PeerThread peer(listener, [&](int fd) {
                SSL* ssl = tlstest::handshake(server.ctx, fd, true);
                if (!ssl)
                    return;
                const std::string record = tlstest::recordFor(ssl, std::string(1000, 'x'));
                // The schedule starts with the client's read.
                tlstest::waitUntilBlocked(reader);
                const auto start = std::chrono::steady_clock::now();
                const std::size_t count = row.bytes > 0 ? std::size_t(row.bytes) : record.size();
                for (std::size_t at = 0; at < count && interval * at < trickleCap && !released; ++at) {
                    std::this_thread::sleep_until(start + interval * at);
                    ::send(fd, &record[at], 1, MSG_NOSIGNAL);
                }
                while (!released && std::chrono::steady_clock::now() < start + trickleCap)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                gaveUp = !released;
                SSL_free(ssl);
            });
            auto stream = connectedWithShortTimeout(listener);
            ASSERT_TRUE(stream->good());
            reader = static_cast<pid_t>(::syscall(SYS_gettid));
            const auto start = std::chrono::steady_clock::now();
            std::string line;
            EXPECT_FALSE(std::getline(*stream, line));
            const auto took = std::chrono::steady_clock::now() - start;
            released = true;
            EXPECT_TRUE(stream->eof());
            EXPECT_FALSE(gaveUp) << "the read waited until the peer gave up";
            const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
            EXPECT_GE(tookMs, 1000);
            EXPECT_LT(tookMs, 1500);
            stream->close();
        }
    }
}

TEST(SslBufferTest, APeerThatNeverReadsFailsAWriteAtTheTimeOut)
{
    tlstest::SigpipeIgnored quiet;
    // Far more than the socket buffers of both ends hold.
    constexpr std::size_t writeCap = 256u << 20;
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version == TLS1_2_VERSION ? "TLS 1.2" : "TLS 1.3");
        ServerCtx server(version);
        std::atomic<bool> released{false};
        std::atomic<bool> gaveUp{false};
        tlstest::Listener listener;
        {
            tlstest::PeerThread peer(listener, [&](int fd) {
                SSL* ssl = tlstest::handshake(server.ctx, fd, true);
                // Once the peer gives up, the socket closes and a write
                // still waiting for room fails at last.
                gaveUp = !keepSilent(fd, released, false);
                SSL_free(ssl);
            });
            auto stream = connectedWithShortTimeout(listener);
            ASSERT_TRUE(stream->good());
            const std::string chunk(64 * 1024, 'x');
            std::size_t written = 0;
            while (stream->good() && written < writeCap) {
                stream->write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                written += chunk.size();
            }
            EXPECT_TRUE(stream->bad()) << written << " bytes went out to a peer that reads nothing";
            EXPECT_FALSE(gaveUp) << "the write waited until the peer gave up";
            EXPECT_EQ(-1, stream->getSocketState());
            released = true;
        }
    }
}

TEST(SslBufferTest, StartSslRefusesPlainInputReceivedBeforeTheHandshake)
{
    tlstest::SigpipeIgnored quiet;
    // A man in the middle appends a response to the server's go-ahead; it
    // must never be taken as if it had come through TLS.
    StartTlsServer server("GO\r\n* INJECTED\r\n");
    auto stream = askForTls(server.listener);
    ASSERT_TRUE(stream->good());
    EXPECT_TRUE(stream->startSSL() == nullptr);
    auto* buffer = dynamic_cast<zelvo::ssl::basic_sslbuffer*>(stream->getBuffer());
    ASSERT_NE(nullptr, buffer);
    EXPECT_FALSE(buffer->isSslActive());
    stream->close();
    server.peer.join();
    EXPECT_FALSE(server.handshaken);
}

TEST(SslBufferTest, CreateOnAConnectedBufferKeepsTheConnection)
{
    tlstest::SigpipeIgnored quiet;
    for (bool useSsl : {true, false}) {
        SCOPED_TRACE(useSsl ? "TLS" : "plain");
        ServerCtx server;
        tlstest::Listener listener;
        tlstest::PeerThread peer(listener, [&](int fd) {
            if (!useSsl) {
                std::string line;
                while (!(line = rawLine(fd)).empty())
                    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            } else {
                tlstest::serveEcho(server.ctx, fd);
            }
        });
        auto stream = streamTo(listener, useSsl);
        stream->create();
        ASSERT_TRUE(stream->good());
        const int descriptor = stream->getBuffer()->getSocket();
        stream->create();
        EXPECT_TRUE(stream->good());
        EXPECT_TRUE(stream->isConnected());
        EXPECT_EQ(descriptor, stream->getBuffer()->getSocket());
        EXPECT_EQ("still here", echoed(*stream, "still here"));
        stream->close();
    }
}

TEST(SslBufferTest, AFailedHandshakeLeavesTheBufferReadyForCreate)
{
    tlstest::SigpipeIgnored quiet;
    ServerCtx server;
    tlstest::Listener listener;
    auto stream = streamTo(listener, true);
    {
        tlstest::PeerThread refusing(listener, [](int) {});  // closes at once
        stream->create();
        EXPECT_TRUE(stream->bad());
        EXPECT_FALSE(stream->isConnected());
    }
    tlstest::PeerThread peer(listener, [&](int fd) { tlstest::serveEcho(server.ctx, fd); });
    stream->create();
    ASSERT_TRUE(stream->good());
    EXPECT_EQ("second try", echoed(*stream, "second try"));
    stream->close();
}

}  // namespace
