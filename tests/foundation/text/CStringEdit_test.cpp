#include "foundation/text/CStringEdit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace zelvo::utils;

namespace {

// A buffer with guard bytes after size, to catch writes beyond it.
struct Buffer {
    // The initial text is cut to fit size.
    explicit Buffer(const char* text, size_t size = 64) : bytes(size + 8, 'G'), size(size)
    {
        if (size == 0)
            return;
        const size_t n = std::min(std::strlen(text), size - 1);
        std::memcpy(bytes.data(), text, n);
        bytes[n] = '\0';
    }
    char* data() { return bytes.data(); }
    bool guardsIntact() const
    {
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != 'G')
                return false;
        return true;
    }
    std::vector<char> bytes;
    size_t size;
};

} // namespace

TEST(CStringEditTest, Strreplchr)
{
    char s[] = "a.b.c";
    EXPECT_EQ(2, strreplchr(s, '.', '/'));
    EXPECT_STREQ("a/b/c", s);
    EXPECT_EQ(0, strreplchr(s, 'x', 'y'));
    EXPECT_EQ(0, strreplchr(s, '\0', 'y'));
    EXPECT_STREQ("a/b/c", s);
}

TEST(CStringEditTest, ExtractBetweenDelimiters)
{
    struct Case {
        const char* s;
        unsigned long dstSize;
        bool found;
        const char* text;
    } cases[] = {
        {"name <user@host> x", 64, true, "user@host"},
        {"<abc>", 5, true, "abc"},   // 3 characters fit dstSize - 2
        {"<abcd>", 5, false, ""},
        {"<>", 2, true, ""},
        {"<a>", 1, false, ""},
        {"no open>", 64, false, ""},
        {"<no close", 64, false, ""},
        {"a>b<c>d", 64, true, "c"},  // the close must follow the open
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.s) + " size " + std::to_string(c.dstSize));
        Buffer dst("junk", c.dstSize);
        char* r = strextr(dst.data(), c.s, c.dstSize, '<', '>');
        EXPECT_EQ(c.found ? dst.data() : nullptr, r);
        EXPECT_STREQ(c.text, dst.data());
        EXPECT_TRUE(dst.guardsIntact());

        Buffer dst2("junk", c.dstSize);
        EXPECT_EQ(c.found, strgetstr(c.s, '<', '>', dst2.data(), c.dstSize));
        EXPECT_STREQ(c.text, dst2.data());
        EXPECT_TRUE(dst2.guardsIntact());
    }
    char untouched[] = "keep";
    EXPECT_FALSE(strgetstr("<a>", '<', '>', untouched, 0));
    EXPECT_STREQ("keep", untouched);
    EXPECT_EQ(nullptr, strextr(untouched, "<a>", 0, '<', '>'));
    EXPECT_STREQ("keep", untouched);
}

TEST(CStringEditTest, StripAndRemoveSpans)
{
    char a[] = "x [inner] y";
    EXPECT_TRUE(strstrip(a, '[', ']'));
    EXPECT_STREQ("inner", a);
    char b[] = "x [inner y";
    EXPECT_FALSE(strstrip(b, '[', ']'));
    EXPECT_STREQ("x [inner y", b);

    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a(b)c(d)e", "ace"},
        {"(all)", ""},
        {"a(b(c)d)e", "ad)e"},
        {"a(b", "a(b"},
        {"a)b(c)", "a)b"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::string s = c.in;
        strremovestr(&s[0], '(', ')');
        EXPECT_STREQ(c.out, s.c_str());
    }

    char d[] = "a-b_c d";
    strremovechr(d, "-_ ");
    EXPECT_STREQ("abcd", d);
}

