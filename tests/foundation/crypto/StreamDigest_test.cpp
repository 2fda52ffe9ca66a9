#include "foundation/crypto/StreamDigest.h"

#include <memory>

#include <gtest/gtest.h>

using namespace zelvo::crypto;

namespace {

struct Vector {
    const char* algorithm;
    std::string input;
    const char* hex;
};

std::unique_ptr<StreamDigest> make(const std::string& algorithm)
{
    if (algorithm == "MD2")
        return std::unique_ptr<StreamDigest>(new StreamDigestMD2);
    if (algorithm == "MD5")
        return std::unique_ptr<StreamDigest>(new StreamDigestMD5);
    if (algorithm == "RIPEMD160")
        return std::unique_ptr<StreamDigest>(new StreamDigestRIPEMD160);
    if (algorithm == "SHA")
        return std::unique_ptr<StreamDigest>(new StreamDigestSHA);
    return std::unique_ptr<StreamDigest>(new StreamDigestSHA1);
}

} // namespace

TEST(StreamDigest, PublishedVectors)
{
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
    const std::string sha448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const Vector vectors[] = {
        // RFC 1319
        {"MD2", "a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
        {"MD2", "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
        {"MD2", "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
        {"MD2", alphabet, "4e8ddff3650292ab5a4108c3aa47940b"},
        {"MD2", "1234567890123456789012345678901234567890123456789012345678901234567890"
                "1234567890",
         "d5976f79d83d3a0dc9806c3c66f3efd8"},
        // RFC 1321
        {"MD5", "a", "0cc175b9c0f1b6a831c399e269772661"},
        {"MD5", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"MD5", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"MD5", alphabet, "c3fcd3d76192e4007dfb496cca67e13b"},
        // The RIPEMD-160 authors' examples
        {"RIPEMD160", "a", "0bdc9d2d256b3ee9daae347be6f4dc835a467ffe"},
        {"RIPEMD160", "abc", "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
        {"RIPEMD160", "message digest", "5d0689ef49d2fae572b881b123a85ffa21595f36"},
        // FIPS 180 (SHA-0)
        {"SHA", "abc", "0164b8a914cd2a5e74c4f7ff082c4d97f1edf880"},
        {"SHA", sha448, "d2516ee1acfa5baf33dfc1c471e438449ef134c8"},
        // FIPS 180-1
        {"SHA1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"SHA1", sha448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(std::string(v.algorithm) + " " + v.input);
        std::unique_ptr<StreamDigest> d = make(v.algorithm);
        *d << v.input;
        EXPECT_EQ(v.hex, d->getAsciiDigest());
        EXPECT_TRUE(d->good());
    }
}

TEST(StreamDigest, OwnAlgorithmsAcrossBlocks)
{
    // Many small writes and one large write of the same bytes agree, across
    // block boundaries of both block sizes.
    for (const char* algorithm : {"MD2", "SHA"}) {
        SCOPED_TRACE(algorithm);
        std::unique_ptr<StreamDigest> pieces = make(algorithm);
        for (int i = 0; i < 1000; ++i)
            *pieces << "aaaaaaa";
        std::unique_ptr<StreamDigest> once = make(algorithm);
        *once << std::string(7000, 'a');
        EXPECT_EQ(once->getAsciiDigest(), pieces->getAsciiDigest());
    }
    StreamDigestSHA sha;
    sha << "";
    sha.put('a');
    EXPECT_EQ(20u, sha.getDigest().size());
}

TEST(StreamDigest, ResultClosesTheDigest)
{
    StreamDigestMD5 d;
    EXPECT_EQ("", d.getDigest());
    EXPECT_EQ("", d.getAsciiDigest());

    d << "abc";
    const std::string first = d.getDigest();
    EXPECT_EQ(16u, first.size());
    EXPECT_EQ(first, d.getDigest());
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", d.getAsciiDigest());

    d << "";
    EXPECT_EQ(first, d.getDigest());

    d << "a";
    d.getDigest();
    d << "b";
    StreamDigestMD5 b;
    b << "b";
    EXPECT_EQ(b.getAsciiDigest(), d.getAsciiDigest());

    StreamDigestMD5 zeros;
    zeros.write("a\0b", 3);
    StreamDigestMD5 cstring;
    cstring << "a\0b";
    StreamDigestMD5 justA;
    justA << "a";
    EXPECT_NE(zeros.getAsciiDigest(), cstring.getAsciiDigest());
    EXPECT_EQ(justA.getAsciiDigest(), cstring.getAsciiDigest());

    StreamDigestMD5 number;
    number << 42;
    StreamDigestMD5 text;
    text << "42";
    EXPECT_EQ(text.getAsciiDigest(), number.getAsciiDigest());

    StreamDigest plain;
    plain << "anything";
    EXPECT_EQ("", plain.getDigest());
    EXPECT_TRUE(plain.good());
}
