#ifndef ZELVO_FOUNDATION_TLS_SOCKETBIO_H
#define ZELVO_FOUNDATION_TLS_SOCKETBIO_H

#include <openssl/ssl.h>

namespace zelvo {
namespace ssl {

// How the connection's transfers behave when the socket is not ready.
enum class SocketIo {
    Blocking,     // wait in the kernel, as long as the socket's time-outs let them
    NonBlocking,  // return at once; OpenSSL then reports WANT_READ or WANT_WRITE
};

// Connects ssl to the socket fd (which stays the caller's: freeing ssl does
// not close it). Unlike SSL_set_fd, writes to a peer that has gone fail with
// EPIPE instead of raising SIGPIPE, and interrupted calls are resumed within
// what is left of the socket's SO_SNDTIMEO or SO_RCVTIMEO. The
// descriptor's own blocking mode is left alone. False, with the OpenSSL
// codes queued, when no I/O object could be made.
bool attachSocket(SSL* ssl, int fd, SocketIo io = SocketIo::Blocking);

}  // namespace ssl
}  // namespace zelvo

#endif
