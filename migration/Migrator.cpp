#include "migration/Migrator.h"

#include "admin/TinyDbCommunicator.h"
#include "migration/GuiHelper.h"
#include "migration/ImapCopyist.h"
#include "migration/Interrupt.h"
#include "migration/LogStream.h"
#include "migration/UserVerdict.h"
#include "migration/WebStarConfigReader.h"

#include <ctime>
#include <iostream>
#include <vector>

using zelvo::tiny::ZMutexGuard;

std::string getActualTime()
{
    std::time_t now = std::time(nullptr);
    char text[32];
    if (!ctime_r(&now, text))
        return "\n";
    return text;
}

namespace {

// Runs in the signal handler: from the second interrupt on, every IMAP
// connection of the run is cut.
void cutOnSecondInterrupt(void* imapSockets)
{
    if (Interrupt::count() >= 2)
        static_cast<zelvo::utils::SocketRegistry*>(imapSockets)->shutdownAll();
}

} // namespace

Migrator::Migrator(const CommandArgs& commandArgs, LogStream& console, MigrationSummary& totals)
    : args(commandArgs), log(console), aborted(false), summary(totals)
{
    Interrupt::setHook(cutOnSecondInterrupt, &imapSockets);
}

Migrator::~Migrator()
{
    Interrupt::setHook(nullptr, nullptr);
    {
        ZMutexGuard guard(&mutex);
        copyist.reset();
    }
    // The session goes with its restore at exit, when one is still to try.
    db.reset();
}

void Migrator::pollInterrupt()
{
    for (unsigned n = Interrupt::take(); n > 0; --n)
        abort();
}

void Migrator::abort()
{
    ZMutexGuard guard(&mutex);
    log.log(LogStream::Line, "\nABORTED\n");
    aborted = true;
    if (copyist)
        copyist->abort();
}

bool Migrator::wasAborted()
{
    ZMutexGuard guard(&mutex);
    return aborted;
}

bool Migrator::stopBeforeTheTargetChanges()
{
    pollInterrupt();
    if (!wasAborted())
        return false;
    stoppedUntouched = true;
    return true;
}

int Migrator::endAborted()
{
    workLeftUndone = true;
    log.log(LogStream::Line, "Migration was aborted - %s", getActualTime().c_str());
    return 0;
}

int Migrator::start()
{
    const bool configOk = test4DConfiguration();
    pollInterrupt();
    if (!configOk)
        return -2;
    if (stopBeforeTheTargetChanges())
        return endAborted();
    const bool imapOk = test4DImapServer();
    pollInterrupt();
    if (!imapOk)
        return -3;
    if (stopBeforeTheTargetChanges())
        return endAborted();
    const bool prepared = prepareZEV();
    pollInterrupt();
    if (!prepared && stoppedUntouched)
        return endAborted();
    if (!prepared && stoppedAfterSwitch) {
        const int result = endAborted();
        return restoreZEV() || restoreBeforeExit() ? result : -10;
    }
    if (!prepared)
        return restoreBeforeExit() ? -4 : -10;

    int result;
    log.log(LogStream::Line, "Migration started - %s", getActualTime().c_str());
    if (migrate()) {
        // Only an interrupt that left work undone makes the run an aborted
        // one; from here on an interrupt is still acted on, but neither this
        // line nor the outcome changes.
        if (workLeftUndone)
            log.log(LogStream::Line, "Migration was aborted - %s", getActualTime().c_str());
        else
            log.log(LogStream::Line, "Migration finished - %s", getActualTime().c_str());
        result = 0;
    } else {
        log.log(LogStream::Line, "Migration failed - %s", getActualTime().c_str());
        result = -5;
    }
    pollInterrupt();
    if (!restoreZEV() && !restoreBeforeExit())
        result = -10;
    pollInterrupt();
    return result;
}

