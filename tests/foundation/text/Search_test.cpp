#include "foundation/text/Search.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace zelvo::utils;

TEST(SearchTest, RetargetTables)
{
    struct Case {
        const char* pattern;
        std::vector<int> table;
    } cases[] = {
        {"", {-1}},
        {"a", {-1, 0}},
        {"abab", {-1, 0, 0, 1, 2}},
        {"AbaB", {-1, 0, 0, 1, 2}}, // case-insensitive
        {"aaa", {-1, 0, 1, 2}},
        {"abcabd", {-1, 0, 0, 0, 1, 2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        int* t = kmp_compute_retarget(c.pattern);
        unsigned long* u = kmp_compute_retarget_x64(c.pattern);
        ASSERT_NE(nullptr, t);
        ASSERT_NE(nullptr, u);
        for (size_t i = 0; i < c.table.size(); ++i) {
            EXPECT_EQ(c.table[i], t[i]) << i;
            EXPECT_EQ(c.table[i] < 0 ? ~0UL : static_cast<unsigned long>(c.table[i]), u[i]) << i;
        }
        kmp_free_retarget(t);
        kmp_free_retarget_x64(u);
    }
}

TEST(SearchTest, CaseInsensitiveSearch)
{
    struct Case {
        const char* text;
        const char* pattern;
        unsigned long maxLen;
        long position; // -1: not found
    } cases[] = {
        {"X-Header: 1\r\ncontent-type: text/plain", "Content-Type", 0, 13},
        {"aaab", "aab", 0, 1},
        {"abcabcabd", "ABCABD", 0, 3},
        {"abc", "abcd", 0, -1},
        {"", "a", 0, -1},
        {"abc", "", 0, 0},
        {"hello world", "WORLD", 11, 6},
        {"hello world", "WORLD", 10, -1}, // the limit cuts the occurrence
        {"hello world", "hello", 5, 0},
        {"a@b", "A`B", 0, -1},            // '@' and '`' are not letters
        {"\xC4x", "\xE4X", 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.pattern + " / " + std::to_string(c.maxLen));
        const char* found = strinstr(c.text, c.pattern, c.maxLen);
        if (c.position < 0) {
            EXPECT_EQ(nullptr, found);
        } else {
            EXPECT_EQ(c.text + c.position, found);
        }
        if (c.maxLen == 0) {
            EXPECT_EQ(found, stristr(c.text, c.pattern));
        }
        int* t = kmp_compute_retarget(c.pattern);
        EXPECT_EQ(found, kmp_match(c.text, c.pattern, static_cast<int>(c.maxLen), t));
        kmp_free_retarget(t);
    }
}

TEST(SearchTest, PrefixTests)
{
    struct Case {
        const char* s;
        const char* prefix;
        int begin;      // strbeginstr
        int ibeginSign; // sign of stribeginstr; -2: exactly -1
    } cases[] = {
        {"Content-Type", "Content", 0, 0},
        {"content-type", "Content", 'c' - 'C', 0},
        {"ab", "abc", -1, -2},
        {"abc", "", 0, 0},
        {"\xff", "a", 0xff - 'a', 1},
        {"abd", "ABC", 'a' - 'A', 1},
        {"abb", "ABC", 'a' - 'A', -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.s) + " / " + c.prefix);
        EXPECT_EQ(c.begin, strbeginstr(c.s, c.prefix));
        const int r = stribeginstr(c.s, c.prefix);
        if (c.ibeginSign == -2)
            EXPECT_EQ(-1, r);
        else
            EXPECT_EQ(c.ibeginSign, (r > 0) - (r < 0));
    }
    EXPECT_EQ(INT_MAX, stribeginstr(nullptr, "a"));
    EXPECT_EQ(INT_MAX, stribeginstr("a", nullptr));
}
