#include "foundation/system/SocketCalls.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zelvo {
namespace tiny {

namespace {
std::atomic<CloseSocketTester> closeSocketTester{nullptr};
}

int initSockets()
{
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

int closeSockets()
{
    return 0;
}

int setSockTimeout(int fd, int optname, int seconds)
{
    if (fd == -1)
        return -1;
    timeval tv{};
    tv.tv_sec = seconds < maxSockTimeoutSeconds ? seconds : maxSockTimeoutSeconds;
    tv.tv_usec = 0;
    return setsockopt(fd, SOL_SOCKET, optname, &tv, sizeof tv);
}

int sockBlockMode(int fd, int block)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        return -1;
    if (block)
        flags &= ~O_NONBLOCK;
    else
        flags |= O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags);
}

int resetsocket(int fd)
{
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        return -1;
    return close(fd);
}

int do_open(const char* path)
{
    if (!path)
        return -1;
    return open(path, O_RDWR);
}

int do_close(int fd)
{
    return close(fd);
}

int do_read(int fd, void* buf, unsigned long len)
{
    // poll ignores a negative descriptor and would wait forever.
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // poll rather than select: an fd_set here holds only 1024 descriptors.
    pollfd pfd{};
    pfd.fd = fd;
    pfd.events = POLLIN;
    for (;;) {
        int ready = poll(&pfd, 1, -1);
        if (ready > 0)
            break;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
    if (pfd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(read(fd, buf, len));
}

int do_write(int fd, const void* buf, unsigned long len)
{
    ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
        n = write(fd, buf, len);
    return static_cast<int>(n);
}

int do_ioctl(int fd, int request, void* arg, unsigned int)
{
    return ioctl(fd, static_cast<unsigned long>(request), arg);
}

void installCloseSocketTester(CloseSocketTester tester)
{
    closeSocketTester.store(tester);
}

CloseSocketTester getCloseSocketTester()
{
    return closeSocketTester.load();
}

} // namespace tiny
} // namespace zelvo

int closesocket(int fd)
{
    return close(fd);
}
