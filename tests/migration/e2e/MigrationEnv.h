// The world of an end-to-end run: a source Dovecot that greets as the old
// server, the stand-in administration service on 127.0.0.1:44337 with a
// target Dovecot on the IMAP bindings it holds, and the built 4d2zev.
#pragma once

#include "tests/support/Dovecot.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <ctime>
#include <sys/types.h>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

struct Account {
    std::string login;
    std::string password;
};

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class MigrationEnv {
public:
    static constexpr int kAdminPort = 44337;
    static const char* const kAdminUser;
    static const char* const kAdminPass;

    MigrationEnv();
    ~MigrationEnv();

    // A login on the source and, unless sourceOnly, on the target's IMAP store.
    void addAccount(const Account& account, bool sourceOnly = false);
    // A few folders of mail for a login on the source: INBOX, "Sent Items",
    // "Archive/2007", "Entwürfe" and an empty "Empty", with flags and dates.
    // The source must be running.
    void seedMailbox(const std::string& login);
    void startSource();

    // Starts the stand-in with the target's IMAP service on targetPort()
    // (running or not), more tables (JSON members such as "\"Domain\": [...]"),
    // plus extra options; waits until it accepts.
    void startStandIn(const std::vector<std::string>& extra = {}, bool imapRunning = true,
                      const std::string& moreTables = "");
    void stopStandIn();

    // The tool's usual command line for this world.
    std::vector<std::string> toolArgs(const std::string& sourcePath) const;
    // Runs the tool to its end (HOME is a fresh directory of the run).
    ToolRun runTool(const std::vector<std::string>& args);
    // Starts the tool without waiting; output in outPath()/errPath().
    // envOptions go to env(1) before the tool (e.g. "--ignore-signal=USR1");
    // SIGINT starts as the default unless they say otherwise. runner is a
    // command that runs the tool (e.g. setpriv with another user).
    void spawnTool(const std::vector<std::string>& args, const std::vector<std::string>& envOptions = {},
                   const std::vector<std::string>& runner = {});
    testsupport::ChildProcess& tool() { return tool_; }
    std::string outPath() const { return work_.file("tool.out"); }
    std::string errPath() const { return work_.file("tool.err"); }

    // A Python expression over the stand-in's state (bound to s), printed.
    std::string standIn(const std::string& expression) const;
    // Compares every folder of the logins on source and target; the report.
    int compareMailboxes(const std::vector<Account>& accounts, std::string& report) const;

    testsupport::Dovecot& source() { return source_; }
    testsupport::Dovecot& target() { return target_; }
    int targetPort() const { return target_.port(); }
    const std::string& home() const { return home_; }
    std::string work(const std::string& name) const { return work_.file(name); }

private:
    testsupport::TempDir work_;
    std::string home_;
    testsupport::Dovecot source_;
    testsupport::Dovecot target_;
    testsupport::ChildProcess standIn_;
    testsupport::ChildProcess tool_;
};

// A server on a free loopback port that greets every client with one line
// and closes.
class GreetingServer {
public:
    explicit GreetingServer(const std::string& greeting);
    ~GreetingServer();
    GreetingServer(const GreetingServer&) = delete;
    GreetingServer& operator=(const GreetingServer&) = delete;
    int port() const { return port_; }

private:
    std::string greeting_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Replaces the ctime texts of the start and end lines by "<TIME>".
std::string maskTimes(const std::string& out);

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits until the tool's standard output holds part.
bool waitForOutput(MigrationEnv& env, const std::string& part, int timeoutMs = 60000);

// True once sig is no longer pending for the process: its handler ran (or
// it was ignored).
bool waitDelivered(pid_t pid, int sig);

}  // namespace e2e
