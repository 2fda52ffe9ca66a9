#ifndef ZELVO_MIGRATION_IMAPCOPYIST_H
#define ZELVO_MIGRATION_IMAPCOPYIST_H

#include <functional>
#include <string>
#include <vector>

#include "foundation/system/ZMutex.h"
#include "imap/SimpleImapClient.h"

class LogStream;

// One IMAP endpoint of the mailbox copier.
struct ConnectionConfiguration {
    std::string address;
    int port = 0;
    std::string user;
    std::string password;
    bool cramMD5 = false; // AUTHENTICATE CRAM-MD5 instead of LOGIN
};

// One source folder: its name as the source reports it and its message count.
struct FolderInfo {
    std::string name;
    unsigned messages = 0;
};

// What became of one listed folder in a copy.
struct FolderOutcome {
    enum State {
        Copied, // selected, created where missing, and its messages handed over
        Failed, // a message did not arrive, the folder was not selected or created,
                // left behind after such a folder, or not counted by the listing
        Cut,    // an interrupt ended its copy, or kept it from starting
    };
    std::string name;
    // Message counts are 64-bit: a source may claim any number.
    unsigned long long copied = 0;
    unsigned long long failed = 0;  // messages that did not arrive
    unsigned long long deleted = 0; // messages the source deleted during the copy
    // The messages its copy had to move: every one the source announced
    // during it, less those it deleted (the listed count when no copy ran).
    unsigned long long total = 0;
    State state = Failed;
};

// Copies the mailbox of one user from the source IMAP server to the target,
// folder by folder, and counts what it did. Built for one user: init, copy,
// close, then deleted.
class ImapCopyist {
public:
    enum Result : int {
        Ok = 0,
        FolderFailed = 1,     // a folder was not selected or created, or the folders not listed
        ConnectionError = 3,  // any other failure
        AuthenticationError = 4,
    };

    // What became of the mailbox in the last copy.
    struct Outcome {
        Result result = Ok;
        bool listed = false;         // the folders were listed with their counts
        bool connectionsCut = false; // the interrupt cut the connections: what failed since is its doing
        std::vector<FolderOutcome> folders;

        // Every listed folder copied.
        bool complete() const;
        // The interrupt left folders or messages uncopied: a folder was cut.
        bool interrupted() const;
        bool nothingCopied() const;
        unsigned long long foldersCopied() const;
        unsigned long long foldersFailed() const;
        unsigned long long messagesCopied() const;
        unsigned long long messagesFailed() const;
    };

    ImapCopyist(const ConnectionConfiguration& source, const ConnectionConfiguration& target, LogStream& log);
    ~ImapCopyist();
    ImapCopyist(const ImapCopyist&) = delete;
    ImapCopyist& operator=(const ImapCopyist&) = delete;

    // Connects and logs in the source, then the target; a failure is logged
    // with the side and host and returned (3 or 4). A target that does not
    // announce LITERAL+ fails with 3.
    Result init();
    // Copies every folder; stops between folders when aborted. Message
    // failures are counted, not returned. Every listed folder is counted:
    // one that failed, one an interrupt cut, and those left behind (after a
    // failed folder, or after an interrupt) count as failed, with their
    // messages.
    Result copy();
    // LOGOUT and close, source first.
    int close();
    // The outcome of the last copy.
    Outcome outcome() const;
    // Stops the copy: before its next folder, and the bulk copy in progress
    // after the message in transfer. Safe while copy runs on the same thread.
    void abort();
    // Runs poll before every test of the abort flags, here and in the bulk
    // copy of the source client (see SimpleImapClient::setInterruptPoll).
    void setInterruptPoll(std::function<void()> poll);
    // Enters the sockets of both connections in registry, so a signal
    // handler can cut them (see ConnectionInternal::setSocketRegistry).
    // Once the registry is shut down, what fails is the cut's doing: no
    // line blames a server for it.
    void setSocketRegistry(zelvo::utils::SocketRegistry* registry);

    // Members the tool does not call.
    int disconnect(SimpleImapClient& client);
    int selectFolder(SimpleImapClient& client, const std::string& name);
    int createFolder(SimpleImapClient& client, const std::string& name);
    int createFolderWithRootFolders(SimpleImapClient& client, const std::string& path);
    int copyMessage(SimpleImapClient& from, const unsigned& number, SimpleImapClient& to,
                    const std::string& folder);
    std::string getServerString(const SimpleImapClient& client) const;
    std::string getServerString(const ConnectionConfiguration& configuration) const;

    SimpleImapClient source;
    SimpleImapClient target;
    ConnectionConfiguration sourceCfg;
    ConnectionConfiguration targetCfg;
    LogStream* log;
    unsigned long long messages = 0;
    unsigned long long folders = 0;
    unsigned long long messageErrors = 0;
    unsigned long long folderErrors = 0;
    mutable zelvo::tiny::ZMutex mutex; // guards aborted
    bool aborted = false;

private:
    Result connect(SimpleImapClient& client, const ConnectionConfiguration& configuration);
    Result logInformation(const Result& result, const bool& isSource, const std::string& user);
    Result listFolders(SimpleImapClient& client, std::vector<FolderInfo>& list);
    // Fills the folder's outcome (its name set, its messages counted as failed); the
    // result is Ok also when an interrupt ended the copy (state Cut).
    Result copyFolder(const FolderInfo& folder, FolderOutcome& outcome);
    // Runs the bulk copy and sets the folder's outcome from it: its state
    // and its messages copied, failed and deleted.
    void copyMessages(SimpleImapClient& from, SimpleImapClient& to, const std::string& name, unsigned expected,
                      FolderOutcome& outcome);
    // The counters from the folder outcomes of the last copy.
    void tally();
    bool wasAborted();
    bool abortedFlag() const;
    bool connectionsCut() const;
    // An error line that blames a server, left out once the connections
    // were cut.
    void serverError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Ends the progress line of a folder with its result.
    void endFolderLine(const FolderInfo& folder, const std::string& result);
    Result lastResult = Ok;
    bool listed = false;
    std::vector<FolderOutcome> lastFolders;
    std::function<void()> interruptPoll;
    zelvo::utils::SocketRegistry* sockets = nullptr;
};

#endif
