// A relay on loopback between an IMAP client and a real server, for tests
// that change the server's mailbox at one fixed point of a conversation: the
// chosen protocol line is held until the change has run, then passed on.
// Everything else passes unchanged, in both directions.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ImapRelay {
public:
    enum Side { FromClient, FromServer };

    // Relays every connection made to port() to 127.0.0.1:serverPort. The
    // socket towards the server reads with a small buffer, so a server that
    // streams a large answer is still inside it while a line is held.
    explicit ImapRelay(int serverPort);
    ~ImapRelay();  // ends the relay thread and closes every socket
    ImapRelay(const ImapRelay&) = delete;
    ImapRelay& operator=(const ImapRelay&) = delete;

    int port() const { return port_; }

    // The nth line (from 1, counted over all connections) that side sends
    // and that contains text is held: change runs on the relay's thread, and
    // only then the line goes on. A line is what comes before a CR LF outside
    // literals; literal bytes never match. Set before the client connects.
    void holdLine(Side side, const std::string& text, unsigned nth, std::function<void()> change);
    // True once the change has run.
    bool changed() const;

    // Every line passed so far, "C: " or "S: " first, without its CR LF;
    // literal bytes are left out.
    std::vector<std::string> transcript() const;
    // The index in transcript() of the first line that begins with prefix at
    // or after from; -1 when none.
    long find(const std::string& prefix, std::size_t from = 0) const;

private:
    struct Direction {
        int from = -1;
        int to = -1;
        Side side = FromClient;
        std::string pending;  // bytes read and not yet passed on
        unsigned long literal = 0;  // literal bytes still to pass before the next line
    };
    struct Pair {
        Direction up;
        Direction down;
    };

    void run();
    bool accept();
    bool pass(Direction& d);
    void passLine(Direction& d, const std::string& line);

    int serverPort_;
    int port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<Pair> pairs_;

    mutable std::mutex mutex_;
    Side holdSide_ = FromClient;
    std::string holdText_;
    unsigned holdNth_ = 0;
    unsigned seen_ = 0;
    bool changed_ = false;
    std::function<void()> change_;
    std::vector<std::string> transcript_;

    std::thread thread_;
};

}  // namespace testsupport
