#ifndef ZELVO_FOUNDATION_TLS_SOCKETBIO_H
#define ZELVO_FOUNDATION_TLS_SOCKETBIO_H

#include <openssl/ssl.h>

namespace zelvo {
namespace ssl {

// Connects ssl to the socket fd (which stays the caller's: freeing ssl does
// not close it). Unlike SSL_set_fd, writes to a peer that has gone fail with
// EPIPE instead of raising SIGPIPE, and interrupted calls are resumed.
// False, with the OpenSSL codes queued, when no I/O object could be made.
bool attachSocket(SSL* ssl, int fd);

}  // namespace ssl
}  // namespace zelvo

#endif
