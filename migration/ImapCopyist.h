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
    unsigned messages = 0;
    unsigned folders = 0;
    unsigned messageErrors = 0;
    unsigned folderErrors = 0;
    zelvo::tiny::ZMutex mutex; // guards aborted
    bool aborted = false;

private:
    Result connect(SimpleImapClient& client, const ConnectionConfiguration& configuration);
    Result logInformation(const Result& result, const bool& isSource, const std::string& user);
    Result listFolders(SimpleImapClient& client, std::vector<FolderInfo>& list);
    // cut: an interrupt ended the folder's copy before its last message (the
    // result is then Ok).
    Result copyFolder(const FolderInfo& folder, bool& cut);
    // The number of messages copied; deleted: how many the source reported
    // deleted during the copy.
    unsigned copyMessages(SimpleImapClient& from, SimpleImapClient& to, const std::string& name, unsigned expected,
                          unsigned& deleted);
    bool wasAborted();
    bool connectionsCut() const;
    // An error line that blames a server, left out once the connections
    // were cut.
    void serverError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Ends the progress line of a folder whose copy the interrupt cut.
    void endCutFolder(const FolderInfo& folder, unsigned copied);
    std::function<void()> interruptPoll;
    zelvo::utils::SocketRegistry* sockets = nullptr;
};

#endif
