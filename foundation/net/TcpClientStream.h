#ifndef ZELVO_FOUNDATION_NET_TCPCLIENTSTREAM_H
#define ZELVO_FOUNDATION_NET_TCPCLIENTSTREAM_H

#include "foundation/net/InetSocketAddress.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace zelvo {
namespace utils {

class SocketRegistry;

// poll() on one descriptor for reading (POLLIN) or writing (POLLOUT).
// Returns 1 when ready, 0 when timeoutMs ran out, -1 on error, hang-up or
// an invalid descriptor. A negative time-out waits without limit. A signal
// does not end the wait: poll is resumed with the time that is left.
int selectSock(int fd, bool read, int timeoutMs);
// A wait of seconds and microseconds in selectSock's milliseconds, computed
// in 64 bits: a negative wait is -1 (no limit), one beyond INT_MAX
// milliseconds is INT_MAX.
int pollMillis(int seconds, int microseconds);

// One send or recv on a blocking socket whose SO_SNDTIMEO (send) or
// SO_RCVTIMEO (recv) bounds the wait for room or data. A signal ends such a
// wait and the kernel does not restart it: the call is retried with only
// what is left of that time-out, so signals cannot stretch it. Once it is
// used up: -1 with errno EAGAIN, as the time-out itself gives. A socket
// without the time-out is retried as often as signals come.
ssize_t sendWithinTimeout(int fd, const void* data, size_t length, int flags);
ssize_t recvWithinTimeout(int fd, void* data, size_t length, int flags);
// connect() on a blocking socket, bounded by its SO_SNDTIMEO as the kernel
// bounds it (without one: as long as the kernel tries). A connect that a
// signal interrupted goes on in the background and is waited for with what
// is left of that time-out. 0, or -1 with errno (ETIMEDOUT when the time
// ran out after a signal).
int connectWithinTimeout(int fd, const sockaddr* peer, socklen_t length);

namespace helper {
// True when fd became readable within the time (beyond INT_MAX
// milliseconds: INT_MAX; a negative time waits without limit).
bool waitOnSocketSet(const int& fd, int seconds, int microseconds);
} // namespace helper

// A descriptor set of 4096 bits: descriptor d is bit d % 32 of word d / 32,
// the layout select() expects. The platform's fd_set is smaller, so the
// functions below take this type; native() hands it to select().
struct FdSet4096 {
    static constexpr int size = 4096;
    std::uint32_t words[size / 32];

    void zero();
    bool isSet(int fd) const;
    fd_set* native() { return reinterpret_cast<fd_set*>(words); }
};

// Sets bit fd for 0 <= fd < 4096 and returns true; otherwise leaves the set
// alone and returns false.
bool FD_SET_s(int fd, FdSet4096* set);
// As FD_SET_s, but a descriptor outside the set throws
// zelvo::utils::Exception("Too many open sockets/file descriptors.").
void FD_SET_safer(int fd, FdSet4096* set);

// Opens a listening IPv4 socket on ip (network byte order) and port. For a
// non-zero port the port is first checked on the IPv6 wildcard, so a port
// taken by an IPv6 listener is reported as busy; a machine without IPv6
// skips that check. On success the bound port (host byte order) is stored
// through boundPort when it is not null. On failure sock is -1 (or left
// untouched when the IPv6 check failed) and the result is false.
bool sockListenIp4(int& sock, unsigned ip, unsigned short port,
                   unsigned short* boundPort, int backlog);

// Stream buffer over one TCP socket: one allocation holds the put area
// (first outSize bytes) and the get area (next inSize bytes). Output is
// coalesced and sent when the area is full, on flush, before a read waits
// for input and on close. Before each refill the buffer waits for input at
// most the time-out; a wait that runs out ends the read as end-of-file and
// leaves the connection usable. Reads and writes larger than the areas go
// straight between the caller's memory and the socket.
//
// The descriptor is -1 whenever no socket is open: after close, after a
// failed connect, and before the first create(). Every read or write then
// fails.
class tcpbuffer : public std::streambuf {
public:
    tcpbuffer(const InetSocketAddress& peer, const InetSocketAddress& host,
              int inSize, int outSize);
    ~tcpbuffer() override;
    tcpbuffer(const tcpbuffer&) = delete;
    tcpbuffer& operator=(const tcpbuffer&) = delete;

    // Creates and binds the socket once; pending output is discarded.
    bool init();
    // init(), then start().
    bool create();
    // Sends pending output when connected, then closes the descriptor.
    // Returns this, or null when no descriptor was open or close failed.
    tcpbuffer* close();
    bool isConnected() const { return connected; }

    // Every socket of this buffer is entered in registry (null: none) while
    // it is open, so a signal handler can cut it; once the registry is shut
    // down the buffer makes no new connection. The registry must outlive
    // the buffer or be replaced first.
    void setSocketRegistry(SocketRegistry* registry);

    // The read time-out; it also bounds how long a send waits for room and
    // how long a connect waits (SO_SNDTIMEO), on the open socket and on every
    // new one. A send or connect that a signal interrupts keeps its deadline.
    void setTimeoutInSeconds(unsigned seconds);
    void setTimeoutInuSeconds(unsigned microseconds);
    // Seconds * 1000000 + microseconds, in 32-bit arithmetic.
    unsigned getTimeout() const;

    InetSocketAddress& getPeerHost() { return peerHost; }
    virtual InetSocketAddress& getHost();
    int getSocket() const { return sock; }
    // -1 once a send or receive failed; never reset.
    int getSocketState() const { return socketState; }