bool Migrator::restoreBeforeExit()
{
    if (!db || !db->needsRestore())
        return true;
    if (db->restoreAtExitTried())
        return false;
    log.log(LogStream::Begin, "Restoring Zelvo MailServer IMAP service configuration before exit ... ");
    const int restored = db->restoreAtExit();
    if (restored == TinyDbResult::Ok) {
        log.log(LogStream::End, "OK\n");
        return true;
    }
    log.log(LogStream::End, "Failed\n");
    // What the administrator has to put back by hand, or to check when the
    // target's state could not be read.
    std::string bindings;
    for (const TinyDbCommunicator::ImapBinding& b : db->getSavedBindings())
        bindings += (bindings.empty() ? "" : ", ") + b.address() + ":" + std::to_string(b.port);
    log.log(LogStream::Error,
            restored == TinyDbResult::AnswerLost
                ? "Zelvo MailServer IMAP service may have been left unrestored (the connection to it was lost): "
                  "its bindings must be (%s); it was %s before the run.\n"
                : "Zelvo MailServer IMAP service was left unrestored: put back its bindings (%s); it was %s "
                  "before the run.\n",
            bindings.empty() ? "none" : bindings.c_str(), db->imapWasRunning() ? "running" : "stopped");
    return false;
}

bool Migrator::test4DConfiguration()
{
    log.log(LogStream::Begin, "Load 4D configuration ... ");
    LogStream errors(&std::cerr);
    unsigned domains = 0;
    unsigned users = 0;
    if (GuiHelper::test4DCfg(args.sourcePath, domains, users, &errors) != GuiHelper::Success) {
        log.log(LogStream::End, "Failed\n");
        return false;
    }
    log.log(LogStream::End, "OK\n");
    log.log(LogStream::Line, "Domains found: %d\n", static_cast<int>(domains));
    log.log(LogStream::Line, "Users found: %d\n", static_cast<int>(users));
    return true;
}

bool Migrator::test4DImapServer()
{
    log.log(LogStream::Begin, "Connecting 4D Imap server ... ");
    switch (GuiHelper::test4DImap(static_cast<unsigned>(args.sourcePort))) {
    case GuiHelper::WebStarImapFound:
        log.log(LogStream::End, "OK\n");
        return true;
    case GuiHelper::ZevImapFound:
        log.log(LogStream::End, "Failed\n");
        log.log(LogStream::Error, "Target Zelvo MailServer found on localhost: %d\n", args.sourcePort);
        return false;
    default:
        log.log(LogStream::End, "Failed\n");
        log.log(LogStream::Error, "No IMAP server found on localhost: %d\n", args.sourcePort);
        return false;
    }
}

bool Migrator::prepareZEV()
{
    db.reset(new TinyDbCommunicator(args.targetUser, args.targetPass, args.targetHost, log, kAdminPort));

    log.log(LogStream::Begin, "Connecting Zelvo MailServer ... ");
    switch (db->connect(true)) {
    case TinyDbResult::Ok:
        log.log(LogStream::End, "OK\n");
        break;
    case TinyDbResult::NotConnected:
        log.log(LogStream::End, "Failed\n");
        log.log(LogStream::Error, "Authentication to Zelvo MailServer failed.\n");
        return false;
    default:
        log.log(LogStream::End, "Failed\n");
        // A known-hosts file that cannot be used is named with its reason:
        // the server itself may be fine.
        if (!db->knownHostsFailure().empty())
            log.log(LogStream::Error, "%s\n", db->knownHostsFailure().c_str());
        else
            log.log(LogStream::Error, "Unable connect to Zelvo MailServer.\n");
        return false;
    }
    if (stopBeforeTheTargetChanges())
        return false;

    log.log(LogStream::Begin, "Preparing Zelvo MailServer IMAP service for migration ... ");
    // The saved state is only read: an interrupt until then leaves the
    // target as it was found.
    int switched = db->saveImapServiceStatus();
    if (switched == TinyDbResult::Ok && stopBeforeTheTargetChanges())
        return false;
    if (switched == TinyDbResult::Ok)
        switched = db->changeImapServiceStatus();
    if (switched != TinyDbResult::Ok) {
        log.log(LogStream::End, "Failed\n");
        log.log(LogStream::Error, "Unable to change Zelvo MailServer configuration.\n");
        return false;
    }
    log.log(LogStream::End, "OK\n");
    // From here on an interrupt lets nothing change the target that the
    // restore does not put back.
    pollInterrupt();
    if (wasAborted()) {
        stoppedAfterSwitch = true;
        return false;
    }

    log.log(LogStream::Begin, "Switching public folders location ... ");
    if (db->setGlobalPublicFolders() != TinyDbResult::Ok) {
        log.log(LogStream::End, "Failed\n");
        log.log(LogStream::Error, "Unable to change public folders location.\n");
        return false;
    }
    log.log(LogStream::End, "OK\n");
    return true;
}

