#include "migration/ImapCopyist.h"

#include "foundation/net/SocketRegistry.h"
#include "imap/FetchMessage.h"
#include "migration/LogStream.h"

#include <cstdarg>

using ClientResult = SimpleImapClient::ImapClientResult;

ImapCopyist::ImapCopyist(const ConnectionConfiguration& source, const ConnectionConfiguration& target,
                         LogStream& log)
    : sourceCfg(source), targetCfg(target), log(&log)
{
}

ImapCopyist::~ImapCopyist() = default;

bool ImapCopyist::wasAborted()
{
    if (interruptPoll)
        interruptPoll();
    return abortedFlag();
}

bool ImapCopyist::abortedFlag() const
{
    zelvo::tiny::ZMutexGuard guard(&mutex);
    return aborted;
}

void ImapCopyist::abort()
{
    zelvo::tiny::ZMutexGuard guard(&mutex);
    aborted = true;
    source.abort();
}

void ImapCopyist::setInterruptPoll(std::function<void()> poll)
{
    interruptPoll = poll;
    source.setInterruptPoll(std::move(poll));
}

void ImapCopyist::setSocketRegistry(zelvo::utils::SocketRegistry* registry)
{
    sockets = registry;
    source.getConnection().setSocketRegistry(registry);
    target.getConnection().setSocketRegistry(registry);
}

bool ImapCopyist::connectionsCut() const
{
    return sockets != nullptr && sockets->isShutDown();
}

void ImapCopyist::serverError(const char* format, ...)
{
    if (connectionsCut())
        return;
    va_list arguments;
    va_start(arguments, format);
    log->vlog(LogStream::Error, format, arguments);
    va_end(arguments);
}

void ImapCopyist::endFolderLine(const FolderInfo& folder, const std::string& result)
{
    // An abort or error line may have closed the folder's line: then it is
    // told again.
    if (log->lineOpen)
        log->log(LogStream::End, "%s\n", result.c_str());
    else
        log->log(LogStream::Line, "Copying folder \"%s\" ... %s\n", folder.name.c_str(), result.c_str());
}

namespace {

// How a folder's line ends: its state, with how many of its messages were
// copied.
std::string folderResult(const FolderOutcome& outcome)
{
    const std::string counts =
        std::to_string(outcome.copied) + " of " + std::to_string(outcome.total) + " messages";
    switch (outcome.state) {
    case FolderOutcome::Copied:
        return "OK";
    case FolderOutcome::Cut:
        return "Failed (aborted after " + counts + ")";
    case FolderOutcome::Failed:
        break;
    }
    return "Failed (" + counts + " copied)";
}

// The folder's state and counts from its bulk copy: cut when an abort left
// announced messages undone, copied when every message arrived.
void settle(FolderOutcome& outcome, ClientResult result, unsigned copied, unsigned failed,
            const SimpleImapClient::FolderCopyReport& report)
{
    outcome.copied = copied;
    outcome.failed = failed;
    outcome.deleted = report.deleted;
    outcome.total = report.announced > report.deleted ? report.announced - report.deleted : 0;
    if (report.aborted)
        outcome.state = FolderOutcome::Cut;
    else if (result == ClientResult::Ok && failed == 0)
        outcome.state = FolderOutcome::Copied;
    else
        outcome.state = FolderOutcome::Failed;
}

} // namespace

ImapCopyist::Result ImapCopyist::connect(SimpleImapClient& client, const ConnectionConfiguration& configuration)
{
    const ClientResult r = client.connect(configuration.address, static_cast<unsigned>(configuration.port),
                                          configuration.user, configuration.password, configuration.cramMD5);
    switch (r) {
    case ClientResult::Ok:
    case ClientResult::AlreadyConnected:
        return Ok;
    case ClientResult::AuthenticationFailed:
        return AuthenticationError;
    default:
        return ConnectionError;
    }
}

