#include "foundation/text/ByteOrder.h"
#include "foundation/text/Hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace zelvo::utils;

TEST(HexTest, StringToHexRendersLowerCaseHighNibbleFirst)
{
    EXPECT_EQ("00ff", stringToHex(std::string("\x00\xff", 2)));
    EXPECT_EQ("", stringToHex(""));
    EXPECT_EQ("0123abcdef", stringToHex("\x01\x23\xab\xcd\xef"));
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    const std::string hex = stringToHex(all);
    ASSERT_EQ(512u, hex.size());
    for (int i = 0; i < 256; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i >> 4, hexToNibbleTable[static_cast<unsigned char>(hex[2 * i])]);
        EXPECT_EQ(i & 15, hexToNibbleTable[static_cast<unsigned char>(hex[2 * i + 1])]);
    }
}

TEST(HexTest, NibbleTableKnowsBothCasesAndNothingElse)
{
    int digits = 0;
    for (int c = 0; c < 256; ++c) {
        SCOPED_TRACE(c);
        const char* pos = c ? std::strchr("0123456789abcdefABCDEF", c) : nullptr;
        if (pos) {
            ++digits;
            EXPECT_EQ(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10, hexToNibbleTable[c]);
        } else {
            EXPECT_EQ(-1, hexToNibbleTable[c]);
        }
    }
    EXPECT_EQ(22, digits);
    EXPECT_STREQ("0123456789abcdef", nibbleToHexLowercaseTable);
}

TEST(ByteOrderTest, Hton64StoresBigEndianAndNtoh64Inverts)
{
    const unsigned long long v = 0x0102030405060708ULL;
    const unsigned long long n = hton64(v);
    unsigned char bytes[8];
    std::memcpy(bytes, &n, 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(i + 1, bytes[i]) << i;
    EXPECT_EQ(v, ntoh64(n));

    const unsigned long long samples[] = {0, 1, 0xff, 0x8000000000000000ULL, ~0ULL,
                                          0x00ff00ff00ff00ffULL, 0xdeadbeefcafef00dULL};
    for (unsigned long long x : samples) {
        SCOPED_TRACE(x);
        EXPECT_EQ(x, ntoh64(hton64(x)));
        EXPECT_EQ(x, hton64(ntoh64(x)));
    }
}
