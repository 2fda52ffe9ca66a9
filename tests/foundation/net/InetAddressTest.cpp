#include "foundation/net/InetAddress.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <sstream>

using zelvo::utils::CantResolveException;
using zelvo::utils::Inet4Address;
using zelvo::utils::Inet6Address;

namespace {

// A name under the reserved ".invalid" top-level domain never resolves.
const char* const unresolvable = "nosuchhost.invalid";

std::string messageOf(void (*call)())
{
    try {
        call();
    } catch (const CantResolveException& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST(Inet4Address, HostIsIpAcceptsExactlyDottedQuads)
{
    struct Row {
        const char* text;
        bool expected;
    } rows[] = {
        {"192.168.1.10", true},
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"010.1.1.1", true},  // leading zeros pass the shape test
        {"1.2.3.0004", false}, // four digits in a group
        {"256.1.1.1", false},
        {"1.2.3.256", false},
        {"1.2.3", false},
        {"1.2.3.4.", false},
        {".1.2.3.4", false},
        {"1.2.3.4.5", false},
        {"1..2.3", false},
        {"1.2..3.4", false},
        {"a.b.c.d", false},
        {"1.2.3.4 ", false},
        {" 1.2.3.4", false},
        {"1.2.3.-4", false},
        {"", false},
        {"localhost", false},
        {"0", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(Inet4Address::hostIsIp(row.text), row.expected);
    }
}

TEST(Inet4Address, DottedQuadIsConvertedWithoutResolverAndKeepsItsText)
{
    Inet4Address a = Inet4Address::getByName("192.168.1.10");
    EXPECT_EQ(a.getAddress(), 0xC0A8010Au);
    EXPECT_EQ(a.getAddressNet(), htonl(0xC0A8010Au));
    EXPECT_EQ(a.getHostName(), "192.168.1.10");
    EXPECT_EQ(a.toString(), "192.168.1.10");
}

TEST(Inet4Address, LeadingZeroQuadIsRefusedNotReadAsOctal)
{
    const std::string text = messageOf([] { Inet4Address::getByName("010.1.1.1"); });
    EXPECT_EQ(text.rfind("Cant resolve host: 010.1.1.1 (error ", 0), 0u) << text;
    EXPECT_EQ(text.back(), ')');
}

TEST(Inet4Address, NameIsResolvedAndKeptAsHostName)
{
    Inet4Address a = Inet4Address::getByName("localhost");
    EXPECT_EQ(a.getAddress(), 0x7F000001u);
    EXPECT_EQ(a.getHostName(), "localhost");
}

TEST(Inet4Address, UnresolvableNameThrowsWithNameAndResolverText)
{
    const std::string text = messageOf([] { Inet4Address::getByName(unresolvable); });
    const std::string prefix = std::string("Cant resolve host: ") + unresolvable + " (error ";
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_GT(text.size(), prefix.size() + 1) << "resolver text missing";
    EXPECT_EQ(text.back(), ')');
    EXPECT_THROW(Inet4Address::getByName(""), CantResolveException);
}

TEST(Inet4Address, WriteFollowsStreamNumberFormatting)
{
    Inet4Address a(0x7F000001u);
    EXPECT_EQ(a.toString(), "127.0.0.1");
    std::ostringstream plain;
    plain << a;
    EXPECT_EQ(plain.str(), "127.0.0.1");
    std::ostringstream hex;
    hex << std::hex << Inet4Address(0xC0A8FF0Au);
    EXPECT_EQ(hex.str(), "c0.a8.ff.a");
}

TEST(Inet4Address, UnspecifiedAddressNamesItselfWithoutLookup)
{
    Inet4Address a;
    EXPECT_EQ(a.getAddress(), 0u);
    EXPECT_EQ(a.getHostName(), "0.0.0.0");
    EXPECT_EQ(a.getHostName(), "0.0.0.0");
}

TEST(Inet4Address, ReverseLookup)
{
    std::string name = "untouched";
    ASSERT_TRUE(Inet4Address::ipToHostName("127.0.0.1", name));
    EXPECT_EQ(name, "localhost");
    EXPECT_EQ(Inet4Address(0x7F000001u).getHostName(), "localhost");

    name = "untouched";
    EXPECT_FALSE(Inet4Address::ipToHostName("not an address", name));
    EXPECT_EQ(name, "untouched");
}

TEST(Inet4Address, FailedReverseLookupNamesTheAddress)
{
    // 192.0.2.0/24 is reserved for documentation and has no names.
    Inet4Address a(0xC0000201u);
    std::string text;
    try {
        a.getHostName();
        GTEST_SKIP() << "the resolver knows a name for 192.0.2.1";
    } catch (const CantResolveException& e) {
        text = e.what();
    }
    EXPECT_EQ(text.rfind("Can't resolve host: 192.0.2.1 (error ", 0), 0u) << text;
    EXPECT_EQ(text.back(), ')');
}

TEST(Inet4Address, CopiesCarryAddressAndName)
{
    Inet4Address named(0x0A000001u, "ten");
    Inet4Address copy(named);
    EXPECT_EQ(copy.getAddress(), 0x0A000001u);
    EXPECT_EQ(copy.getHostName(), "ten");
    Inet4Address assigned;
    assigned = named;
    EXPECT_EQ(assigned.getHostName(), "ten");
    EXPECT_TRUE(assigned == named);
}

TEST(Inet6Address, WriteAndHostName)
{
    EXPECT_EQ(Inet6Address(in6addr_loopback).toString(), "::1");
    EXPECT_EQ(Inet6Address().toString(), "::");
    EXPECT_EQ(Inet6Address().getHostName(), "::");
    EXPECT_EQ(Inet6Address(in6addr_loopback, "lo6").getHostName(), "lo6");
    EXPECT_FALSE(Inet6Address::hostIsIp("::1"));
}

TEST(Inet6Address, UnresolvableNameThrows)
{
    const std::string text = messageOf([] { Inet6Address::getByName(unresolvable); });
    const std::string prefix = std::string("Cant resolve host: ") + unresolvable + " (error ";
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_EQ(text.back(), ')');
}

TEST(Inet6Address, ResolvesNumericTextThroughResolver)
{
    Inet6Address a = Inet6Address::getByName("::1");
    in6_addr net = a.getAddressNet();
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&net));
    EXPECT_EQ(a.getHostName(), "::1");
}

} // namespace