ImapCopyist::Result ImapCopyist::init()
{
    Result r = connect(source, sourceCfg);
    if (r != Ok)
        return logInformation(r, true, sourceCfg.user);
    r = connect(target, targetCfg);
    // Every APPEND sends its message as a LITERAL+ literal: a server that
    // did not announce it would take the message's lines for commands.
    if (r == Ok && !target.hasCapability("LITERAL+")) {
        serverError("Unable connect to target server \"%s\". The server does not support LITERAL+.\n",
                    targetCfg.address.c_str());
        return ConnectionError;
    }
    return logInformation(r, false, sourceCfg.user);
}

ImapCopyist::Result ImapCopyist::logInformation(const Result& result, const bool& isSource, const std::string& user)
{
    const char* side = isSource ? "source" : "target";
    const char* host = isSource ? sourceCfg.address.c_str() : targetCfg.address.c_str();
    switch (result) {
    case Ok:
        break;
    case ConnectionError:
        serverError("Unable connect to %s server \"%s\". Connection Error.\n", side, host);
        break;
    case AuthenticationError:
        if (isSource && sourceCfg.password.empty())
            log->log(LogStream::Error, "Unabled to migrate user %s. Password is empty.\n",
                     user.empty() ? "EMPTY USERNAME" : user.c_str());
        else
            serverError("Unable connect to %s server \"%s\". Authentication Error.\n", side, host);
        break;
    default:
        serverError("Unable connect to %s server \"%s\".\n", side, host);
        break;
    }
    return result;
}

ImapCopyist::Result ImapCopyist::listFolders(SimpleImapClient& client, std::vector<FolderInfo>& list)
{
    list.clear();
    log->log(LogStream::Debug, "Loading folder ingformations ... ");
    std::vector<std::string> names;
    if (client.list(names) != ClientResult::Ok) {
        log->log(LogStream::Debug, "Failed\n");
        serverError("I am not able read folder informations\n");
        return FolderFailed;
    }
    // Every listed folder stays in the list, with the counts read so far,
    // also when a count cannot be read.
    for (const std::string& name : names)
        list.push_back(FolderInfo{name, 0});
    for (FolderInfo& folder : list) {
        if (client.status(folder.name, folder.messages) != ClientResult::Ok) {
            log->log(LogStream::Debug, "Failed\n");
            serverError("I am not able read folder informations\n");
            return FolderFailed;
        }
    }
    log->log(LogStream::Debug, "OK\n");
    for (const FolderInfo& folder : list)
        log->log(LogStream::Debug, " %s [%u messages]\n", folder.name.c_str(), folder.messages);
    return Ok;
}

ImapCopyist::Result ImapCopyist::copy()
{
    lastFolders.clear();
    listed = false;
    lastResult = Ok;
    std::vector<FolderInfo> list;
    listed = listFolders(source, list) == Ok;
    // Every listed folder gets an outcome: those not copied (the failed one
    // and those after it, those after an interrupt, and all of a listing
    // that failed) count as failed with their messages, so the summary
    // accounts for every folder and message the source reported.
    for (const FolderInfo& folder : list) {
        FolderOutcome o;
        o.name = folder.name;
        o.failed = folder.messages;
        o.total = folder.messages;
        lastFolders.push_back(o);
    }
    if (!listed) {
        serverError("Unable list source folders\n");
        lastResult = FolderFailed;
        tally();
        return lastResult;
    }
    // An interrupt before a folder, or one that cut it, leaves it and the
    // folders after it to the interrupt; a failed folder leaves the rest failed.
    auto cutFrom = [&](std::size_t first) {
        for (std::size_t j = first; j < list.size(); ++j)
            lastFolders[j].state = FolderOutcome::Cut;
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (wasAborted()) {
            cutFrom(i);
            break;
        }
        const Result r = copyFolder(list[i], lastFolders[i]);
        if (r != Ok) {
            lastResult = r;
            break;
        }
        if (lastFolders[i].state == FolderOutcome::Cut) {
            cutFrom(i + 1);
            break;
        }
    }
    tally();
    return lastResult;
}

