#ifndef ZELVO_FOUNDATION_NET_INETADDRESS_H
#define ZELVO_FOUNDATION_NET_INETADDRESS_H

#include <netinet/in.h>

#include <iosfwd>
#include <stdexcept>
#include <string>

namespace zelvo {
namespace utils {

// A host name that does not resolve, or an address without a name. The
// message carries the name (or address) and the resolver's error text.
class CantResolveException : public std::runtime_error {
public:
    explicit CantResolveException(const std::string& message);
};

// Abstract IP address. Name lookups are cached in the concrete classes, so
// the const accessors may fill in the host name.
class InetAddress {
public:
    virtual std::ostream& write(std::ostream& out) const = 0;
    // Throws CantResolveException when the reverse lookup fails.
    virtual std::string getHostName() const = 0;
    virtual ~InetAddress();

    std::string toString() const;
};

std::ostream& operator<<(std::ostream& out, const InetAddress& address);

// IPv4 address, kept in host byte order.
class Inet4Address : public InetAddress {
public:
    Inet4Address();
    explicit Inet4Address(unsigned address);
    Inet4Address(unsigned address, const std::string& name);
    Inet4Address(const Inet4Address&) = default;
    Inet4Address& operator=(const Inet4Address&) = default;
    ~Inet4Address() override;

    // True for exactly four dot-separated groups of 1 to 3 decimal digits,
    // each at most 255 (leading zeros allowed).
    static bool hostIsIp(const std::string& text);

    // A dotted quad is converted without the resolver; anything else is
    // resolved and its first IPv4 address taken. The given name becomes the
    // known host name. A dotted quad with a leading zero in a group is
    // refused, never guessed at. Throws CantResolveException.
    static Inet4Address getByName(const std::string& name);

    // Reverse lookup of a dotted IPv4 text; `name` is replaced only on
    // success.
    static bool ipToHostName(const std::string& ip, std::string& name);

    std::ostream& write(std::ostream& out) const override;
    std::string getHostName() const override;

    unsigned getAddress() const { return address; }
    unsigned getAddressNet() const;

    bool operator==(const Inet4Address& other) const { return address == other.address; }
    bool operator!=(const Inet4Address& other) const { return address != other.address; }

private:
    unsigned address;
    mutable std::string hostName;
    mutable bool hostNameKnown;
};

// IPv6 address, 16 bytes in network order.
class Inet6Address : public InetAddress {
public:
    Inet6Address();
    explicit Inet6Address(const in6_addr& address);
    Inet6Address(const in6_addr& address, const std::string& name);
    Inet6Address(const Inet6Address&) = default;
    Inet6Address& operator=(const Inet6Address&) = default;
    ~Inet6Address() override;

    // There is no textual shortcut for IPv6: always false.
    static bool hostIsIp(const std::string& text);

    // First IPv6 address the resolver gives for the name. Throws
    // CantResolveException.
    static Inet6Address getByName(const std::string& name);

    std::ostream& write(std::ostream& out) const override;
    std::string getHostName() const override;

    in6_addr getAddressNet() const { return address; }

private:
    in6_addr address;
    mutable std::string hostName;
    mutable bool hostNameKnown;
};

} // namespace utils
} // namespace zelvo

#endif
