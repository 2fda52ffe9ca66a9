#include "foundation/text/Numbers.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

using namespace zelvo::utils;

TEST(NumbersTest, Atoi64)
{
    struct Case {
        const char* text;
        long long value;
    } cases[] = {
        {" -42x", -42},
        {"abc", 0},
        {"", 0},
        {"\t\n+17", 17},
        {"--1", 0},
        {"9223372036854775807", LLONG_MAX},
        {"-9223372036854775808", LLONG_MIN},
        {"18446744073709551617", 1}, // wraps, no detection
        {"12 34", 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.value, atoi64(c.text));
    }
}

TEST(NumbersTest, I64toaInEveryRadix)
{
    struct Case {
        long long v;
        int radix;
        const char* text;
    } cases[] = {
        {255, 16, "ff"},
        {0, 10, "0"},
        {-1, 16, "ffffffffffffffff"},
        {-1, 2, ""}, // 64 ones, checked below
        {35, 36, "z"},
        {36, 36, "10"},
        {5, 2, "101"},
        {LLONG_MIN, 10, "9223372036854775808"},
        {123, 1, ""},  // radix refused
        {123, 37, ""},
        {123, 0, ""},
    };
    const std::string ones(64, '1');
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.v) + " radix " + std::to_string(c.radix));
        char buf[80];
        EXPECT_EQ(buf, i64toa(c.v, buf, c.radix));
        EXPECT_EQ(c.radix == 2 && c.v == -1 ? ones : std::string(c.text), buf);
    }
}

TEST(NumbersTest, I64toanKeepsTheLowestDigits)
{
    struct Case {
        unsigned long long v;
        unsigned long size;
        unsigned radix;
        int result;
        const char* text;
    } cases[] = {
        {123456, 4, 10, 3, "456"},
        {123456, 7, 10, 6, "123456"},
        {123456, 100, 10, 6, "123456"},
        {255, 3, 16, 2, "ff"},
        {0, 2, 10, 1, "0"},
        {9, 1, 10, 0, ""},
        {9, 5, 40, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.v) + " size " + std::to_string(c.size));
        char buf[128];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(c.result, i64toan(c.v, buf, c.size, c.radix));
        EXPECT_STREQ(c.text, buf);
        if (c.size < sizeof buf) {
            EXPECT_EQ('X', buf[c.size]);
        }
    }
    char untouched = 'X';
    EXPECT_EQ(-1, i64toan(1, &untouched, 0, 10));
    EXPECT_EQ('X', untouched);
}

TEST(NumbersTest, SimpleStrtoul)
{
    struct Case {
        const char* text;
        unsigned base;
        unsigned long value;
        int consumed;
    } cases[] = {
        {"0x1A", 0, 26, 4},
        {"0X1a", 0, 26, 4},
        {"017", 0, 15, 3},
        {"19", 0, 19, 2},
        {"0", 0, 0, 1},
        {"0x", 0, 0, 1},    // no hex digit after "0x": octal 0, stops at x
        {"0xg", 0, 0, 1},
        {"089", 0, 0, 1},   // 8 is not an octal digit
        {"0x1A", 16, 0, 1}, // explicit base 16 does not skip "0x"
        {"ff", 16, 255, 2},
        {"FFz", 16, 255, 2},
        {"777", 8, 511, 3},
        {"12a", 10, 12, 2},
        {"101", 2, 5, 3},
        {"", 10, 0, 0},
        // Digits are '0'-'9' and 'a'-'f' in either case, whatever the base:
        // the end of the text and any other character stop every base.
        {"1012", 2, 5, 3},
        {"", 2, 0, 0},
        {"99a", 10, 99, 2},
        {"fF", 16, 255, 2},
        {"", 16, 0, 0},
        {"10", 17, 17, 2},
        {"fg", 17, 15, 1},
        {"", 17, 0, 0},
        {"1f", 20, 35, 2},
        {"ij", 20, 0, 0},
        {"Af", 36, 10 * 36 + 15, 2},
        {"z", 36, 0, 0},
        {"", 36, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " base " + std::to_string(c.base));
        // A heap copy of exactly the text and its NUL, so a read past the
        // end is caught.
        const std::size_t size = std::strlen(c.text) + 1;
        std::unique_ptr<char[]> text(new char[size]);
        std::memcpy(text.get(), c.text, size);
        char* end = nullptr;
        EXPECT_EQ(c.value, simple_strtoul(text.get(), &end, c.base));
        EXPECT_EQ(c.consumed, end - text.get());
        EXPECT_EQ(c.value, simple_strtoul(text.get(), nullptr, c.base));
    }
}

TEST(NumbersTest, ToOctal)
{
    EXPECT_EQ("0", toOctal(0));
    EXPECT_EQ("10", toOctal(8));
    EXPECT_EQ("644", toOctal(0644));
    EXPECT_EQ("37777777777", toOctal(0xffffffffu));
}