void ImapCopyist::tally()
{
    const Outcome o = outcome();
    messages = o.messagesCopied();
    folders = o.foldersCopied();
    messageErrors = o.messagesFailed();
    folderErrors = o.foldersFailed();
}

ImapCopyist::Outcome ImapCopyist::outcome() const
{
    Outcome o;
    o.result = lastResult;
    o.listed = listed;
    o.connectionsCut = connectionsCut();
    o.folders = lastFolders;
    return o;
}

bool ImapCopyist::Outcome::complete() const
{
    return listed && result == Ok && foldersFailed() == 0;
}

bool ImapCopyist::Outcome::interrupted() const
{
    for (const FolderOutcome& f : folders)
        if (f.state == FolderOutcome::Cut)
            return true;
    return false;
}

bool ImapCopyist::Outcome::nothingCopied() const
{
    return foldersCopied() == 0 && messagesCopied() == 0;
}

unsigned long long ImapCopyist::Outcome::foldersCopied() const
{
    unsigned long long n = 0;
    for (const FolderOutcome& f : folders)
        n += f.state == FolderOutcome::Copied ? 1 : 0;
    return n;
}

unsigned long long ImapCopyist::Outcome::foldersFailed() const
{
    return folders.size() - foldersCopied();
}

unsigned long long ImapCopyist::Outcome::messagesCopied() const
{
    unsigned long long n = 0;
    for (const FolderOutcome& f : folders)
        n += f.copied;
    return n;
}

unsigned long long ImapCopyist::Outcome::messagesFailed() const
{
    unsigned long long n = 0;
    for (const FolderOutcome& f : folders)
        n += f.failed;
    return n;
}

ImapCopyist::Result ImapCopyist::copyFolder(const FolderInfo& folder, FolderOutcome& outcome)
{
    log->log(LogStream::Begin, "Copying folder \"%s\" (%u messages) ... ", folder.name.c_str(), folder.messages);
    // The copy expects what the folder holds now, not what STATUS found
    // when the user's folders were listed; a server without EXISTS in its
    // SELECT reply leaves the STATUS count.
    unsigned exists = folder.messages;
    ClientResult r = source.select(folder.name, exists);
    if (r != ClientResult::Ok) {
        if (connectionsCut()) {
            outcome.state = FolderOutcome::Cut;
            endFolderLine(folder, folderResult(outcome));
        } else {
            log->log(LogStream::Error, "I am not able select source folder \"%s\".\n", folder.name.c_str());
        }
        return r == ClientResult::SelectFailed ? FolderFailed : ConnectionError;
    }
    // The name goes unchanged to the target: no delimiter is translated and
    // the server creates missing parents itself.
    r = target.select(folder.name);
    if (r == ClientResult::SelectFailed) {
        r = target.createFolder(folder.name, SimpleImapClient::FolderType::Default);
        // A server appends much faster into the selected folder than into
        // one it must open for every message; APPEND works either way.
        if (r == ClientResult::Ok)
            target.select(folder.name);
    }
    if (r != ClientResult::Ok) {
        if (connectionsCut()) {
            outcome.state = FolderOutcome::Cut;
            endFolderLine(folder, folderResult(outcome));
        } else {
            log->log(LogStream::Error, "I am not able create target folder \"%s\".\n", folder.name.c_str());
        }
        return r == ClientResult::CreateFolderFailed ? FolderFailed : ConnectionError;
    }
    copyMessages(source, target, folder.name, exists, outcome);
    // A message that did not arrive fails its folder; the copy goes on.
    endFolderLine(folder, folderResult(outcome));
    if (outcome.deleted > 0)
        log->log(LogStream::Line, "%llu messages of folder \"%s\" were deleted on the source during its copy.\n",
                 outcome.deleted, folder.name.c_str());
    return Ok;
}

