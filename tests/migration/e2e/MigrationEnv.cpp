#include "tests/migration/e2e/MigrationEnv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

using testsupport::shellQuote;

namespace e2e {

const char* const MigrationEnv::kAdminUser = "admin";
const char* const MigrationEnv::kAdminPass = "secret";

MigrationEnv::MigrationEnv()
    : work_("zt-e2e"), home_(work_.file("home")), source_(testsupport::Dovecot::Source),
      target_(testsupport::Dovecot::Target) {
    testsupport::runShell("mkdir -p " + shellQuote(home_));
}

MigrationEnv::~MigrationEnv() {
    tool_.stop();
    stopStandIn();
}

void MigrationEnv::addAccount(const Account& account, bool sourceOnly) {
    source_.addUser(account.login, account.password);
    if (!sourceOnly) target_.addUser(account.login, account.password);
}

void MigrationEnv::seedMailbox(const std::string& login) {
    const std::time_t base = 1262304000;  // 2010-01-01
    auto message = [&](int n, const std::string& extra) {
        return "From: Sender " + std::to_string(n) + " <sender@source.test>\r\nTo: " + login +
               "\r\nSubject: message " + std::to_string(n) + " for " + login +
               "\r\nMIME-Version: 1.0\r\n\r\nLine one of " + std::to_string(n) + "\r\n" + extra +
               "A OK not a tagged line\r\n* BYE not a server line\r\n}\r\n";
    };
    source_.putMessage(login, "INBOX", message(1, ""), "S", base);
    source_.putMessage(login, "INBOX", message(2, std::string(3000, 'x') + "\r\n"), "FR", base + 86400);
    source_.putMessage(login, "INBOX", message(3, "8-bit: \xc3\xa9\xc3\xa0\r\n"), "", base + 2 * 86400);
    source_.putMessage(login, "Sent Items", message(4, ""), "SD", base + 3 * 86400);
    source_.putMessage(login, "Sent Items", message(5, ""), "ST", base + 4 * 86400);
    source_.putMessage(login, "Archive/2007", message(6, ""), "S", 1180000000);
    source_.putMessage(login, "Entwürfe", message(7, ""), "D", base + 5 * 86400);
    source_.createFolder(login, "Empty");
    source_.index(login);
}

void MigrationEnv::startSource() { source_.start(); }

void MigrationEnv::startStandIn(const std::vector<std::string>& extra, bool imapRunning,
                                const std::string& moreTables) {
    const std::string tables = work_.file("tables.json");
    testsupport::writeFile(
        tables, "{\"ServicePorts\": [{\"Service\": \"IMAP\", \"IPAddress\": \"0.0.0.0\", \"Port\": \"" +
                    std::to_string(targetPort()) +
                    "\"}, {\"Service\": \"SMTP\", \"IPAddress\": \"0.0.0.0\", \"Port\": \"25\"}], "
                    "\"service-imap\": [{\"Running\": \"" +
                    std::string(imapRunning ? "1" : "0") + "\", \"AutoStart\": \"1\"}]" +
                    (moreTables.empty() ? "" : ", " + moreTables) + "}");
    const std::string portFile = work_.file("standin.port");
    ::unlink(portFile.c_str());
    // The port is fixed: wait for another user of it (a demonstration run) to finish.
    for (int i = 0; i < 600 && testsupport::loopbackPortAccepts(kAdminPort); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::string> argv = {"python3",
                                     testsupport::sourcePath("tests/admin/tinydb_standin.py"),
                                     "--port",
                                     std::to_string(kAdminPort),
                                     "--admin",
                                     std::string(kAdminUser) + ":" + kAdminPass,
                                     "--tables",
                                     tables,
                                     "--state",
                                     work_.file("standin.json"),
                                     "--port-file",
                                     portFile,
                                     "--workdir",
                                     work_.path(),
                                     "--imap-dir",
                                     target_.dir()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!standIn_.start(argv, work_.file("standin.log"))) throw std::runtime_error("stand-in did not start");
    for (int i = 0; i < 400; ++i) {
        if (::access(portFile.c_str(), F_OK) == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    throw std::runtime_error("stand-in does not accept: " + testsupport::readFile(work_.file("standin.log")));
}

void MigrationEnv::stopStandIn() { standIn_.stop(); }

std::vector<std::string> MigrationEnv::toolArgs(const std::string& sourcePath) const {
    return {"--target-user", kAdminUser,   "--target-pass", kAdminPass,
            "--target-host", "127.0.0.1",  "--source-path", sourcePath,
            "--source-port", std::to_string(source_.port())};
}

void MigrationEnv::spawnTool(const std::vector<std::string>& args, const std::vector<std::string>& envOptions,
                             const std::vector<std::string>& runner) {
    // An ignored SIGINT stays ignored in the tool: the runs do not inherit
    // one from whatever started the tests.
    std::vector<std::string> argv = {"env", "--default-signal=INT"};
    argv.insert(argv.end(), envOptions.begin(), envOptions.end());
    argv.push_back("HOME=" + home_);
    argv.insert(argv.end(), runner.begin(), runner.end());
    argv.push_back(testsupport::binaryPath("migration/4d2zev"));
    argv.insert(argv.end(), args.begin(), args.end());
    if (!tool_.start(argv, outPath(), errPath())) throw std::runtime_error("4d2zev did not start");
}

ToolRun MigrationEnv::runTool(const std::vector<std::string>& args) {
    spawnTool(args);
    ToolRun run;
    run.status = tool_.wait(300000);
    run.out = testsupport::readFile(outPath());
    run.err = testsupport::readFile(errPath());
    return run;
}

std::string MigrationEnv::standIn(const std::string& expression) const {
    std::string out;
    const std::string script = "import json,sys; s=json.load(open(sys.argv[1])); print(" + expression + ")";
    if (testsupport::runShell("python3 -c " + shellQuote(script) + " " + shellQuote(work_.file("standin.json")),
                              &out) != 0)
        throw std::runtime_error("cannot read the stand-in's state: " + expression);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

int MigrationEnv::compareMailboxes(const std::vector<Account>& accounts, std::string& report) const {
    std::string cmd = "python3 " + shellQuote(testsupport::sourcePath("tests/support/compare_mailboxes.py")) + " " +
                      std::to_string(source_.port()) + " " + std::to_string(target_.port());
    for (const auto& a : accounts) cmd += " " + shellQuote(a.login + ":" + a.password);
    return testsupport::runShell(cmd + " 2>&1", &report);
}

GreetingServer::GreetingServer(const std::string& greeting) : greeting_(greeting) {
    fd_ = testsupport::listenOnLoopback(port_);
    thread_ = std::thread([this] {
        for (;;) {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0 || stop_) {
                if (c >= 0) ::close(c);
                return;
            }
            ::send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
            ::shutdown(c, SHUT_WR);
            ::close(c);
        }
    });
}

GreetingServer::~GreetingServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
}

bool waitForOutput(MigrationEnv& env, const std::string& part, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        try {
            if (contains(testsupport::readFile(env.outPath()), part)) return true;
        } catch (...) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool waitDelivered(pid_t pid, int sig) {
    const unsigned long long bit = 1ULL << (sig - 1);
    for (int i = 0; i < 1000; ++i) {
        std::istringstream status(testsupport::readFile("/proc/" + std::to_string(pid) + "/status"));
        unsigned long long pending = 0;
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0)
                pending |= std::stoull(line.substr(line.find_first_not_of(" \t", 7)), nullptr, 16);
        if ((pending & bit) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string maskTimes(const std::string& out) {
    static const std::regex time(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");
    return std::regex_replace(out, time, "<TIME>");
}

}  // namespace e2e