    // The plain buffer cannot start TLS: startSSL() returns null,
    // resetSSL() returns this.
    virtual tcpbuffer* startSSL();
    virtual tcpbuffer* resetSSL();
    // Connects the bound socket; this on success, null on failure.
    virtual tcpbuffer* start() = 0;
    // One transfer on the socket; the system call's result. Signals are
    // retried; writes never raise SIGPIPE.
    virtual int sendData(void* data, int len);
    virtual int recvData(void* data, int len);

    // Sends the whole put area: 0 when everything went out, -1 otherwise.
    // After a failure only the unsent bytes remain pending.
    int writeAndCleanupBuffer();
    // Readiness without waiting: 1 error, 2 readable, 3 nothing to read.
    int isRecvReady();
    // Flushes, waits like a read, and fills the empty get area with one
    // receive; the bytes are then read through the stream. Returns the
    // number of bytes readable from the get area, 0 when the wait ran out,
    // or the negative result of the receive. Unread bytes are never
    // overwritten: when some are left, their count is returned at once.
    int recieve();

    static bool initSockets();
    static bool closeSockets();

protected:
    // Lays both areas out over p (from new[], n bytes, owned from now on),
    // split in the current ratio. Refused (null, p stays the caller's) when
    // n cannot hold a byte of each area, when input is still unread or when
    // pending output cannot be sent. The replaced buffer is freed.
    std::streambuf* setbuf(char* p, std::streamsize n) override;
    int sync() override;
    int_type underflow() override;
    int_type overflow(int_type c) override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

    // Bytes the transport holds already decoded (a TLS layer's buffer):
    // when non-zero a read does not wait on the socket.
    virtual int pendingBytes();

    // Closes the descriptor and returns the buffer to its unconnected
    // state, ready for a new create(). Returns close()'s result.
    int closeDescriptor();
    // Waits for input for the time-out: 1 readable, 0 ran out, -1 error.
    // A transport that waits inside recvData returns 1 without waiting.
    virtual int waitForInput();
    // A zero time-out means reads block without a wait.
    bool hasTimeout() const { return timeoutSeconds != 0 || timeoutMicroseconds != 0; }
    // The time-out in poll's milliseconds (capped at INT_MAX).
    int timeoutMs() const;
    // Connects the bound socket to the peer within the time-out, also when
    // a signal interrupted the connect; on failure closes the descriptor and
    // returns false.
    bool connectToPeer();
    // Stores the socket's actual local endpoint as host once a socket
    // exists; returns host.
    InetSocketAddress& localEndpoint();

    InetSocketAddress peerHost;
    InetSocketAddress host;
    bool connected;
    unsigned timeoutSeconds;
    unsigned timeoutMicroseconds;
    int inSize;
    int outSize;
    std::unique_ptr<char[]> buffer;
    bool socketOpen;
    int socketState;
    int sock;
    bool initialized;
    SocketRegistry* registry = nullptr;

private:
    void layoutAreas();
    // The step before every receive: sends pending output, then waits for
    // input for the time-out (not when the transport holds decoded bytes).
    // False when the wait ran out or failed.
    bool readyForInput();
    void applySendTimeout();
    std::streamsize sendAll(const char* data, std::streamsize len);
};

// Plain TCP client buffer.
class basic_tcpclientbuffer : public tcpbuffer {
public:
    basic_tcpclientbuffer(const InetSocketAddress& peer, const InetSocketAddress& host,
                          int inSize, int outSize);
    ~basic_tcpclientbuffer() override;

    // The actual local endpoint once a socket exists, else the stored one.
    InetSocketAddress& getHost() override;
    tcpbuffer* start() override;
};

// iostream over one TCP client connection. Construction touches no
// network; create() connects and leaves the stream good exactly when the
// connection is up. Failures show as badbit; a read time-out as end-of-file.
class basic_tcpclientiostream : public std::iostream {
public:
    basic_tcpclientiostream(const InetSocketAddress& peer, const InetSocketAddress& host,
                            int inSize, int outSize);
    // A buffer that can run TLS over the connection (handshake right after
    // connect when useSsl is set). Defined by the TLS library
    // (foundation_tls), which must be linked to use it.
    basic_tcpclientiostream(const InetSSLSocketAddress& peer, const InetSSLSocketAddress& host,
                            int inSize, int outSize, bool useSsl);
    // Adopts a buffer allocated with new.
    explicit basic_tcpclientiostream(tcpbuffer* adopted);
    ~basic_tcpclientiostream() override;
    basic_tcpclientiostream(const basic_tcpclientiostream&) = delete;
    basic_tcpclientiostream& operator=(const basic_tcpclientiostream&) = delete;

    // Clears the stream state, creates, binds and connects the socket;
    // failure sets badbit. Throws nothing.
    void create();
    // Sends pending output and closes; failure sets badbit.
    void close();
    bool init();

    bool isConnected() const { return buffer->isConnected(); }
    int getSocketState() const { return buffer->getSocketState(); }
    InetSocketAddress& getPeerHost() { return buffer->getPeerHost(); }
    void setTimeoutInSeconds(unsigned seconds) { buffer->setTimeoutInSeconds(seconds); }
    void setTimeoutInuSeconds(unsigned microseconds) { buffer->setTimeoutInuSeconds(microseconds); }
    InetSocketAddress& getHost() { return buffer->getHost(); }
    tcpbuffer* startSSL() { return buffer->startSSL(); }
    tcpbuffer* resetSSL() { return buffer->resetSSL(); }
    tcpbuffer* getBuffer() const { return buffer; }

private:
    tcpbuffer* buffer;
    bool initialized;
};

} // namespace utils
} // namespace zelvo

#endif