void ImapCopyist::copyMessages(SimpleImapClient& from, SimpleImapClient& to, const std::string& name,
                               unsigned expected, FolderOutcome& outcome)
{
    unsigned copied = 0;
    unsigned failed = 0;
    SimpleImapClient::FolderCopyReport report;
    const ClientResult r =
        from.copyFolder(name, to, copied, failed, log->out, &log->mutex, log->enabled, expected, &report);
    settle(outcome, r, copied, failed, report);
    // After an interrupt that ended the copy the messages left behind are
    // counted, not reported.
    if (outcome.state != FolderOutcome::Failed)
        return;
    // Each side that failed messages is told, also when the copy went on
    // past them. Every failure of the bulk copy other than the target's is
    // on the source side.
    if (report.failedUploads > 0 || r == ClientResult::AppendFailed)
        serverError("I am not able upload messages to target folder \"%s\".\n", name.c_str());
    if (report.failedDownloads > 0 || (r != ClientResult::Ok && r != ClientResult::AppendFailed))
        serverError("I am not able download messages from source folder \"%s\".\n", name.c_str());
    const std::string& dropped = from.getConnection().getDropReason();
    if (!dropped.empty())
        log->log(LogStream::Debug, "The copy of folder \"%s\" dropped the source connection: %s\n", name.c_str(),
                 dropped.c_str());
}

int ImapCopyist::close()
{
    source.disconnect(true);
    target.disconnect(true);
    return 0;
}

int ImapCopyist::disconnect(SimpleImapClient& client)
{
    client.disconnect(true);
    return 0;
}

int ImapCopyist::selectFolder(SimpleImapClient& client, const std::string& name)
{
    const ClientResult r = client.select(name);
    if (r == ClientResult::Ok)
        return 0;
    return r == ClientResult::SelectFailed ? 1 : 3;
}

int ImapCopyist::createFolder(SimpleImapClient& client, const std::string& name)
{
    ClientResult r = client.select(name);
    if (r == ClientResult::SelectFailed)
        r = client.createFolder(name, SimpleImapClient::FolderType::Default);
    if (r == ClientResult::Ok)
        return 0;
    return r == ClientResult::CreateFolderFailed ? 1 : 3;
}

int ImapCopyist::createFolderWithRootFolders(SimpleImapClient& client, const std::string& path)
{
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const int r = createFolder(client, path.substr(0, slash));
        if (r != 0)
            return r;
    }
    return createFolder(client, path);
}

int ImapCopyist::copyMessage(SimpleImapClient& from, const unsigned& number, SimpleImapClient& to,
                             const std::string& folder)
{
    FetchMessage message;
    ClientResult r = from.fetch(number, message);
    if (r == ClientResult::FetchFailed) {
        log->log(LogStream::Error, "I am not able download message (id = %d) from source folder \"%s\".\n", number,
                 folder.c_str());
        return 1;
    }
    if (r != ClientResult::Ok)
        return 3;
    r = to.append(folder, &message, false);
    if (r == ClientResult::Ok)
        return 0;
    // Keep the source in step for the next command.
    message.skipRemaining();
    if (r == ClientResult::AppendFailed) {
        log->log(LogStream::Error, "I am not able upload message (id = %d) to target folder \"%s\".\n", number,
                 folder.c_str());
        return 1;
    }
    return 3;
}

std::string ImapCopyist::getServerString(const SimpleImapClient& client) const
{
    if (&client == &source)
        return "source ";
    if (&client == &target)
        return "target ";
    return std::string();
}

std::string ImapCopyist::getServerString(const ConnectionConfiguration& configuration) const
{
    if (&configuration == &sourceCfg)
        return "source ";
    if (&configuration == &targetCfg)
        return "target ";
    return std::string();
}
