#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/system/ZMutex.h"
#include "imap/ConnectionInternal.h"

class IMessage;
class FetchMessage;
class ImapException;

// One IMAP connection with its login and the operations the migration needs.
// Every operation reports a result number; no ImapException leaves it.
class SimpleImapClient {
public:
    enum class ImapClientResult : unsigned {
        Ok = 0,
        NotConnected = 1,
        AlreadyConnected = 2,
        ConnectionFailed = 3, // also broken by the server ("* BYE") or timed out
        AuthenticationFailed = 4,
        CreateUserFailed = 5,
        SetUserFailed = 6,
        CreateFolderFailed = 7,
        AppendFailed = 8,
        MessageLoadFailed = 9,
        SelectFailed = 10,
        ListFailed = 11,
        StatusFailed = 12,
        FetchFailed = 13,
    };

    // Folder kinds of the target's typed CREATE; values above Note send a
    // plain CREATE.
    enum class FolderType : unsigned { Default = 0, Contact, Calendar, Todo, Journal, Mail, Note };

    // Read time-out of every connection, in seconds.
    static constexpr unsigned timeoutSeconds = 180;

    // Logs in with CRAM-MD5 or LOGIN. 2 when already connected (nothing is
    // sent); 4 for a refused login and any IMAP failure other than a broken
    // connection or time-out (3).
    ImapClientResult connect(const std::string& host, unsigned port, const std::string& user,
                             const std::string& password, bool cramMD5);
    // Logs in with the master secret (X-MASTERAUTH); the last argument is not read.
    ImapClientResult connect(const std::string& host, unsigned port, const std::string& secret, unsigned);
    // With logout, sends LOGOUT first (failures are swallowed); then closes.
    void disconnect(bool logout);

    ImapClientResult select(const std::string& folder);
    // The same; exists is then the count of the folder's last EXISTS
    // response, unchanged when the server sent none.
    ImapClientResult select(const std::string& folder, unsigned& exists);
    ImapClientResult status(const std::string& folder, unsigned& messages);
    // The selectable folders in the server's order; names is cleared first
    // unless the client is not connected.
    ImapClientResult list(std::vector<std::string>& names);
    ImapClientResult createFolder(const std::string& folder, FolderType type);
    // APPEND of message: size, date and flags are asked in that order, then
    // the body is streamed. \Recent is never sent: no client may set it.
    ImapClientResult append(const std::string& folder, IMessage* message, bool xAppend);
    // Loads date, flags and size of message number of the selected folder and
    // leaves its body on the connection for message to stream.
    ImapClientResult fetch(unsigned number, FetchMessage& message);

    // What copyFolder tells beyond its two counts: how many messages the
    // source announced, on which side the failed messages failed, how many
    // the source reported deleted while the folder was copied (neither
    // copied nor failed), and whether an abort cut the copy short.
    struct FolderCopyReport {
        // Every message announced while the folder was copied, deleted ones
        // included: the expected count and each growth an EXISTS told.
        unsigned long long announced = 0;
        unsigned failedDownloads = 0; // not read whole, or read without flags
        unsigned failedUploads = 0;   // a refused or broken APPEND
        unsigned deleted = 0;
        // An abort ended the copy while announced messages were neither
        // copied, failed nor deleted; those then count as failed.
        bool aborted = false;
    };

    // Rounds after the first that fetch the messages announced (EXISTS)
    // while the folder is copied; what is announced after them fails.
    static constexpr unsigned maxFurtherRounds = 8;

