#include "foundation/tls/SslBuffer.h"

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "foundation/tls/SSLContext.h"
#include "foundation/tls/SocketBio.h"
#include "foundation/tls/SslErrHandler.h"

namespace zelvo {
namespace ssl {

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
    if (!attachSocket(ssl, sock))
        return nullptr;
    SslErrHandler::emptyErrorQueue();
    if (SSL_connect(ssl) < 1)
        return nullptr;
    sslActive = true;
    return this;
}

utils::tcpbuffer* basic_sslbuffer::startSSL()
{
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
    SslErrHandler::emptyErrorQueue();
    return SSL_write(ssl, data, len);
}

int basic_sslbuffer::recvData(void* data, int len)
{
    if (!sslActive)
        return utils::tcpbuffer::recvData(data, len);
    if (sock == -1 || !ssl)
        return -1;
    SslErrHandler::emptyErrorQueue();
    return SSL_read(ssl, data, len);
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
    return ssl::basic_sslbuffer::start();
}

basic_tcpclientiostream::basic_tcpclientiostream(const InetSSLSocketAddress& peer, const InetSSLSocketAddress& local,
                                                 int inBytes, int outBytes, bool useSsl)
    : basic_tcpclientiostream(new basic_sslclientbuffer(peer, local, inBytes, outBytes, useSsl))
{
}

}  // namespace utils
}  // namespace zelvo
