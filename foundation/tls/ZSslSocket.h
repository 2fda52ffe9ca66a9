#ifndef ZELVO_FOUNDATION_TLS_ZSSLSOCKET_H
#define ZELVO_FOUNDATION_TLS_ZSSLSOCKET_H

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>

#include <openssl/ssl.h>

#include "foundation/tls/SSLContext.h"
#include "foundation/tls/ZSock.h"

namespace zelvo {
namespace tiny {
class PeriodGuard;
}
namespace crypto {
class Certificate;
}

namespace ssl {

class SslErrHandler;

// A TLS connection over a connected socket: init() with a context, open()
// on the descriptor, then the client (connect) or server (accept) handshake,
// then the ZStream operations. kill() (or close()) may run on another thread
// while a read or write blocks there: it wakes that call, waits for it to
// return and only then frees the connection. After kill the socket can be
// opened again on another descriptor with the same context.
class ZSslSocket : public utils::ZSock {
public:
    enum class SslSocketModes { Default = 0, AutoRetry = 1 };

    // guard, when given, is started and stopped around every read, write
    // and pending call, so its owner can tell how long the current one runs.
    explicit ZSslSocket(tiny::PeriodGuard* guard = nullptr);
    ~ZSslSocket() override;

    // Borrows context (which must outlive the connection). False while open.
    bool init(SSLContext* context);
    // The socket's own server-capable context with a PEM certificate and key.
    bool init(const std::string& certificateFile, const std::string& keyFile);

    bool open(int descriptor) override;
    // Attaches a new TLS connection to descriptor (kept even when this
    // fails, so close() of the stream closes it). False without a context.
    virtual bool open(int descriptor, SslSocketModes mode);
    // Server handshake: blocking, or non-blocking with a time-out from
    // startMs (a time-out whose low 32 bits are all ones blocks).
    virtual bool accept();
    virtual bool accept(unsigned long long timeoutMs);
    virtual bool accept(unsigned long long startMs, unsigned long long timeoutMs);
    // Client handshake.
    virtual bool connect();
    // Drops the connection without a close-notify; pending output is lost.
    virtual void kill();
    // Sends pending output, then kill().
    void close() override;

    bool isReadEof() override;
    // -1 when not open; errors go to the calling thread's error list. A read
    // gives 0 only after the peer's close-notify: every other end of the
    // session (the peer gone without one, a reset, a record that is cut or
    // does not authenticate) is -1, a broken connection.
    int i_read(char* buffer, unsigned length) override;
    int i_write(const char* data, unsigned length) override;
    // Bytes OpenSSL holds decoded and unread; -1 when not open.
    int pending();

private:
    friend class SslErrHandler;
    friend class crypto::Certificate;
    friend class IoScope;

    void beginIo();
    void endIo();
    void releaseConnection();
    void resetBuffers();
    // Returns the result of an OpenSSL call on the connection; a failure
    // (below 1) first goes to the calling thread's error list.
    int checked(int result);

    SSL* ssl;
    SSLContext ownContext;
    SSLContext* activeContext;
    bool contextSet;
    std::atomic<bool> sslOpen;
    // When the read, write or pending call in progress started; 0 when none.
    std::atomic<std::time_t> ioStart;
    std::atomic<unsigned> ioThread;
    tiny::PeriodGuard* guard;
    std::mutex ioMutex;
    std::condition_variable ioDone;
};

}  // namespace ssl
}  // namespace zelvo

#endif
