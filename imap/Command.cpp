#include "imap/Command.h"

#include "imap/ConnectionInternal.h"
#include "imap/IMessage.h"
#include "imap/ImapException.h"
#include "imap/Lexer.h"
#include "imap/Parser.h"

namespace {

constexpr std::size_t workReserve = 1024;

bool startsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The literal count announced by a command text that ends in "{n+}\r\n".
bool announcedLiteral(const std::string& text, unsigned& size)
{
    const std::string::size_type open = text.rfind('{');
    if (open == std::string::npos || text.size() < open + 5 || text.compare(text.size() - 3, 3, "}\r\n") != 0)
        return false;
    unsigned long n = 0;
    bool plus = false;
    if (!zelvo::mail::imap::parseLiteralCount(text.begin() + static_cast<std::ptrdiff_t>(open) + 1,
                                              text.end() - 3, n, plus) ||
        !plus)
        return false;
    size = static_cast<unsigned>(n);
    return true;
}

} // namespace

Command::Command(ConnectionInternal& connection, const std::string& name)
    : tag(connection.getTag()), name(name), connection(&connection)
{
    text.addParam(tag);
    text.addParam(name);
}

Command::~Command() = default;

Command::Response Command::execute(IMessage* message)
{
    std::string line;
    std::string response;
    line.reserve(workReserve);
    response.reserve(workReserve);

    // The builder lets a line end into the text only after a LITERAL+
    // header or inside its counted bytes. Only a server that announced
    // LITERAL+ takes those bytes as data; any other reads them as commands.
    if (text.get().find("+}\r\n") != std::string::npos && !connection->hasCapability("LITERAL+"))
        throw ImapException("The server does not support LITERAL+", 0);

    if (!message)
        text.append("\r\n");
    // An upload's command line waits in the stream buffer for its first part:
    // the literal is of the LITERAL+ kind, so nothing waits for the server.
    connection->send(text.get(), message == nullptr);

    if (message) {
        unsigned expected = 0;
        const bool counted = announcedLiteral(text.get(), expected);
        std::string& part = connection->getDataPartBuffer();
        unsigned long sent = 0;
        try {
            part.clear();
            bool more = message->getFirstDataPart(part);
            while (more) {
                sent += part.size();
                if (counted && sent > expected)
                    throw ImapException("Message is larger than announced", 0);
                connection->sendContinuation(part, false);
                more = message->getNextDataPart(part);
            }
            if (counted && sent != expected)
                throw ImapException("Message is smaller than announced", 0);
        } catch (const std::runtime_error& e) {
            // The server is inside the literal: only dropping the connection
            // keeps a partial message from being stored.
            connection->close();
            throw IMessageLoadFailedException(e.what());
        }
        connection->sendContinuation("\r\n", true);
    }

    return collectResponses(line, response, &Command::readResponse);
}

Command::Response Command::collectResponses(std::string& line, std::string& response,
                                            void (Command::*read)(std::string&, std::string&))
{
    std::size_t collected = 0;
    for (;;) {
        (this->*read)(line, response);
        Response result = Response::Bad;
        const bool tagged = isTaggedResponse(response, result);
        removeEOL(response);
        if (tagged) {
            taggedResponse = response;
            return result;
        }
        collected += response.size() + keptResponseOverhead;
        if (collected > maxCollectedBytes)
            connection->protocolError("Too much response data");
        untaggedResponses.push_back(response);
    }
}

void Command::readResponse(std::string& line, std::string& response)
{
    response.clear();
    for (;;) {
        line.clear();
        connection->recvLine(line);
        if (startsWith(line, "* BYE"))
            throw ImapServerBrokeConnection("");
        if (line.empty())
            throw ImapTimeoutException("");
        unsigned size = 0;
        bool whole = true;
        try {
            whole = isWholeResponse(line, size);
        } catch (const ImapParserException& e) {
            connection->protocolError(e.what());
        }
        if (whole) {
            response += line;
            return;
        }
        if (size > maxInMemoryLiteral || response.size() + line.size() + size > maxCollectedBytes)
            connection->protocolError("Literal too large");
        response.reserve(response.size() + line.size() + size + workReserve);
        response += line;
        if (connection->recvData(response, size) < size) {
            connection->close();
            throw ImapConnectionFailed("Literal ended early");
        }
    }
}

