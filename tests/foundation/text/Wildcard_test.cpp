#include "foundation/text/Wildcard.h"

#include <gtest/gtest.h>

#include <fnmatch.h>

#include <string>

using namespace zelvo::utils;

namespace {

int match(const char* pattern, const char* name, int flags)
{
    return fnmatch(reinterpret_cast<const unsigned char*>(pattern),
                   reinterpret_cast<const unsigned char*>(name), flags);
}

constexpr int kEsc = WildcardNoEscape, kPath = WildcardPathname, kPer = WildcardPeriod,
              kFold = WildcardCaseFold;

struct Case {
    const char* pattern;
    const char* name;
    int flags;
    bool matches;
};

template <std::size_t N>
void checkTable(const Case (&cases)[N])
{
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name + " flags " + std::to_string(c.flags));
        EXPECT_EQ(c.matches ? 0 : 1, match(c.pattern, c.name, c.flags));
    }
}

} // namespace

TEST(WildcardTest, FlagNumbers)
{
    EXPECT_EQ(1, kEsc);
    EXPECT_EQ(2, kPath);
    EXPECT_EQ(4, kPer);
    EXPECT_EQ(8, kFold);
}

TEST(WildcardTest, FnmatchTable)
{
    const Case cases[] = {
        {"", "", 0, true},
        {"", "a", 0, false},
        {"abc", "abc", 0, true},
        {"abc", "abcd", 0, false},
        {"abc", "ab", 0, false},
        {"a?c", "abc", 0, true},
        {"a?c", "ac", 0, false},
        {"?", "", 0, false},
        {"*", "", 0, true},
        {"*", "anything", 0, true},
        {"a**c", "abbbc", 0, true},
        {"*.txt", "notes.txt", 0, true},
        {"*.txt", "notes.txt.bak", 0, false},
        {"*a*b", "xxaxxbxxb", 0, true},
        // Leading periods.
        {"*.txt", ".hidden.txt", 0, true},
        {"*.txt", ".hidden.txt", kPer, false},
        {"?hidden", ".hidden", kPer, false},
        {"[.]hidden", ".hidden", kPer, false},
        {".*", ".hidden", kPer, true},
        {"a*", "a.b", kPer, true},
        {"a/*", "a/.b", kPath | kPer, false},
        {"a/*", "a/.b", kPath, true},
        {"a/.*", "a/.b", kPath | kPer, true},
        // Bracket expressions.
        {"[!a-c]x", "dx", 0, true},
        {"[!a-c]x", "bx", 0, false},
        {"[^a-c]x", "bx", 0, false},
        {"[a-c]x", "bx", 0, true},
        {"[abc]", "d", 0, false},
        {"[]]", "]", 0, false},          // "[]" is an empty set, then a literal ']'
        {"[]]", "", 0, false},
        {"[!]x", "ax", 0, true},         // negated empty set: any character, then x
        {"[a-]", "-", 0, true},          // '-' before ']' is literal
        {"[a-]", "b", 0, false},
        {"[\\]]", "]", 0, true},
        {"[\\]]", "\\", kEsc, false},    // without escapes: "[\]" then ']'
        {"[\\]]", "\\]", kEsc, true},
        {"[abc", "a", 0, false},         // pattern ends inside the brackets
        {"[a-z]", "", 0, false},
        {"a[/]b", "a/b", 0, true},
        {"a[/]b", "a/b", kPath, false},
        {"[A-Z]x", "qx", kFold, true},
        {"[a-z]x", "QX", kFold, true},
        {"[a-z]", "Q", 0, false},
        // Case folding.
        {"A*", "abc", 0, false},
        {"A*", "abc", kFold, true},
        {"ABC", "abc", kFold, true},
        {"\xC4", "\xE4", kFold, false},   // only ASCII letters fold
        // Escapes.
        {"\\*", "*", 0, true},
        {"\\*", "x", 0, false},
        {"\\*", "\\x", kEsc, true},
        {"a\\", "a\\", 0, true},          // a '\' at the end is itself
        {"\\?", "a", 0, false},
        // Pathnames.
        {"a/*", "a/b", kPath, true},
        {"a/*", "a/b/c", kPath, false},
        {"*", "a/b", kPath, false},
        {"*", "a/b", 0, true},
        {"*/b", "a/b", kPath, true},
        {"*/b", "a/c/b", kPath, false},
        {"a?b", "a/b", kPath, false},
        {"a*b", "a/b", kPath, false},
        {"a*b", "a/b", 0, true},
        // A later star gives way to an earlier one only within the name's
        // '/'-separated part it is in.
        {"*a*b", "xa/b", kPath, false},
        {"*a/*b", "xaa/yb", kPath, true},
        {"*a/*b", "xa/y/b", kPath, false},
        {"*a*", "xab/a", kPath, false},
        {"a*b*", "axb/c", kPath, false},
        {"a*b*", "axbyb", kPath, true},
        {"*/*", "a/b", kPath, true},
        {"*/*", "a/b/c", kPath, false},
        {"a*/b*c", "axx/bxc", kPath, true},
        {"*x*/b", "axyx/b", kPath, true},
        {"*x*/b", "axy/x/b", kPath, false},
        // After a '*' the rest of the pattern is matched without the period
        // rule; "*/" alone keeps it.
        {"*a/?b", "xa/.b", kPath | kPer, true},
        {"*/?b", "xa/.b", kPath | kPer, false},
        // Backtracking to the last star.
        {"*a*a*b", "aaaab", 0, true},
        {"*a*a*b", "aaaa", 0, false},
        {"a*b*c", "abbbbc", 0, true},
        {"a*b*c", "abcbcb", 0, false},
        {"*ab*abc", "abababxabc", 0, true},
        {"*?", "", 0, false},
        {"*?*?", "a", 0, false},
        {"*?*?", "ab", 0, true},
        {"*[ab]c", "xxbc", 0, true},
        {"*[ab]c", "xxbbd", 0, false},
        {"*\\*x", "a*x", 0, true},
        {"*X*Y", "axbycy", kFold, true},
    };
    checkTable(cases);
}

