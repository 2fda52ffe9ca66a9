#include "admin/TinydbSession.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "admin/KnownHostsFile.h"
#include "foundation/crypto/Certificate.h"
#include "foundation/net/TcpClientStream.h"
#include "foundation/system/OSInfo.h"
#include "foundation/system/SocketCalls.h"
#include "foundation/tls/InitSSL.h"

namespace {

const char adminCipherList[] = "DEFAULT:!LOW:!EXPORT:!SSLv2:!ADH:RC4+RSA:+HIGH:+MEDIUM";
constexpr std::uint8_t protocolVersion = 22;
// The method list of a sane server is a handful of bytes.
constexpr int maxMethodBytes = 256;
constexpr unsigned clientNameBytes = 32;

}  // namespace

namespace zelvo {
namespace tinydb {

TinydbSocket::TinydbSocket(tiny::PeriodGuard* guard) : sslReady(false), isOpen(false), ssl(guard), pendingFd(-1)
{
}

TinydbSocket::~TinydbSocket()
{
    if (isOpen)
        ssl.close();
}

bool TinydbSocket::doSetSslContext(ssl::SSLContext* context)
{
    if (!context || !context->context())
        return false;
    sslReady = ssl.init(context);
    return sslReady;
}

bool TinydbSocket::doInit()
{
    int one = 1;
    ssl.setSockOpt(SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&one), sizeof one);
    return ssl.setSockOpt(IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&one), sizeof one);
}

bool TinydbSocket::open(int fd)
{
    isOpen = ssl.open(fd, ssl::ZSslSocket::SslSocketModes::Default);
    return isOpen;
}

TinydbSocket& TinydbSocket::useSocket(int fd)
{
    pendingFd = fd;
    return *this;
}

bool TinydbSocket::doOpen()
{
    const bool ok = open(pendingFd);
    pendingFd = -1;
    return ok;
}

bool TinydbSocket::doClose()
{
    ssl.close();
    isOpen = false;
    return true;
}

bool TinydbSocket::write(const void* data, unsigned long length)
{
    if (!sslReady)
        return false;
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const int n = ssl.write(p, length);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<unsigned long>(n);
    }
    return true;
}

bool TinydbSocket::read(char* data, unsigned long length)
{
    if (!sslReady)
        return false;
    if (ssl.flush() == -1)
        return false;
    while (length > 0) {
        const int n = ssl.read(data, length);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<unsigned long>(n);
    }
    return true;
}

bool TinydbSocket::flush()
{
    if (!sslReady)
        return false;
    return ssl.flush() != -1;
}

int TinydbSocket::ioTimeoutSeconds = 180;

int TinydbSocket::doSetTimeouts(int readSeconds, int writeSeconds)
{
    tiny::setSockTimeout(ssl.getFd(), SO_RCVTIMEO, readSeconds);
    return tiny::setSockTimeout(ssl.getFd(), SO_SNDTIMEO, writeSeconds);
}

bool TinydbClientSocket::open(int fd)
{
    return TinydbSocket::open(fd) && ssl.connect();
}

tinydb_cl::tinydb_cl()
    : lastError(0), udpSocket(-1), protoVersion(0), updateKey(0), broken(false), refused(false), socket(nullptr)
{
}

tinydb_cl::~tinydb_cl() = default;

bool tinydb_cl::loadContext()
{
    return sslContext.context() && socket.doSetSslContext(&sslContext);
}

bool tinydb_cl::getPeersCrtFingerprint(std::string& out)
{
    crypto::Certificate certificate;
    if (!certificate.getFromPeer(socket.stream()))
        return false;
    return certificate.getFingerprint(out);
}

int getLastError()
{
    return errno;
}

std::ostream& txtEndl(std::ostream& out)
{
    return out << '\n';
}

}  // namespace tinydb
}  // namespace zelvo

using zelvo::tinydb::tinydb_cl;

tinydb_cl* cl_get(void* handle)
{
    return static_cast<tinydb_cl*>(handle);
}