bool Migrator::migrate()
{
    WebStarConfigReader reader(args.sourcePath, log);
    std::vector<boost::shared_ptr<WebStarPostOffice>> postOffices;
    if (reader.getPostOfficeList(postOffices) != 0) {
        log.log(LogStream::Error, "Cannot load informations about post offices (path = \"%s\")\n",
                args.sourcePath.c_str());
        return false;
    }

    for (const auto& postOffice : postOffices) {
        pollInterrupt();
        if (wasAborted()) {
            log.log(LogStream::Line, "ABORTED BY USER\n");
            workLeftUndone = true;
            break;
        }
        const std::string domain = postOffice->smtpDomains.empty() ? std::string() : postOffice->smtpDomains[0];
        if (domain.empty()) {
            log.log(LogStream::Error, "Post office \"%s\" hasn't smtp domain\n", postOffice->name.c_str());
            summary.domainsFailed++;
            continue;
        }
        log.log(LogStream::Line, "\nPost office: \"%s\" migration started\n", postOffice->name.c_str());
        log.log(LogStream::Line, "Domain \"%s\" will be created on target Zelvo MailServer", domain.c_str());
        if (postOffice->smtpDomains.size() > 1) {
            std::string aliases;
            for (size_t i = 1; i < postOffice->smtpDomains.size(); ++i) {
                if (i > 1)
                    aliases += ", ";
                aliases += postOffice->smtpDomains[i];
            }
            log.log(LogStream::Line, " with aliases: %s", aliases.c_str());
        }
        log.log(LogStream::Line, "\n");

        log.log(LogStream::Begin, "Creating domain \"%s\" ... ", domain.c_str());
        const int created = db->createDomain(postOffice);
        if (created == TinyDbResult::Ok || created == TinyDbResult::DomainExists ||
            created == TinyDbResult::AliasFailed) {
            log.log(LogStream::End, "%s\n", created == TinyDbResult::DomainExists ? "domain already exists" : "OK");
            tellSessionLost();
            // The domain exists: its users are migrated, but a missing alias
            // fails it.
            for (const std::string& alias : db->aliasesThatMayExist())
                tellAnswerLost("Alias \"" + alias + "\" of domain \"" + domain + "\"");
            for (const std::string& alias : db->aliasesNotCreated())
                log.log(LogStream::Error, "Alias \"%s\" of domain \"%s\" was not created.\n", alias.c_str(),
                        domain.c_str());
            // A post office whose users could not be read, or whose
            // migration an interrupt cut before any of its users was
            // migrated whole, was not migrated.
            if (migrateDomain(reader, postOffice) && created != TinyDbResult::AliasFailed)
                summary.domainsOk++;
            else
                summary.domainsFailed++;
        } else {
            log.log(LogStream::End, "Failed\n");
            tellSessionLost();
            if (created == TinyDbResult::AnswerLost)
                tellAnswerLost("Domain \"" + domain + "\"");
            summary.domainsFailed++;
            // Its users are not migrated either: they count as failed.
            unsigned users = 0;
            if (reader.getUsersCount(postOffice, users) == 0 && users > 0) {
                if (created == TinyDbResult::AnswerLost)
                    log.log(LogStream::Line, "None of the %d users of domain \"%s\" was migrated\n",
                            static_cast<int>(users), domain.c_str());
                else
                    log.log(LogStream::Line, "Domain \"%s\" was not created, none of its %d users was migrated\n",
                            domain.c_str(), static_cast<int>(users));
                summary.usersFailed += users;
            }
        }
    }

    printSummary();
    return true;
}

