#include "foundation/net/InetSocketAddress.h"

#include "foundation/net/Url.h"

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

namespace zelvo {
namespace utils {

namespace {

unsigned checkedPort(unsigned port)
{
    if (port > InetSocketAddress::maxPort)
        throw std::out_of_range("Port out of range: " + std::to_string(port));
    return port;
}

} // namespace

InetSocketAddress::InetSocketAddress() : port(0), sockAddrValid(false) {}

InetSocketAddress::InetSocketAddress(const Inet4Address& addr, unsigned value)
    : address(addr), port(checkedPort(value)), sockAddrValid(false)
{
}

InetSocketAddress::InetSocketAddress(const std::string& text) : port(0), sockAddrValid(false)
{
    Url url(text);
    fromUrl(url);
}

InetSocketAddress::InetSocketAddress(Url& url) : port(0), sockAddrValid(false)
{
    fromUrl(url);
}

InetSocketAddress::InetSocketAddress(const InetSocketAddress& other)
    : address(other.address), port(other.port), sockAddrValid(false)
{
}

InetSocketAddress& InetSocketAddress::operator=(const InetSocketAddress& other)
{
    if (this != &other) {
        address = other.address;
        port = other.port;
        sockAddrValid = false;
    }
    return *this;
}

InetSocketAddress::~InetSocketAddress() = default;

void InetSocketAddress::fromUrl(Url& url)
{
    // A port that is out of range or names an unknown service leaves the
    // URL without a port, so the endpoint gets port 0 and connecting fails.
    url.parse();
    port = unsigned(url.getPortNumber());
    url.resolve(true);
    address = url.getIP4();
}

unsigned short InetSocketAddress::getPortNet() const
{
    return htons(static_cast<unsigned short>(port));
}

void InetSocketAddress::setAddress(const Inet4Address& addr)
{
    address = addr;
    sockAddrValid = false;
}

void InetSocketAddress::setPort(unsigned value)
{
    port = checkedPort(value);
    sockAddrValid = false;
}

void InetSocketAddress::clear()
{
    address = Inet4Address(0);
    port = 0;
    sockAddr.reset();
    sockAddrValid = false;
}

sockaddr* InetSocketAddress::getSockAddr()
{
    if (!sockAddr || !sockAddrValid) {
        sockAddr.reset(new sockaddr_in);
        std::memset(sockAddr.get(), 0, sizeof(sockaddr_in));
        sockAddr->sin_family = AF_INET;
        sockAddr->sin_port = getPortNet();
        sockAddr->sin_addr.s_addr = address.getAddressNet();
        sockAddrValid = true;
    }
    return reinterpret_cast<sockaddr*>(sockAddr.get());
}

socklen_t InetSocketAddress::getSockAddrLength() const
{
    return sizeof(sockaddr_in);
}

bool InetSocketAddress::isSecure() const
{
    return false;
}

InetSocketAddress InetSocketAddress::any()
{
    return InetSocketAddress(Inet4Address(0), 0);
}

// ---------------------------------------------------------------- TLS

InetSSLSocketAddress::InetSSLSocketAddress() = default;

InetSSLSocketAddress::InetSSLSocketAddress(const Inet4Address& addr, unsigned value,
                                           const std::string& keyText,
                                           const std::string& certText)
    : InetSocketAddress(addr, value), key(keyText), cert(certText)
{
}

InetSSLSocketAddress::InetSSLSocketAddress(const std::string& url, const std::string& keyText,
                                           const std::string& certText)
    : InetSocketAddress(url), key(keyText), cert(certText)
{
}

InetSSLSocketAddress::InetSSLSocketAddress(Url& url, const std::string& keyText,
                                           const std::string& certText)
    : InetSocketAddress(url), key(keyText), cert(certText)
{
}

InetSSLSocketAddress::~InetSSLSocketAddress() = default;

bool InetSSLSocketAddress::isSecure() const
{
    return true;
}

InetSSLSocketAddress InetSSLSocketAddress::any()
{
    return InetSSLSocketAddress(Inet4Address(0), 0, "", "");
}

} // namespace utils
} // namespace zelvo