int tinydb_connect(const char* host, const char* port, int* fd, int* osError, std::string* address)
{
    int scratchFd = -1;
    int scratchError = 0;
    if (!fd)
        fd = &scratchFd;
    if (!osError)
        osError = &scratchError;
    *fd = -1;
    if (!host || !port) {
        *osError = EINVAL;
        return TINYDB_E_PARAM;
    }
    in_addr resolved{};
    resolved.s_addr = ::inet_addr(host);
    std::string text(host);
    if (resolved.s_addr == INADDR_NONE) {
        hostent* he = ::gethostbyname(host);
        if (!he || he->h_addrtype != AF_INET || !he->h_addr_list[0]) {
            *osError = errno;
            return TINYDB_E_SOCKET;
        }
        std::memcpy(&resolved, he->h_addr_list[0], sizeof resolved);
        text = ::inet_ntoa(resolved);
    }
    if (address)
        *address = text;

    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        *osError = errno;
        return TINYDB_E_SOCKET;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<unsigned short>(std::atoi(port)));
    peer.sin_addr = resolved;
    // No time-out of its own: the kernel's, also after a signal.
    if (zelvo::utils::connectWithinTimeout(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        *osError = errno;
        ::close(s);
        return TINYDB_E_SOCKET;
    }
    *fd = s;
    return 0;
}

int tinydb_initsession(void** handle, int fd, int* /*osError*/)
{
    if (!handle) {
        ::close(fd);
        return TINYDB_E_PARAM;
    }
    *handle = nullptr;
    tinydb_cl* session = new (std::nothrow) tinydb_cl;
    if (!session) {
        ::close(fd);
        return TINYDB_E_ALLOC;
    }
    bool ok = session->sslContext.set_mode(zelvo::ssl::SslMode::TLSv1) == 0;
    SSL_CTX* ctx = ok ? session->sslContext.context() : nullptr;
    if (ctx) {
        SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv2);
        SSL_CTX_set_cipher_list(ctx, adminCipherList);
        // OpenSSL 3 refuses TLSv1.0 signatures above security level 0.
        SSL_CTX_set_security_level(ctx, 0);
    }
    *handle = session;
    session->protoVersion = protocolVersion;

    ok = ok && ctx && zelvo::ssl::SSLContext::ssl_library_init()->isInitialized();
    ok = ok && session->socket.doSetSslContext(&session->sslContext);
    if (ok)
        ok = session->socket.open(fd);
    if (ok) {
        session->socket.doInit();
        session->socket.doSetTimeouts(zelvo::tinydb::TinydbSocket::ioTimeoutSeconds,
                                      zelvo::tinydb::TinydbSocket::ioTimeoutSeconds);
        ok = session->socket.stream().connect();
    }
    if (!ok) {
        // Once the stream holds the descriptor it closes it itself (also
        // after a failed open); before that it is still ours to close.
        const bool held = session->socket.stream().getFd() == fd;
        session->socket.doClose();
        if (!held)
            ::close(fd);
        session->sslContext.close();
        delete session;
        *handle = nullptr;
        return TINYDB_E_SSL;
    }
    return 0;
}

int tinydb_close(void* handle)
{
    tinydb_cl* session = cl_get(handle);
    if (!session)
        return 0;
    session->socket.doClose();
    if (session->udpSocket >= 0) {
        ::close(session->udpSocket);
        session->udpSocket = -1;
    }
    session->sslContext.close();
    delete session;
    return 0;
}

int tinydb_open(void** handle, const char* host, const char* port, int* osError,
                tinydb_fingerprint_callback callback, std::string* fingerprint)
{
    if (!handle)
        return TINYDB_E_PARAM;
    *handle = nullptr;
    int fd = -1;
    std::string address;
    int rc = tinydb_connect(host, port, &fd, osError, &address);
    if (rc != 0)
        return rc;
    rc = tinydb_initsession(handle, fd, osError);
    if (rc != 0)
        return rc;
    if (callback) {
        rc = zelvo::tinydb::KnownHostsFile::linkAdminToadmin();
        if (rc != 0) {
            tinydb_close(*handle);
            *handle = nullptr;
            return rc;
        }
    }
    rc = verifyPeersFingerprint(cl_get(*handle), host, port, callback, fingerprint, address);
    if (rc != 0) {
        tinydb_close(*handle);
        *handle = nullptr;
        return rc;
    }
    return 0;
}

int tinydb_get_error(void* handle)
{
    tinydb_cl* session = cl_get(handle);
    return session ? session->lastError : 1;
}

namespace {

struct Exchange {
    tinydb_cl* session;

    bool send(const void* data, unsigned long length) { return session->socket.write(data, length); }
    bool sendByte(std::uint8_t b) { return send(&b, 1); }
    bool send32(std::uint32_t v)
    {
        v = htonl(v);
        return send(&v, sizeof v);
    }
    bool receive(void* data, unsigned long length)
    {
        return session->socket.read(static_cast<char*>(data), length);
    }
    bool receiveByte(std::uint8_t& b) { return receive(&b, 1); }
    bool receive16(std::uint16_t& v)
    {
        if (!receive(&v, sizeof v))
            return false;
        v = ntohs(v);
        return true;
    }
    bool receive32(std::uint32_t& v)
    {
        if (!receive(&v, sizeof v))
            return false;
        v = ntohl(v);
        return true;
    }
    // The failure of a step: result with the OS error kept in the session.
    int fail(int result)
    {
        session->lastError = zelvo::utils::OSInfo::sysError(zelvo::utils::OSInfo::Socket);
        return result;
    }
};

}  // namespace