void Migrator::printSummary()
{
    log.log(LogStream::Line, "\nMigration summary:\n");
    log.log(LogStream::Line, "Successes:             Errors:\n");
    log.log(LogStream::Line, "%6llu Domains         %6llu Domains\n", summary.domainsOk, summary.domainsFailed);
    log.log(LogStream::Line, "%6llu Users           %6llu Users\n", summary.usersOk, summary.usersFailed);
    log.log(LogStream::Line, "%6llu Folders         %6llu Folders\n", summary.foldersOk, summary.foldersFailed);
    log.log(LogStream::Line, "%6llu Messages        %6llu Messages\n\n", summary.messagesOk,
            summary.messagesFailed);
}

bool Migrator::migrateDomain(WebStarConfigReader& reader, boost::shared_ptr<WebStarPostOffice> postOffice)
{
    const bool undoneBefore = workLeftUndone;
    MigrationSummary record;
    std::vector<boost::shared_ptr<WebStarUser>> users;
    if (reader.getUsers(postOffice, users) != 0) {
        log.log(LogStream::Error, "Cannot load informations about users for post offices \"%s\"\n",
                postOffice->name.c_str());
        return false;
    }

    const int n = static_cast<int>(users.size());
    int i = 0;
    for (const auto& user : users) {
        ++i;
        pollInterrupt();
        if (wasAborted()) {
            workLeftUndone = true;
            break;
        }
        log.log(LogStream::Begin, "Creating user (%d/%d) \"%s\" [\"%s\"] ... ", i, n, user->name.c_str(),
                user->fullName.c_str());
        if (user->password.empty()) {
            log.log(LogStream::End, "Failed\n");
            log.log(LogStream::Error, "Unabled to migrate user %s. Password is empty.\n",
                    user->name.empty() ? "EMPTY USERNAME" : user->name.c_str());
            record.usersFailed++;
            continue;
        }
        const int created = db->createUser(user, true);
        if (created == TinyDbResult::Ok || created == TinyDbResult::ContactFailed ||
            created == TinyDbResult::ContactAnswerLost) {
            log.log(LogStream::End, "OK\n");
            tellSessionLost();
            // The account exists: its mail is copied, but a missing contact
            // fails the user.
            if (created == TinyDbResult::ContactAnswerLost)
                tellAnswerLost("The public contact of user \"" + user->name + "\"");
            else if (created == TinyDbResult::ContactFailed)
                log.log(LogStream::Error, "The public contact of user \"%s\" was not created.\n",
                        user->name.c_str());
            if (migrateUser(user, record) && created == TinyDbResult::Ok)
                record.usersOk++;
            else
                record.usersFailed++;
        } else if (created == TinyDbResult::UserExists) {
            log.log(LogStream::Error, "User already exists, skipping.\n");
            record.usersFailed++;
        } else {
            log.log(LogStream::End, "Failed\n");
            tellSessionLost();
            if (created == TinyDbResult::AnswerLost)
                tellAnswerLost("User \"" + user->name + "\"");
            record.usersFailed++;
        }
    }

    const std::string domain = postOffice->smtpDomains.empty() ? std::string() : postOffice->smtpDomains[0];
    // A domain whose migration an interrupt cut before any of its users was
    // migrated whole is not a migrated one, whatever mail had moved.
    const bool noUserMigrated = workLeftUndone && !undoneBefore && record.usersOk == 0;
    log.log(LogStream::Line, "Domain \"%s\" %s (%llu users, %llu folders, %llu messages, %llu errors)\n",
            domain.c_str(),
            noUserMigrated ? "exists on the target, but the migration was aborted before any of its users was migrated"
                           : "was migrated",
            record.usersOk, record.foldersOk, record.messagesOk,
            record.usersFailed + record.foldersFailed + record.messagesFailed);
    summary += record;
    return !noUserMigrated;
}

