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

TEST(HexTest, HexToStringDecodesPairs)
{
    struct Case {
        std::string hex, bytes;
    } cases[] = {
        {"00ff", std::string("\x00\xff", 2)},
        {"ABcd", "\xab\xcd"},
        {"abc", "\xab"}, // odd last character ignored
        {"a", ""},
        {"", ""},
        {"g0", "\xf0"},  // not detected: -1 high nibble
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(c.bytes, hexToString(c.hex));
    }
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    EXPECT_EQ(all, hexToString(stringToHex(all)));
}

TEST(HexTest, HexToNibbleThrowing)
{
    EXPECT_EQ(0, hexToNibbleThrowing('0'));
    EXPECT_EQ(10, hexToNibbleThrowing('a'));
    EXPECT_EQ(15, hexToNibbleThrowing('F'));
    for (char c : {'g', 'G', ' ', '\0', '\xff'}) {
        SCOPED_TRACE(static_cast<int>(c));
        try {
            hexToNibbleThrowing(c);
            ADD_FAILURE() << "no exception";
        } catch (const zelvo::utils::Exception& e) {
            EXPECT_STREQ("Wrong hex character.", e.what());
        }
    }
}

TEST(HexTest, HexesToBytesChecksItsRoom)
{
    unsigned char out[4] = {9, 9, 9, 9};
    EXPECT_TRUE(hexesToBytes(out, 4, "0102ff", 6));
    EXPECT_EQ(1, out[0]);
    EXPECT_EQ(2, out[1]);
    EXPECT_EQ(0xff, out[2]);
    EXPECT_EQ(9, out[3]);

    EXPECT_TRUE(hexesToBytes(nullptr, 0, nullptr, 0));
    EXPECT_FALSE(hexesToBytes(nullptr, 4, "00", 2));
    EXPECT_FALSE(hexesToBytes(out, 4, nullptr, 2));
    EXPECT_FALSE(hexesToBytes(out, 0, "00", 2));
    EXPECT_FALSE(hexesToBytes(out, 2, "000000", 6));
    EXPECT_TRUE(hexesToBytes(out, 2, "aabbc", 5)); // 2 bytes, odd digit ignored
    EXPECT_EQ(0xaa, out[0]);
    EXPECT_EQ(0xbb, out[1]);
    EXPECT_EQ(0xff, out[2]);

    hexesToBytesUnsafe(out, "10203040", 8);
    EXPECT_EQ(0x40, out[3]);
}

TEST(HexTest, BytesToHexesZ)
{
    const unsigned char src[] = {0x01, 0xab, 0xff};
    struct Case {
        unsigned long dstSize;
        const unsigned char* src;
        unsigned long n;
        bool result;
        const char* text;
    } cases[] = {
        {7, src, 3, true, "01abff"},
        {6, src, 3, false, ""},
        {1, src, 0, true, ""},
        {1, nullptr, 0, true, ""},
        {8, nullptr, 3, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dstSize);
        char dst[16];
        std::memset(dst, 'X', sizeof dst);
        EXPECT_EQ(c.result, bytesToHexesZ(dst, c.dstSize, c.src, c.n));
        EXPECT_STREQ(c.text, dst);
        EXPECT_EQ('X', dst[c.dstSize]);
    }
    EXPECT_FALSE(bytesToHexesZ(nullptr, 8, src, 1));
    char none = 'X';
    EXPECT_FALSE(bytesToHexesZ(&none, 0, src, 1));
    EXPECT_EQ('X', none);

    char raw[6] = {'X', 'X', 'X', 'X', 'X', 'X'};
    bytesToHexesUnsafe(raw, src, 2);
    EXPECT_EQ("01abXX", std::string(raw, 6));
}

TEST(HexTest, Strhex)
{
    const unsigned char data[] = {0x01, 0xab, 0x7f};
    struct Case {
        unsigned long dstSize;
        unsigned long n;
        int sep;
        int result;
        const char* text;
    } cases[] = {
        {6, 2, ':', 2, "01:ab"},
        {5, 2, ':', 6, ""},
        {9, 3, ' ', 2, "01 ab 7f"},
        {100, 1, '-', 2, "01"},
        {100, 0, ':', 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dstSize) + "/" + std::to_string(c.n));
        char dst[128];
        std::memset(dst, 'X', sizeof dst);
        EXPECT_EQ(c.result, strhex(dst, c.dstSize, c.sep, data, c.n));
        EXPECT_STREQ(c.text, dst);
        if (c.dstSize < sizeof dst) {
            EXPECT_EQ('X', dst[c.dstSize]);
        }
    }
}
