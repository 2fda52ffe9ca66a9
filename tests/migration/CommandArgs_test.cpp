#include "migration/CommandArgs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/migration/ArgvForTests.h"

using argtest::Argv;
using argtest::join;

TEST(CommandArgsTest, DefaultsOfTheRecord)
{
    CommandArgs a;
    EXPECT_EQ("", a.targetUser);
    EXPECT_EQ("", a.targetPass);
    EXPECT_EQ("/Applications/4DWebSTAR/MailboxServer", a.sourcePath);
    EXPECT_EQ("localhost", a.sourceHost);
    EXPECT_EQ(143, a.sourcePort);
    EXPECT_EQ("localhost", a.targetHost);
    EXPECT_FALSE(a.quiet);
    EXPECT_FALSE(a.help);
    EXPECT_FALSE(a.debug);
}

TEST(CommandArgsTest, ReaderFillsTheRecord)
{
    struct Case {
        std::vector<const char*> words;
        bool valid;
        std::string invalid;
        std::string user, pass, host, path;
        int port;
        bool quiet, help, debug;
    } cases[] = {
        {{"4d2zev", "--target-user=admin", "--target-pass=pw"}, true, "", "admin", "pw", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--target-user", "admin", "--target-pass", "pw", "--target-host", "zev",
          "--source-path", "/src", "--source-port", "1143", "--quiet", "--help", "--debug"},
         true, "", "admin", "pw", "zev", "/src", 1143, true, true, true},
        {{"4d2zev", "--q", "--d", "--h", "--target-h=t"}, true, "", "", "", "t",
         "/Applications/4DWebSTAR/MailboxServer", 143, true, true, true},
        {{"4d2zev", "--target-user", "-dash"}, false, "-dash", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--target-user=-dash", "--target-pass=+plus"}, true, "", "-dash", "+plus",
         "localhost", "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--target-user=a", "--target-user=b"}, true, "", "b", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--source-port=2143", "--source-port", "65535"}, true, "", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 65535, false, false, false},
        {{"4d2zev", "--source-port=1", "--source-port=0143"}, true, "", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--t=x"}, false, "--t", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "-quiet"}, false, "-quiet", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--quiet=yes"}, false, "", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--source-host", "localhost", "--target-user=u"}, false, "--source-host", "u",
         "", "localhost", "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--bogus", "--t", "--quiet"}, false, "--t", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, true, false, false},
        {{"4d2zev", "stray", "--quiet", "--", "--debug", "more", "--", "--target-user=u"}, true,
         "", "u", "", "localhost", "/Applications/4DWebSTAR/MailboxServer", 143, true, false,
         true},
        {{"4d2zev", "-=", "--=x"}, false, "--", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
        {{"4d2zev", "--target-user"}, false, "", "", "", "localhost",
         "/Applications/4DWebSTAR/MailboxServer", 143, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(join(c.words));
        Argv a(c.words);
        CommandArgsReader reader(a.argc(), a.argv());
        CommandArgs args;
        EXPECT_TRUE(reader.get(args));
        EXPECT_EQ(c.valid, reader.isValid());
        EXPECT_EQ(c.invalid, reader.getInvalidOption());
        EXPECT_EQ(c.user, args.targetUser);
        EXPECT_EQ(c.pass, args.targetPass);
        EXPECT_EQ(c.host, args.targetHost);
        EXPECT_EQ(c.path, args.sourcePath);
        EXPECT_EQ("localhost", args.sourceHost);
        EXPECT_EQ(c.port, args.sourcePort);
        EXPECT_EQ(c.quiet, args.quiet);
        EXPECT_EQ(c.help, args.help);
        EXPECT_EQ(c.debug, args.debug);
    }
}

