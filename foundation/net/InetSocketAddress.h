#ifndef ZELVO_FOUNDATION_NET_INETSOCKETADDRESS_H
#define ZELVO_FOUNDATION_NET_INETSOCKETADDRESS_H

#include "foundation/net/InetAddress.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>

namespace zelvo {
namespace utils {

class Url;

// IPv4 endpoint (address and port, host byte order). The system's address
// record for connect and bind is built on demand and owned by the object;
// copies build their own.
class InetSocketAddress {
public:
    // Largest port a socket address can carry.
    static constexpr unsigned maxPort = 65535;

    InetSocketAddress();
    // Throws std::out_of_range for a port above maxPort.
    InetSocketAddress(const Inet4Address& address, unsigned port);
    // Parses the URL text and resolves its host (an empty host gives
    // 0.0.0.0). The port is the URL's port number: 0 when the URL has none,
    // or has one that is out of range or an unknown service name.
    // Throws CantResolveException for a host that does not resolve.
    explicit InetSocketAddress(const std::string& url);
    // The same on a Url, which is parsed and resolved in place.
    explicit InetSocketAddress(Url& url);
    InetSocketAddress(const InetSocketAddress& other);
    InetSocketAddress& operator=(const InetSocketAddress& other);
    virtual ~InetSocketAddress();

    const Inet4Address& getAddress() const { return address; }
    unsigned getPort() const { return port; }
    unsigned short getPortNet() const;

    void setAddress(const Inet4Address& address);
    // Throws std::out_of_range for a port above maxPort.
    void setPort(unsigned port);
    // 0.0.0.0 port 0; frees the record.
    void clear();

    // The 16-byte AF_INET record for the current address and port.
    sockaddr* getSockAddr();
    socklen_t getSockAddrLength() const;

    virtual bool isSecure() const;

    // The wildcard endpoint 0.0.0.0 port 0.
    static InetSocketAddress any();

private:
    void fromUrl(Url& url);

    Inet4Address address;
    unsigned port;
    std::unique_ptr<sockaddr_in> sockAddr;
    bool sockAddrValid;
};

// An endpoint meant for TLS. The key and certificate strings only travel
// with the address; nothing in the library reads them.
class InetSSLSocketAddress : public InetSocketAddress {
public:
    InetSSLSocketAddress();
    InetSSLSocketAddress(const Inet4Address& address, unsigned port,
                         const std::string& key, const std::string& cert);
    InetSSLSocketAddress(const std::string& url, const std::string& key,
                         const std::string& cert);
    InetSSLSocketAddress(Url& url, const std::string& key, const std::string& cert);
    InetSSLSocketAddress(const InetSSLSocketAddress& other) = default;
    InetSSLSocketAddress& operator=(const InetSSLSocketAddress& other) = default;
    ~InetSSLSocketAddress() override;

    const std::string& getKey() const { return key; }
    const std::string& getCert() const { return cert; }
    void setKey(const std::string& value) { key = value; }
    void setCert(const std::string& value) { cert = value; }

    bool isSecure() const override;

    static InetSSLSocketAddress any();

private:
    std::string key;
    std::string cert;
};

} // namespace utils
} // namespace zelvo

#endif