TEST(CStringEditTest, Strreplstr)
{
    struct Case {
        const char* in;
        unsigned long size;
        const char* needle;
        const char* repl;
        bool result;
        const char* out;
    } cases[] = {
        {"a.b.c", 64, ".", "::", true, "a::b::c"},
        {"aaa", 64, "a", "aa", true, "aaaaaa"},   // no search inside the replacement
        {"abcabc", 64, "abc", "", true, ""},
        {"none", 64, "x", "y", true, "none"},
        {"a.b.c", 8, ".", "::", true, "a::b::c"}, // exactly fits with its NUL
        {"a.b.c", 7, ".", "::", false, "a::b.c"}, // the first replacement is kept
        {"abc", 64, "", "x", false, "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.in) + " size " + std::to_string(c.size));
        Buffer s(c.in, c.size);
        EXPECT_EQ(c.result, strreplstr(s.data(), c.size, c.needle, c.repl));
        EXPECT_STREQ(c.out, s.data());
        EXPECT_TRUE(s.guardsIntact());
    }
}

TEST(CStringEditTest, Strinsertstr)
{
    struct Case {
        const char* in;
        unsigned long size;
        const char* ins;
        unsigned long pos;
        bool result;
        const char* out;
    } cases[] = {
        {"hello", 64, " big", 5, true, "hello big"},
        {"world", 64, "hello ", 0, true, "hello world"},
        {"abef", 64, "cd", 2, true, "abcdef"},
        {"abef", 6, "cd", 2, true, "abcde"},     // the end is cut to fit
        {"abcd", 5, "XYZ", 1, true, "aXYZ"},
        {"ab", 4, "WXYZ", 1, true, "aWX"},       // longer than the room: cut too
        {"abc", 64, "x", 4, false, "abc"},       // pos beyond the text
        {"abc", 3, "x", 1, false, "abc"},        // size shorter than the text
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.in) + " + " + c.ins);
        Buffer s(c.in, std::max<unsigned long>(c.size, std::strlen(c.in) + 1));
        EXPECT_EQ(c.result, strinsertstr(s.data(), c.size, c.ins, c.pos));
        EXPECT_STREQ(c.out, s.data());
        EXPECT_TRUE(s.guardsIntact());
    }
}

TEST(CStringEditTest, LineEndsAndCase)
{
    struct Case {
        const char* in;
        const char* rmln;
        const char* crlf;
        int crlfResult;
    } cases[] = {
        {"line\r\n", "line", "line", 0},
        {"line\n", "line", "line", 0},
        {"line\r", "line", "line", 0},
        {"line\n\n", "line\n", "line", 0},
        {"line\n\r", "line\n", "line", 0},
        {"line \t", "line \t", "line", 0},
        {"", "", "", 0},
        {" \r\n", " ", "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::string a = c.in, b = c.in;
        strrmln(&a[0]);
        EXPECT_STREQ(c.rmln, a.c_str());
        EXPECT_EQ(c.crlfResult, strip_crlf(&b[0]));
        EXPECT_STREQ(c.crlf, b.c_str());
    }
    char s[] = "MiXeD \xC4 Case";
    strlwr(s);
    EXPECT_STREQ("mixed \xC4 case", s);
    char t[] = "ABC";
    z_strlwr(t);
    EXPECT_STREQ("abc", t);
}

TEST(CStringEditTest, Tokenizers)
{
    char text[] = "a,,b";
    char* cursor = text;
    char tok[8];
    std::vector<std::string> tokens;
    while (strEnum(&cursor, ",", tok, sizeof tok))
        tokens.push_back(tok);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), tokens);
    EXPECT_STREQ("", tok);

    char longText[] = "short,waytoolongtoken,x";
    cursor = longText;
    EXPECT_TRUE(strEnum(&cursor, ",", tok, sizeof tok));
    EXPECT_STREQ("short", tok);
    EXPECT_FALSE(strEnum(&cursor, ",", tok, sizeof tok));
    EXPECT_STREQ("", tok);
    EXPECT_EQ(',', *cursor); // moved past the long token
    EXPECT_TRUE(strEnum(&cursor, ",", tok, sizeof tok));
    EXPECT_STREQ("x", tok);

    char exact[] = "1234567 12345678";
    cursor = exact;
    EXPECT_TRUE(strEnum(&cursor, " ", tok, sizeof tok)); // 7 characters fit 8 bytes
    EXPECT_FALSE(strEnum(&cursor, " ", tok, sizeof tok));

    char quoted[] = "one,\"x,y\",z\"a b,c\"w, \"open,end";
    cursor = quoted;
    char qt[32];
    tokens.clear();
    while (strEnum2(&cursor, ", ", '"', '"', qt, sizeof qt))
        tokens.push_back(qt);
    EXPECT_EQ((std::vector<std::string>{"one", "\"x,y\"", "z\"a b,c\"w", "\"open,end"}), tokens);
    EXPECT_EQ('\0', *cursor);

    char brackets[] = "[a b] c";
    cursor = brackets;
    tokens.clear();
    while (strEnum2(&cursor, " ", '[', ']', qt, sizeof qt))
        tokens.push_back(qt);
    EXPECT_EQ((std::vector<std::string>{"[a b]", "c"}), tokens);

    char words[] = "en_US.UTF-8";
    char* save = nullptr;
    EXPECT_STREQ("en", z_strtok_r(words, "_.@", &save));
    EXPECT_STREQ("US", z_strtok_r(nullptr, ".@", &save));
}
