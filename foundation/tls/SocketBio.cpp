#include "foundation/tls/SocketBio.h"

#include <cerrno>
#include <cstdint>

#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>

#include "foundation/net/TcpClientStream.h"

namespace zelvo {
namespace ssl {

namespace {

int fdOf(BIO* bio)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

bool transientError(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS || err == EALREADY;
}

// ioFlags: MSG_DONTWAIT for a non-blocking connection, else 0.
template <int ioFlags>
int socketWrite(BIO* bio, const char* data, size_t len, size_t* written)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = utils::sendWithinTimeout(fdOf(bio), data, len, MSG_NOSIGNAL | ioFlags);
    if (n < 0) {
        if (transientError(errno))
            BIO_set_retry_write(bio);
        return 0;
    }
    *written = static_cast<size_t>(n);
    return 1;
}

template <int ioFlags>
int socketRead(BIO* bio, char* data, size_t len, size_t* readBytes)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = utils::recvWithinTimeout(fdOf(bio), data, len, ioFlags);
    if (n < 0) {
        if (transientError(errno))
            BIO_set_retry_read(bio);
        return 0;
    }
    if (n == 0) {
        BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
        return 0;
    }
    *readBytes = static_cast<size_t>(n);
    return 1;
}

long socketCtrl(BIO* bio, int cmd, long, void* ptr)
{
    switch (cmd) {
    case BIO_C_GET_FD:
        if (ptr)
            *static_cast<int*>(ptr) = fdOf(bio);
        return fdOf(bio);
    case BIO_CTRL_EOF:
        return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    case BIO_CTRL_FLUSH:
    case BIO_CTRL_DUP:
        return 1;
    default:
        return 0;
    }
}

template <int ioFlags>
BIO_METHOD* makeSocketMethod(const char* name)
{
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, name);
    if (m) {
        BIO_meth_set_write_ex(m, socketWrite<ioFlags>);
        BIO_meth_set_read_ex(m, socketRead<ioFlags>);
        BIO_meth_set_ctrl(m, socketCtrl);
    }
    return m;
}

BIO_METHOD* socketMethod(SocketIo io)
{
    // Built once and kept for the life of the process.
    static BIO_METHOD* const blocking = makeSocketMethod<0>("zelvo socket");
    static BIO_METHOD* const nonBlocking = makeSocketMethod<MSG_DONTWAIT>("zelvo socket, non-blocking");
    return io == SocketIo::NonBlocking ? nonBlocking : blocking;
}

}  // namespace

bool attachSocket(SSL* ssl, int fd, SocketIo io)
{
    BIO_METHOD* method = socketMethod(io);
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!bio)
        return false;
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    BIO_set_init(bio, 1);
    // One BIO serves both directions; SSL_set_bio takes over its one reference.
    SSL_set_bio(ssl, bio, bio);
    return true;
}

}  // namespace ssl
}  // namespace zelvo