bool Migrator::migrateUser(boost::shared_ptr<WebStarUser> user, MigrationSummary& record)
{
    ConnectionConfiguration source;
    source.address = args.sourceHost;
    source.port = args.sourcePort;
    source.user = user->name + "@" + user->domain;
    source.password = user->password;
    source.cramMD5 = true;

    ConnectionConfiguration target;
    target.address = args.targetHost;
    target.port = db->getImapPort();
    target.user = source.user;
    target.password = user->password;
    target.cramMD5 = false;

    for (const ConnectionConfiguration* cfg : {&source, &target}) {
        log.log(LogStream::Debug,
                cfg == &source
                    ? "ImapCopyist: source configuration [address=%s, port=%d, user=%s, password=%s, cramMD5=%s]\n"
                    : "ImapCopyist: target configuration [address=%s, port=%d, user=%s, password=%s, cramMD5=%s]\n",
                cfg->address.c_str(), cfg->port, cfg->user.c_str(), cfg->password.c_str(), cfg->cramMD5 ? "T" : "F");
    }

    pollInterrupt();
    if (wasAborted()) {
        tellMailNotCopied(*user);
        workLeftUndone = true;
        return false;
    }

    {
        ZMutexGuard guard(&mutex);
        copyist.reset(new ImapCopyist(source, target, log));
        copyist->setInterruptPoll([this] { pollInterrupt(); });
        copyist->setSocketRegistry(&imapSockets);
    }

    bool complete = false;
    if (copyist->init() == ImapCopyist::Result::Ok) {
        // A copy that left a folder or message behind fails the user.
        complete = copyUser(user, record);
    } else {
        // The abort lines come before what the interrupt did.
        pollInterrupt();
        if (imapSockets.isShutDown()) {
            tellMailNotCopied(*user);
            workLeftUndone = true;
        }
    }

    copyist->close();
    ZMutexGuard guard(&mutex);
    copyist.reset();
    return complete;
}

bool Migrator::copyUser(boost::shared_ptr<WebStarUser> user, MigrationSummary& record)
{
    copyist->copy();
    // The abort lines come before what the interrupt did.
    pollInterrupt();
    const ImapCopyist::Outcome copied = copyist->outcome();
    const UserVerdict verdict = userVerdict(copied);
    if (verdict.workLeftUndone)
        workLeftUndone = true;
    // What was copied or failed counts also when the copy stopped early, so
    // the summary accounts for every folder and message the source listed.
    record.foldersOk += copied.foldersCopied();
    record.messagesOk += copied.messagesCopied();
    record.foldersFailed += copied.foldersFailed();
    record.messagesFailed += copied.messagesFailed();
    if (verdict.connectionError)
        log.log(LogStream::Error, "Connection error.\n");
    if (verdict.mailNotCopied)
        tellMailNotCopied(*user);
    if (verdict.migratedLine)
        log.log(LogStream::Line, "User \"%s\" was migrated (%llu messages, %llu folders, %llu errors)\n",
                user->name.c_str(), copied.messagesCopied(), copied.foldersCopied(),
                copied.messagesFailed() + copied.foldersFailed());
    return verdict.complete;
}

void Migrator::tellSessionLost()
{
    if (sessionLostTold || !db->sessionLost())
        return;
    sessionLostTold = true;
    log.log(LogStream::Error, "The connection to Zelvo MailServer was lost: no more domains or users can be created.\n");
}

void Migrator::tellAnswerLost(const std::string& what)
{
    log.log(LogStream::Error, "%s may exist on the target: the answer to its creation was lost.\n", what.c_str());
}

void Migrator::tellMailNotCopied(const WebStarUser& user)
{
    // The account stays on the target; a later run skips it as existing.
    log.log(LogStream::Error, "User \"%s\" was created, but its mail was not copied.\n", user.name.c_str());
}

bool Migrator::restoreZEV()
{
    log.log(LogStream::Begin, "Restoring Zelvo MailServer IMAP service configuration ... ");
    if (db->restoreImapStatus() != TinyDbResult::Ok) {
        log.log(LogStream::End, "Failed\n");
        log.log(LogStream::Error, "Unable to restore Zelvo MailServer configuration.\n");
        return false;
    }
    log.log(LogStream::End, "OK\n");
    return true;
}