// With case folding a range compares the folded character with its folded
// ends, and only so: glibc's fnmatch with FNM_CASEFOLD in the C locale.
TEST(WildcardTest, CaseFoldedRangesCompareFolded)
{
    const Case cases[] = {
        {"[Z-a]", "_", kFold, false},   // the folded range z-a is empty
        {"[Z-a]", "^", kFold, false},
        {"[Z-a]", "_", 0, true},
        {"[?-\\\\]", "A", kFold, false}, // 'A' folds to 'a', beyond '\'
        {"[?-\\\\]", "a", kFold, false},
        {"[?-\\\\]", "@", kFold, true},
        {"[?-\\]", "A", kFold | kEsc, false},
        {"[?-\\]", "a", kFold | kEsc, false},
        {"[a-Z]", "Q", kFold, true},     // a-z once folded
        {"[A-z]", "_", kFold, false},
    };
    checkTable(cases);

    const char* const ranges[] = {"[Z-a]", "[?-\\\\]", "[?-\\]", "[A-z]", "[a-Z]", "[@-[]", "[0-Z]", "[Y-b]",
                                  "[^-f]", "[!Z-a]", "[a-\\\\]", "[\\\\-a]", "[A-_]"};
    for (const char* pattern : ranges) {
        for (int noEscape = 0; noEscape < 2; ++noEscape) {
            for (int c = 0x20; c < 0x7f; ++c) {
                const char name[2] = {static_cast<char>(c), '\0'};
                SCOPED_TRACE(std::string(pattern) + " ~ " + name + (noEscape ? " without escapes" : ""));
                const int glibc =
                    ::fnmatch(pattern, name, FNM_CASEFOLD | (noEscape ? FNM_NOESCAPE : 0)) == 0 ? 0 : 1;
                EXPECT_EQ(glibc, match(pattern, name, kFold | (noEscape ? kEsc : 0)));
            }
        }
    }
}

