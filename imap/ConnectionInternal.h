#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelvo {
namespace utils {
class basic_tcpclientiostream;
class SocketRegistry;
}
} // namespace zelvo

class Command;

// One IMAP connection: owns the TCP stream, hands out tags ("Z0", "Z1", ...
// never reset), reads the greeting, logs in, and carries every command's
// bytes. Failures throw members of the ImapException family.
class ConnectionInternal {
public:
    enum class State { Disconnected = 0, NotAuthenticated = 1, Authenticated = 2, Selected = 3 };

    // Longest response line accepted; a longer one is malformed input.
    static constexpr std::size_t maxLineLength = 1024 * 1024;
    // Size of one part of a counted read and of an uploaded message.
    static constexpr std::size_t dataPartSize = 10240;

    ConnectionInternal();
    ~ConnectionInternal();
    ConnectionInternal(const ConnectionInternal&) = delete;
    ConnectionInternal& operator=(const ConnectionInternal&) = delete;

    // Master-secret mode (X-MASTERAUTH).
    void initialize(const std::string& host, unsigned port, const std::string& secret,
                    unsigned timeoutSeconds, bool useSsl);
    // User mode: CRAM-MD5 when useCramMd5, else LOGIN.
    void initialize(const std::string& host, unsigned port, const std::string& user,
                    const std::string& password, bool useCramMd5, unsigned timeoutSeconds, bool useSsl);

    // Connects, reads and checks the greeting, logs in when asked. On any
    // failure the stream is closed, the state is Disconnected and the
    // exception is thrown on.
    void init(bool login);

    std::string getTag();

    // Writes the first (or only) piece of a command and flushes. A broken
    // connection is rebuilt once (new greeting and login) and the text
    // written again; a second failure throws ImapConnectionFailed "Send
    // failed". Always true otherwise. Without flush the text may wait in the
    // stream buffer for the pieces that follow it; a write failure then shows
    // on a later piece, which never rebuilds.
    bool send(const std::string& text, bool flush = true);
    // Writes a later piece of a command already under way. Never reconnects:
    // a failure closes the connection and throws "Send failed". Without flush
    // the bytes may wait in the stream buffer until the next flush or read.
    bool sendContinuation(const std::string& text, bool flush = true);

    // One line into line, with its CR LF (a bare LF stays a bare LF). An
    // empty line means the read timed out or the server closed. A broken
    // stream, a Disconnected connection, a line cut off by the end of the data
    // or a line over maxLineLength close the connection and throw.
    bool recvLine(std::string& line);
    // Appends up to n bytes to out, in reads of at most dataPartSize bytes;
    // returns how many were appended (less than n when the stream ended or
    // timed out first).
    unsigned recvData(std::string& out, unsigned n);

    // True when no error flag is set; an end-of-file flag (also a read
    // time-out) is cleared and counts as good.
    bool streamGood();

    State getState() const { return state; }
    // Changes the state only along the allowed transitions.
    void setState(State next);

    const std::string& getGreeting() const { return greeting; }
    // Scratch buffer for the parts of an uploaded message.
    std::string& getDataPartBuffer() { return dataPartBuffer; }

    void close();
    // LOGOUT, then Disconnected whatever the reply; the server's BYE is the
    // expected answer, other failures propagate. The stream stays open.
    void logout();
    void reconnect();
    void setTimeout(unsigned seconds);
    // Enters this connection's socket, now and after every reconnect, in
    // registry (null: none), so a signal handler can cut it; once the
    // registry is shut down no new connection is made.
    void setSocketRegistry(zelvo::utils::SocketRegistry* registry);
    std::vector<std::string> getCapability();
    // True when the server announces the capability word (any letter case).
    // The words come from the CAPABILITY response code of the greeting or
    // of the login reply, or from an untagged CAPABILITY in the login; a word
    // missing from what the server said before the login, or nothing known,
    // asks once with getCapability. Its exceptions propagate.
    bool hasCapability(const std::string& word);

    // Closes the connection and throws ImapParserException(what): the one way
    // out for server input that leaves the stream out of step.
    [[noreturn]] void protocolError(const std::string& what);
    // The same without the exception, for readers and copies that report
    // by result and leave the stream out of step (bad input, an early end
    // of the data, an abort or a lost target with a response still coming):
    // closes the connection and keeps why for the debug log; false, so the
    // caller can return what this returns.
    bool dropConnection(const char* why);
    // Why the connection was last dropped; empty when it never was since
    // forgetDropReason.
    const std::string& getDropReason() const { return dropReason; }
    void forgetDropReason() { dropReason.clear(); }

private:
    void initStream();
    void login();
    // The capabilities announced in the login's replies, when there are any.
    void learnCapabilities(const Command& login);
    bool writeText(const std::string& text, bool flush);
    // Bounded read up to LF; false when the data ended before one.
    bool readLine(std::string& line, bool& complete);

    uint32_t tagCounter = 0;
    uint32_t timeoutSeconds = 180;
    State state = State::Disconnected;
    std::string greeting;
    std::vector<std::string> capabilities;
    // capabilities were given after the login, so a word missing is missing.
    bool capabilitiesFinal = false;
    std::unique_ptr<zelvo::utils::basic_tcpclientiostream> stream;
    bool useSsl = false;
    std::string host;
    std::string password;
    std::string user;
    bool useMasterAuth = true;
    bool useCramMd5 = false;
    uint32_t port = 0;
    std::string dataPartBuffer;
    // Set while send() rebuilds the connection, so the login it runs cannot
    // start another rebuild.
    bool reconnecting = false;
    zelvo::utils::SocketRegistry* socketRegistry = nullptr;
    std::string dropReason;
};
