#include "foundation/tls/SslBuffer.h"

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "foundation/net/Deadline.h"
#include "foundation/tls/SSLContext.h"
#include "foundation/tls/SocketBio.h"
#include "foundation/tls/SslErrHandler.h"

namespace zelvo {
namespace ssl {

namespace {

enum class TlsOutcome { Done, TimedOut, Failed };

// Repeats call on the non-blocking connection while OpenSSL waits for the
// socket, waiting for it in between, until the call completes or fails or
// timeoutMs (negative: no limit) has passed since the first attempt. result
// receives the call's last result.
template <typename Call>
TlsOutcome driveTls(SSL* ssl, int fd, int timeoutMs, Call call, int& result)
{
    const utils::Deadline deadline = utils::Deadline::afterPollMillis(timeoutMs);
    for (;;) {
        SslErrHandler::emptyErrorQueue();
        result = call();
        if (result > 0)
            return TlsOutcome::Done;
        const int error = SSL_get_error(ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            return TlsOutcome::Failed;
        if (deadline.passed())
            return TlsOutcome::TimedOut;
        const int ready = utils::selectSock(fd, error == SSL_ERROR_WANT_READ, deadline.pollMillisLeft());
        if (ready == 0)
            return TlsOutcome::TimedOut;
        if (ready < 0) {
            result = -1;
            return TlsOutcome::Failed;
        }
    }
}

}  // namespace

basic_sslbuffer::basic_sslbuffer(const utils::InetSSLSocketAddress& peer,
                                 const utils::InetSSLSocketAddress& local, int inBytes, int outBytes,
                                 bool useSsl)
    : utils::tcpbuffer(peer, local, inBytes, outBytes), context(new SSLContext()), ssl(nullptr), sslActive(useSsl)
{
}

basic_sslbuffer::~basic_sslbuffer()
{
    if (connected)
        sync();
    // The tcpbuffer's destructor would send what is left in clear.
    dropPendingOutput();
    if (ssl) {
        // Only on the descriptor the connection was made on: after close()
        // that number may belong to somebody else.
        if (socketOpen && SSL_get_fd(ssl) == sock)
            SSL_shutdown(ssl);
        SSL_free(ssl);
        ssl = nullptr;
    }
    delete context;
    context = nullptr;
}

void basic_sslbuffer::dropPendingOutput()
{
    setp(pbase(), epptr());
}

utils::tcpbuffer* basic_sslbuffer::start()
{
    if (sock == -1)
        return nullptr;
    if (ssl) {
        SSL_free(ssl);
        ssl = nullptr;
    }
    SSL_CTX* ctx = context->context();
    ssl = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl)
        return nullptr;
    if (!attachSocket(ssl, sock, SocketIo::NonBlocking))
        return nullptr;
    int result;
    if (driveTls(ssl, sock, tlsTimeoutMs(), [this] { return SSL_connect(ssl); }, result) != TlsOutcome::Done)
        return nullptr;
    sslActive = true;
    return this;
}

utils::tcpbuffer* basic_sslbuffer::startSSL()
{
    // Refused rather than discarded: a peer that sends ahead of the
    // handshake is one the caller should know about.
    if (gptr() < egptr())
        return nullptr;
    return basic_sslbuffer::start();
}

utils::tcpbuffer* basic_sslbuffer::resetSSL()
{
    if (sslActive && pptr() != pbase() && sync() != 0)
        dropPendingOutput();
    sslActive = false;
    return this;
}

int basic_sslbuffer::sendData(void* data, int len)
{
    if (!sslActive)
        return utils::tcpbuffer::sendData(data, len);
    if (sock == -1 || !ssl)
        return -1;
    int result;
    // A write that found no room for the time-out fails, as a plain send does.
    if (driveTls(ssl, sock, tlsTimeoutMs(), [&] { return SSL_write(ssl, data, len); }, result) ==
        TlsOutcome::TimedOut)
        return -1;
    return result;
}

int basic_sslbuffer::recvData(void* data, int len)
{
    if (!sslActive)
        return utils::tcpbuffer::recvData(data, len);
    if (sock == -1 || !ssl)
        return -1;
    int result;
    const TlsOutcome outcome = driveTls(ssl, sock, tlsTimeoutMs(), [&] { return SSL_read(ssl, data, len); }, result);
    // No data within the time-out: end-of-file for this read only.
    if (outcome == TlsOutcome::TimedOut)
        return 0;
    // Only the peer's close-notify is a quiet end. A peer gone without one
    // (OpenSSL 3 reports 0 for that too, with UNEXPECTED_EOF_WHILE_READING)
    // may have cut the data short, and after any other failure TLS cannot
    // go on: the connection is over.
    if (outcome == TlsOutcome::Failed && SSL_get_error(ssl, result) != SSL_ERROR_ZERO_RETURN) {
        connected = false;
        return -1;
    }
    return result;
}

int basic_sslbuffer::waitForInput()
{
    if (sslActive && ssl)
        return 1;
    return utils::tcpbuffer::waitForInput();
}

int basic_sslbuffer::tlsTimeoutMs() const
{
    return hasTimeout() ? timeoutMs() : -1;
}

int basic_sslbuffer::pendingBytes()
{
    if (!sslActive || !ssl || sock == -1)
        return 0;
    return SSL_pending(ssl);
}

}  // namespace ssl

namespace utils {

basic_sslclientbuffer::basic_sslclientbuffer(const InetSSLSocketAddress& peer, const InetSSLSocketAddress& local,
                                             int inBytes, int outBytes, bool useSsl)
    : ssl::basic_sslbuffer(peer, local, inBytes, outBytes, useSsl)
{
}

basic_sslclientbuffer::~basic_sslclientbuffer() = default;

InetSocketAddress& basic_sslclientbuffer::getHost()
{
    return localEndpoint();
}

tcpbuffer* basic_sslclientbuffer::start()
{
    if (sock == -1)
        return nullptr;
    if (connected)
        return this;  // a second connect would fail and drop the connection
    if (!connectToPeer())
        return nullptr;
    sockaddr_in local;
    socklen_t length = sizeof(local);
    std::memset(&local, 0, sizeof(local));
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        return nullptr;
    connected = true;
    if (!sslActive)
        return this;
    if (!ssl::basic_sslbuffer::start()) {
        closeDescriptor();
        return nullptr;
    }
    return this;
}

basic_tcpclientiostream::basic_tcpclientiostream(const InetSSLSocketAddress& peer, const InetSSLSocketAddress& local,
                                                 int inBytes, int outBytes, bool useSsl)
    : basic_tcpclientiostream(new basic_sslclientbuffer(peer, local, inBytes, outBytes, useSsl))
{
}

}  // namespace utils
}  // namespace zelvo
