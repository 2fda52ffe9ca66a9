#include "foundation/net/InetAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <sstream>
#include <vector>

namespace zelvo {
namespace utils {

namespace {

// The re-entrant resolver calls want scratch space for the entry; it is
// grown on ERANGE up to this bound, far beyond any real answer.
constexpr size_t initialResolverBuffer = 2048;
constexpr size_t maxResolverBuffer = 1 << 20;

// Result of one lookup: the entry (pointing into `scratch`) or null with
// the resolver's error number.
struct HostLookup {
    hostent entry;
    hostent* result = nullptr;
    int error = 0;
    std::vector<char> scratch;
};

template <typename Call>
void runLookup(HostLookup& lookup, Call call)
{
    lookup.scratch.resize(initialResolverBuffer);
    for (;;) {
        lookup.result = nullptr;
        lookup.error = 0;
        int rc = call(&lookup.entry, lookup.scratch.data(), lookup.scratch.size(),
                      &lookup.result, &lookup.error);
        if (rc == ERANGE && lookup.scratch.size() < maxResolverBuffer) {
            lookup.scratch.resize(lookup.scratch.size() * 2);
            continue;
        }
        if (rc != 0 && lookup.result == nullptr && lookup.error == 0)
            lookup.error = NO_RECOVERY;
        return;
    }
}

void lookupByName(HostLookup& lookup, const std::string& name, int family)
{
    runLookup(lookup, [&](hostent* entry, char* buf, size_t len, hostent** result, int* err) {
        return gethostbyname2_r(name.c_str(), family, entry, buf, len, result, err);
    });
}

void lookupByAddress(HostLookup& lookup, const void* address, socklen_t length, int family)
{
    runLookup(lookup, [&](hostent* entry, char* buf, size_t len, hostent** result, int* err) {
        return gethostbyaddr_r(address, length, family, entry, buf, len, result, err);
    });
}

std::string errorText(int error)
{
    return std::string(" (error ") + hstrerror(error) + ")";
}

} // namespace

CantResolveException::CantResolveException(const std::string& message)
    : std::runtime_error(message)
{
}

InetAddress::~InetAddress() = default;

std::string InetAddress::toString() const
{
    std::ostringstream out;
    write(out);
    return out.str();
}

std::ostream& operator<<(std::ostream& out, const InetAddress& address)
{
    return address.write(out);
}

// ---------------------------------------------------------------- IPv4

Inet4Address::Inet4Address() : address(0), hostNameKnown(false) {}

Inet4Address::Inet4Address(unsigned value) : address(value), hostNameKnown(false) {}

Inet4Address::Inet4Address(unsigned value, const std::string& name)
    : address(value), hostName(name), hostNameKnown(true)
{
}

Inet4Address::~Inet4Address() = default;

bool Inet4Address::hostIsIp(const std::string& text)
{
    int groups = 0;
    size_t i = 0;
    const size_t n = text.size();
    while (true) {
        int digits = 0;
        unsigned value = 0;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            if (++digits > 3)
                return false;
            value = value * 10 + unsigned(text[i] - '0');
            ++i;
        }
        if (digits == 0 || value > 255)
            return false;
        ++groups;
        if (i == n)
            return groups == 4;
        if (text[i] != '.' || groups == 4)
            return false;
        ++i;
    }
}

Inet4Address Inet4Address::getByName(const std::string& name)
{
    if (hostIsIp(name)) {
        in_addr parsed;
        // inet_pton refuses a group with a leading zero, which the resolver
        // would read as octal: such a text names no address we can trust.
        if (inet_pton(AF_INET, name.c_str(), &parsed) != 1)
            throw CantResolveException("Cant resolve host: " + name +
                                       " (error ambiguous leading zero in address)");
        return Inet4Address(ntohl(parsed.s_addr), name);
    }

    HostLookup lookup;
    lookupByName(lookup, name, AF_INET);
    if (lookup.result == nullptr)
        throw CantResolveException("Cant resolve host: " + name + errorText(lookup.error));
    const hostent* entry = lookup.result;
    in_addr first;
    if (entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
        entry->h_length != int(sizeof(first)))
        throw CantResolveException("Resolve ok. No address for host: " + name +
                                   errorText(lookup.error));
    std::memcpy(&first, entry->h_addr_list[0], sizeof(first));
    if (first.s_addr == INADDR_NONE)
        throw CantResolveException("Resolve ok. No address for host: " + name +
                                   errorText(lookup.error));
    return Inet4Address(ntohl(first.s_addr), name);
}

bool Inet4Address::ipToHostName(const std::string& ip, std::string& name)
{
    in_addr parsed;
    if (inet_pton(AF_INET, ip.c_str(), &parsed) != 1)
        return false;
    HostLookup lookup;
    lookupByAddress(lookup, &parsed, sizeof(parsed), AF_INET);
    if (lookup.result == nullptr || lookup.result->h_name == nullptr)
        return false;
    name = lookup.result->h_name;
    return true;
}

std::ostream& Inet4Address::write(std::ostream& out) const
{
    out << ((address >> 24) & 0xff) << '.' << ((address >> 16) & 0xff) << '.'
        << ((address >> 8) & 0xff) << '.' << (address & 0xff);
    return out;
}

std::string Inet4Address::getHostName() const
{
    if (hostNameKnown)
        return hostName;
    if (address == 0) {
        hostName = "0.0.0.0";
        hostNameKnown = true;
        return hostName;
    }
    // The dotted text is built here rather than with write(), so a stream's
    // number formatting cannot change what is looked up.
    char text[INET_ADDRSTRLEN];
    in_addr net;
    net.s_addr = htonl(address);
    inet_ntop(AF_INET, &net, text, sizeof(text));

    HostLookup lookup;
    lookupByAddress(lookup, &net, sizeof(net), AF_INET);
    if (lookup.result == nullptr || lookup.result->h_name == nullptr)
        throw CantResolveException(std::string("Can't resolve host: ") + text +
                                   errorText(lookup.error));
    hostName = lookup.result->h_name;
    hostNameKnown = true;
    return hostName;
}

unsigned Inet4Address::getAddressNet() const
{
    return htonl(address);
}

// ---------------------------------------------------------------- IPv6

Inet6Address::Inet6Address() : address(in6addr_any), hostNameKnown(false) {}

Inet6Address::Inet6Address(const in6_addr& value) : address(value), hostNameKnown(false) {}

Inet6Address::Inet6Address(const in6_addr& value, const std::string& name)
    : address(value), hostName(name), hostNameKnown(true)
{
}

Inet6Address::~Inet6Address() = default;

bool Inet6Address::hostIsIp(const std::string&)
{
    return false;
}

Inet6Address Inet6Address::getByName(const std::string& name)
{
    HostLookup lookup;
    lookupByName(lookup, name, AF_INET6);
    const hostent* entry = lookup.result;
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
        entry->h_length != int(sizeof(in6_addr)))
        throw CantResolveException("Cant resolve host: " + name +
                                   errorText(entry == nullptr ? lookup.error : NO_ADDRESS));
    in6_addr first;
    std::memcpy(&first, entry->h_addr_list[0], sizeof(first));
    return Inet6Address(first, name);
}

std::ostream& Inet6Address::write(std::ostream& out) const
{
    char text[100];
    if (inet_ntop(AF_INET6, &address, text, sizeof(text)) != nullptr)
        out << text;
    return out;
}

std::string Inet6Address::getHostName() const
{
    if (hostNameKnown)
        return hostName;
    if (IN6_IS_ADDR_UNSPECIFIED(&address)) {
        hostName = "::";
        hostNameKnown = true;
        return hostName;
    }
    HostLookup lookup;
    lookupByAddress(lookup, &address, sizeof(address), AF_INET6);
    if (lookup.result == nullptr || lookup.result->h_name == nullptr)
        throw CantResolveException("Cant resolve host: " + toString() + errorText(lookup.error));
    hostName = lookup.result->h_name;
    hostNameKnown = true;
    return hostName;
}

} // namespace utils
} // namespace zelvo
