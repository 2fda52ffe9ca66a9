#include "imap/ConnectionInternal.h"

#include <algorithm>

#include "foundation/net/InetAddress.h"
#include "foundation/net/InetSocketAddress.h"
#include "foundation/net/TcpClientStream.h"
#include "foundation/net/Url.h"
#include "foundation/text/Compare.h"
#include "imap/Command.h"
#include "imap/CommandAuthCramMD5.h"
#include "imap/CommandXMasterAuth.h"
#include "imap/ImapException.h"
#include "imap/Lexer.h"
#include "imap/Parser.h"
#include "imap/ResponseResult.h"

using zelvo::utils::basic_tcpclientiostream;
using zelvo::utils::CantResolveException;
using zelvo::utils::InetSocketAddress;
using zelvo::utils::InetSSLSocketAddress;

namespace {

constexpr int streamBufferSize = 4096;
// How much of an over-long greeting the failure message keeps.
constexpr std::size_t maxGreetingShown = 256;

// Clears a flag when the scope ends, also by an exception.
class FlagGuard {
public:
    explicit FlagGuard(bool& flag) : flag(flag) { flag = true; }
    ~FlagGuard() { flag = false; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    bool& flag;
};

bool announces(const std::vector<std::string>& capabilities, const std::string& word)
{
    return std::any_of(capabilities.begin(), capabilities.end(),
                       [&](const std::string& c) { return zelvo::utils::iEqual(c, word); });
}

// The words of a CAPABILITY response code ("* OK [CAPABILITY ...] text",
// "Z1 OK [CAPABILITY ...] text") or of an untagged CAPABILITY response;
// false, words unchanged, for any other response.
bool capabilityWords(std::string response, std::vector<std::string>& words)
{
    Command::removeEOL(response);
    ResponseResult result;
    try {
        Parser(response).parseResponse(result);
    } catch (const ImapParserException&) {
        return false;
    }
    std::string list;
    if (!result.isTagged() && result.getType() == ImapResponseCapability) {
        list = result.getString();
    } else {
        std::string code = result.getCode();
        zelvo::mail::imap::trim(code);
        Parser inner(code);
        std::string word;
        if (!inner.getNode(word) || !zelvo::utils::iEqual(word, "CAPABILITY") || !inner.getRest(list))
            return false;
    }
    words.clear();
    Parser parser(list);
    std::string word;
    while (parser.getNode(word))
        words.push_back(word);
    return true;
}

} // namespace

ConnectionInternal::ConnectionInternal()
{
    dataPartBuffer.reserve(dataPartSize);
}

ConnectionInternal::~ConnectionInternal()
{
    try {
        if ((state == State::Authenticated || state == State::Selected) && stream && streamGood()) {
            // A farewell is not worth a rebuilt connection.
            FlagGuard noRebuild(reconnecting);
            Command command(*this, "LOGOUT");
            command.execute();
        }
    } catch (...) {
        // The server may say BYE, time out or be gone: nothing to report.
    }
    try {
        close();
    } catch (...) {
    }
}

void ConnectionInternal::initialize(const std::string& host, unsigned port, const std::string& secret,
                                    unsigned timeoutSeconds, bool useSsl)
{
    this->host = host;
    this->port = port;
    this->password = secret;
    this->timeoutSeconds = timeoutSeconds;
    this->useSsl = useSsl;
    useMasterAuth = true;
    useCramMd5 = false;
}

void ConnectionInternal::initialize(const std::string& host, unsigned port, const std::string& user,
                                    const std::string& password, bool useCramMd5, unsigned timeoutSeconds,
                                    bool useSsl)
{
    this->host = host;
    this->port = port;
    this->user = user;
    this->password = password;
    this->timeoutSeconds = timeoutSeconds;
    this->useSsl = useSsl;
    useMasterAuth = false;
    this->useCramMd5 = useCramMd5;
}

void ConnectionInternal::initStream()
{
    const std::string url = "imap://" + host + ":" + std::to_string(port);
    try {
        if (useSsl) {
            zelvo::utils::Url parsed(url);
            InetSSLSocketAddress peer(parsed, "", "");
            stream.reset(new basic_tcpclientiostream(peer, InetSSLSocketAddress::any(), streamBufferSize,
                                                     streamBufferSize, true));
        } else {
            InetSocketAddress peer(url);
            stream.reset(new basic_tcpclientiostream(peer, InetSocketAddress::any(), streamBufferSize,
                                                     streamBufferSize));
        }
        stream->setTimeoutInSeconds(timeoutSeconds);
        stream->getBuffer()->setSocketRegistry(socketRegistry);
    } catch (const ImapException&) {
        throw;
    } catch (const CantResolveException&) {
        throw ImapConnectionFailed("");
    } catch (const std::exception&) {
        // An address the socket layer cannot represent (port out of range).
        throw ImapConnectionFailed("");
    }
}

void ConnectionInternal::init(bool login)
{
    try {
        initStream();
        stream->create();
        if (!streamGood()) {
            stream->close();
            setState(State::Disconnected);
            throw ImapConnectionFailed("");
        }
        setState(State::NotAuthenticated);
        greeting.clear();
        bool complete = false;
        try {
            readLine(greeting, complete);
        } catch (const ImapParserException&) {
            // Whatever is wrong with the greeting, it is a failed connect.
            if (greeting.size() > maxGreetingShown)
                greeting.resize(maxGreetingShown);
            throw ImapConnectionFailed(greeting);
        }
        if (!streamGood() || greeting.empty() || !complete || greeting.find("* BYE") != std::string::npos)
            throw ImapConnectionFailed(greeting);
        capabilities.clear();
        capabilitiesFinal = false;
        capabilityWords(greeting, capabilities);
        if (login)
            this->login();
    } catch (ImapException&) {
        if (stream)
            stream->close();
        setState(State::Disconnected);
        throw;
    }
}

void ConnectionInternal::login()
{
    if (useMasterAuth) {
        CommandXMasterAuth command(*this, password);
        if (command.execute() != Command::Response::Ok)
            throw AuthenticateFailedException("Authentication failed - Master Authentication");
        learnCapabilities(command);
    } else if (useCramMd5) {
        CommandAuthCramMD5 command(*this, user, password);
        if (command.execute() != Command::Response::Ok)
            throw AuthenticateFailedException("Authentication failed - Authentication CRAM-MD5");
        learnCapabilities(command);
    } else {
        Command command(*this, "LOGIN");
        command.addParamString(user);
        command.addParamString(password);
        if (command.execute() != Command::Response::Ok)
            throw AuthenticateFailedException("Authentication failed - Login");
        learnCapabilities(command);
    }
    setState(State::Authenticated);
}

void ConnectionInternal::learnCapabilities(const Command& login)
{
    bool learned = capabilityWords(login.getTaggedResponse(), capabilities);
    for (const std::string& response : login.getUntaggedResponses())
        if (!learned)
            learned = capabilityWords(response, capabilities);
    capabilitiesFinal = capabilitiesFinal || learned;
}

std::string ConnectionInternal::getTag()
{
    return "Z" + std::to_string(tagCounter++);
}

bool ConnectionInternal::writeText(const std::string& text, bool flush)
{
    stream->write(text.data(), static_cast<std::streamsize>(text.size()));
    if (flush)
        stream->flush();
    return streamGood() && state != State::Disconnected;
}

bool ConnectionInternal::send(const std::string& text, bool flush)
{
    if (stream && streamGood() && state != State::Disconnected && writeText(text, flush))
        return true;
    if (reconnecting) {
        // The login of a rebuild failed to send: give up instead of nesting.
        close();
        throw ImapConnectionFailed("Send failed");
    }
    close();
    if (stream)
        stream->clear();
    {
        FlagGuard guard(reconnecting);
        init(true);
    }
    if (writeText(text, flush))
        return true;
    close();
    throw ImapConnectionFailed("Send failed");
}

bool ConnectionInternal::sendContinuation(const std::string& text, bool flush)
{
    if (stream && streamGood() && state != State::Disconnected && writeText(text, flush))
        return true;
    close();
    throw ImapConnectionFailed("Send failed");
}

bool ConnectionInternal::readLine(std::string& line, bool& complete)
{
    std::streambuf* buffer = stream->rdbuf();
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            stream->setstate(std::ios::eofbit);
            complete = false;
            return !line.empty();
        }
        if (c == '\n') {
            complete = true;
            return true;
        }
        if (line.size() >= maxLineLength)
            protocolError("Response line too long");
        line.push_back(static_cast<char>(c));
    }
}

