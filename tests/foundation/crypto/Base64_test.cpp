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

// Every output that overlaps the input decodes as a separate output would,
// also when a carried group makes the output run ahead of the input.
TEST(Base64, OverlappingOutputDecodesAsASeparateOne)
{
    enum Form { PointerRange, StringIterators, NulTerminated };
    struct Row {
        const char* name;
        Form form;
        std::size_t inAt;   // where the text lies in the memory
        std::size_t outAt;  // where the output starts in the same memory
    };
    const Row rows[] = {
        {"range, output = input", PointerRange, 0, 0},
        {"range, output one ahead", PointerRange, 0, 1},
        {"range, output behind", PointerRange, 4, 0},
        {"string iterators, output = input", StringIterators, 0, 0},
        {"NUL-terminated, output = input", NulTerminated, 0, 0},
        {"NUL-terminated, output one ahead", NulTerminated, 0, 1},
    };
    const std::string text = "uTWFuTWFu";
    constexpr unsigned long room = 12;
    struct Outcome {
        unsigned long written = 0;
        unsigned long consumed = 0;
        std::string bytes;  // up to the NUL written
        int count = 0;
        int ok = 0;
    };
    // Decodes the text at memory[inAt] into out, with "TWF" carried.
    auto decode = [&](const Row& row, std::string& memory, char* out) {
        Base64Stream state;
        char scratch[4];
        const char head[] = "TWF";
        decodeBase64Stream(state, head, head + 3, scratch, scratch + sizeof scratch, nullptr);
        Outcome o;
        const char* in = memory.data() + row.inAt;
        switch (row.form) {
        case PointerRange:
            o.written = decodeBase64Stream(state, in, in + text.size(), out, out + room, &o.consumed);
            break;
        case StringIterators: {
            const std::string& m = memory;
            o.written = decodeBase64Stream(state, m.begin() + row.inAt, m.begin() + row.inAt + text.size(), out,
                                           out + room, &o.consumed);
            break;
        }
        case NulTerminated:
            o.written = decodeBase64Stream(&state, in, out, room, &o.consumed);
            break;
        }
        o.bytes = out;
        o.count = state.count;
        o.ok = state.ok;
        return o;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string memory(room + 8, '\0');
        memory.replace(row.inAt, text.size(), text);
        std::string separateMemory = memory;
        char separate[room] = {};
        const Outcome expected = decode(row, separateMemory, separate);
        ASSERT_EQ("ManManMan", expected.bytes);

        const Outcome got = decode(row, memory, &memory[row.outAt]);
        EXPECT_EQ(expected.bytes, got.bytes);
        EXPECT_EQ(expected.written, got.written);
        EXPECT_EQ(expected.consumed, got.consumed);
        EXPECT_EQ(expected.count, got.count);
        EXPECT_EQ(expected.ok, got.ok);
    }
}

// One string as both input and output gives what separate strings give.
TEST(Base64, OneStringAsInputAndOutput)
{
    const std::string decodeInputs[] = {"TWFuTWFu", "TWE=", "TW*Fu", " T W F u ", "TWF", "", "TWFuTQ=="};
    for (const std::string& in : decodeInputs) {
        SCOPED_TRACE("decode " + in);
        std::string separate;
        const bool separateOk = decodeBase64(in, separate);
        std::string s = in;
        EXPECT_EQ(separateOk, decodeBase64(s, s));
        EXPECT_EQ(separate, s);
    }
    struct Encoding {
        std::string in;
        bool wrap;
        int lineLength;
        bool crlf;
    };
    const Encoding encodeInputs[] = {
        {"Man", false, 76, true},
        {"M", false, 79, true},
        {"Ma", true, 4, false},
        {std::string(58, 'x'), true, 76, true},
        {"", false, 76, true},
    };
    for (const Encoding& e : encodeInputs) {
        SCOPED_TRACE("encode " + e.in);
        std::string separate;
        encodeBase64(e.in, separate, e.wrap, e.lineLength, e.crlf);
        std::string t = e.in;
        EXPECT_TRUE(encodeBase64(t, t, e.wrap, e.lineLength, e.crlf));
        EXPECT_EQ(separate, t);
    }
}
