// Runs the built tool with command lines and checks what it prints and how
// it exits.
#include "migration/CommandArgs.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const std::string kTool = std::string(ZELVO_BINARY_DIR) + "/migration/4d2zev";
const std::string kBanner = "Zelvo 4D Migration Tool 6.7.3. (7892)\n";

struct Result {
    int status = -1; // exit status, or -1 when the tool did not exit normally
    std::string out, err;
};

// Reads both pipes to their end, then reaps the child by its pid. A tool
// still running after timeoutMs is killed (status -1).
Result runTool(const std::vector<std::string>& args, int timeoutMs = 120000)
{
    Result r;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> words{kTool};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, kTool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return r;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    bool killed = false;
    for (int waited = 0; open > 0;) {
        const int ready = poll(fds, 2, 100);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0) {
            waited += 100;
            if (waited >= timeoutMs && !killed) {
                kill(pid, SIGKILL);
                killed = true;
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && !killed)
        r.status = WEXITSTATUS(status);
    return r;
}

// The usage text, word for word: 17 lines and an empty one.
const std::string kUsage =
    "Usage: 4d2zev [--target-host HOST] --target-user USER\n"
    "              --target-pass PASSWORD [--source-host HOST] [--source-path PATH]\n"
    "              [--source-port PORT] --quiet --help\n"
    "Options:\n"
    "    --target-user USER      Username of administrative account on ZEV.\n"
    "                            This parameter is required.\n"
    "    --target-pass PASSWORD  Password of administrative account on ZEV.\n"
    "                            This parameter is required.\n"
    "    --target-host HOST      Name or IP address of target ZEV.\n"
    "                            Default value is 'localhost'.\n"
    "    --source-path PATH      Path in localhost filesystem where 4DWebSTAR\n"
    "                            is installed. Default value is\n"
    "                            '/Applications/4DWebSTAR/MailboxServer'\n"
    "    --source-port PORT      Imap server port of 4DWebSTAR server.\n"
    "                            Default value is 143.\n"
    "    --quiet                 Quiet mode.\n"
    "    --help                  Display this information.\n"
    "\n";
const std::string kMakerLine = "Copyright (c) Zelvo Software. All rights reserved.\n";

} // namespace

TEST(CommandLineTest, RejectedCommandLines)
{
    const std::string missingUser = "Required parameter 'target-user' is missing\n";
    const std::string missingPass = "Required parameter 'target-pass' is missing\n";
    struct Case {
        std::vector<std::string> args;
        std::string complaints; // printed after the banner, before the usage
    } cases[] = {
        {{}, ""},
        {{"--help"}, missingUser + missingPass},
        {{"--target-user"}, "Invalid option \n\n" + missingUser + missingPass},
        {{"--target-pass=p", "--target-user"}, "Invalid option \n\n" + missingUser},
        {{"--target-user=u", "--target-pass=p", "--source-host", "localhost"},
         "Invalid option --source-host\n\n"},
        {{"--t", "x", "--target-user=u", "--target-pass=p"}, "Invalid option --t\n\n"},
        {{"-quiet", "--target-user=u", "--target-pass=p"}, "Invalid option -quiet\n\n"},
        {{"--quiet=yes", "--target-user=u", "--target-pass=p"}, "Invalid option \n\n"},
        {{"--target-user", "-u", "--target-pass=p"}, "Invalid option -u\n\n" + missingUser},
        {{"--target-user=u", "--target-pass=p", "--=x"}, "Invalid option --\n\n"},
        {{"--target-user=u", "--target-pass=p", "-="}, "Invalid option -\n\n"},
        {{"--target-user=u"}, missingPass},
        {{"--target-pass=p", "--target-user="}, missingUser},
        {{"--target-user=u", "--target-pass=p", "--source-port=abc"},
         "Invalid value \"abc\" of option --source-port: a port is a whole number from 1 to 65535\n\n"},
        {{"--source-port", "0", "--target-user=u", "--target-pass=p"},
         "Invalid value \"0\" of option --source-port: a port is a whole number from 1 to 65535\n\n"},
        {{"--target-user=u", "--target-pass=p", "--source-port=99999999999"},
         "Invalid value \"99999999999\" of option --source-port: a port is a whole number from 1 to 65535\n\n"},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args)
            trace += a + " ";
        SCOPED_TRACE(trace);
        const Result r = runTool(c.args);
        EXPECT_EQ(kBanner + kMakerLine + c.complaints + kUsage, r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(255, r.status);
    }
}

