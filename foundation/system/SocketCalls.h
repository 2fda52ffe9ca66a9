#ifndef ZELVO_FOUNDATION_SYSTEM_SOCKETCALLS_H
#define ZELVO_FOUNDATION_SYSTEM_SOCKETCALLS_H

namespace zelvo {
namespace tiny {

// Longest socket time-out setSockTimeout() sets, in seconds.
constexpr int maxSockTimeoutSeconds = 300;

// Start-up hook of the socket layer. Ignores SIGPIPE for the process, since
// there is no per-socket way to keep a write to a closed peer from killing
// it here. Returns 0; non-zero would mean sockets are unusable.
int initSockets();
// Shutdown hook; returns 0.
int closeSockets();

// setsockopt(SOL_SOCKET, optname) with a time-out of min(seconds, 300);
// optname is SO_RCVTIMEO or SO_SNDTIMEO. -1 for fd -1, else setsockopt's.
int setSockTimeout(int fd, int optname, int seconds);
// block non-zero clears O_NONBLOCK, 0 sets it; the result of F_SETFL.
int sockBlockMode(int fd, int block);
// Sets SO_LINGER {on, 0} so the close resets the connection, then closes.
// -1 when setsockopt fails; the descriptor then stays open.
int resetsocket(int fd);

// -1 for a null path, else open(path, O_RDWR).
int do_open(const char* path);
int do_close(int fd);
// Waits without time-out until fd is readable, then reads. -1 on failure.
int do_read(int fd, void* buf, unsigned long len);
// Writes without raising SIGPIPE on a socket whose peer has gone.
int do_write(int fd, const void* buf, unsigned long len);
int do_ioctl(int fd, int request, void* arg, unsigned int argSize);

using CloseSocketTester = void (*)(int, int);
// A process-wide hook, stored and returned; the library never calls it.
void installCloseSocketTester(CloseSocketTester tester);
CloseSocketTester getCloseSocketTester();

} // namespace tiny
} // namespace zelvo

// close(fd).
int closesocket(int fd);

#endif
