#include "migration/ImapCopyist.h"

#include "imap/FetchMessage.h"
#include "migration/LogStream.h"

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
    zelvo::tiny::ZMutexGuard guard(&mutex);
    return aborted;
}

void ImapCopyist::setInterruptPoll(std::function<void()> poll)
{
    interruptPoll = poll;
    source.setInterruptPoll(std::move(poll));
}

void ImapCopyist::setSocketRegistry(zelvo::utils::SocketRegistry* registry)
{
    source.getConnection().setSocketRegistry(registry);
    target.getConnection().setSocketRegistry(registry);
}

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
        log->log(LogStream::Error, "Unable connect to target server \"%s\". The server does not support LITERAL+.\n",
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
        log->log(LogStream::Error, "Unable connect to %s server \"%s\". Connection Error.\n", side, host);
        break;
    case AuthenticationError:
        if (isSource && sourceCfg.password.empty())
            log->log(LogStream::Error, "Unabled to migrate user %s. Password is empty.\n",
                     user.empty() ? "EMPTY USERNAME" : user.c_str());
        else
            log->log(LogStream::Error, "Unable connect to %s server \"%s\". Authentication Error.\n", side, host);
        break;
    default:
        log->log(LogStream::Error, "Unable connect to %s server \"%s\".\n", side, host);
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
        log->log(LogStream::Error, "I am not able read folder informations\n");
        return FolderFailed;
    }
    for (const std::string& name : names) {
        unsigned count = 0;
        if (client.status(name, count) != ClientResult::Ok) {
            log->log(LogStream::Debug, "Failed\n");
            log->log(LogStream::Error, "I am not able read folder informations\n");
            return FolderFailed;
        }
        list.push_back(FolderInfo{name, count});
    }
    log->log(LogStream::Debug, "OK\n");
    for (const FolderInfo& folder : list)
        log->log(LogStream::Debug, " %s [%d messages]\n", folder.name.c_str(), folder.messages);
    return Ok;
}

ImapCopyist::Result ImapCopyist::copy()
{
    messages = folders = messageErrors = folderErrors = 0;
    std::vector<FolderInfo> list;
    if (listFolders(source, list) != Ok) {
        log->log(LogStream::Error, "Unable list source folders\n");
        return FolderFailed;
    }
    // The messages of folders that are not copied (the failed one and those
    // after it, or those after an interrupt) are counted as failed, so the
    // summary accounts for every message the source reported.
    auto leaveFrom = [&](std::size_t first) {
        for (std::size_t i = first; i < list.size(); ++i)
            messageErrors += list[i].messages;
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (wasAborted()) {
            leaveFrom(i);
            return Ok;
        }
        const Result r = copyFolder(list[i]);
        if (r != Ok) {
            ++folderErrors;
            leaveFrom(i);
            return r;
        }
        ++folders;
    }
    return Ok;
}

ImapCopyist::Result ImapCopyist::copyFolder(const FolderInfo& folder)
{
    log->log(LogStream::Begin, "Copying folder \"%s\" (%d messages) ... ", folder.name.c_str(), folder.messages);
    ClientResult r = source.select(folder.name);
    if (r != ClientResult::Ok) {
        log->log(LogStream::Error, "I am not able select source folder \"%s\".\n", folder.name.c_str());
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
        log->log(LogStream::Error, "I am not able create target folder \"%s\".\n", folder.name.c_str());
        return r == ClientResult::CreateFolderFailed ? FolderFailed : ConnectionError;
    }
    copyMessages(source, target, folder.name, folder.messages);
    log->log(LogStream::End, "OK\n");
    return Ok;
}

void ImapCopyist::copyMessages(SimpleImapClient& from, SimpleImapClient& to, const std::string& name,
                               unsigned expected)
{
    unsigned copied = 0;
    unsigned failed = 0;
    const ClientResult r =
        from.copyFolder(name, to, copied, failed, log->out, &log->mutex, log->enabled, expected);
    messages += copied;
    messageErrors += failed;
    if (r == ClientResult::Ok && failed == 0)
        return;
    // An interrupt that ended the copy is acted on (its line written) before
    // a failure is told. After it the messages left behind are counted, not
    // reported.
    if (wasAborted() && r == ClientResult::Ok)
        return;
    // A copy that went on past messages the target would not store still
    // tells the user so.
    if (r == ClientResult::Ok || r == ClientResult::AppendFailed)
        log->log(LogStream::Error, "I am not able upload messages to target folder \"%s\".\n", name.c_str());
    else
        // Every other failure of the bulk copy is on the source side.
        log->log(LogStream::Error, "I am not able download messages from source folder \"%s\".\n", name.c_str());
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