int tinydb_authenticate(void* handle, const char* user, const char* password, unsigned* id, int* version,
                        int* value1, int* value2, int* value3, const char* clientName, int wantUpdates)
{
    tinydb_cl* session = cl_get(handle);
    if (!session)
        return TINYDB_E_PARAM;
    Exchange x{session};
    if (!user)
        user = "";
    if (!password)
        password = "";

    // Steps 1-2: the server lists the methods it offers, ending with 0x00.
    if (!x.sendByte(0x01))
        return x.fail(TINYDB_E_AUTH);
    bool offered = false;
    for (int count = 0;; ++count) {
        std::uint8_t b = 0;
        if (!x.receiveByte(b))
            return x.fail(TINYDB_E_AUTH);
        if (b == 0x00)
            break;
        if (b == 0x01)
            offered = true;
        if (count >= maxMethodBytes)
            return TINYDB_E_AUTH;
    }
    if (!offered)
        return TINYDB_E_AUTH;

    // Steps 3-5: choose the method; 0x81 also asks for a session id.
    if (!x.sendByte(0x02) || !x.sendByte(id ? 0x81 : 0x01))
        return x.fail(TINYDB_E_SOCKET);
    std::uint8_t answer = 0;
    if (!x.receiveByte(answer))
        return x.fail(TINYDB_E_SOCKET);
    if (answer == 0x02)
        return x.fail(TINYDB_E_SOCKET);

    // Steps 6-8: credentials, each with its length and NUL.
    const std::size_t userLength = std::strlen(user) + 1;
    const std::size_t passwordLength = std::strlen(password) + 1;
    if (!x.send32(static_cast<std::uint32_t>(userLength)) || !x.send(user, userLength) ||
        !x.send32(static_cast<std::uint32_t>(passwordLength)) || !x.send(password, passwordLength))
        return x.fail(TINYDB_E_SOCKET);
    if (!x.receiveByte(answer))
        return x.fail(TINYDB_E_AUTH);
    if (answer != 0x01)
        return TINYDB_E_AUTH;

    // Steps 9-14: session id, protocol version and the server's values.
    std::uint32_t sessionId = 0;
    if (!x.receive32(sessionId))
        return x.fail(TINYDB_E_AUTH);
    if (id)
        *id = sessionId;
    std::uint8_t serverVersion = 0;
    if (!x.receiveByte(serverVersion))
        return x.fail(TINYDB_E_SOCKET);
    if (serverVersion != protocolVersion)
        return TINYDB_E_VERSION;
    if (version)
        *version = serverVersion;
    std::uint16_t unused = 0;
    if (!x.receive16(unused))
        return x.fail(TINYDB_E_SOCKET);
    int* outputs[3] = {value1, value2, value3};
    for (int* out : outputs) {
        std::uint16_t v = 0;
        if (!x.receive16(v))
            return x.fail(TINYDB_E_SOCKET);
        if (out)
            *out = v;
    }

    // Steps 15-17: the client's name, cut to 31 characters and zero-filled.
    char name[clientNameBytes] = {};
    if (clientName)
        std::strncpy(name, clientName, clientNameBytes - 1);
    if (!x.sendByte(0x05))
        return x.fail(TINYDB_E_AUTH);
    if (!x.send(name, sizeof name))
        return x.fail(TINYDB_E_SOCKET);
    if (!x.receiveByte(answer))
        return x.fail(TINYDB_E_AUTH);
    if (answer != 0x01)
        return TINYDB_E_AUTH;
    if (!id)
        return 0;

    // Step 18 and the optional update channel.
    std::uint32_t key = 0;
    if (!x.receive32(key))
        return x.fail(TINYDB_E_SOCKET);
    session->updateKey = key;
    if (!wantUpdates)
        return 0;
    session->udpSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (session->udpSocket < 0) {
        session->udpSocket = -1;
        return x.fail(TINYDB_E_SOCKET);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(session->udpSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return x.fail(TINYDB_E_SOCKET);
    sockaddr_in peer{};
    if (session->socket.stream().getPeerName(reinterpret_cast<sockaddr*>(&peer))) {
        const std::uint32_t wire = htonl(key);
        ::sendto(session->udpSocket, &wire, sizeof wire, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
    return 0;
}