// A port that is not a whole number from 1 to 65535 rejects the command
// line, naming the option and the value as given; the port stays as it was.
TEST(CommandArgsTest, SourcePortOutsideOneTo65535IsRejected)
{
    struct Case {
        std::vector<const char*> words;
        std::string value;
    } cases[] = {
        {{"4d2zev", "--source-port=abc"}, "abc"},
        {{"4d2zev", "--source-port=0"}, "0"},
        {{"4d2zev", "--source-port", "0"}, "0"},
        {{"4d2zev", "--source-port=65536"}, "65536"},
        {{"4d2zev", "--source-port=99999999999"}, "99999999999"},
        {{"4d2zev", "--source-port=99999999999999999999"}, "99999999999999999999"},
        {{"4d2zev", "--source-port=4294967439"}, "4294967439"}, // 143 modulo 2^32
        {{"4d2zev", "--source-port=1234abc"}, "1234abc"},
        {{"4d2zev", "--source-port="}, ""},
        {{"4d2zev", "--source-port", ""}, ""},
        {{"4d2zev", "--source-port=-1"}, "-1"},
        {{"4d2zev", "--source-port=+143"}, "+143"},
        {{"4d2zev", "--source-port= 143"}, " 143"},
        {{"4d2zev", "--source-port=143 "}, "143 "},
        {{"4d2zev", "--source-po=0x8f"}, "0x8f"},
        {{"4d2zev", "--source-port=2143", "--source-port=0"}, "0"},
        // A signed number as the next word is the port meant, not an option.
        {{"4d2zev", "--source-port", "-1"}, "-1"},
        {{"4d2zev", "--source-port", "+143"}, "+143"},
        {{"4d2zev", "--source-po", "-0x8f", "--quiet"}, "-0x8f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(join(c.words));
        Argv a(c.words);
        CommandArgsReader reader(a.argc(), a.argv());
        CommandArgs args;
        reader.get(args);
        EXPECT_FALSE(reader.isValid());
        EXPECT_EQ("", reader.getInvalidOption());
        EXPECT_TRUE(reader.portRejected());
        EXPECT_EQ(c.value, reader.getInvalidPort());
        EXPECT_NE(0, args.sourcePort);
    }
}

TEST(CommandArgsTest, ReaderCanRunTwiceInOneProcess)
{
    Argv first({"4d2zev", "stray", "--quiet"});
    CommandArgsReader r1(first.argc(), first.argv());
    Argv second({"4d2zev", "--debug"});
    CommandArgsReader r2(second.argc(), second.argv());
    CommandArgs args;
    r2.get(args);
    EXPECT_TRUE(r2.isValid());
    EXPECT_TRUE(args.debug);
    EXPECT_FALSE(args.quiet);
}

TEST(CommandArgsTest, CheckWritesComplaintsAndUsage)
{
    std::ostringstream usage;
    printUsage(usage);

    struct Case {
        std::vector<const char*> words;
        bool ok;
        std::string before; // text before the usage; the usage follows when not ok
    } cases[] = {
        {{"4d2zev"}, false, ""},
        {{"4d2zev", "--help"}, false,
         "Required parameter 'target-user' is missing\n"
         "Required parameter 'target-pass' is missing\n"},
        {{"4d2zev", "--target-user"}, false,
         "Invalid option \n\n"
         "Required parameter 'target-user' is missing\n"
         "Required parameter 'target-pass' is missing\n"},
        {{"4d2zev", "--target-user=u", "--target-pass=p", "--source-host", "localhost"}, false,
         "Invalid option --source-host\n\n"},
        {{"4d2zev", "--target-user=u", "--target-pass=p", "--help"}, true, ""},
        {{"4d2zev", "--target-user=u", "--target-pass=p", "--source-port=1234abc"}, false,
         "Invalid value \"1234abc\" of option --source-port: a port is a whole number from 1 to 65535\n\n"},
        {{"4d2zev", "--source-port=", "--bogus", "--target-pass=p"}, false,
         "Invalid option --bogus\n\n"
         "Invalid value \"\" of option --source-port: a port is a whole number from 1 to 65535\n\n"
         "Required parameter 'target-user' is missing\n"},
        {{"4d2zev", "--target-user=u", "--target-pass=p", "--source-port", "-1"}, false,
         "Invalid value \"-1\" of option --source-port: a port is a whole number from 1 to 65535\n\n"},
        {{"4d2zev", "--target-user=u", "--target-pass=p", "--source-port"}, false,
         "Option --source-port needs a value: a port is a whole number from 1 to 65535\n\n"},
        // The next word names an option: it is parsed as one.
        {{"4d2zev", "--source-port", "--target-user=u", "--target-pass=p"}, false,
         "Option --source-port needs a value: a port is a whole number from 1 to 65535\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(join(c.words));
        Argv a(c.words);
        std::ostringstream out;
        CommandArgs args;
        EXPECT_EQ(c.ok, testCommandLineArguments(a.argc(), a.argv(), args, out));
        EXPECT_EQ(c.ok ? c.before : c.before + usage.str(), out.str());
    }
}

TEST(CommandArgsTest, UsageHasSeventeenLinesAndAnEmptyOne)
{
    std::ostringstream out;
    printUsage(out);
    const std::string text = out.str();
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(18u, lines.size());
    EXPECT_EQ("Usage: 4d2zev [--target-host HOST] --target-user USER", lines[0]);
    EXPECT_EQ("    --help                  Display this information.", lines[16]);
    EXPECT_EQ("", lines[17]);
    EXPECT_EQ('\n', text.back());
}
