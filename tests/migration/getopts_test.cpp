#include "migration/getopts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/migration/ArgvForTests.h"

using argtest::Argv;
using argtest::join;

namespace {

const char* const toolTable[] = {"",        "-target-user=", "-target-pass=", "-target-host=",
                                 "-source-path=", "-source-port=", "-quiet", "-help", "-debug",
                                 nullptr};

struct Step {
    int result;
    const char* arg; // expected optarg; null: none
};

// Resets, then calls getopts until -1 (or the expected steps run out).
std::vector<Step> run(Argv& a, const char* const* table, size_t maxCalls = 20)
{
    cmdline::getopts(0, nullptr, nullptr);
    cmdline::opterr = 0;
    std::vector<Step> steps;
    for (size_t i = 0; i < maxCalls; ++i) {
        const int r = cmdline::getopts(a.argc(), a.argv(), table);
        steps.push_back({r, cmdline::optarg});
        if (r == cmdline::GETOPTS_END || r == cmdline::GETOPTS_NO_SHORT)
            break;
    }
    return steps;
}

std::string describe(const std::vector<Step>& steps)
{
    std::string s;
    for (const Step& st : steps) {
        s += std::to_string(st.result);
        if (st.arg)
            s += std::string("(") + st.arg + ")";
        s += " ";
    }
    return s;
}

// Captures what is written to the standard error descriptor.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        file = std::tmpfile();
        saved = dup(2);
        dup2(fileno(file), 2);
    }
    std::string finish()
    {
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        std::string text;
        std::rewind(file);
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
            text.append(buf, n);
        std::fclose(file);
        return text;
    }

private:
    std::FILE* file;
    int saved;
};

} // namespace

TEST(GetoptsTest, ToolTableResults)
{
    struct Case {
        std::vector<const char*> words;
        std::string steps;
    } cases[] = {
        {{"p", "--target-user=admin"}, "1(admin) -1 "},
        {{"p", "--target-user", "admin"}, "1(admin) -1 "},
        {{"p", "--q"}, "6 -1 "},
        {{"p", "--target-u", "x"}, "1(x) -1 "},
        {{"p", "--target-h=h"}, "3(h) -1 "},
        {{"p", "--d", "--h"}, "8 7 -1 "},
        {{"p", "--t"}, "-3 -1 "},
        {{"p", "--source-p=1"}, "-3 -1 "},
        {{"p", "--quiet=1"}, "-5 -1 "},
        {{"p", "--target-user", "-x"}, "-6 -4 -1 "},      // -x is then parsed as a word of its own
        {{"p", "--target-user", "+x"}, "-6 -4 -1 "},
        {{"p", "--target-user", "-"}, "1(-) -1 "},        // a lone dash is a value
        {{"p", "--target-user"}, "-6 -1 "},
        {{"p", "--target-user="}, "1() -1 "},             // empty value after "="
        {{"p", "-quiet"}, "-4 -4 -4 -4 -4 -1 "},           // each letter of "quiet"
        {{"p", "--nosuch"}, "-4 -4 -4 -4 -4 -4 -4 -1 "},  // "-nosuch", letter by letter
        {{"p", "-="}, "-4 -1 "},
        {{"p", "--=x"}, "-4 -1 "},
        {{"p", "+-quiet"}, "6 -1 "},
        {{"p", "--", "--quiet"}, "-1 "},
        {{"p", "stray", "--quiet", "-", "--debug"}, "6 8 -1 "},
        {{"p"}, "-1 "},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(join(c.words));
        Argv a(c.words);
        EXPECT_EQ(c.steps, describe(run(a, toolTable)));
    }
}

TEST(GetoptsTest, ValueAfterEqualsPointsIntoTheWordAndFlagWordIsCut)
{
    Argv a({"p", "--target-user=admin", "--quiet=1"});
    cmdline::getopts(0, nullptr, nullptr);
    cmdline::opterr = 0;
    ASSERT_EQ(1, cmdline::getopts(a.argc(), a.argv(), toolTable));
    EXPECT_EQ(a.argv()[1] + std::strlen("--target-user="), cmdline::optarg);
    EXPECT_EQ(1, cmdline::optopt);
    EXPECT_EQ(cmdline::GETOPTS_HAS_VALUE, cmdline::getopts(a.argc(), a.argv(), toolTable));
    EXPECT_EQ("--quiet", a.word(2));
    EXPECT_EQ(2, cmdline::optopt);
    EXPECT_EQ(3, cmdline::optind);
}

