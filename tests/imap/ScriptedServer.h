// A loopback IMAP peer that plays a script: each accepted connection is
// handed to a function running on the server's own thread, which reads what
// the client sent and answers with canned bytes. Everything received is kept
// for the test to inspect after join().
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace scripted {

class Peer {
public:
    explicit Peer(int fd) : fd(fd) {}
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool send(const std::string& bytes);
    // Sends bytes in writes of at most piece bytes each, pausing briefly
    // between them, so the client meets them split at many offsets.
    bool sendInPieces(const std::string& bytes, std::size_t piece);
    // One line up to and with its LF; empty at the end of the stream or
    // after the wait limit.
    std::string readLine();
    // Exactly n bytes, or fewer at the end of the stream.
    std::string readBytes(std::size_t n);
    // Reads one client command line and, when it ends in a literal header
    // "{n}" or "{n+}" CR LF, the n bytes and the rest of the command; the
    // whole command is returned. Empty at the end of the stream.
    std::string readCommand();
    // Tag of a command line ("Z3" of "Z3 SELECT ...").
    static std::string tagOf(const std::string& command);
    // Sends the greeting and answers the LOGIN that follows with OK and the
    // capabilities IMAP4rev1 and LITERAL+.
    bool greetAndLogin(const std::string& greeting = "* OK ready\r\n");
    // Reads commands until LOGOUT (answered) or the end of the stream.
    void drainUntilLogout();
    void close();

private:
    bool fill();
    int fd;
    std::string pending;
};

class Server {
public:
    using Handler = std::function<void(Peer&, int index)>;

    // Listens on a free loopback port.
    Server();
    // Joins the thread.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }
    // Accepts up to connections connections one after the other and runs
    // handler on each (index counts from 0). Gives up waiting for a
    // connection after a while.
    void serve(Handler handler, int connections = 1);
    void join();

private:
    int listenFd = -1;
    int port_ = 0;
    std::thread thread;
};

namespace detail {

// Long enough for a slow sanitizer build, short enough that a broken test
// ends on its own.
constexpr int waitMs = 20000;

inline bool waitReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

} // namespace detail

inline Peer::~Peer()
{
    close();
}

inline void Peer::close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

inline bool Peer::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return fd >= 0;
}

inline bool Peer::sendInPieces(const std::string& bytes, std::size_t piece)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        if (!send(bytes.substr(at, piece)))
            return false;
        ::usleep(50);
    }
    return true;
}

inline bool Peer::fill()
{
    if (fd < 0 || !detail::waitReadable(fd))
        return false;
    char buffer[16384];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    return true;
}

inline std::string Peer::readLine()
{
    for (;;) {
        const std::size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            return line;
        }
        if (!fill())
            return std::string();
    }
}

inline std::string Peer::readBytes(std::size_t n)
{
    while (pending.size() < n && fill()) {
    }
    const std::size_t take = std::min(n, pending.size());
    std::string out = pending.substr(0, take);
    pending.erase(0, take);
    return out;
}

inline std::string Peer::readCommand()
{
    std::string command;
    for (;;) {
        const std::string line = readLine();
        if (line.empty())
            return command;
        command += line;
        const std::size_t n = line.size();
        if (n < 5 || line.compare(n - 3, 3, "}\r\n") != 0)
            return command;
        const std::size_t open = line.rfind('{');
        if (open == std::string::npos)
            return command;
        const std::size_t count = std::stoul(line.substr(open + 1));
        const std::string body = readBytes(count);
        command += body;
        if (body.size() < count)
            return command;
    }
}

inline std::string Peer::tagOf(const std::string& command)
{
    return command.substr(0, command.find(' '));
}

inline bool Peer::greetAndLogin(const std::string& greeting)
{
    if (!send(greeting))
        return false;
    const std::string login = readCommand();
    if (login.find(" LOGIN ") == std::string::npos)
        return false;
    // Every APPEND of the client needs LITERAL+.
    return send(tagOf(login) + " OK [CAPABILITY IMAP4rev1 LITERAL+] Logged in\r\n");
}

inline void Peer::drainUntilLogout()
{
    for (;;) {
        const std::string command = readCommand();
        if (command.empty())
            return;
        if (command.find(" LOGOUT") != std::string::npos) {
            send("* BYE Logging out\r\n" + tagOf(command) + " OK Logout completed\r\n");
            return;
        }
        send(tagOf(command) + " BAD Unexpected\r\n");
    }
}

inline Server::Server()
{
    listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd, 8) != 0 ||
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("scripted server: cannot listen");
    port_ = ntohs(address.sin_port);
}

inline Server::~Server()
{
    join();
    if (listenFd >= 0)
        ::close(listenFd);
}

inline void Server::serve(Handler handler, int connections)
{
    join();
    thread = std::thread([this, handler, connections] {
        for (int i = 0; i < connections; ++i) {
            if (!detail::waitReadable(listenFd))
                return;
            const int fd = ::accept(listenFd, nullptr, nullptr);
            if (fd < 0)
                return;
            Peer peer(fd);
            handler(peer, i);
        }
    });
}

inline void Server::join()
{
    if (thread.joinable())
        thread.join();
}

} // namespace scripted
