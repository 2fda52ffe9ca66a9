#include "foundation/tls/SslBuffer.h"

#include <future>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/foundation/tls/TlsPeer.h"

using zelvo::utils::Inet4Address;
using zelvo::utils::InetSSLSocketAddress;
using zelvo::utils::basic_tcpclientiostream;

namespace {

constexpr unsigned loopback = 0x7f000001;

struct ServerCtx {
    SSL_CTX* ctx = tlstest::makeContext(true, tlstest::PeerOptions());
    ~ServerCtx() { SSL_CTX_free(ctx); }
};

std::unique_ptr<basic_tcpclientiostream> streamTo(const tlstest::Listener& listener, bool useSsl)
{
    InetSSLSocketAddress peer(Inet4Address(loopback), listener.port(), "", "");
    auto stream = std::make_unique<basic_tcpclientiostream>(peer, InetSSLSocketAddress::any(), 4096, 4096, useSsl);
    stream->setTimeoutInSeconds(2);
    return stream;
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
    tlstest::PeerThread peer(listener, [&](int fd) {
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
            tlstest::echo(ssl);
            SSL_free(ssl);
        }
    });
    auto stream = streamTo(listener, true);
    stream->create();
    ASSERT_TRUE(stream->good());
    *stream << "hello over tls\n" << std::flush;
    std::string line;
    ASSERT_TRUE(std::getline(*stream, line));
    EXPECT_EQ("hello over tls", line);
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

TEST(SslBufferTest, PlainUntilStartSslThenTls)
{
    ServerCtx server;
    tlstest::Listener listener;
    std::string plainRequest;
    tlstest::PeerThread peer(listener, [&](int fd) {
        plainRequest = rawLine(fd);
        ::send(fd, "GO\r\n", 4, MSG_NOSIGNAL);
        if (SSL* ssl = tlstest::handshake(server.ctx, fd, true)) {
            tlstest::echo(ssl);
            SSL_free(ssl);
        }
    });
    auto stream = streamTo(listener, false);
    stream->create();
    ASSERT_TRUE(stream->good());
    *stream << "STARTTLS\r\n" << std::flush;
    std::string line;
    ASSERT_TRUE(std::getline(*stream, line));
    EXPECT_EQ("GO\r", line);
    ASSERT_NE(nullptr, stream->startSSL());
    *stream << "now secret\n" << std::flush;
    ASSERT_TRUE(std::getline(*stream, line));
    EXPECT_EQ("now secret", line);
    stream->close();
    peer.join();
    EXPECT_EQ("STARTTLS\r\n", plainRequest);
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

}  // namespace
