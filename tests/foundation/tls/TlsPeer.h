// A raw OpenSSL peer on loopback for the TLS tests: built on OpenSSL
// directly, never on the library under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <thread>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tests/support/TestSupport.h"

namespace tlstest {

inline std::string fixture(const std::string& name)
{
    return testsupport::sourcePath("tests/fixtures/tls/" + name);
}

// Protocol and security settings of a raw context.
struct PeerOptions {
    int version = 0;          // 0: whatever the library allows, else min = max
    bool securityLevel0 = false;
    bool withCertificate = true;
    std::string cipherList;   // empty: the default
};

inline SSL_CTX* makeContext(bool server, const PeerOptions& options)
{
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx)
        return nullptr;
    if (options.version) {
        SSL_CTX_set_min_proto_version(ctx, options.version);
        SSL_CTX_set_max_proto_version(ctx, options.version);
    }
    if (options.securityLevel0)
        SSL_CTX_set_security_level(ctx, 0);
    if (!options.cipherList.empty())
        SSL_CTX_set_cipher_list(ctx, options.cipherList.c_str());
    // The library drops connections without a close-notify.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (server && options.withCertificate) {
        SSL_CTX_use_certificate_file(ctx, fixture("server.crt").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, fixture("server.key").c_str(), SSL_FILETYPE_PEM);
    }
    return ctx;
}

// The raw peers write with plain write(): a client that has gone would end
// the test process with SIGPIPE. Ignored for the guard's lifetime.
class SigpipeIgnored {
public:
    SigpipeIgnored() : previous_(std::signal(SIGPIPE, SIG_IGN)) {}
    ~SigpipeIgnored() { std::signal(SIGPIPE, previous_); }
    SigpipeIgnored(const SigpipeIgnored&) = delete;
    SigpipeIgnored& operator=(const SigpipeIgnored&) = delete;

private:
    void (*previous_)(int);
};

// A listening socket on 127.0.0.1 with a port the system chose.
class Listener {
public:
    Listener()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 8);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    unsigned short port() const { return port_; }
    // -1 when nobody connects within a generous safety limit, so a failed
    // test never leaves its peer thread waiting forever.
    int acceptOne()
    {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 30000) != 1)
            return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// A connected TCP client socket to 127.0.0.1:port, or -1.
inline int connectTo(unsigned short port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One accepted connection served by body on a thread; joined on destruction.
class PeerThread {
public:
    PeerThread(Listener& listener, std::function<void(int fd)> body)
        : thread_([&listener, body] {
              int fd = listener.acceptOne();
              if (fd >= 0) {
                  body(fd);
                  ::close(fd);
              }
          })
    {
    }
    ~PeerThread() { join(); }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

// TLS handshake over fd as server (or client); null when it fails.
inline SSL* handshake(SSL_CTX* ctx, int fd, bool server)
{
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    int rc = server ? SSL_accept(ssl) : SSL_connect(ssl);
    if (rc != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    return ssl;
}

// The record (or records) ssl would send for text, built in memory and not
// sent; from then on ssl writes to memory only.
inline std::string recordFor(SSL* ssl, const std::string& text)
{
    BIO* memory = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ssl, memory);
    SSL_write(ssl, text.data(), static_cast<int>(text.size()));
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(memory, &bytes);
    return std::string(bytes, static_cast<size_t>(length));
}

// Reads until the peer closes; returns everything read.
inline std::string readAll(SSL* ssl)
{
    std::string all;
    char chunk[4096];
    int n;
    while ((n = SSL_read(ssl, chunk, sizeof chunk)) > 0)
        all.append(chunk, static_cast<size_t>(n));
    return all;
}

// Echoes every record back until the peer closes.
inline void echo(SSL* ssl)
{
    char chunk[4096];
    int n;
    while ((n = SSL_read(ssl, chunk, sizeof chunk)) > 0)
        if (SSL_write(ssl, chunk, n) != n)
            break;
}

// Server handshake on fd, then echo() until the client closes.
inline void serveEcho(SSL_CTX* ctx, int fd)
{
    if (SSL* ssl = handshake(ctx, fd, true)) {
        echo(ssl);
        SSL_free(ssl);
    }
}

// Reads exactly n bytes (fewer when the peer closes first).
inline std::string readExactly(SSL* ssl, size_t n)
{
    std::string all;
    char chunk[4096];
    while (all.size() < n) {
        int got = SSL_read(ssl, chunk, static_cast<int>(std::min(sizeof chunk, n - all.size())));
        if (got <= 0)
            break;
        all.append(chunk, static_cast<size_t>(got));
    }
    return all;
}

// True when thread tid of this process sleeps in the kernel, as a thread
// blocked in a read or a wait does.
inline bool sleepsInKernel(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    return close != std::string::npos && close + 2 < all.size() && all[close + 2] == 'S';
}

// Waits until thread tid (set by the thread itself) sleeps in the kernel;
// gives up after a safety limit.
inline void waitUntilBlocked(const std::atomic<pid_t>& tid)
{
    for (int i = 0; i < 2000; ++i) {
        if (pid_t t = tid.load()) {
            if (sleepsInKernel(t))
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace tlstest
