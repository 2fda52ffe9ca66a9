// A private Dovecot instance for tests, driven through tests/support/dovecot.sh.
// The source role greets with "4D Mail IMAP ready" and offers CRAM-MD5; the
// target role offers plain LOGIN and LITERAL+. Maildir, "/" as separator.
#pragma once

#include "tests/support/TestSupport.h"

#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class Dovecot {
public:
    enum Role { Source, Target };

    // port 0 picks a free loopback port. Nothing runs until start().
    explicit Dovecot(Role role, int port = 0);
    ~Dovecot();  // stops the instance by its pid and removes its directory
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    void addUser(const std::string& login, const std::string& password);
    // Starts on port() (or on the given ports); throws std::runtime_error on failure.
    void start();
    void start(const std::vector<int>& ports);
    void stop();
    bool running() const;

    int port() const { return port_; }
    const std::string& dir() const { return dir_.path(); }
    std::string script() const;

    // Writes a message straight into the Maildir folder (created when missing),
    // with Maildir flag letters ("S" seen, "R" answered, "F" flagged, "T" deleted,
    // "D" draft) and the internal date as the file's time. Call index() afterwards.
    void putMessage(const std::string& login, const std::string& folder, const std::string& bytes,
                    const std::string& flagLetters = "", std::time_t internalDate = 0);
    // Creates an empty folder.
    void createFolder(const std::string& login, const std::string& folder);
    // Makes Dovecot see what putMessage wrote.
    void index(const std::string& login);

    // Runs doveadm against the instance; returns its standard output (throws on failure).
    std::string doveadm(const std::vector<std::string>& args) const;
    // Folder names of a login as doveadm lists them (UTF-8), sorted.
    std::vector<std::string> folders(const std::string& login) const;

    struct Message {
        std::string body;          // BODY[] bytes
        std::vector<std::string> flags;  // system flags and keywords, without \Recent, sorted
        std::string internalDate;  // "dd-Mon-yyyy hh:mm:ss +zzzz"
    };
    // Every message of a folder in sequence order, read over IMAP (LOGIN).
    std::vector<Message> messages(const std::string& login, const std::string& password,
                                  const std::string& folder) const;

    // A second IMAP session (LOGIN) that changes a folder while another
    // session may be reading it. appendOverImap stores bytes with the given
    // flags ("\\Flagged", "" for none) and internal date; expungeOverImap
    // marks message number deleted and expunges it. Both wait for the end of
    // the session and return the folder's STATUS line afterwards (throw on
    // failure).
    std::string appendOverImap(const std::string& login, const std::string& password, const std::string& folder,
                               const std::string& bytes, const std::string& flags, const std::string& date) const;
    std::string expungeOverImap(const std::string& login, const std::string& password, const std::string& folder,
                                unsigned number) const;

private:
    TempDir dir_;
    Role role_;
    int port_;
    unsigned counter_ = 0;
    std::map<std::pair<std::string, std::string>, std::string> folderPaths_;
    std::string folderPath(const std::string& login, const std::string& folder);
};

}  // namespace testsupport
