// Runs the built tool with command lines and checks what it prints and how
// it exits.
#include "migration/CommandArgs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
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

// Reads both pipes to their end, then reaps the child by its pid.
Result runTool(const std::vector<std::string>& args)
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
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
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
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    return r;
}

std::string usage()
{
    std::ostringstream out;
    printUsage(out);
    return out.str();
}

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
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args)
            trace += a + " ";
        SCOPED_TRACE(trace);
        const Result r = runTool(c.args);
        ASSERT_GE(r.out.size(), kBanner.size());
        EXPECT_EQ(kBanner, r.out.substr(0, kBanner.size()));
        const size_t secondLineEnd = r.out.find('\n', kBanner.size());
        ASSERT_NE(std::string::npos, secondLineEnd);
        EXPECT_GT(secondLineEnd, kBanner.size()); // the maker's line is not empty
        EXPECT_EQ(c.complaints + usage(), r.out.substr(secondLineEnd + 1));
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
        {"--target-h", "zev", "--target-u", "u", "--target-p", "p", "--source-port=abc"},
        {"--source-port=0", "--target-user=u", "--target-pass=p", "--source-path", "/x"},
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
    std::istringstream in(r.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(2u + 17u + 1u, lines.size());
    EXPECT_EQ("Zelvo 4D Migration Tool 6.7.3. (7892)", lines[0]);
    EXPECT_EQ("Usage: 4d2zev [--target-host HOST] --target-user USER", lines[2]);
    EXPECT_EQ("    --help                  Display this information.", lines[18]);
    EXPECT_EQ("", lines[19]);
    EXPECT_EQ(255, r.status);
}