    // Copies every message of the folder selected on this client into folder
    // on target. expected is the folder's count when its copy begins (the
    // EXISTS of its SELECT). Round after round: one FETCH of the dates and
    // flags of the numbers not asked for yet and announced by the source (1
    // to expected first, then those of later EXISTS responses), then one
    // FETCH of their bodies and one APPEND per message, each body streamed
    // from this connection to the target's in parts. A server may tell of new
    // mail only at the next command (RFC 3501, 7.3.1), so a round that leaves
    // nothing to ask is followed by one NOOP, whose answer is read like every
    // response (EXISTS, EXPUNGE, flag updates); mail it announces starts a
    // further round. The rounds end at a NOOP that announces nothing new, or
    // after maxFurtherRounds further rounds: messages announced after those,
    // by a FETCH answer or the last NOOP, count as failed. A NOOP refused
    // (NO, BAD) still ended the command at which the server could tell, so
    // the copy ends on what it told; a NOOP without an answer (BYE, the read
    // time-out, a broken or unreadable answer) leaves unknown whether more
    // came, and the copy ends with 3 or 13, with nothing more counted. No
    // NOOP is sent for an empty folder, after an abort, or once this
    // connection was dropped. Mail delivered after the last NOOP stays on the
    // source. An EXPUNGE renumbers the messages above it. A body is stored
    // once, with the flags and date the source gave for its number (a message
    // whose flags never came is not stored and counts as failed; one without
    // a valid date gets the target's). A message the source deleted (expunged
    // before its body came, or a NIL body under an EXPUNGEISSUED reply) is
    // neither copied nor failed but counted in report->deleted. copied counts
    // the messages the target accepted, failed every other message the source
    // announced, so that after any result copied + failed + deleted covers at
    // least every message announced; report, when given, splits failed by
    // side (the messages left when the copy stops early count on the side
    // that stopped it). A message that fails while both connections stay in
    // step is counted and the copy goes on; when the copy must stop early the
    // rest of the FETCH response is read through or this connection closed
    // (getDropReason tells why). What the copy keeps per message grows only
    // with the responses that came, whatever numbers they name.
    // Results: 0 (also when aborted, and when the target refused messages:
    // they count in failed and the copy goes on), 1 not connected, 8 the
    // target's connection broke or closed (the messages left count as failed
    // uploads), 13 the source response was unreadable or broke off, a message
    // the source announced never came, or the NOOP got no answer, 3/4/12 an
    // IMAP failure on this connection (3 also a BYE). The percentage of
    // expected is written to progressStream under progressMutex when
    // showProgress is set.
    ImapClientResult copyFolder(const std::string& folder, SimpleImapClient& target, unsigned& copied,
                                unsigned& failed, std::ostream* progressStream,
                                zelvo::tiny::ZMutex* progressMutex, bool showProgress, unsigned expected,
                                FolderCopyReport* report = nullptr);

    ImapClientResult createUser(const std::string& name, const std::string& domain,
                                const std::string& password, const std::string& fullName);
    ImapClientResult setUser(const std::string& user, const std::string& domain);
    // The server announces the capability word (ConnectionInternal::
    // hasCapability); false when not connected or when asking failed.
    bool hasCapability(const std::string& word);
    // X-CHECKVERSION reports version 6.3 or later (each number on its own).
    bool isXAppendSupported();

    // Makes every copyFolder stop after the message in transfer. Safe from
    // the interrupt handler on the same thread.
    void abort();
    // Runs the poll (when set), then reads the abort flag.
    bool wasAborted();
    // Called in ordinary code before each test of the abort flag, so that an
    // interrupt recorded by a signal handler can be acted upon there.
    void setInterruptPoll(std::function<void()> poll) { interruptPoll = std::move(poll); }

    // Reads the greeting of the server without logging in; false (greeting
    // unchanged) when it cannot be reached or greets with "* BYE".
    bool testImapServer(const std::string& host, unsigned port, std::string& greeting);

    // 0 when the second word of line is OK in any case, else 13.
    static ImapClientResult parseTaggedResponse(const std::string& line);

    bool isConnected() const { return connected; }
    ConnectionInternal& getConnection() { return connection; }

private:
    class BulkCopy;

    ImapClientResult init(const std::string& host, unsigned port, const std::string& user,
                          const std::string& password, bool cramMD5);
    void writeProgress(const char* text, std::ostream* stream, zelvo::tiny::ZMutex* mutex, bool show);

    bool connected = false;
    ConnectionInternal connection;
    bool masterMode = false;
    zelvo::tiny::ZMutex abortMutex;
    bool aborted = false;
    std::function<void()> interruptPoll;
};

// The result number for an exception of the IMAP family, by its type:
// 3 time-out, connection failure or "* BYE"; 4 refused login; 9 failed
// message source; fallback for everything else.
SimpleImapClient::ImapClientResult handleImapException(ImapException& e,
                                                       SimpleImapClient::ImapClientResult fallback);
