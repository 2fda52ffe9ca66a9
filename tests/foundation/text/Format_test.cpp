#include "foundation/text/Format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace zelvo::utils;

namespace {

// Calls vsnprintfx through a variadic frame, as the log does.
int callV(char* s, unsigned long maxlen, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsnprintfx(s, maxlen, format, args);
    va_end(args);
    return n;
}

// Format strings built at run time, so the compiler cannot see them.
const char* runtime(const char* f) { return f; }

} // namespace

TEST(FormatTest, VsnprintfxCutsAtMaxlenMinusOne)
{
    struct Case {
        unsigned long maxlen;
        const char* text;
        int result;
        const char* stored;
    } cases[] = {
        {10, "123456789", 9, "123456789"},               // exact fit
        {10, "12345678901234567890", 9, "123456789"},    // cut
        {10, "", 0, ""},
        {2, "abc", 1, "a"},
        {1, "abc", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.maxlen) + " " + c.text);
        char buf[32];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(c.result, callV(buf, c.maxlen, "%s", c.text));
        EXPECT_STREQ(c.stored, buf);
        // Nothing beyond maxlen is touched.
        for (unsigned long i = c.maxlen; i < sizeof buf; ++i)
            ASSERT_EQ('X', buf[i]) << i;
    }
}

TEST(FormatTest, SnprintfxWithoutRoomWritesNothing)
{
    EXPECT_EQ(0, snprintfx(nullptr, 10, "%d", 42));
    char buf[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(0, snprintfx(buf, 0, "%d", 42));
    EXPECT_EQ('X', buf[0]);
    EXPECT_EQ(0, snprintfx(buf, 1, "%d", 42));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ('X', buf[1]);
    EXPECT_EQ(2, snprintfx(buf, sizeof buf, "%d", 42));
    EXPECT_STREQ("42", buf);
}

TEST(FormatTest, FormattingErrorLeavesAnEmptyText)
{
    // An invalid wide character cannot be converted: vsnprintf fails.
    const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(0, snprintfx(buf, sizeof buf, runtime("%ls"), bad));
    EXPECT_STREQ("", buf);
}

TEST(FormatTest, SnprintfaddAppendsWithinTheBuffer)
{
    struct Case {
        const char* before;
        const char* add;
        int result;
        const char* after;
    } cases[] = {
        {"abc", "defg", 7, "abcdefg"},
        {"", "xyz", 3, "xyz"},
        {"0123456789abcde", "zz", 15, "0123456789abcde"}, // already full
        {"0123456789ab", "wxyz", 15, "0123456789abwxy"},  // cut
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.before) + "+" + c.add);
        char buf[20];
        std::memset(buf, 'X', sizeof buf);
        std::strcpy(buf, c.before);
        EXPECT_EQ(c.result, snprintfadd(buf, 16, "%s", c.add));
        EXPECT_STREQ(c.after, buf);
        for (int i = 16; i < 20; ++i)
            ASSERT_EQ('X', buf[i]);
    }
}

TEST(FormatTest, SnprintfaddOnEdgeBuffers)
{
    EXPECT_EQ(0, snprintfadd(nullptr, 16, "%s", "a"));
    char one[2] = {'q', 'X'};
    EXPECT_EQ(0, snprintfadd(one, 1, "%s", "a"));
    EXPECT_EQ('\0', one[0]);
    EXPECT_EQ('X', one[1]);

    // No terminating NUL inside the buffer: it is not read beyond its size.
    char full[9];
    std::memset(full, 'a', 8);
    full[8] = 'X';
    EXPECT_EQ(7, snprintfadd(full, 8, "%s", "b"));
    EXPECT_STREQ("aaaaaaa", full);
    EXPECT_EQ('X', full[8]);
}

TEST(FormatTest, SprintfAppendsTextsOfAnyLength)
{
    std::string out = "head:";
    sprintf(out, "%d-%s", 7, "x");
    EXPECT_EQ("head:7-x", out);

    const std::string big(10000, 'b');
    std::string grown;
    sprintf(grown, "%s|", big.c_str());
    sprintf(grown, "%s|", big.c_str());
    EXPECT_EQ(big + "|" + big + "|", grown);

    std::string exact;
    sprintf(exact, "%s", std::string(4096, 'e').c_str()); // one more than fits the first buffer
    EXPECT_EQ(std::string(4096, 'e'), exact);
}

TEST(FormatTest, SprintfAppendsNothingForAFormatThatCannotBeRendered)
{
    const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};
    std::string out = "keep";
    sprintf(out, runtime("%ls"), bad);
    EXPECT_EQ("keep", out);
}

TEST(FormatTest, StrncpysAlwaysTerminatesWithinN)
{
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    strncpys(buf, "abcdef", 4);
    EXPECT_STREQ("abc", buf);
    EXPECT_EQ('X', buf[4]);

    std::memset(buf, 'X', sizeof buf);
    strncpys(buf, "abcdef", 0);
    EXPECT_EQ('X', buf[0]);

    std::memset(buf, 'X', sizeof buf);
    strncpys(buf, "ab", 6);
    EXPECT_STREQ("ab", buf);
    for (int i = 2; i < 6; ++i)
        EXPECT_EQ('\0', buf[i]); // padded like strncpy
    EXPECT_EQ('X', buf[6]);
}
