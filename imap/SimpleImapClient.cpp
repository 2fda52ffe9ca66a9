#include "imap/SimpleImapClient.h"

#include <cstdlib>
#include <cstring>

#include "foundation/text/Compare.h"
#include "imap/Command.h"
#include "imap/CommandAppend.h"
#include "imap/CommandFetch.h"
#include "imap/CommandXUser.h"
#include "imap/FolderCommands.h"
#include "imap/FetchMessage.h"
#include "imap/IMessage.h"
#include "imap/ImapException.h"
#include "imap/Synthesizer.h"

using Result = SimpleImapClient::ImapClientResult;

namespace {

// The flags an APPEND may carry: \Recent is the server's alone (RFC 3501),
// and a server refuses the whole command when a client sends it.
std::string appendableFlags(const std::string& flags)
{
    std::string out;
    std::size_t pos = 0;
    while (pos < flags.size()) {
        std::size_t end = flags.find(' ', pos);
        if (end == std::string::npos)
            end = flags.size();
        const std::string flag = flags.substr(pos, end - pos);
        if (!flag.empty() && !zelvo::utils::iEqual(flag, "\\Recent")) {
            if (!out.empty())
                out += ' ';
            out += flag;
        }
        pos = end + 1;
    }
    return out;
}

unsigned typeBit(SimpleImapClient::FolderType type)
{
    switch (type) {
    case SimpleImapClient::FolderType::Contact:
        return ListExtension::Contact;
    case SimpleImapClient::FolderType::Calendar:
        return ListExtension::Calendar;
    case SimpleImapClient::FolderType::Todo:
        return ListExtension::Todo;
    case SimpleImapClient::FolderType::Journal:
        return ListExtension::Journal;
    case SimpleImapClient::FolderType::Mail:
        return ListExtension::Mail;
    case SimpleImapClient::FolderType::Note:
        return ListExtension::Note;
    default:
        return 0;
    }
}

// Leading decimal digits; 0 when there are none.
unsigned leadingNumber(const std::string& s, std::size_t pos)
{
    return static_cast<unsigned>(std::strtoul(s.c_str() + pos, nullptr, 10) & 0xffffffffUL);
}

} // namespace

Result SimpleImapClient::connect(const std::string& host, unsigned port, const std::string& user,
                                 const std::string& password, bool cramMD5)
{
    masterMode = false;
    return init(host, port, user, password, cramMD5);
}

Result SimpleImapClient::connect(const std::string& host, unsigned port, const std::string& secret, unsigned)
{
    masterMode = true;
    return init(host, port, std::string(), secret, false);
}

Result SimpleImapClient::init(const std::string& host, unsigned port, const std::string& user,
                              const std::string& password, bool cramMD5)
{
    if (connected)
        return Result::AlreadyConnected;
    if (masterMode)
        connection.initialize(host, port, password, timeoutSeconds, false);
    else
        connection.initialize(host, port, user, password, cramMD5, timeoutSeconds, false);
    try {
        connection.init(true);
    } catch (ImapException& e) {
        return handleImapException(e, Result::AuthenticationFailed);
    }
    connected = true;
    return Result::Ok;
}

void SimpleImapClient::disconnect(bool logout)
{
    if (!connected)
        return;
    // A connection that is already down would only be rebuilt to say LOGOUT.
    if (logout && connection.getState() != ConnectionInternal::State::Disconnected) {
        try {
            connection.logout();
        } catch (ImapException&) {
        }
    }
    connection.close();
    connected = false;
}

Result SimpleImapClient::select(const std::string& folder)
{
    unsigned ignored = 0;
    return select(folder, ignored);
}

Result SimpleImapClient::select(const std::string& folder, unsigned& exists)
{
    if (!connected)
        return Result::NotConnected;
    try {
        CommandSelect command(connection, folder);
        if (command.execute() != Command::Response::Ok)
            return Result::SelectFailed;
        connection.setState(ConnectionInternal::State::Selected);
        for (const std::string& response : command.getUntaggedResponses()) {
            unsigned long count = 0;
            if (untaggedNumber(response + "\r\n", "EXISTS", count))
                exists = static_cast<unsigned>(count);
        }
        return Result::Ok;
    } catch (ImapException& e) {
        return handleImapException(e, Result::SelectFailed);
    }
}

Result SimpleImapClient::status(const std::string& folder, unsigned& messages)
{
    if (!connected)
        return Result::NotConnected;
    try {
        CommandStatus command(connection, folder);
        // An answer without a count would pass the folder as empty and its
        // messages would never be fetched: that is a failure, not a 0.
        unsigned count = 0;
        if (command.execute() != Command::Response::Ok || !command.findMessagesCount(count))
            return Result::StatusFailed;
        messages = count;
        return Result::Ok;
    } catch (ImapException& e) {
        return handleImapException(e, Result::StatusFailed);
    }
}

