#include "foundation/net/TcpClientStream.h"

#include "foundation/net/Deadline.h"
#include "foundation/net/SocketRegistry.h"

#include "foundation/system/Exception.h"
#include "foundation/system/SocketCalls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace zelvo {
namespace utils {

namespace {

using Clock = std::chrono::steady_clock;

int clampToInt(std::streamsize n)
{
    return n > static_cast<std::streamsize>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// The socket's own time-out optname (SO_SNDTIMEO or SO_RCVTIMEO); zero
// when it has none.
Clock::duration socketTimeout(int fd, int optname, timeval& tv)
{
    tv = timeval{};
    socklen_t length = sizeof(tv);
    if (getsockopt(fd, SOL_SOCKET, optname, &tv, &length) != 0)
        tv = timeval{};
    return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

// Runs transfer (one send or recv) and, after a signal, again with what is
// left of the socket's time-out optname, counted from the first attempt.
template <typename Transfer>
ssize_t transferWithinTimeout(int fd, int optname, Transfer transfer)
{
    const Clock::time_point start = Clock::now();
    ssize_t n = transfer();
    if (n >= 0 || errno != EINTR)
        return n;
    timeval original;
    const Clock::duration timeout = socketTimeout(fd, optname, original);
    if (timeout <= Clock::duration::zero()) {
        do
            n = transfer();
        while (n < 0 && errno == EINTR);
        return n;
    }
    const Deadline deadline(start, timeout);
    for (;;) {
        const auto left = deadline.microsecondsLeft().count();
        if (left == 0) {
            // A zero time-out would mean none at all.
            errno = EAGAIN;
            n = -1;
            break;
        }
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(left / 1000000);
        tv.tv_usec = static_cast<suseconds_t>(left % 1000000);
        setsockopt(fd, SOL_SOCKET, optname, &tv, sizeof(tv));
        n = transfer();
        if (n >= 0 || errno != EINTR)
            break;
    }
    const int saved = errno;
    setsockopt(fd, SOL_SOCKET, optname, &original, sizeof(original));
    errno = saved;
    return n;
}

} // namespace

ssize_t sendWithinTimeout(int fd, const void* data, size_t length, int flags)
{
    return transferWithinTimeout(fd, SO_SNDTIMEO, [&] { return ::send(fd, data, length, flags); });
}

ssize_t recvWithinTimeout(int fd, void* data, size_t length, int flags)
{
    return transferWithinTimeout(fd, SO_RCVTIMEO, [&] { return ::recv(fd, data, length, flags); });
}

int connectWithinTimeout(int fd, const sockaddr* peer, socklen_t length)
{
    const Clock::time_point start = Clock::now();
    if (::connect(fd, peer, length) == 0)
        return 0;
    if (errno != EINTR)
        return -1;
    // The connection goes on in the background; calling connect again would
    // give EALREADY or EISCONN for a connection that is fine.
    timeval tv;
    const Clock::duration timeout = socketTimeout(fd, SO_SNDTIMEO, tv);
    const int waitMs = timeout > Clock::duration::zero() ? Deadline(start, timeout).pollMillisLeft() : -1;
    const int ready = selectSock(fd, false, waitMs);
    if (ready == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    int error = 0;
    socklen_t errorLength = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0)
        return -1;
    if (error == 0 && ready < 0)
        error = ECONNABORTED;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- helpers

int selectSock(int fd, bool read, int timeoutMs)
{
    if (fd < 0)
        return -1;
    const short wanted = read ? POLLIN : POLLOUT;
    pollfd entry;
    entry.fd = fd;
    entry.events = wanted;
    const Deadline deadline = Deadline::afterPollMillis(timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        entry.revents = 0;
        const int rc = poll(&entry, 1, wait);
        if (rc < 0 && errno == EINTR) {
            // A signal is not the end of the wait: resume with what is left.
            wait = deadline.pollMillisLeft();
            continue;
        }
        if (rc <= 0)
            return rc;
        return (entry.revents & wanted) ? 1 : -1;
    }
}

int pollMillis(int seconds, int microseconds)
{
    return pollMillisOf(std::chrono::seconds(seconds), std::chrono::microseconds(microseconds));
}

namespace helper {

bool waitOnSocketSet(const int& fd, int seconds, int microseconds)
{
    return selectSock(fd, true, pollMillis(seconds, microseconds)) > 0;
}

} // namespace helper

void FdSet4096::zero()
{
    std::memset(words, 0, sizeof(words));
}

bool FdSet4096::isSet(int fd) const
{
    if (fd < 0 || fd >= size)
        return false;
    return (words[fd / 32] >> (fd % 32)) & 1U;
}

bool FD_SET_s(int fd, FdSet4096* set)
{
    if (set == nullptr || fd < 0 || fd >= FdSet4096::size)
        return false;
    set->words[fd / 32] |= 1U << (fd % 32);
    return true;
}

void FD_SET_safer(int fd, FdSet4096* set)
{
    if (!FD_SET_s(fd, set))
        throw Exception("Too many open sockets/file descriptors.");
}

bool sockListenIp4(int& sock, unsigned ip, unsigned short port, unsigned short* boundPort,
                   int backlog)
{
    const int on = 1;
    if (port != 0) {
        // A dual-stack listener on the IPv6 wildcard holds the port for IPv4
        // too; a machine without IPv6 has nothing to check.
        const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            if (errno != EAFNOSUPPORT)
                return false;
        } else {
            setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
            sockaddr_in6 any6;
            std::memset(&any6, 0, sizeof(any6));
            any6.sin6_family = AF_INET6;
            any6.sin6_addr = in6addr_any;
            any6.sin6_port = htons(port);
            const int rc = bind(probe, reinterpret_cast<sockaddr*>(&any6), sizeof(any6));
            const int bindError = errno;
            ::close(probe);
            if (rc != 0 && bindError != EADDRNOTAVAIL && bindError != EAFNOSUPPORT)
                return false;
        }
    }

    sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        sock = -1;
        return false;
    }
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in any4;
    std::memset(&any4, 0, sizeof(any4));
    any4.sin_family = AF_INET;
    any4.sin_port = htons(port);
    any4.sin_addr.s_addr = ip;
    if (bind(sock, reinterpret_cast<sockaddr*>(&any4), sizeof(any4)) != 0 ||
        listen(sock, backlog) != 0) {
        ::close(sock);
        sock = -1;
        return false;
    }
    if (boundPort != nullptr) {
        sockaddr_in bound;
        socklen_t length = sizeof(bound);
        std::memset(&bound, 0, sizeof(bound));
        if (getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
            *boundPort = ntohs(bound.sin_port);
    }
    return true;
}

// ---------------------------------------------------------------- tcpbuffer

tcpbuffer::tcpbuffer(const InetSocketAddress& peer, const InetSocketAddress& local, int inBytes,
                     int outBytes)
    : peerHost(peer), host(local), connected(false), timeoutSeconds(30), timeoutMicroseconds(0),
      // Each area needs room for at least one byte, or a write or read
      // could never make progress.
      inSize(std::max(inBytes, 1)), outSize(std::max(outBytes, 1)),
      buffer(new char[size_t(inSize) + size_t(outSize)]()), socketOpen(false), socketState(0),
      sock(-1), initialized(false)
{
    layoutAreas();
}

tcpbuffer::~tcpbuffer()
{
    if (connected) {
        sync();
        connected = false;
    }
    if (socketOpen) {
        if (registry)
            registry->remove(sock);
        closesocket(sock);
    }
}

void tcpbuffer::layoutAreas()
{
    char* start = buffer.get();
    setp(start, start + outSize);
    char* in = start + outSize;
    setg(in, in + inSize, in + inSize);
}

bool tcpbuffer::init()
{
    if (initialized)
        return true;
    if (socketOpen)
        closeDescriptor();

    // Nothing pending or unread belongs to the connection about to start.
    layoutAreas();

    sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        sock = -1;
        return false;
    }
    const int on = 1;
#ifdef SO_NOSIGPIPE
    if (setsockopt(sock, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on)) < 0) {
        closesocket(sock);
        sock = -1;
        return false;
    }
#endif
    // Commands are small writes followed by a wait for the answer; Nagle's
    // algorithm would hold them back for the peer's delayed ACK.
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    socketOpen = true;
    if (registry)
        registry->add(sock);
    applySendTimeout();

