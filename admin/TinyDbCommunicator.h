#ifndef ZELVO_ADMIN_TINYDBCOMMUNICATOR_H
#define ZELVO_ADMIN_TINYDBCOMMUNICATOR_H

#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "admin/tinydb.h"
#include "migration/WebStarPostOffice.h"
#include "migration/WebStarUser.h"

class LogStream;

// Results of TinyDbCommunicator's operations.
struct TinyDbResult {
    enum {
        Ok = 0,
        Failed = 1,        // the IMAP service did not start, or no SMTP domain
        OpenFailed = 2,    // the session could not be opened
        NotConnected = 3,  // no authenticated session; from connect: login refused
        QueryFailed = 4,   // a statement was not sent, refused or unreadable
        DomainExists = 5,
        UserExists = 6,
        AliasFailed = 7,   // the domain was created, an alias was not (aliasesNotCreated)
        ContactFailed = 8, // the user was created, its public contact was not
        AnswerLost = 9,    // the session broke after the insert was sent: it may have been carried out
        ContactAnswerLost = 10, // the user was created; the session broke while its contact was sent
    };
};

// The tool's administration session with the target mail server: moves its
// IMAP service to a temporary port and back, makes public folders global and
// creates domains, alias domains, users and their public contacts.
class TinyDbCommunicator {
public:
    struct ImapBinding {
        std::uint32_t ip;    // the four octets as received, first octet first in memory
        std::uint16_t port;  // host order

        // The address in dotted form, first octet first.
        std::string address() const;
    };

    TinyDbCommunicator(const std::string& user, const std::string& password, const std::string& host,
                       LogStream& log, unsigned adminPort);
    // Ends the session; first, when a restore is still needed and none was
    // tried at exit, the restore at exit.
    ~TinyDbCommunicator();
    TinyDbCommunicator(const TinyDbCommunicator&) = delete;
    TinyDbCommunicator& operator=(const TinyDbCommunicator&) = delete;

    int connect(bool authenticate);
    int saveAndChangeImapStatus();
    int saveImapServiceStatus();
    int changeImapServiceStatus();
    int restoreImapStatus();
    // True from the switch of the IMAP service until a restore completes;
    // false when the server refused the switch's first statement (nothing
    // was changed).
    bool needsRestore() const { return leftToRestore; }
    // The last chance to give the target its IMAP service back: tried at
    // most once, when needsRestore(), on this session and, when it broke,
    // once more on a fresh one, which first looks whether the target is as
    // saved. When that session breaks too, one more look on a new session
    // decides. Ok when nothing is left to restore; Failed when the target is
    // known not to be back; AnswerLost when it cannot be known (no session,
    // or no look could be made).
    int restoreAtExit();
    bool restoreAtExitTried() const { return triedAtExit; }
    // The saved state of the service: was it running when the run began.
    bool imapWasRunning() const { return imapRunning != 0; }
    int setGlobalPublicFolders();
    int createDomain(const boost::shared_ptr<WebStarPostOffice>& postOffice);
    int createUser(const boost::shared_ptr<WebStarUser>& user, bool publish);
    int publishUserAsContact(const boost::shared_ptr<WebStarUser>& user);
    // 8143 before the switch; one more for each start the target refused.
    std::uint16_t getImapPort() const { return imapPort; }
    int stopImapService();
    int startImapService();
    // Ends the session, also one whose login was refused.
    void close();

    // Why the last connect could not use the known-hosts file (a sentence
    // naming the file and the reason), or empty.
    const std::string& knownHostsFailure() const { return knownHostsProblem; }

    // The aliases the last createDomain did not create.
    const std::vector<std::string>& aliasesNotCreated() const { return failedAliases; }
    // The aliases of the last createDomain whose insert was sent but whose
    // answer went with the session: they may exist.
    const std::vector<std::string>& aliasesThatMayExist() const { return uncertainAliases; }
    // True once the session can no longer carry a statement.
    bool sessionLost() const { return db != nullptr && sessionBroken(); }

    bool isConnected() const { return connected; }
    bool isStatusSaved() const { return statusSaved; }
    const std::vector<ImapBinding>& getSavedBindings() const { return savedBindings; }

private:
    // The answer to one statement, freed when it goes.
    class Answer;
    // Sends one statement; 0 with the answer held, or 4 with none.
    int send(const std::string& statement, Answer& answer);
    // Sends a statement whose answer is not needed.
    int execute(const std::string& statement);
    // Sends a statement that creates something: 0, 9 when the session broke
    // while it was under way (it may have been carried out), else 4.
    int insert(const std::string& statement);
    // Sends a statement answered by one 32-bit value.
    int queryValue(const std::string& statement, std::uint32_t& value);
    // True when the session can no longer carry a statement (a reply broke
    // off, a read or write failed).
    bool sessionBroken() const;
    // The steps of restoreImapStatus.
    int putBackImapStatus();
    // Reads the target's IMAP bindings and service state (as the save does).
    int readImapStatus(std::vector<ImapBinding>& bindings, std::uint32_t& running, std::uint32_t& autoStart);
    // Ok when the target's IMAP bindings and service state read now are the
    // saved ones (bindings in any order; nothing is left to restore then),
    // Failed when they differ, AnswerLost when they could not be read.
    int compareWithSaved();
    // On a fresh session: Ok when the target is as saved or was restored,
    // Failed when a restore failed on a sound session, AnswerLost when the
    // session broke first.
    int restoreUnlessAsSaved();
    // compareWithSaved on a new session; AnswerLost when none opens.
    int lookOnceMore();
    // True when the server refused the last statement (it was not carried out).
    bool statementRefused() const;
    // True when every value can go between quotes; else logs which cannot.
    bool checkValues(const char* what, const std::string& owner,
                     const std::vector<std::pair<const char*, const std::string*>>& values);

    void* db;
    std::string user;
    std::string password;
    std::string host;
    LogStream& log;
    unsigned adminPort;
    bool connected;
    std::uint16_t imapPort;
    std::uint32_t imapAutoStart;
    std::uint32_t imapRunning;
    std::vector<ImapBinding> savedBindings;
    bool statusSaved;
    bool leftToRestore;
    bool triedAtExit;
    std::string knownHostsProblem;
    std::vector<std::string> failedAliases;
    std::vector<std::string> uncertainAliases;
};

// The known-hosts question of connect: a new server is trusted and recorded;
// a changed certificate is refused (local servers never reach it).
bool callback(const std::string& knownFingerprint, const std::string& presentedFingerprint,
              const std::string& hostDescription, unsigned short port, const std::string& productName);

#endif
