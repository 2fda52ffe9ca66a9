#include "foundation/text/HumanReadable.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

using namespace zelvo::utils;

TEST(HumanReadableTest, StrSizeAtTheUnitBoundaries)
{
    struct Case {
        long long bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {1024, "1024 B"},
        {1025, "1.00 kB"},
        {1536, "1.50 kB"},
        {1048576, "1024.00 kB"},
        {1048577, "1.00 MB"},
        {1073741824, "1024.00 MB"},
        {1073741825, "1.00 GB"},
        {5LL << 40, "5120.00 GB"},
        {-1, "4294967295 B"}, // negative: its low 32 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        char buf[32];
        EXPECT_EQ(static_cast<int>(std::string(c.text).size()), strSize(buf, sizeof buf, c.bytes));
        EXPECT_STREQ(c.text, buf);
    }
    char small[5];
    EXPECT_EQ(4, strSize(small, sizeof small, 1025));
    EXPECT_STREQ("1.00", small);
}

TEST(HumanReadableTest, StrSecond)
{
    struct Case {
        unsigned seconds;
        const char* text;
    } cases[] = {
        {0, "00:00:00"},
        {3661, "01:01:01"},
        {86399, "23:59:59"},
        {86400, "1 day 00:00:00"},
        {90061, "1 day 01:01:01"},
        {2 * 86400 + 5, "2 days 00:00:05"},
        {4294967295u, "49710 days 06:28:15"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        char buf[32];
        EXPECT_EQ(static_cast<int>(std::string(c.text).size()), strSecond(c.seconds, buf));
        EXPECT_STREQ(c.text, buf);
    }
}

TEST(HumanReadableTest, DottedQuads)
{
    in_addr a;
    ASSERT_EQ(1, inet_pton(AF_INET, "192.168.1.20", &a));
    char buf[32];
    EXPECT_STREQ("192.168.1.20", strip(buf, a.s_addr));
    EXPECT_STREQ("192.168.1.20:8143", stripport(buf, a.s_addr, htons(8143)));
    EXPECT_STREQ("0.0.0.0", strip(buf, 0));
    EXPECT_STREQ("255.255.255.255:65535", stripport(buf, 0xffffffffu, 0xffff));
}
