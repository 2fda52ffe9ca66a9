#ifndef ZELVO_MIGRATION_MIGRATOR_H
#define ZELVO_MIGRATION_MIGRATOR_H

#include "foundation/net/SocketRegistry.h"
#include "foundation/system/ZMutex.h"
#include "migration/CommandArgs.h"
#include "migration/MigrationSummary.h"
#include "migration/WebStarPostOffice.h"
#include "migration/WebStarUser.h"

#include <boost/shared_ptr.hpp>

#include <memory>
#include <string>

class LogStream;
class TinyDbCommunicator;
class ImapCopyist;
class WebStarConfigReader;

// One migration from start to end: source checks, target preparation, the
// post-office and user loops, the summary and the restore of the target.
//
// SIGINT only records a request (Interrupt); the driver acts on it at its
// test points, and the mailbox copy polls it between messages, so the abort
// runs in ordinary code, never inside the signal handler. A second request
// is not left to wait for a blocked call: the handler cuts the IMAP
// connections of the copy (their sockets are in imapSockets), so the message
// in transfer fails at once and the run goes on to the summary and the
// restore, which use only the administration session.
class Migrator {
public:
    // The administration port of the target.
    static constexpr unsigned kAdminPort = 44337;

    Migrator(const CommandArgs& args, LogStream& log, MigrationSummary& summary);
    ~Migrator();
    Migrator(const Migrator&) = delete;
    Migrator& operator=(const Migrator&) = delete;

    // The whole run: 0, or -2 (source configuration), -3 (source IMAP),
    // -4 (target preparation), -5 (post-office list), -10 (the target's IMAP
    // service is not back at the end: neither the restore nor the restore
    // before exit completed).
    int start();
    // When the run switched the target's IMAP service and no restore has
    // completed since: the restore at exit, told in a line. True when the
    // target is left as it was found.
    bool restoreBeforeExit();
    // Writes the abort line and stops the run at its next test point.
    void abort();
    bool wasAborted();
    // True when an interrupt stopped the migration loops, so that a post
    // office, user, folder or message was not attempted ("Migration was
    // aborted"). An interrupt acted on after the loops changes nothing here.
    bool interruptLeftWorkUndone() const { return workLeftUndone; }

    // Acts on SIGINTs that arrived since the last call: one abort each.
    void pollInterrupt();

private:
    // Acts on the interrupts that came; true when one did, before anything
    // was changed on the target: the run ends there (endAborted).
    bool stopBeforeTheTargetChanges();
    // "Migration was aborted" for a run stopped before the migration loop.
    int endAborted();
    bool test4DConfiguration();
    bool test4DImapServer();
    bool prepareZEV();
    bool migrate();
    bool restoreZEV();
    bool migrateDomain(WebStarConfigReader& reader, boost::shared_ptr<WebStarPostOffice> postOffice);
    // True when the user's mail was copied completely; the caller counts the user.
    bool migrateUser(boost::shared_ptr<WebStarUser> user, MigrationSummary& record);
    bool copyUser(boost::shared_ptr<WebStarUser> user, MigrationSummary& record);
    // The error line of a user created on the target whose mail the
    // interrupt kept from moving.
    void tellMailNotCopied(const WebStarUser& user);
    // Once the administration session is lost: one line that says so.
    void tellSessionLost();
    // The error line of what (e.g. "Domain \"x\"") whose creation was sent
    // but whose answer went with the session.
    void tellAnswerLost(const std::string& what);
    void printSummary();

    CommandArgs args;
    LogStream& log;
    zelvo::tiny::ZMutex mutex;
    bool aborted;
    bool workLeftUndone = false;
    bool stoppedUntouched = false;
    // An interrupt came after the IMAP switch, before the public folders:
    // the run goes to the restore.
    bool stoppedAfterSwitch = false;
    bool sessionLostTold = false;
    std::unique_ptr<TinyDbCommunicator> db;
    zelvo::utils::SocketRegistry imapSockets;
    std::unique_ptr<ImapCopyist> copyist;
    MigrationSummary& summary;
};

// The local time as ctime writes it: 24 characters and "\n".
std::string getActualTime();

#endif