TEST(GetoptsTest, NonOptionWordsMoveBehindTheOptionsInOrder)
{
    Argv a({"p", "one", "--quiet", "two", "--debug", "three", "--", "--help", "after"});
    const std::vector<Step> steps = run(a, toolTable);
    EXPECT_EQ("6 8 -1 ", describe(steps));
    EXPECT_EQ(3, cmdline::optind);
    EXPECT_EQ("--quiet", a.word(1));
    EXPECT_EQ("--debug", a.word(2));
    EXPECT_EQ("one", a.word(3));
    EXPECT_EQ("two", a.word(4));
    EXPECT_EQ("three", a.word(5));
    EXPECT_EQ("--", a.word(6));
    EXPECT_EQ("--help", a.word(7));
}

TEST(GetoptsTest, ExactNameBeatsALongerNameInEitherOrder)
{
    const char* const shortFirst[] = {"", "-ab", "-abc", nullptr};
    const char* const longFirst[] = {"", "-abc=", "-ab?", nullptr};
    struct Case {
        const char* const* table;
        const char* word;
        std::string steps;
    } cases[] = {
        {shortFirst, "--ab", "1 -1 "},
        {shortFirst, "--abc", "2 -1 "},
        {shortFirst, "--a", "-3 -1 "},
        {longFirst, "--ab", "2 -1 "},     // optional value absent
        {longFirst, "--ab=v", "2(v) -1 "},
        {longFirst, "--abc", "-6 -1 "},
        {longFirst, "--a", "-3 -1 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        Argv a({"p", c.word});
        EXPECT_EQ(c.steps, describe(run(a, c.table)));
    }
}

TEST(GetoptsTest, CompactGroupsOfLetters)
{
    // x: flag (entry 1), v: required value (entry 2), o: optional value (entry 3)
    const char* const table[] = {"xvo", "-xflag", "-value=", "-opt?", nullptr};
    struct Case {
        std::vector<const char*> words;
        std::string steps;
    } cases[] = {
        {{"p", "-x"}, "1 -1 "},
        {{"p", "-xx"}, "1 1 -1 "},
        {{"p", "-xv", "val"}, "1 2(val) -1 "},
        {{"p", "-xv=val"}, "1 2(val) -1 "},
        {{"p", "-vx"}, "-6 1 -1 "},
        {{"p", "-ox"}, "3 1 -1 "},
        {{"p", "-xq"}, "1 -4 -1 "},
        {{"p", "-xx=1"}, "1 -5 -1 "},
        {{"p", "-v"}, "-6 -1 "},
        {{"p", "-v", "w"}, "2(w) -1 "},
        {{"p", "--value", "w"}, "2(w) -1 "},
        {{"p", "+x"}, "1 -1 "},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(join(c.words));
        Argv a(c.words);
        EXPECT_EQ(c.steps, describe(run(a, table)));
    }
}

TEST(GetoptsTest, MissingShortListAndResetCalls)
{
    const char* const broken[] = {nullptr};
    Argv a({"p", "--quiet"});
    cmdline::getopts(0, nullptr, nullptr);
    cmdline::opterr = 0;
    EXPECT_EQ(cmdline::GETOPTS_NO_SHORT, cmdline::getopts(a.argc(), a.argv(), broken));
    EXPECT_EQ(cmdline::GETOPTS_NO_SHORT, cmdline::getopts(a.argc(), a.argv(), broken));

    EXPECT_EQ(cmdline::GETOPTS_RESET, cmdline::getopts(a.argc(), a.argv(), nullptr));
    EXPECT_EQ(6, cmdline::getopts(a.argc(), a.argv(), toolTable));
    EXPECT_EQ(cmdline::GETOPTS_END, cmdline::getopts(a.argc(), a.argv(), toolTable));
    EXPECT_EQ(cmdline::GETOPTS_END, cmdline::getopts(a.argc(), a.argv(), toolTable));
    EXPECT_EQ(cmdline::GETOPTS_RESET, cmdline::getopts(0, nullptr, toolTable));
    EXPECT_EQ(1, cmdline::optind);
    EXPECT_EQ(1, cmdline::optopt);
    EXPECT_EQ(nullptr, cmdline::optarg);
}

TEST(GetoptsTest, ComplaintsGoToStandardErrorOnlyWhenAsked)
{
    struct Case {
        std::vector<const char*> words;
        std::string message;
    } cases[] = {
        {{"prog", "--t"}, "prog: ambiguous option '--t'\n"},
        {{"prog", "--quiet=yes"}, "prog: illegal argument 'yes' for option '--quiet'\n"},
        {{"prog", "--target-user"}, "prog: option '--target-user' requires an argument\n"},
        {{"prog", "-q"}, "prog: illegal option '-q'\n"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.message);
        for (int err : {1, 0}) {
            Argv a(c.words);
            cmdline::getopts(0, nullptr, nullptr);
            cmdline::opterr = err;
            StderrCapture capture;
            const int r = cmdline::getopts(a.argc(), a.argv(), toolTable);
            const std::string text = capture.finish();
            EXPECT_LT(r, 0);
            EXPECT_EQ(err ? c.message : "", text);
        }
    }
    cmdline::opterr = 0;
}