bool ConnectionInternal::recvLine(std::string& line)
{
    line.clear();
    if (stream && streamGood() && state != State::Disconnected) {
        bool complete = false;
        readLine(line, complete);
        if (streamGood() && state != State::Disconnected) {
            if (line.empty())
                return true;
            if (complete) {
                line += '\n';
                return true;
            }
            // The data ended inside a line: what arrived cannot be trusted
            // to be a whole response.
        }
    }
    close();
    throw ImapConnectionFailed("recvLine failed");
}

unsigned ConnectionInternal::recvData(std::string& out, unsigned n)
{
    if (!stream)
        return 0;
    unsigned got = 0;
    while (got < n) {
        const std::size_t chunk = std::min<std::size_t>(n - got, dataPartSize);
        const std::size_t old = out.size();
        out.resize(old + chunk);
        stream->read(&out[old], static_cast<std::streamsize>(chunk));
        const std::size_t read = static_cast<std::size_t>(stream->gcount());
        out.resize(old + read);
        got += static_cast<unsigned>(read);
        if (read < chunk)
            break;
    }
    return got;
}

bool ConnectionInternal::streamGood()
{
    if (!stream)
        return false;
    if (stream->eof()) {
        stream->clear();
        return true;
    }
    return stream->good();
}

void ConnectionInternal::setState(State next)
{
    bool allowed = false;
    switch (state) {
    case State::Disconnected:
        allowed = next == State::NotAuthenticated;
        break;
    case State::NotAuthenticated:
        allowed = next == State::Disconnected || next == State::Authenticated;
        break;
    case State::Authenticated:
        allowed = next == State::Disconnected || next == State::NotAuthenticated || next == State::Selected;
        break;
    case State::Selected:
        allowed = next == State::Disconnected || next == State::Authenticated;
        break;
    }
    if (allowed)
        state = next;
}