Result SimpleImapClient::list(std::vector<std::string>& names)
{
    if (!connected)
        return Result::NotConnected;
    names.clear();
    try {
        CommandList command(connection, "", "*");
        if (command.execute() != Command::Response::Ok)
            return Result::ListFailed;
        std::vector<FolderListEntry> entries;
        command.getList(entries, true);
        for (const FolderListEntry& entry : entries)
            if (entry.selectable)
                names.push_back(entry.name);
        return Result::Ok;
    } catch (ImapException& e) {
        return handleImapException(e, Result::ListFailed);
    }
}

Result SimpleImapClient::createFolder(const std::string& folder, FolderType type)
{
    if (!connected)
        return Result::NotConnected;
    try {
        CommandCreate command(connection, folder, typeBit(type), "");
        return command.execute() == Command::Response::Ok ? Result::Ok : Result::CreateFolderFailed;
    } catch (ImapException& e) {
        return handleImapException(e, Result::CreateFolderFailed);
    }
}

Result SimpleImapClient::append(const std::string& folder, IMessage* message, bool xAppend)
{
    if (!connected)
        return Result::NotConnected;
    try {
        const unsigned size = message->getSize();
        const std::string date = message->getDate();
        const std::string flags = appendableFlags(message->getFlags());
        CommandAppend command(connection, folder, flags, date, size, xAppend);
        return command.execute(message) == Command::Response::Ok ? Result::Ok : Result::AppendFailed;
    } catch (ImapException& e) {
        return handleImapException(e, Result::AppendFailed);
    }
}

Result SimpleImapClient::fetch(unsigned number, FetchMessage& message)
{
    if (!connected)
        return Result::NotConnected;
    try {
        CommandFetch command(connection, number, message);
        if (command.execute() != Command::Response::Ok || !command.getDateAndFlags(message))
            return Result::FetchFailed;
        CommandFetchBody body(connection, number, message);
        return body.execute() == 0 ? Result::Ok : Result::FetchFailed;
    } catch (ImapException& e) {
        return handleImapException(e, Result::FetchFailed);
    }
}

Result SimpleImapClient::createUser(const std::string& name, const std::string& domain,
                                    const std::string& password, const std::string& fullName)
{
    if (!connected)
        return Result::NotConnected;
    try {
        CommandXCreateUser command(connection, name, domain, password, fullName, {});
        return command.execute() == Command::Response::Ok ? Result::Ok : Result::CreateUserFailed;
    } catch (ImapException& e) {
        return handleImapException(e, Result::CreateUserFailed);
    }
}

Result SimpleImapClient::setUser(const std::string& user, const std::string& domain)
{
    if (!connected)
        return Result::NotConnected;
    try {
        CommandXSetUser command(connection, user + "@" + domain);
        return command.execute() == Command::Response::Ok ? Result::Ok : Result::SetUserFailed;
    } catch (ImapException& e) {
        return handleImapException(e, Result::SetUserFailed);
    }
}

bool SimpleImapClient::hasCapability(const std::string& word)
{
    if (!connected)
        return false;
    try {
        return connection.hasCapability(word);
    } catch (ImapException&) {
        return false;
    }
}

bool SimpleImapClient::isXAppendSupported()
{
    if (!connected)
        return false;
    try {
        Command command(connection, "X-CHECKVERSION");
        if (command.execute() == Command::Response::Bad)
            return false;
        std::string reply = command.getTaggedResponse();
        Command::removeEOL(reply);
        const std::size_t blank = reply.rfind(' ');
        if (blank == std::string::npos)
            return false;
        const std::size_t first = blank + 1;
        const std::size_t dot1 = reply.find('.', first);
        if (dot1 == std::string::npos)
            return false;
        const std::size_t dot2 = reply.find('.', dot1 + 1);
        if (dot2 == std::string::npos)
            return false;
        const unsigned major = leadingNumber(reply, first);
        const unsigned minor = leadingNumber(reply, dot1 + 1);
        return major >= 6 && minor >= 3;
    } catch (...) {
        return false;
    }
}

void SimpleImapClient::abort()
{
    zelvo::tiny::ZMutexGuard guard(&abortMutex);
    aborted = true;
}

bool SimpleImapClient::wasAborted()
{
    if (interruptPoll)
        interruptPoll();
    zelvo::tiny::ZMutexGuard guard(&abortMutex);
    return aborted;
}

bool SimpleImapClient::testImapServer(const std::string& host, unsigned port, std::string& greeting)
{
    ConnectionInternal probe;
    probe.initialize(host, port, std::string(), std::string(), false, timeoutSeconds, false);
    try {
        probe.init(false);
    } catch (ImapConnectionFailed&) {
        return false;
    }
    greeting = probe.getGreeting();
    return true;
}

Result SimpleImapClient::parseTaggedResponse(const std::string& line)
{
    const std::size_t tagEnd = line.find(' ');
    if (tagEnd == std::string::npos)
        return Result::FetchFailed;
    const std::size_t word = line.find_first_not_of(' ', tagEnd);
    if (word == std::string::npos)
        return Result::FetchFailed;
    std::size_t end = line.find_first_of(" \r\n", word);
    if (end == std::string::npos)
        end = line.size();
    return zelvo::utils::iEqual(line.substr(word, end - word), "OK") ? Result::Ok : Result::FetchFailed;
}
