#include "foundation/net/InetSocketAddress.h"
#include "foundation/net/Url.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

using zelvo::utils::CantResolveException;
using zelvo::utils::Inet4Address;
using zelvo::utils::InetSocketAddress;
using zelvo::utils::InetSSLSocketAddress;
using zelvo::utils::Url;

namespace {

const sockaddr_in& record(InetSocketAddress& a)
{
    return *reinterpret_cast<const sockaddr_in*>(a.getSockAddr());
}

TEST(InetSocketAddress, FromUrlText)
{
    struct Row {
        const char* url;
        unsigned address;
        unsigned port;
    } rows[] = {
        {"imap://localhost:143", 0x7F000001u, 143},
        {"imap://10.1.2.3:143", 0x0A010203u, 143}, // no resolver for a dotted quad
        {"localhost:143", 0x7F000001u, 143},
        {"imap://localhost", 0x7F000001u, 0},      // no default port per protocol
        {"imap://localhost:imap2", 0x7F000001u, 143},
        {"imap://localhost:nosuchservice", 0x7F000001u, 0},
        {"imap://localhost:70000", 0x7F000001u, 0},
        {"imap://user:pw@127.0.0.1:8143/INBOX", 0x7F000001u, 8143},
        {"imap://:25", 0u, 25},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.url);
        InetSocketAddress a{std::string(row.url)};
        EXPECT_EQ(a.getAddress().getAddress(), row.address);
        EXPECT_EQ(a.getPort(), row.port);
        EXPECT_FALSE(a.isSecure());
    }
}

TEST(InetSocketAddress, UnresolvableHostThrows)
{
    EXPECT_THROW(InetSocketAddress(std::string("imap://nosuchhost.invalid:143")),
                 CantResolveException);
    Url url("imap://nosuchhost.invalid:143");
    EXPECT_THROW(InetSocketAddress{url}, CantResolveException);
}

TEST(InetSocketAddress, FromUrlObjectResolvesInPlace)
{
    Url url("imap://127.0.0.1:993");
    InetSocketAddress a(url);
    EXPECT_TRUE(url.isResolved());
    EXPECT_EQ(url.getIP(), 0x7F000001u);
    EXPECT_EQ(a.getPort(), 993u);
}

TEST(InetSocketAddress, RecordMatchesAddressAndPort)
{
    InetSocketAddress a(Inet4Address(0x7F000001u), 8143);
    EXPECT_EQ(a.getSockAddrLength(), sizeof(sockaddr_in));
    EXPECT_EQ(a.getPortNet(), htons(8143));
    const sockaddr_in& r = record(a);
    EXPECT_EQ(r.sin_family, AF_INET);
    EXPECT_EQ(r.sin_port, htons(8143));
    EXPECT_EQ(r.sin_addr.s_addr, htonl(0x7F000001u));
    for (unsigned char z : r.sin_zero)
        EXPECT_EQ(z, 0);
}

TEST(InetSocketAddress, SettersRebuildTheRecord)
{
    InetSocketAddress a(Inet4Address(0x7F000001u), 143);
    record(a);
    a.setPort(25);
    EXPECT_EQ(record(a).sin_port, htons(25));
    a.setAddress(Inet4Address(0x0A000001u));
    EXPECT_EQ(record(a).sin_addr.s_addr, htonl(0x0A000001u));
    a.clear();
    EXPECT_EQ(a.getPort(), 0u);
    EXPECT_EQ(a.getAddress().getAddress(), 0u);
    EXPECT_EQ(record(a).sin_port, 0);
    EXPECT_EQ(record(a).sin_addr.s_addr, 0u);
}

TEST(InetSocketAddress, CopiesBuildTheirOwnRecord)
{
    InetSocketAddress a(Inet4Address(0x7F000001u), 143);
    const sockaddr_in original = record(a);
    InetSocketAddress b(a);
    ASSERT_EQ(b.getSockAddrLength(), socklen_t(sizeof(sockaddr_in)));
    EXPECT_EQ(0, std::memcmp(&record(b), &original, sizeof original)) << "the copy's record is the original's";
    // Changing one side leaves the other's record as it was.
    b.setPort(144);
    EXPECT_EQ(record(b).sin_port, htons(144));
    EXPECT_EQ(0, std::memcmp(&record(a), &original, sizeof original));

    InetSocketAddress c;
    c.getSockAddr();
    c = a;
    EXPECT_EQ(record(c).sin_port, htons(143));
    EXPECT_EQ(record(c).sin_addr.s_addr, htonl(0x7F000001u));

    a.setAddress(Inet4Address(0x0A000001u));
    EXPECT_EQ(record(b).sin_addr.s_addr, htonl(0x7F000001u));
    EXPECT_EQ(record(c).sin_addr.s_addr, htonl(0x7F000001u));
}

TEST(InetSocketAddress, PortBeyondSixteenBitsIsRefused)
{
    EXPECT_THROW(InetSocketAddress(Inet4Address(1), 65536), std::out_of_range);
    InetSocketAddress a(Inet4Address(1), 65535);
    EXPECT_THROW(a.setPort(65536), std::out_of_range);
    EXPECT_EQ(a.getPort(), 65535u);
}

TEST(InetSocketAddress, AnyIsTheWildcard)
{
    InetSocketAddress a = InetSocketAddress::any();
    EXPECT_EQ(a.getAddress().getAddress(), 0u);
    EXPECT_EQ(a.getPort(), 0u);
    InetSocketAddress d;
    EXPECT_EQ(d.getPort(), 0u);
    EXPECT_EQ(record(d).sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST(InetSSLSocketAddress, CarriesKeyAndCertificate)
{
    InetSSLSocketAddress a(Inet4Address(0x7F000001u), 993, "key", "cert");
    EXPECT_TRUE(a.isSecure());
    EXPECT_EQ(a.getKey(), "key");
    EXPECT_EQ(a.getCert(), "cert");
    InetSSLSocketAddress b(a);
    EXPECT_EQ(b.getKey(), "key");
    EXPECT_EQ(b.getCert(), "cert");
    EXPECT_EQ(record(b).sin_port, htons(993));
    b.setKey("k2");
    b.setCert("c2");
    a = b;
    EXPECT_EQ(a.getKey(), "k2");
    EXPECT_EQ(a.getCert(), "c2");

    const InetSocketAddress& base = a;
    EXPECT_TRUE(base.isSecure());

    InetSSLSocketAddress any = InetSSLSocketAddress::any();
    EXPECT_EQ(any.getPort(), 0u);
    EXPECT_EQ(any.getKey(), "");
    EXPECT_EQ(any.getCert(), "");
}

TEST(InetSSLSocketAddress, FromUrl)
{
    InetSSLSocketAddress a(std::string("imaps://127.0.0.1:993"), "", "");
    EXPECT_EQ(a.getPort(), 993u);
    EXPECT_EQ(a.getAddress().getAddress(), 0x7F000001u);
    Url url("imaps://localhost:994");
    InetSSLSocketAddress b(url, "k", "c");
    EXPECT_EQ(b.getPort(), 994u);
    EXPECT_EQ(b.getKey(), "k");
}

} // namespace
