// A scripted IMAP server on a free loopback port for the cases a real server
// will not produce. Each accepted connection runs the next script on its own
// thread; the destructor closes the listener and joins every thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace imaptest {

// One accepted connection as the script sees it.
class Peer {
public:
    explicit Peer(int fd) : fd(fd) {}
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void send(const std::string& bytes)
    {
        std::size_t done = 0;
        while (fd >= 0 && done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

    // Sends one byte at a time with a short pause, so the client's reads see
    // the text cut at every offset.
    void sendInPieces(const std::string& bytes)
    {
        for (char c : bytes) {
            send(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    // One line with its LF, recorded in lines; empty when the client closed
    // or after 10 s.
    std::string readLine()
    {
        std::string line;
        char c;
        while (readByte(c)) {
            line += c;
            if (c == '\n')
                break;
        }
        if (!line.empty())
            lines.push_back(line);
        return line;
    }

    std::string readBytes(std::size_t n)
    {
        std::string out;
        char c;
        while (out.size() < n && readByte(c))
            out += c;
        return out;
    }

    // Blocks until the client closes (or 10 s pass): a server that says nothing.
    void waitForClose()
    {
        char c;
        while (readByte(c)) {
        }
    }

    // Closes with a reset instead of an orderly end: the client's next write
    // fails outright.
    void reset()
    {
        if (fd >= 0) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close();
    }

    void close()
    {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    std::vector<std::string> lines;

private:
    bool readByte(char& c)
    {
        if (fd < 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            return false;
        return ::recv(fd, &c, 1, 0) == 1;
    }

    int fd;
};

// The tag of a command line: its first word.
inline std::string tagOf(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

class FakeImapServer {
public:
    using Script = std::function<void(Peer&)>;

    explicit FakeImapServer(std::vector<Script> scripts) : scripts(std::move(scripts))
    {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener, 8) != 0)
            throw std::runtime_error("fake server cannot listen");
        socklen_t len = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor = std::thread([this] { acceptLoop(); });
    }

    ~FakeImapServer()
    {
        finish();
        ::close(listener);
    }

    // Stops accepting and waits for every script to end (so the client must
    // have closed or gone quiet). Safe to call more than once.
    void finish()
    {
        stopping = true;
        ::shutdown(listener, SHUT_RDWR);
        if (acceptor.joinable())
            acceptor.join();
        for (std::thread& t : workers)
            if (t.joinable())
                t.join();
    }

    unsigned port() const { return port_; }
    int connections() const { return accepted; }

    // Every line the client sent, connection by connection in the order they
    // were accepted; ends the server first (finish).
    std::vector<std::string> received()
    {
        finish();
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> all;
        for (const auto& connection : receivedLines)
            all.insert(all.end(), connection.second.begin(), connection.second.end());
        return all;
    }

private:
    void acceptLoop()
    {
        for (std::size_t i = 0; i < scripts.size() && !stopping; ++i) {
            pollfd p{listener, POLLIN, 0};
            int ready = 0;
            while (!stopping && (ready = ::poll(&p, 1, 100)) == 0) {
            }
            if (stopping || ready < 0)
                return;
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0)
                return;
            ++accepted;
            workers.emplace_back([this, fd, i] {
                Peer peer(fd);
                scripts[i](peer);
                std::lock_guard<std::mutex> lock(mutex);
                receivedLines[i] = peer.lines;
            });
        }
    }

    std::vector<Script> scripts;
    int listener = -1;
    unsigned port_ = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> accepted{0};
    std::thread acceptor;
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::map<std::size_t, std::vector<std::string>> receivedLines; // by connection
};

} // namespace imaptest
