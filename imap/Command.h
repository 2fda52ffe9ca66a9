#pragma once

#include <functional>
#include <string>
#include <vector>

#include "imap/ResponseResult.h"
#include "imap/Synthesizer.h"

class ConnectionInternal;
class IMessage;

// One IMAP command: built on the stack, takes its tag from the connection at
// construction, run once by execute, then read through getResponse.
class Command {
public:
    enum class Response { Ok = 0, No = 1, Bad = 2 };

    // Largest literal collected in memory inside a response (message bodies
    // are streamed by their own readers, not collected here).
    static constexpr unsigned maxInMemoryLiteral = 16 * 1024 * 1024;
    // Largest total of untagged response bytes one command collects.
    static constexpr std::size_t maxCollectedBytes = 256 * 1024 * 1024;
    // What each kept response counts against maxCollectedBytes beyond its
    // bytes: its string object in the vector (32 bytes), the vector's spare
    // room while it grows and the allocator's block header, so that a flood
    // of empty lines is bounded like a flood of data.
    static constexpr std::size_t keptResponseOverhead = 64;

    Command(ConnectionInternal& connection, const std::string& name);
    ~Command();

    void addParam(const std::string& p) { text.addParam(p); }
    void addParam(unsigned n) { text.addParam(n); }
    void addParamString(const std::string& s) { text.addParamString(s); }
    void addParamStringEx(const std::string& s) { text.addParamStringEx(s); }
    void addParamVector(const std::vector<std::string>& items) { text.addParamVector(items); }
    void addParamVector(const std::string& s) { text.addParamVector(s); }
    void addParamVectorString(const std::vector<std::string>& items) { text.addParamVectorString(items); }

    const std::string& getCommandString() const { return text.get(); }
    void completeCommandString() { text.append("\r\n"); }
    const std::string& getTag() const { return tag; }

    // Sends the command (and the message's parts after a command text that
    // ends in its literal header), collects responses up to the tagged reply
    // and returns its word. "* BYE" throws ImapServerBrokeConnection, an
    // empty line ImapTimeoutException, a failing message source
    // IMessageLoadFailedException; a literal that ends early closes the
    // connection and throws ImapConnectionFailed. A command text holding a
    // LITERAL+ literal (an APPEND) for a server that does not announce
    // LITERAL+ throws ImapException before anything is sent.
    Response execute(IMessage* message = nullptr);

    void getResponse(std::string& tagged, std::vector<std::string>& untagged) const;
    const std::vector<std::string>& getUntaggedResponses() const { return untaggedResponses; }
    const std::string& getTaggedResponse() const { return taggedResponse; }

    // Parses the untagged responses and appends those whose type bits are all
    // in mask; returns how many were appended.
    unsigned filterResponses(std::vector<ResponseResult>& out, unsigned mask) const;

    // False when line ends in a literal header "{n}" or "{n+}" and CR LF;
    // size is then n. A header with a count that is not a plain decimal
    // number up to the lexer's maxLiteralCount throws ImapParserException.
    static bool isWholeResponse(const std::string& line, unsigned& size);
    // True when response begins with this command's tag; result is the word
    // after it (OK, NO, BAD; any other word counts as Bad).
    bool isTaggedResponse(const std::string& response, Response& result) const;
    // Removes one trailing LF, then one trailing CR.
    static void removeEOL(std::string& s);

protected:
    // Reads one response (a line and any literals it announces, inline) into
    // response, the literal bytes by counted reads. Throws as execute does.
    void readResponse(std::string& line, std::string& response);
    // The same for the authentication exchanges: literal bytes are read as
    // lines and counted by length, and "* BYE" closes the connection before
    // ImapServerBrokeConnection is thrown.
    void readResponseByLines(std::string& line, std::string& response);
    // An authentication exchange: sends the command, answers the server's
    // first response (a whole "+" line) with answer's text and CR LF, then
    // collects responses by lines up to the tagged reply and returns its
    // word. No when the first response is no continuation.
    Response exchange(const std::function<std::string(const std::string&)>& answer);
    // Reads responses with read up to the tagged one, keeping the untagged
    // ones (their bytes and keptResponseOverhead each come to at most
    // maxCollectedBytes, else ImapParserException and the connection is
    // closed); returns the tagged word.
    Response collectResponses(std::string& line, std::string& response,
                              void (Command::*read)(std::string&, std::string&));

    Synthesizer text;
    std::string tag;
    std::string name;
    ConnectionInternal* connection;
    std::vector<std::string> untaggedResponses;
    std::string taggedResponse;
};