TEST(WildcardTest, ManyStarsAgainstALongNameFinish)
{
    // Trying every split of the name among the stars takes practically
    // forever here (ten stars against forty characters); backtracking only to
    // the last star finishes long before CTest's default time-out.
    struct Case {
        const char* pattern;
        std::string name;
        int flags;
        bool matches;
    } cases[] = {
        {"*a*a*a*a*a*a*a*a*b", std::string(28, 'a'), 0, false},
        {"*a*a*a*a*a*a*a*a*a*a*b", std::string(40, 'a'), 0, false},
        {"*a*a*a*a*a*a*a*a*a*a*b", std::string(40, 'a') + "b", 0, true},
        {"*a*a*a*a*a*a*a*a*a*a*b", std::string(40, 'a'), kPath | kPer | kFold, false},
        {"*a*a*a*a*a*a*a*a*a*a*/b", std::string(40, 'a') + "/b", kPath, true},
        {"*?*?*?*?*?*?*?*?*?*?b", std::string(40, 'a'), 0, false},
        {"*[a]*[a]*[a]*[a]*[a]*[a]*[a]*[a]*[a]*[a]*b", std::string(40, 'a'), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " flags " + std::to_string(c.flags));
        EXPECT_EQ(c.matches ? 0 : 1, match(c.pattern, c.name.c_str(), c.flags));
    }
}

TEST(WildcardTest, WideCharacters)
{
    EXPECT_EQ(0, fnmatch<wchar_t>(L"*.TXT", L"notes.txt", kFold));
    EXPECT_EQ(1, fnmatch<wchar_t>(L"*.TXT", L"notes.txt", 0));
    EXPECT_EQ(0, fnmatch<wchar_t>(L"\u00e9?", L"\u00e9t", 0));
    EXPECT_EQ(1, fnmatch<wchar_t>(L"\u00c9", L"\u00e9", kFold)); // beyond ASCII: exact
    EXPECT_EQ(0, fnmatch<wchar_t>(L"[\u0100-\u0200]", L"\u0150", 0));
    EXPECT_TRUE(fileNameMatch(std::wstring(L"a*"), std::wstring(L"ABC"), true));
    EXPECT_FALSE(fileNameMatch(L"a*", L"ABC", false));
}

TEST(WildcardTest, FileNameMatchHasNoEscapes)
{
    EXPECT_TRUE(fileNameMatch("dir\\*", "dir\\file", false));
    EXPECT_FALSE(fileNameMatch("dir\\*", "dir*", false));
    EXPECT_TRUE(fileNameMatch(std::string("*.LOG"), std::string("x.log"), true));
    EXPECT_FALSE(fileNameMatch(std::string("*.LOG"), std::string("x.log"), false));
    EXPECT_TRUE(fileNameMatch(".*", ".profile", false)); // no period rule
    EXPECT_TRUE(fileNameMatch("*", ".profile", false));
}

TEST(WildcardTest, WindowsStyleMatching)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool caseInsensitive;
        bool matches;
    } cases[] = {
        {"*.*", "README", false, true},
        {"*.*", "a.b", false, true},
        {"abc.*", "abc", false, true},
        {"abc.*", "abc.txt", false, true},
        {"abc.*", "abd", false, false},
        {"abc.", "abc", false, true},
        {"abc.", "abc.txt", false, false},
        {"ABC.", "abc", true, true},
        {"ABC.", "abc", false, false},
        {"", "", false, true},
        {"", "x", false, false},
        {"*", "", false, true},
        {"a*.", "a.b", false, false},  // the name has a dot: the "." is not dropped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
        EXPECT_EQ(c.matches, fileNameMatchWindows(c.pattern, c.name, c.caseInsensitive));
    }
}