void ConnectionInternal::close()
{
    if (stream)
        stream->close();
    setState(State::Disconnected);
}

void ConnectionInternal::logout()
{
    Command command(*this, "LOGOUT");
    try {
        command.execute();
    } catch (const ImapServerBrokeConnection&) {
        // The BYE every server sends before its LOGOUT reply (RFC 3501).
    } catch (ImapException&) {
        setState(State::Disconnected);
        throw;
    }
    setState(State::Disconnected);
}

void ConnectionInternal::reconnect()
{
    close();
    init(true);
}

void ConnectionInternal::setTimeout(unsigned seconds)
{
    if (stream)
        stream->setTimeoutInSeconds(seconds);
}

void ConnectionInternal::setSocketRegistry(zelvo::utils::SocketRegistry* registry)
{
    socketRegistry = registry;
    if (stream)
        stream->getBuffer()->setSocketRegistry(registry);
}

std::vector<std::string> ConnectionInternal::getCapability()
{
    if (!capabilities.empty())
        return capabilities;
    Command command(*this, "CAPABILITY");
    if (command.execute() != Command::Response::Ok)
        return capabilities;
    const std::vector<std::string>& untagged = command.getUntaggedResponses();
    if (untagged.empty())
        throw ImapConnectionFailed("");
    ResponseResult result;
    Parser(untagged.front()).parseResponse(result);
    const std::string rest = result.getString();
    Parser words(rest);
    std::string word;
    while (words.getNode(word))
        capabilities.push_back(word);
    capabilitiesFinal = state == State::Authenticated || state == State::Selected;
    return capabilities;
}

bool ConnectionInternal::hasCapability(const std::string& word)
{
    if (announces(capabilities, word))
        return true;
    if (capabilitiesFinal && !capabilities.empty())
        return false;
    // Servers may announce more after the login than before it.
    capabilities.clear();
    getCapability();
    return announces(capabilities, word);
}

void ConnectionInternal::protocolError(const std::string& what)
{
    close();
    throw ImapParserException(what);
}

bool ConnectionInternal::dropConnection(const char* why)
{
    dropReason = why;
    close();
    return false;
}