void Command::readResponseByLines(std::string& line, std::string& response)
{
    response.clear();
    bool inLiteral = false;
    unsigned size = 0;
    unsigned long seen = 0;
    for (;;) {
        line.clear();
        connection->recvLine(line);
        if (startsWith(line, "* BYE")) {
            connection->close();
            throw ImapServerBrokeConnection("");
        }
        if (line.empty())
            throw ImapTimeoutException("");
        if (response.size() + line.size() > maxCollectedBytes)
            connection->protocolError("Too much response data");
        response += line;
        if (inLiteral) {
            // Literal bytes arrive as lines; the literal is over once their
            // lengths exceed its count, and that line may announce another.
            seen += line.size();
            if (seen <= size)
                continue;
        }
        bool whole = true;
        try {
            whole = isWholeResponse(line, size);
        } catch (const ImapParserException& e) {
            connection->protocolError(e.what());
        }
        if (whole)
            return;
        if (size > maxInMemoryLiteral)
            connection->protocolError("Literal too large");
        inLiteral = true;
        seen = 0;
    }
}

Command::Response Command::exchange(const std::function<std::string(const std::string&)>& answer)
{
    std::string line;
    std::string response;
    line.reserve(workReserve);
    response.reserve(workReserve);

    completeCommandString();
    connection->send(text.get());

    readResponseByLines(line, response);
    if (response.empty() || response[0] != '+')
        return Response::No;
    connection->sendContinuation(answer(response) + "\r\n");
    return collectResponses(line, response, &Command::readResponseByLines);
}

void Command::getResponse(std::string& tagged, std::vector<std::string>& untagged) const
{
    tagged = taggedResponse;
    untagged = untaggedResponses;
}

unsigned Command::filterResponses(std::vector<ResponseResult>& out, unsigned mask) const
{
    unsigned count = 0;
    for (const std::string& response : untaggedResponses) {
        ResponseResult result;
        Parser(response).parseResponse(result);
        const unsigned type = static_cast<unsigned>(result.getType());
        if ((mask & type) == type) {
            out.push_back(result);
            ++count;
        }
    }
    return count;
}

bool Command::isWholeResponse(const std::string& line, unsigned& size)
{
    const std::string::size_type n = line.size();
    if (n < 3 || line.compare(n - 3, 3, "}\r\n") != 0)
        return true;
    const std::string::size_type open = line.rfind('{');
    if (open == std::string::npos)
        return true;
    unsigned long count = 0;
    bool plus = false;
    if (!zelvo::mail::imap::parseLiteralCount(line.begin() + static_cast<std::ptrdiff_t>(open) + 1, line.end() - 3,
                                              count, plus))
        throw ImapParserException("Bad literal count");
    size = static_cast<unsigned>(count);
    return false;
}

bool Command::isTaggedResponse(const std::string& response, Response& result) const
{
    if (response.compare(0, tag.size(), tag) != 0)
        return false;
    // "Z1" is a prefix of "Z10": the tag must end where a word ends.
    if (response.size() > tag.size()) {
        const char next = response[tag.size()];
        if (next != ' ' && next != '\r' && next != '\n')
            return false;
    }
    std::string::size_type i = tag.size();
    while (i < response.size() && response[i] == ' ')
        ++i;
    if (response.compare(i, 2, "OK") == 0)
        result = Response::Ok;
    else if (response.compare(i, 2, "NO") == 0)
        result = Response::No;
    else
        result = Response::Bad;
    return true;
}

void Command::removeEOL(std::string& s)
{
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    if (!s.empty() && s.back() == '\r')
        s.pop_back();
}
