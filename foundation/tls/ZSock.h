#ifndef ZELVO_FOUNDATION_TLS_ZSOCK_H
#define ZELVO_FOUNDATION_TLS_ZSOCK_H

#include <sys/socket.h>

#include "foundation/streams/ZStream.h"

namespace zelvo {
namespace utils {

// Buffered byte stream over a socket that somebody else created and
// connected. The stream owns the descriptor once opened: close() and the
// destructor send pending output, shut the write side down and close it.
class ZSock : public ZStream {
public:
    enum SelectOp { SelectRead = 0, SelectWrite = 1, SelectNotSupported = 2 };

    ZSock() : fd(-1) {}
    ~ZSock() override;

    // Whole seconds, a started second counting as one (capped at 300); a
    // negative time sets none.
    void setReadTimeout(int ms) override;
    void setWriteTimeout(int ms) override;
    // True without a descriptor, or when nothing is buffered and the socket
    // has nothing to read right now; an error counts as something to read.
    bool isReadEof() override;
    // True without a descriptor or when the descriptor is not open.
    bool isClosed() const override;
    int i_read(char* buffer, unsigned length) override;
    // Never raises SIGPIPE: a write to a peer that has gone fails.
    int i_write(const char* data, unsigned length) override;

    // Takes the descriptor; always true.
    virtual bool open(int descriptor);
    virtual void close();

    int getFd() const { return fd; }
    // IPv4 addresses (16 bytes); false without a descriptor or on failure.
    bool getSockName(sockaddr* address) const;
    bool getPeerName(sockaddr* address) const;
    bool setSockOpt(int level, int name, char* value, int length);
    // 1 ready, 0 time-out, -1 error, no descriptor or SelectNotSupported.
    // A negative time waits without limit, one beyond INT_MAX milliseconds
    // waits INT_MAX milliseconds.
    int select(SelectOp op, int seconds);

protected:
    int fd;
};

}  // namespace utils
}  // namespace zelvo

#endif
