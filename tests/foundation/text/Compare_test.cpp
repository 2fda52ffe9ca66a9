#include "foundation/text/Compare.h"

#include <gtest/gtest.h>

#include <string>

using namespace zelvo::utils;

TEST(CompareTest, IEqualFoldsOnlyAsciiLetters)
{
    struct Case {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"select", "SELECT", true},
        {"SeLeCt", "sElEcT", true},
        {"", "", true},
        {"select", "selec", false},
        {"selec", "select", false},
        {"a", "", false},
        {"\xC4", "\xE4", false}, // Latin-1 A/a umlaut: not folded
        {"\xC4", "\xC4", true},
        {"[", "{", false},       // 0x5B and 0x7B differ by the case bit only
        {"@", "`", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a + "|" + c.b);
        EXPECT_EQ(c.equal, iEqual(c.a, c.b, std::locale::classic()));
        EXPECT_EQ(c.equal, iEqual(c.a, c.b.c_str(), std::locale::classic()));
    }
}

TEST(CompareTest, IFindReturnsThePositionInTheHaystack)
{
    struct Case {
        std::string haystack, needle;
        long position; // -1: end()
    } cases[] = {
        {"* OK [CAPABILITY IMAP4rev1 LITERAL+] ready", "literal+", 27},
        {"abcabc", "CA", 2},
        {"abc", "abc", 0},
        {"abc", "abcd", -1},
        {"abc", "x", -1},
        {"abc", "", 0},
        {"", "", 0},
        {"", "a", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.haystack + "|" + c.needle);
        std::string::const_iterator it = iFind(c.haystack, c.needle, std::locale::classic());
        if (c.position < 0)
            EXPECT_TRUE(it == c.haystack.end());
        else
            EXPECT_EQ(c.position, it - c.haystack.begin());
    }
}

TEST(CompareTest, TrimRightRemovesTrailingCharactersOfTheSet)
{
    struct Case {
        std::string in;
        const char* set;
        std::string out;
    } cases[] = {
        {"line \t\r\n", nullptr, "line"},
        {" lead stays", nullptr, " lead stays"},
        {"mid \t dle\v", nullptr, "mid \t dle\v"}, // vertical tab is not in the default set
        {" \r\n\t", nullptr, ""},
        {"", nullptr, ""},
        {"text  ", "", "text  "},
        {"abc;;,", ";,", "abc"},
        {";;", ";", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(c.out, trimRight(c.in, c.set));
    }
}
