#include "tests/support/Dovecot.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

std::string must(const std::string& command) {
    std::string out;
    int rc = runShell(command + " 2>&1", &out);
    if (rc != 0) throw std::runtime_error(command + " failed (" + std::to_string(rc) + "): " + out);
    return out;
}

std::string chomp(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

Dovecot::Dovecot(Role role, int port)
    : dir_("zt-dovecot"), role_(role), port_(port ? port : freeLoopbackPort()) {
    must(script() + " create " + shellQuote(dir()) + " " + std::to_string(port_) + " " +
         (role_ == Source ? "source" : "target"));
}

Dovecot::~Dovecot() {
    try {
        stop();
    } catch (...) {
    }
}

std::string Dovecot::script() const { return shellQuote(sourcePath("tests/support/dovecot.sh")); }

void Dovecot::addUser(const std::string& login, const std::string& password) {
    must(script() + " adduser " + shellQuote(dir()) + " " + shellQuote(login) + " " + shellQuote(password));
}

void Dovecot::start() { start({port_}); }

void Dovecot::start(const std::vector<int>& ports) {
    std::string cmd = script() + " start " + shellQuote(dir());
    for (int p : ports) cmd += " " + std::to_string(p);
    must(cmd);
}

void Dovecot::stop() { must(script() + " stop " + shellQuote(dir())); }

bool Dovecot::running() const { return runShell(script() + " running " + shellQuote(dir())) == 0; }

std::string Dovecot::folderPath(const std::string& login, const std::string& folder) {
    auto key = std::make_pair(login, folder);
    auto it = folderPaths_.find(key);
    if (it != folderPaths_.end()) return it->second;
    std::string path = chomp(must(script() + " maildir " + shellQuote(dir()) + " " + shellQuote(login) + " " +
                                  shellQuote(folder)));
    folderPaths_[key] = path;
    return path;
}

void Dovecot::createFolder(const std::string& login, const std::string& folder) { folderPath(login, folder); }

void Dovecot::putMessage(const std::string& login, const std::string& folder, const std::string& bytes,
                         const std::string& flagLetters, std::time_t internalDate) {
    const std::string path = folderPath(login, folder);
    std::string letters = flagLetters;
    std::sort(letters.begin(), letters.end());
    std::string name = path + "/cur/" + std::to_string(1000000 + counter_++) + ".M" +
                       std::to_string(::getpid()) + ".zt:2," + letters;
    writeFile(name, bytes);
    if (internalDate) {
        utimbuf t{internalDate, internalDate};
        ::utime(name.c_str(), &t);
    }
    if (::getuid() == 0 && ::chown(name.c_str(), 65534, 65534) != 0)
        throw std::runtime_error("chown failed for " + name);
}

void Dovecot::index(const std::string& login) {
    must(script() + " index " + shellQuote(dir()) + " " + shellQuote(login));
}

std::string Dovecot::doveadm(const std::vector<std::string>& args) const {
    std::string cmd = script() + " doveadm " + shellQuote(dir());
    for (const auto& a : args) cmd += " " + shellQuote(a);
    return must(cmd);
}

std::vector<std::string> Dovecot::folders(const std::string& login) const {
    std::istringstream in(doveadm({"mailbox", "list", "-u", login}));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Dovecot::Message> Dovecot::messages(const std::string& login, const std::string& password,
                                                const std::string& folder) const {
    std::string raw = must("python3 " + shellQuote(sourcePath("tests/support/imapdump.py")) + " " +
                           shellQuote(login) + " " + shellQuote(password) + " " + std::to_string(port_) + " " +
                           shellQuote(folder));
    std::vector<Message> out;
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t eol = raw.find('\n', pos);
        if (eol == std::string::npos || raw.compare(pos, 4, "MSG ") != 0)
            throw std::runtime_error("unexpected imapdump output");
        std::istringstream head(raw.substr(pos + 4, eol - pos - 4));
        size_t size = 0;
        head >> size;
        Message m;
        std::getline(head >> std::ws, m.internalDate);
        size_t eol2 = raw.find('\n', eol + 1);
        if (eol2 == std::string::npos) throw std::runtime_error("unexpected imapdump output");
        std::istringstream flags(raw.substr(eol + 1, eol2 - eol - 1));
        for (std::string f; flags >> f;) m.flags.push_back(f);
        if (eol2 + 1 + size > raw.size()) throw std::runtime_error("short imapdump output");
        m.body = raw.substr(eol2 + 1, size);
        pos = eol2 + 1 + size + 1;
        out.push_back(std::move(m));
    }
    return out;
}

namespace {

std::string imapChange(const std::string& login, const std::string& password, int port, const std::string& folder,
                       const std::string& action) {
    return chomp(must("python3 " + shellQuote(sourcePath("tests/support/imapchange.py")) + " " + shellQuote(login) +
                      " " + shellQuote(password) + " " + std::to_string(port) + " " + shellQuote(folder) + " " +
                      action));
}

}  // namespace

std::string Dovecot::appendOverImap(const std::string& login, const std::string& password,
                                    const std::string& folder, const std::string& bytes, const std::string& flags,
                                    const std::string& date) const {
    TempDir scratch("zt-append");
    writeFile(scratch.file("message"), bytes);
    return imapChange(login, password, port_, folder,
                      "append " + shellQuote(scratch.file("message")) + " " + shellQuote(flags) + " " +
                          shellQuote(date));
}

std::string Dovecot::expungeOverImap(const std::string& login, const std::string& password,
                                     const std::string& folder, unsigned number) const {
    return imapChange(login, password, port_, folder, "expunge " + std::to_string(number));
}

}  // namespace testsupport
