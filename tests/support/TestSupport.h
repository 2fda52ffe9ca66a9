// Helpers shared by the tests: temporary directories, free loopback ports,
// shell commands and child processes.
#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

namespace testsupport {

// Absolute path of a file in the source tree or the build tree.
std::string sourcePath(const std::string& relative);
std::string binaryPath(const std::string& relative);

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "zt");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
private:
    std::string path_;
};

// Sets an environment variable for its lifetime; the previous value (or its
// absence) comes back on destruction.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int freeLoopbackPort();
// A socket listening on 127.0.0.1 at a port the system picks (stored in
// port); throws std::runtime_error when none can be made.
int listenOnLoopback(int& port);
// True when something accepts connections on 127.0.0.1:port.
bool loopbackPortAccepts(int port);

// Runs a shell command; returns its exit status and (when out is given) its standard output.
int runShell(const std::string& command, std::string* out = nullptr);

// Quotes a word for the shell.
std::string shellQuote(const std::string& word);

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// A child process started with execvp, stopped by its pid on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Starts argv; standard output goes to the file outPath ("" = /dev/null),
    // standard error to errPath ("" = with standard output).
    bool start(const std::vector<std::string>& argv, const std::string& outPath = "",
               const std::string& errPath = "");
    // Sends sig; returns false when the process is not running.
    bool signal(int sig);
    // Waits for the end; returns the exit status, 128+signal for a signal, -1 on time-out.
    int wait(int timeoutMs = 30000);
    // SIGTERM, then SIGKILL after a grace period; reaps the child.
    void stop();
    pid_t pid() const { return pid_; }
private:
    pid_t pid_ = -1;
};

// Makes a file or directory immutable while the object lives (the file
// system's "i" attribute): not even root can write it, create in it or
// remove it. ok() is false where the file system has no such attribute.
class Immutable {
public:
    explicit Immutable(const std::string& path);
    ~Immutable();
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    bool ok() const { return ok_; }
private:
    bool set(bool on);
    std::string path_;
    bool ok_ = false;
};

}  // namespace testsupport
