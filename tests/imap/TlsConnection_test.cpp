// The TLS form of the connection against a TLS loopback server of the test's
// own (OpenSSL, a throw-away self-signed certificate).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <thread>

#include <gtest/gtest.h>

#include "imap/Command.h"
#include "imap/ConnectionInternal.h"
#include "tests/support/TestSupport.h"

namespace {

std::string readTlsLine(SSL* ssl)
{
    std::string line;
    char c;
    while (SSL_read(ssl, &c, 1) == 1) {
        line += c;
        if (c == '\n')
            break;
    }
    return line;
}

void writeTls(SSL* ssl, const std::string& text)
{
    SSL_write(ssl, text.data(), static_cast<int>(text.size()));
}

} // namespace

TEST(TlsConnection, LoginAndCommandOverTls)
{
    testsupport::TempDir dir("zt-imaptls");
    const std::string key = dir.file("key.pem");
    const std::string cert = dir.file("cert.pem");
    ASSERT_EQ(0, testsupport::runShell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout " +
                                       testsupport::shellQuote(key) + " -out " + testsupport::shellQuote(cert) +
                                       " >/dev/null 2>&1"));

    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ASSERT_NE(nullptr, ctx);
    SSL_CTX_set_security_level(ctx, 0);
    ASSERT_EQ(1, SSL_CTX_use_certificate_file(ctx, cert.c_str(), SSL_FILETYPE_PEM));
    ASSERT_EQ(1, SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM));

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(listener, 1));
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    const unsigned port = ntohs(a.sin_port);

    std::vector<std::string> received;
    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            return;
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            writeTls(ssl, "* OK secure\r\n");
            for (;;) {
                const std::string line = readTlsLine(ssl);
                if (line.empty())
                    break;
                received.push_back(line);
                writeTls(ssl, line.substr(0, line.find(' ')) + " OK done\r\n");
            }
        }
        SSL_free(ssl);
        ::close(fd);
    });

    {
        ConnectionInternal c;
        c.initialize("127.0.0.1", port, "user", "secret", false, 5, true);
        try {
            c.init(true);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "init: " << e.what();
        }
        EXPECT_EQ("* OK secure\r", c.getGreeting());
        if (c.getState() == ConnectionInternal::State::Authenticated) {
            Command noop(c, "NOOP");
            EXPECT_EQ(Command::Response::Ok, noop.execute());
        }
        c.close();
    }
    ::shutdown(listener, SHUT_RDWR);
    server.join();
    ::close(listener);
    SSL_CTX_free(ctx);
    const std::vector<std::string> expected = {"Z0 LOGIN \"user\" \"secret\"\r\n", "Z1 NOOP\r\n"};
    EXPECT_EQ(expected, received);
}
