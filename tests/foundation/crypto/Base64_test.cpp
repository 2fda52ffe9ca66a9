#include "foundation/crypto/Base64.h"

#include <sstream>

#include <gtest/gtest.h>

using namespace zelvo::utils;

TEST(Base64, Rfc4648Vectors)
{
    const char* const vectors[][2] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"Man", "TWFu"},
        {"M", "TQ=="},    {"Ma", "TWE="},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v[0]);
        std::string encoded;
        EXPECT_TRUE(encodeBase64(v[0], encoded, false, 79, true));
        EXPECT_EQ(v[1], encoded);
        std::string decoded;
        EXPECT_TRUE(decodeBase64(encoded, decoded));
        EXPECT_EQ(v[0], decoded);

        char buffer[32];
        unsigned long consumed = 0;
        const std::string in = v[0];
        EXPECT_EQ(encoded.size(), encodeBase64X64(in.data(), in.size(), buffer, sizeof buffer, &consumed));
        EXPECT_EQ(encoded, buffer);
        EXPECT_EQ(in.size(), consumed);
    }
}

TEST(Base64, DecodingSkipsAndStops)
{
    struct Case {
        std::string in;
        std::string out;
        bool ok;
    };
    const Case cases[] = {
        {"TW\r\nFu", "Man", true},
        {" T W F u ", "Man", true},
        {"\tTWFu\n", "Man", true},
        {"TW*Fu", "Man", false},
        {"TWF", "", true},
        {"TWFuTQ", "Man", true},
        {std::string("TWFu\0TWFu", 9), "Man", true},
        {"", "", true},
        {"TWE=TWFu", "MaMan", true},
        // A byte above 0x7F is outside the alphabet, not an alias of its low
        // seven bits (0xC1 is not "A", 0xF5 not "u").
        {"\xc1\xc1\xc1\xc1", "", false},
        {"TWF\xf5", "", false},
        {"TWFu\xc1\xc1\xc1\xc1", "Man", false},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        std::string out = "stale";
        EXPECT_EQ(cases[i].ok, decodeBase64(cases[i].in, out));
        EXPECT_EQ(cases[i].out, out);
    }
}

TEST(Base64, WrappedLines)
{
    std::string out;
    encodeBase64(std::string(57, 'x'), out, true, 76, true);
    EXPECT_EQ(78u, out.size());
    EXPECT_EQ("\r\n", out.substr(76));
    encodeBase64(std::string(58, 'x'), out, true, 76, true);
    EXPECT_EQ(76u + 2 + 4, out.size());
    EXPECT_EQ("\r\neA==", out.substr(76));
    encodeBase64(std::string(6, 'x'), out, true, 4, false);
    EXPECT_EQ("eHh4\neHh4\n", out);
    encodeBase64(std::string(200, 'x'), out, false, 76, true);
    EXPECT_EQ(std::string::npos, out.find('\n'));
}

TEST(Base64, BufferInterfaces)
{
    // A group that does not fit (with its NUL) stays in the state.
    char in[] = "TWFuTWFu";
    char out[8];
    Base64Stream state;
    unsigned long consumed = 0;
    EXPECT_EQ(3u, decodeBase64Stream(&state, in, out, 5, &consumed));
    EXPECT_EQ("Man", std::string(out));
    EXPECT_EQ(8u, consumed);
    EXPECT_EQ(4, state.count);
    EXPECT_EQ(3u, decodeBase64Stream(state, in + 8, in + 8, out, out + sizeof out, nullptr));
    EXPECT_EQ("Man", std::string(out));

    // In place.
    char again[] = "TWFu";
    EXPECT_EQ(3u, decodeBase64Stream(nullptr, again, nullptr, 0, nullptr));
    EXPECT_EQ("Man", std::string(again));

    int used = 0;
    char small[8];
    EXPECT_EQ(0, encodeBase64("abc", 3, small, 4, &used));
    EXPECT_EQ(0, used);
    EXPECT_EQ('\0', small[0]);
    EXPECT_EQ(4, encodeBase64("abcdef", 6, small, 8, &used));
    EXPECT_EQ(3, used);
    EXPECT_EQ("YWJj", std::string(small));

    // 19 groups make one 76-character line.
    const std::string longer(60, 'x');
    char wide[128];
    const unsigned long n = encodeBase64X64(longer.data(), longer.size(), wide, sizeof wide, nullptr);
    EXPECT_EQ(80u + 2, n);
    EXPECT_EQ("\r\n", std::string(wide + 76, 2));

    unsigned long length = 99;
    EXPECT_TRUE(base64DecodedDataLength("TWE=", length));
    EXPECT_EQ(2u, length);
    EXPECT_TRUE(base64DecodedDataLength(std::string("TWFuTQ=="), length));
    EXPECT_EQ(4u, length);
    EXPECT_TRUE(base64DecodedDataLength("TWFuTW", length));
    EXPECT_EQ(3u, length);
    EXPECT_FALSE(base64DecodedDataLength("TW*Fu", length));
    EXPECT_FALSE(base64DecodedDataLength("TWF\xf5", length));
    EXPECT_EQ(0u, length);
    EXPECT_TRUE(base64DecodedDataLength("", length));
    EXPECT_EQ(0u, length);

    EXPECT_TRUE(isBase64(""));
    EXPECT_TRUE(isBase64("TWE="));
    EXPECT_FALSE(isBase64("TW E="));
    EXPECT_FALSE(isBase64("T\xc1"));
}

TEST(Base64, StreamBuffer)
{
    std::stringbuf sink;
    {
        Base64StreamDecoderBuffer coder(&sink, 8, true);
        std::ostream out(&coder);
        out << "foobarfo";
    }
    EXPECT_EQ("Zm9vYmFy\nZm8=", sink.str());

    std::stringbuf source("Zm9v\r\nYmFy Zg==");
    Base64StreamDecoderBuffer decoder(&source, 0, false);
    std::istream in(&decoder);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("foobarf", text);

    // "\xd9\xed\xc6\xf9" would be "YmFy" by the low seven bits.
    std::stringbuf high("Zm9v\xd9\xed\xc6\xf9");
    Base64StreamDecoderBuffer highDecoder(&high, 0, false);
    std::istream highIn(&highDecoder);
    EXPECT_EQ("foo", std::string((std::istreambuf_iterator<char>(highIn)), std::istreambuf_iterator<char>()));
}

TEST(Base64, InPlaceDecodingWithACarriedGroup)
{
    // Three values carried from an earlier piece make the first character of
    // this one complete a group of three bytes: written in place they would
    // land on input not yet read.
    Base64Stream state;
    char out[8];
    const char head[] = "TWF";
    EXPECT_EQ(0u, decodeBase64Stream(state, head, head + 3, out, out + sizeof out, nullptr));
    ASSERT_EQ(3, state.count);

    char text[] = "uTWFuTWFu";
    unsigned long consumed = 0;
    EXPECT_EQ(6u, decodeBase64Stream(&state, text, nullptr, 0, &consumed));
    EXPECT_EQ("ManMan", std::string(text));
    EXPECT_EQ(9u, consumed);
    // The third group does not fit beside the NUL and waits in the state.
    ASSERT_EQ(4, state.count);
    EXPECT_EQ(3u, decodeBase64Stream(state, text, text, out, out + sizeof out, nullptr));
    EXPECT_EQ("Man", std::string(out));
    EXPECT_EQ(1, state.ok);
}
