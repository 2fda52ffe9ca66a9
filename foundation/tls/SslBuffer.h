#ifndef ZELVO_FOUNDATION_TLS_SSLBUFFER_H
#define ZELVO_FOUNDATION_TLS_SSLBUFFER_H

#include <openssl/ssl.h>

#include "foundation/net/InetSocketAddress.h"
#include "foundation/net/TcpClientStream.h"

namespace zelvo {
namespace ssl {

class SSLContext;

// A tcpbuffer whose bytes go through TLS while TLS is on. Layout, time-out
// and stream operations are the tcpbuffer's. The time-out bounds each TLS
// step as a whole: the handshake, a read (which ends as end-of-file, the
// connection staying usable) and a write (which fails). A read that meets
// the peer's close-notify is end-of-file too; one that fails otherwise (the
// peer gone without close-notify included) ends the connection: socket
// state -1, not connected. The buffer owns its context and connection.
// Output written while TLS is on never goes out in clear: it is sent
// through TLS or dropped.
class basic_sslbuffer : public utils::tcpbuffer {
public:
    // The key and certificate strings of the endpoints are not used.
    basic_sslbuffer(const utils::InetSSLSocketAddress& peer, const utils::InetSSLSocketAddress& host,
                    int inSize, int outSize, bool useSsl);
    ~basic_sslbuffer() override;

    // Client handshake on the connected socket; a new connection object each
    // time. This on success, null on failure.
    utils::tcpbuffer* start() override;
    // Turns a plain connection into a TLS one. Refused (null, nothing sent)
    // while received input is unread: it came in clear and would be read
    // as if it had come through TLS.
    utils::tcpbuffer* startSSL() override;
    // TLS off: pending output goes out through TLS first (or is dropped),
    // later I/O goes to the socket directly. The connection is kept.
    utils::tcpbuffer* resetSSL() override;
    int sendData(void* data, int len) override;
    int recvData(void* data, int len) override;

    bool isSslActive() const { return sslActive; }

protected:
    int pendingBytes() override;
    // Under TLS a readable socket need not bring application data (session
    // tickets, part of a record), so recvData does the waiting.
    int waitForInput() override;
    void dropPendingOutput();
    // The time-out for one TLS step in milliseconds; -1 without a time-out.
    int tlsTimeoutMs() const;

    SSLContext* context;
    SSL* ssl;
    bool sslActive;
};

}  // namespace ssl

namespace utils {

// Client form: connects, then runs the TLS handshake at once when asked at
// construction (or later through startSSL()).
class basic_sslclientbuffer : public ssl::basic_sslbuffer {
public:
    basic_sslclientbuffer(const InetSSLSocketAddress& peer, const InetSSLSocketAddress& host,
                          int inSize, int outSize, bool useSsl);
    ~basic_sslclientbuffer() override;

    // The actual local endpoint once a socket exists, else the stored one.
    InetSocketAddress& getHost() override;
    // Connects, then shakes hands when TLS is asked for. A connected buffer
    // stays as it is; a failed handshake closes the socket, so the next
    // create() starts afresh.
    tcpbuffer* start() override;
};

}  // namespace utils
}  // namespace zelvo

#endif
