#include "foundation/tls/ZSock.h"

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include "foundation/net/TcpClientStream.h"
#include "foundation/system/SocketCalls.h"

namespace zelvo {
namespace utils {

namespace {

constexpr socklen_t ipv4AddressLength = sizeof(sockaddr_in);

// A started second counts as one. In 64 bits no int time overflows; a
// negative time is none (0), never a negative time-out.
int wholeSeconds(int ms)
{
    const long long seconds = (static_cast<long long>(ms) + 999) / 1000;
    return seconds < 0 ? 0 : static_cast<int>(seconds);
}

}  // namespace

ZSock::~ZSock()
{
    ZSock::close();
}

void ZSock::setReadTimeout(int ms)
{
    tiny::setSockTimeout(fd, SO_RCVTIMEO, wholeSeconds(ms));
}

void ZSock::setWriteTimeout(int ms)
{
    tiny::setSockTimeout(fd, SO_SNDTIMEO, wholeSeconds(ms));
}

bool ZSock::isReadEof()
{
    if (fd == -1)
        return true;
    if (readCount > 0)
        return false;
    return selectSock(fd, true, 0) == 0;
}

bool ZSock::isClosed() const
{
    if (fd == -1)
        return true;
    pollfd entry{fd, POLLIN | POLLPRI, 0};
    int n = ::poll(&entry, 1, 0);
    if (n < 0)
        return errno == EBADF;
    return n > 0 && (entry.revents & POLLNVAL) != 0;
}

int ZSock::i_read(char* buffer, unsigned length)
{
    return static_cast<int>(recvWithinTimeout(fd, buffer, length, 0));
}

int ZSock::i_write(const char* data, unsigned length)
{
    return static_cast<int>(sendWithinTimeout(fd, data, length, MSG_NOSIGNAL));
}

bool ZSock::open(int descriptor)
{
    fd = descriptor;
    return true;
}

void ZSock::close()
{
    if (fd == -1)
        return;
    flush();
    ::shutdown(fd, SHUT_WR);
    closesocket(fd);
    fd = -1;
}

bool ZSock::getSockName(sockaddr* address) const
{
    if (fd == -1)
        return false;
    socklen_t length = ipv4AddressLength;
    return ::getsockname(fd, address, &length) == 0;
}

bool ZSock::getPeerName(sockaddr* address) const
{
    if (fd == -1)
        return false;
    std::memset(address, 0, ipv4AddressLength);
    socklen_t length = ipv4AddressLength;
    return ::getpeername(fd, address, &length) == 0;
}

bool ZSock::setSockOpt(int level, int name, char* value, int length)
{
    if (fd == -1)
        return false;
    return ::setsockopt(fd, level, name, value, static_cast<socklen_t>(length)) == 0;
}

int ZSock::select(SelectOp op, int seconds)
{
    if (fd == -1 || (op != SelectRead && op != SelectWrite))
        return -1;
    return selectSock(fd, op == SelectRead, pollMillis(seconds, 0));
}

}  // namespace utils
}  // namespace zelvo