TEST(CommandLineTest, AcceptedCommandLinesStartARun)
{
    // The source path does not exist, so a run ends at its first check,
    // before any connection is made.
    const std::string noSource = "--source-path=/nonexistent/4d2zev-command-line-test";
    const std::vector<std::vector<std::string>> cases = {
        {"--target-user=u", "--target-pass=p"},
        {"--target-user", "u", "--target-pass", "p"},
        {"--target-user=-u", "--target-pass=+p"},
        {"--help", "--target-user=u", "--target-pass=p"},
        {"stray", "--target-user=u", "more", "--", "--target-pass=p", "--q", "--d"},
        {"--target-h", "zev", "--target-u", "u", "--target-p", "p", "--source-port=1143"},
        {"--source-port", "65535", "--target-user=u", "--target-pass=p", "--source-path", "/x"},
    };
    for (std::vector<std::string> args : cases) {
        std::string trace;
        for (const std::string& a : args)
            trace += a + " ";
        SCOPED_TRACE(trace);
        args.push_back(noSource);
        const Result r = runTool(args);
        EXPECT_EQ(kBanner, r.out.substr(0, kBanner.size()));
        EXPECT_EQ(std::string::npos, r.out.find("Usage:"));
        EXPECT_EQ(std::string::npos, r.out.find("Invalid option"));
        EXPECT_EQ(std::string::npos, r.out.find("Required parameter"));
        EXPECT_NE(255, r.status);
        EXPECT_NE(-1, r.status);
    }
}

TEST(CommandLineTest, UsageHasSeventeenLinesAfterTheBanner)
{
    const Result r = runTool({});
    EXPECT_EQ(kBanner + kMakerLine + kUsage, r.out);
    std::ostringstream printed;
    printUsage(printed);
    EXPECT_EQ(kUsage, printed.str());
    EXPECT_EQ(255, r.status);
}

// A preference file that cannot be read (here a directory: it opens, and
// every read fails) is no empty installation: the configuration check fails
// with the parser's reason, before any connection is made.
TEST(CommandLineTest, PreferenceFileThatCannotBeReadFailsTheRun)
{
    for (const char* file : {"WSMailboxServer.prefs.xml", "acme/RecipientDB_Acme.prefs.xml",
                             "beta/RecipientDB_Beta.prefs.xml"}) {
        SCOPED_TRACE(file);
        testsupport::TempDir dir("zt-prefs");
        const std::string install = dir.file("install");
        const std::string path = install + "/" + file;
        ASSERT_EQ(0, testsupport::runShell("cp -r " +
                                           testsupport::shellQuote(testsupport::sourcePath("tests/migration/e2e/golden")) +
                                           " " + testsupport::shellQuote(install) + " && rm " +
                                           testsupport::shellQuote(path) + " && mkdir " + testsupport::shellQuote(path)));
        const Result r = runTool({"--target-user=u", "--target-pass=p", "--target-host=127.0.0.1", "--source-path",
                                  install});
        EXPECT_EQ(2, r.status);
        EXPECT_EQ(kBanner + kMakerLine + "Load 4D configuration ... Failed\n", r.out);
        EXPECT_EQ("ERROR: Parsing file " + path + " failed\nCannot read the document: Is a directory\n\n", r.err);
    }
}

// A preference file that is no file to read (a FIFO, a device, a socket, or
// a link to one) is refused at once with a line that names it and says what
// it is: the check fails (exit status 2) instead of waiting in the open or
// reading without end. Each run is bounded: one that hangs fails.
TEST(CommandLineTest, PreferenceFileThatIsNoFileIsRefusedAtOnce)
{
    struct Kind {
        const char* what;
        std::string shell; // makes $F
        std::string is;
    } kinds[] = {
        {"a FIFO", "mkfifo \"$F\"", "a FIFO"},
        {"a link to a FIFO", "mkfifo \"$F.fifo\" && ln -s \"$F.fifo\" \"$F\"", "a FIFO"},
        {"a link to /dev/zero", "ln -s /dev/zero \"$F\"", "a character device"},
        {"a socket",
         "python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' \"$F\"", "a socket"},
    };
    for (const char* file : {"WSMailboxServer.prefs.xml", "acme/RecipientDB_Acme.prefs.xml",
                             "beta/RecipientDB_Beta.prefs.xml"}) {
        for (const Kind& k : kinds) {
            SCOPED_TRACE(std::string(file) + " as " + k.what);
            testsupport::TempDir dir("zt-prefs");
            const std::string install = dir.file("install");
            const std::string path = install + "/" + file;
            ASSERT_EQ(0, testsupport::runShell(
                             "cp -r " + testsupport::shellQuote(testsupport::sourcePath("tests/migration/e2e/golden")) +
                             " " + testsupport::shellQuote(install) + " && F=" + testsupport::shellQuote(path) +
                             " && rm \"$F\" && " + k.shell));
            const Result r = runTool({"--target-user=u", "--target-pass=p", "--target-host=127.0.0.1",
                                      "--source-path", install},
                                     20000);
            EXPECT_EQ(2, r.status) << "(-1: still running after 20 s)\n" << r.out << r.err;
            EXPECT_EQ(kBanner + kMakerLine + "Load 4D configuration ... Failed\n", r.out);
            EXPECT_EQ("ERROR: Unable to open file " + path + ": it is " + k.is + ", not a regular file\n\n", r.err);
        }
    }
}