    host.clear();
    if (bind(sock, host.getSockAddr(), host.getSockAddrLength()) != 0) {
        std::perror("");
        closeDescriptor();
        return false;
    }
    initialized = true;
    return true;
}

bool tcpbuffer::create()
{
    if (!init())
        return false;
    return start() != nullptr;
}

int tcpbuffer::closeDescriptor()
{
    int rc = -1;
    if (socketOpen) {
        if (registry)
            registry->remove(sock);
        rc = closesocket(sock);
    }
    // The descriptor is gone even when close reports an error, so it is
    // never used again.
    sock = -1;
    socketOpen = false;
    connected = false;
    initialized = false;
    return rc;
}

tcpbuffer* tcpbuffer::close()
{
    initialized = false;
    if (connected) {
        connected = false;
        sync();
    }
    if (!socketOpen)
        return nullptr;
    return closeDescriptor() == 0 ? this : nullptr;
}

void tcpbuffer::setSocketRegistry(SocketRegistry* next)
{
    if (socketOpen && registry)
        registry->remove(sock);
    registry = next;
    if (socketOpen && registry)
        registry->add(sock);
}

void tcpbuffer::setTimeoutInSeconds(unsigned seconds)
{
    timeoutSeconds = seconds;
    applySendTimeout();
}

void tcpbuffer::setTimeoutInuSeconds(unsigned microseconds)
{
    timeoutMicroseconds = microseconds;
    applySendTimeout();
}

void tcpbuffer::applySendTimeout()
{
    if (sock == -1)
        return;
    // A peer that stops reading fails a send once no room appeared for the
    // read time-out, instead of blocking the caller for ever. The kernel
    // keeps the time, so a send that goes through costs nothing extra.
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeoutSeconds + timeoutMicroseconds / 1000000U);
    tv.tv_usec = static_cast<suseconds_t>(timeoutMicroseconds % 1000000U);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

unsigned tcpbuffer::getTimeout() const
{
    return timeoutSeconds * 1000000U + timeoutMicroseconds;
}

InetSocketAddress& tcpbuffer::getHost()
{
    return host;
}

tcpbuffer* tcpbuffer::startSSL()
{
    return nullptr;
}

tcpbuffer* tcpbuffer::resetSSL()
{
    return this;
}

int tcpbuffer::sendData(void* data, int len)
{
    // The send time-out (applySendTimeout) holds however many signals come.
    return static_cast<int>(sendWithinTimeout(sock, data, size_t(len), MSG_NOSIGNAL));
}

int tcpbuffer::recvData(void* data, int len)
{
    return static_cast<int>(recvWithinTimeout(sock, data, size_t(len), 0));
}

int tcpbuffer::pendingBytes()
{
    return 0;
}

int tcpbuffer::timeoutMs() const
{
    return pollMillisOf(std::chrono::seconds(timeoutSeconds), std::chrono::microseconds(timeoutMicroseconds));
}

int tcpbuffer::waitForInput()
{
    return selectSock(sock, true, timeoutMs());
}

bool tcpbuffer::readyForInput()
{
    // The peer answers only what it has received.
    sync();
    return !hasTimeout() || pendingBytes() != 0 || waitForInput() > 0;
}

int tcpbuffer::writeAndCleanupBuffer()
{
    if (sock == -1)
        return -1;
    char* const begin = pbase();
    char* const end = pptr();
    if (begin == end)
        return -1;
    char* next = begin;
    while (next < end) {
        const int n = sendData(next, clampToInt(end - next));
        if (n <= 0) {
            if (n < 0)
                socketState = -1;
            // Keep only what the peer has not got, so a retry cannot send
            // any byte twice.
            const std::ptrdiff_t left = end - next;
            std::memmove(begin, next, size_t(left));
            setp(begin, epptr());
            pbump(static_cast<int>(left));
            return -1;
        }
        next += n;
    }
    setp(begin, epptr());
    return 0;
}

std::streamsize tcpbuffer::sendAll(const char* data, std::streamsize len)
{
    std::streamsize sent = 0;
    while (sent < len) {
        const int n = sendData(const_cast<char*>(data + sent), clampToInt(len - sent));
        if (n <= 0) {
            if (n < 0)
                socketState = -1;
            break;
        }
        sent += n;
    }
    return sent;
}

int tcpbuffer::sync()
{
    if (sock == -1)
        return -1;
    if (pptr() == pbase())
        return 0;
    return writeAndCleanupBuffer();
}

tcpbuffer::int_type tcpbuffer::overflow(int_type c)
{
    if (sock == -1)
        return traits_type::eof();
    if (pptr() > pbase() && writeAndCleanupBuffer() != 0)
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize tcpbuffer::xsputn(const char* s, std::streamsize n)
{
    if (sock == -1 || n <= 0)
        return 0;
    const std::streamsize room = epptr() - pptr();
    if (n <= room) {
        std::memcpy(pptr(), s, size_t(n));
        pbump(static_cast<int>(n));
        return n;
    }
    if (n < outSize) {
        // Top the area up, send it, keep the rest for later.
        std::memcpy(pptr(), s, size_t(room));
        pbump(static_cast<int>(room));
        if (writeAndCleanupBuffer() != 0)
            return room;
        std::memcpy(pptr(), s + room, size_t(n - room));
        pbump(static_cast<int>(n - room));
        return n;
    }
    // Too large to buffer: pending bytes first, then straight from the
    // caller's memory.
    if (pptr() > pbase() && writeAndCleanupBuffer() != 0)
        return 0;
    return sendAll(s, n);
}

tcpbuffer::int_type tcpbuffer::underflow()
{
    if (sock == -1)
        return traits_type::eof();
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());

    if (!readyForInput())
        return traits_type::eof();

    char* const start = eback();
    const int n = recvData(start, inSize);
    if (n <= 0) {
        if (n < 0)
            socketState = -1;
        return traits_type::eof();
    }
    setg(start, start, start + n);
    return traits_type::to_int_type(*gptr());
}

std::streamsize tcpbuffer::xsgetn(char* s, std::streamsize n)
{
    std::streamsize got = 0;
    while (got < n) {
        const std::streamsize avail = egptr() - gptr();
        if (avail > 0) {
            const std::streamsize k = std::min(avail, n - got);
            std::memcpy(s + got, gptr(), size_t(k));
            gbump(static_cast<int>(k));
            got += k;
            continue;
        }
        const std::streamsize want = n - got;
        if (want < inSize) {
            if (traits_type::eq_int_type(underflow(), traits_type::eof()))
                break;
            continue;
        }
        // At least a whole area wanted: receive straight into the caller's
        // memory.
        if (sock == -1)
            break;
        if (!readyForInput())
            break;
        const int r = recvData(s + got, clampToInt(want));
        if (r <= 0) {
            if (r < 0)
                socketState = -1;
            break;
        }
        got += r;
    }
    return got;
}

bool tcpbuffer::connectToPeer()
{
    // After a cut no connection may outlive it: none is begun, and one that
    // completed meanwhile is dropped.
    const auto cut = [this] { return registry != nullptr && registry->isShutDown(); };
    if (cut()) {
        closeDescriptor();
        return false;
    }
    // The socket's SO_SNDTIMEO (applySendTimeout) bounds the connect; the
    // cut ends its wait by shutting the socket down.
    const int rc = connectWithinTimeout(sock, peerHost.getSockAddr(), peerHost.getSockAddrLength());
    if (rc != 0 || cut()) {
        closeDescriptor();
        return false;
    }
    return true;
}

InetSocketAddress& tcpbuffer::localEndpoint()
{
    if (sock != -1) {
        sockaddr_in local;
        socklen_t length = sizeof(local);
        std::memset(&local, 0, sizeof(local));
        if (getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            host = InetSocketAddress(Inet4Address(ntohl(local.sin_addr.s_addr)),
                                     ntohs(local.sin_port));
    }
    return host;
}

std::streambuf* tcpbuffer::setbuf(char* p, std::streamsize n)
{
    if (p == nullptr || n < 2 || n > static_cast<std::streamsize>(INT_MAX))
        return nullptr;
    if (gptr() < egptr())
        return nullptr;
    if (pptr() > pbase() && writeAndCleanupBuffer() != 0)
        return nullptr;
    const long long total = static_cast<long long>(outSize) + inSize;
    long long out = static_cast<long long>(n) * outSize / total;
    out = std::max(1LL, std::min(out, static_cast<long long>(n) - 1));
    outSize = static_cast<int>(out);
    inSize = static_cast<int>(n - out);
    buffer.reset(p);
    layoutAreas();
    return this;
}

int tcpbuffer::isRecvReady()
{
    switch (selectSock(sock, true, 0)) {
    case -1:
        return 1;
    case 1:
        return 2;
    default:
        return 3;
    }
}

int tcpbuffer::recieve()
{
    if (gptr() < egptr())
        return static_cast<int>(egptr() - gptr());
    if (sock == -1)
        return -1;
    if (!readyForInput())
        return 0;
    char* const start = eback();
    const int n = recvData(start, inSize);
    if (n > 0)
        setg(start, start, start + n);
    return n;
}

bool tcpbuffer::initSockets()
{
    zelvo::tiny::initSockets();
    return true;
}

bool tcpbuffer::closeSockets()
{
    zelvo::tiny::closeSockets();
    return true;
}

// ---------------------------------------------------------------- client buffer

basic_tcpclientbuffer::basic_tcpclientbuffer(const InetSocketAddress& peer,
                                             const InetSocketAddress& local, int inBytes,
                                             int outBytes)
    : tcpbuffer(peer, local, inBytes, outBytes)
{
}

basic_tcpclientbuffer::~basic_tcpclientbuffer() = default;

InetSocketAddress& basic_tcpclientbuffer::getHost()
{
    return localEndpoint();
}

tcpbuffer* basic_tcpclientbuffer::start()
{
    if (sock == -1)
        return nullptr;
    if (connected)
        return this; // a second connect would fail and drop the connection
    if (!connectToPeer())
        return nullptr;
    connected = true;
    return this;
}

// ---------------------------------------------------------------- stream

basic_tcpclientiostream::basic_tcpclientiostream(tcpbuffer* adopted)
    : std::iostream(adopted), buffer(adopted), initialized(false)
{
}

basic_tcpclientiostream::basic_tcpclientiostream(const InetSocketAddress& peer,
                                                 const InetSocketAddress& local, int inBytes,
                                                 int outBytes)
    : basic_tcpclientiostream(new basic_tcpclientbuffer(peer, local, inBytes, outBytes))
{
}

basic_tcpclientiostream::~basic_tcpclientiostream()
{
    delete buffer;
}

void basic_tcpclientiostream::create()
{
    clear();
    if (!initialized) {
        initialized = true;
        if (!buffer->init()) {
            setstate(std::ios::badbit);
            return;
        }
    }
    if (!buffer->create())
        setstate(std::ios::badbit);
}

void basic_tcpclientiostream::close()
{
    initialized = false;
    if (buffer->close() == nullptr)
        setstate(std::ios::badbit);
}

bool basic_tcpclientiostream::init()
{
    if (initialized)
        return true;
    initialized = true;
    return buffer->init();
}

} // namespace utils
} // namespace zelvo
