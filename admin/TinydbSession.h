#ifndef ZELVO_ADMIN_TINYDBSESSION_H
#define ZELVO_ADMIN_TINYDBSESSION_H

#include <cstdint>
#include <ostream>
#include <string>

#include "admin/tinydb.h"
#include "foundation/tls/SSLContext.h"
#include "foundation/tls/ZSslSocket.h"

namespace zelvo {
namespace tiny {
class PeriodGuard;
}

namespace tinydb {

// The TLS stream of a session: blocking, no time-outs. Writes are buffered
// and reach the server when the 4096-byte buffer fills or the next read
// flushes it.
class TinydbSocket {
public:
    explicit TinydbSocket(tiny::PeriodGuard* guard);
    ~TinydbSocket();
    TinydbSocket(const TinydbSocket&) = delete;
    TinydbSocket& operator=(const TinydbSocket&) = delete;

    // False for a NULL context or one without an OpenSSL context.
    bool doSetSslContext(ssl::SSLContext* context);
    // Keep-alive and no-delay on the descriptor; the result of the second.
    bool doInit();
    bool open(int fd);
    TinydbSocket& useSocket(int fd);
    bool doOpen();
    bool doClose();
    bool write(const void* data, unsigned long length);
    // Exactly length bytes, after sending pending output.
    bool read(char* data, unsigned long length);
    bool flush();
    int doSetTimeouts(int readSeconds, int writeSeconds);

    // How long a session waits for the server in one read or write, seconds:
    // a server that goes silent fails the statement instead of hanging the
    // run (and with it the restore of the target). Tests lower it.
    static int ioTimeoutSeconds;

    bool isReady() const { return sslReady; }
    bool isOpenStream() const { return isOpen; }
    ssl::ZSslSocket& stream() { return ssl; }

protected:
    bool sslReady;
    bool isOpen;
    ssl::ZSslSocket ssl;
    int pendingFd;
};

// A TinydbSocket whose open also performs the client handshake.
class TinydbClientSocket : public TinydbSocket {
public:
    TinydbClientSocket() : TinydbSocket(nullptr) {}
    bool open(int fd);
};

// One administration-database session; the handle of the tinydb_ functions.
class tinydb_cl {
public:
    tinydb_cl();
    ~tinydb_cl();
    tinydb_cl(const tinydb_cl&) = delete;
    tinydb_cl& operator=(const tinydb_cl&) = delete;

    bool loadContext();
    // SHA-1 fingerprint of the server's certificate.
    bool getPeersCrtFingerprint(std::string& out);

    int lastError;
    int udpSocket;
    std::uint8_t protoVersion;
    std::uint32_t updateKey;
    // Set when a reply broke off or could not be taken in whole: the stream
    // no longer sits at the start of a reply, so no further statement goes.
    bool broken;
    // Set when the server refused the last statement with a status: it was
    // not carried out.
    bool refused;
    TinydbSocket socket;
    ssl::SSLContext sslContext;
};

int getLastError();

// Writes "\n" without flushing.
std::ostream& txtEndl(std::ostream& out);

}  // namespace tinydb
}  // namespace zelvo

zelvo::tinydb::tinydb_cl* cl_get(void* handle);

#endif
