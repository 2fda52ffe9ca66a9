#include "foundation/tls/ZSslSocket.h"

#include <sys/socket.h>

#include <openssl/err.h>

#include "foundation/system/Clock.h"
#include "foundation/system/PeriodGuard.h"
#include "foundation/system/SocketCalls.h"
#include "foundation/system/Thread.h"
#include "foundation/tls/SocketBio.h"
#include "foundation/tls/SslErrHandler.h"

namespace zelvo {
namespace ssl {

// Marks one read, write or pending call as in progress for kill().
class IoScope {
public:
    IoScope(ZSslSocket& socket, bool timed) : socket(socket), timed(timed)
    {
        socket.beginIo();
        if (timed && socket.guard)
            socket.guard->start();
    }
    ~IoScope()
    {
        if (timed && socket.guard)
            socket.guard->stop();
        socket.endIo();
    }
    IoScope(const IoScope&) = delete;
    IoScope& operator=(const IoScope&) = delete;

private:
    ZSslSocket& socket;
    bool timed;
};

// The code of the failed call goes last, so that it is what getLastError()
// returns; the queued reasons before it say why.
template <>
void SslErrHandler::checkForError<ZSslSocket>(ZSslSocket& socket, int result)
{
    unsigned long code = socket.ssl ? static_cast<unsigned long>(SSL_get_error(socket.ssl, result)) : 0;
    tiny::ZMutexGuard lock(&mutex);
    checkForError();
    record(code);
}

namespace {

void recordQueue()
{
    boost::shared_ptr<SslErrHandler> record = errHandler;
    record->checkForError();
}

// Handshake timeouts of this many milliseconds (low 32 bits all ones) block.
constexpr unsigned long long blockingTimeout = 0xffffffffULL;
constexpr int acceptRetryMs = 10;

}  // namespace

ZSslSocket::ZSslSocket(tiny::PeriodGuard* periodGuard)
    : ssl(nullptr),
      ownContext(),
      activeContext(nullptr),
      contextSet(false),
      sslOpen(false),
      ioStart(0),
      ioThread(0),
      guard(periodGuard)
{
}

ZSslSocket::~ZSslSocket()
{
    if (contextSet && sslOpen) {
        flush();
        kill();
    }
    releaseConnection();
    // Whatever could not go out through TLS must not go out in clear when
    // the plain socket closes.
    resetBuffers();
}

void ZSslSocket::beginIo()
{
    ioThread = tiny::threadID();
    ioStart = std::time(nullptr);
}

void ZSslSocket::endIo()
{
    {
        std::lock_guard<std::mutex> lock(ioMutex);
        ioStart = 0;
    }
    ioDone.notify_all();
}

void ZSslSocket::releaseConnection()
{
    if (!ssl)
        return;
    // Counts as shut down: no close-notify is sent.
    SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN);
    SSL_free(ssl);
    ssl = nullptr;
}

void ZSslSocket::resetBuffers()
{
    discardInput();
    writePtr = writeBuf;
    writeFree = BufferSize;
}

bool ZSslSocket::init(SSLContext* context)
{
    if (sslOpen)
        return false;
    if (contextSet && activeContext == &ownContext)
        ownContext.close();
    activeContext = context;
    contextSet = true;
    return true;
}

bool ZSslSocket::init(const std::string& certificateFile, const std::string& keyFile)
{
    if (sslOpen)
        return false;
    if (contextSet && activeContext == &ownContext)
        contextSet = false;
    // A context left by an earlier attempt would refuse the mode and keep
    // its old files.
    ownContext.close();
    if (ownContext.set_mode(SslMode::SSLv23) == -1 ||
        ownContext.certificate(certificateFile.c_str(), SSL_FILETYPE_PEM) == -1 ||
        ownContext.private_key(keyFile.c_str(), SSL_FILETYPE_PEM) == -1)
        return false;
    activeContext = &ownContext;
    contextSet = true;
    return true;
}

bool ZSslSocket::open(int descriptor)
{
    return open(descriptor, SslSocketModes::Default);
}

bool ZSslSocket::open(int descriptor, SslSocketModes mode)
{
    if (!contextSet)
        return false;
    if (fd != -1 && fd != descriptor) {
        // The socket owns the descriptor it had: closed, never dropped.
        kill();
        ZSock::close();
    }
    releaseConnection();
    resetBuffers();
    fd = descriptor;
    SSL_CTX* context = activeContext->context();
    ssl = context ? SSL_new(context) : nullptr;
    if (!ssl) {
        recordQueue();
        return false;
    }
    if (mode == SslSocketModes::AutoRetry)
        SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
    if (!attachSocket(ssl, fd)) {
        recordQueue();
        SSL_free(ssl);
        ssl = nullptr;
        return false;
    }
    sslOpen = true;
    return true;
}

// A handshake is I/O in progress for kill(), like a read or write.
bool ZSslSocket::connect()
{
    IoScope io(*this, false);
    if (!sslOpen || !ssl)
        return false;
    SslErrHandler::emptyErrorQueue();
    return checked(SSL_connect(ssl)) >= 1;
}

bool ZSslSocket::accept()
{
    IoScope io(*this, false);
    if (!sslOpen || !ssl)
        return false;
    SslErrHandler::emptyErrorQueue();
    return checked(SSL_accept(ssl)) >= 1;
}

bool ZSslSocket::accept(unsigned long long timeoutMs)
{
    return accept(tiny::getMs64(), timeoutMs);
}

bool ZSslSocket::accept(unsigned long long startMs, unsigned long long timeoutMs)
{
    if ((timeoutMs & blockingTimeout) == blockingTimeout)
        return accept();
    IoScope io(*this, false);
    if (!sslOpen || !ssl)
        return false;

    tiny::sockBlockMode(fd, 0);
    const unsigned long long deadline = startMs + timeoutMs;
    boost::shared_ptr<SslErrHandler> record = errHandler;
    int result;
    for (;;) {
        SslErrHandler::emptyErrorQueue();
        result = SSL_accept(ssl);
        if (result > 0)
            break;
        record->checkForError(*this, result);
        std::string ignored;
        unsigned long last = record->getLastError(ignored);
        bool again = last == SSL_ERROR_WANT_READ || last == SSL_ERROR_WANT_WRITE || last == SSL_ERROR_WANT_ACCEPT;
        tiny::msleep(acceptRetryMs);
        if (!again || !sslOpen || tiny::getMs64() >= deadline)
            break;
    }
    tiny::sockBlockMode(fd, 1);
    return result > 0;
}

int ZSslSocket::checked(int result)
{
    if (result < 1) {
        boost::shared_ptr<SslErrHandler> record = errHandler;
        record->checkForError(*this, result);
    }
    return result;
}

void ZSslSocket::kill()
{
    if (!contextSet || !sslOpen)
        return;
    // sslOpen falls before ioStart is read; an I/O call sets ioStart before
    // it reads sslOpen. So either that call sees the socket closed and never
    // touches the connection, or this thread sees it running and waits.
    sslOpen = false;
    if (fd != -1)
        ::shutdown(fd, SHUT_RDWR);  // wakes a read or write blocked elsewhere

    const bool interruptedOwnIo = ioStart != 0 && ioThread == tiny::threadID();
    if (!interruptedOwnIo) {
        std::unique_lock<std::mutex> lock(ioMutex);
        ioDone.wait(lock, [this] { return ioStart == 0; });
    }
    ZSock::close();
    // A call interrupted on this very thread (a signal handler) still uses
    // the connection: it is freed by the next open or the destructor.
    if (!interruptedOwnIo)
        releaseConnection();
    resetBuffers();
}

void ZSslSocket::close()
{
    if (!contextSet || !sslOpen)
        return;
    flush();
    kill();
}

bool ZSslSocket::isReadEof()
{
    if (!ZSock::isReadEof())
        return false;
    IoScope io(*this, false);
    if (sslOpen && ssl && SSL_pending(ssl) != 0)
        return false;
    return true;
}

int ZSslSocket::i_read(char* buffer, unsigned length)
{
    SslErrHandler::emptyErrorQueue();
    IoScope io(*this, true);
    if (!sslOpen || !ssl)
        return -1;
    const int result = SSL_read(ssl, buffer, static_cast<int>(length));
    if (result > 0)
        return result;
    // Only the peer's close-notify is a clean end. A peer gone without one
    // (OpenSSL 3 reports 0 for that too), a reset or a record that does not
    // hold may have cut the data short: the connection is broken.
    const bool closeNotify = SSL_get_error(ssl, result) == SSL_ERROR_ZERO_RETURN;
    checked(result);
    return closeNotify ? 0 : -1;
}

int ZSslSocket::i_write(const char* data, unsigned length)
{
    SslErrHandler::emptyErrorQueue();
    IoScope io(*this, true);
    if (!sslOpen || !ssl)
        return -1;
    return checked(SSL_write(ssl, data, static_cast<int>(length)));
}

int ZSslSocket::pending()
{
    IoScope io(*this, true);
    if (!sslOpen || !ssl)
        return -1;
    return SSL_pending(ssl);
}

}  // namespace ssl
}  // namespace zelvo
