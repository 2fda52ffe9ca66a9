#include "tests/support/ImapRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace testsupport {

namespace {

// What the relay reads from the server at a time, and the receive buffer it
// asks for on that socket: a large answer then waits in the server.
constexpr int serverBuffer = 8192;

bool sendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int size = serverBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The count of a literal that ends the line ("{12}" or "{12+}"); false when
// the line ends otherwise.
bool literalAtEnd(const std::string& text, unsigned long& count)
{
    if (text.empty() || text.back() != '}')
        return false;
    const std::size_t open = text.rfind('{');
    if (open == std::string::npos)
        return false;
    std::string digits = text.substr(open + 1, text.size() - open - 2);
    if (!digits.empty() && digits.back() == '+')
        digits.pop_back();
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = std::stoul(digits);
    return true;
}

}  // namespace

ImapRelay::ImapRelay(int serverPort) : serverPort_(serverPort)
{
    listener_ = listenOnLoopback(port_);
    if (::pipe(wake_) != 0) {
        ::close(listener_);
        throw std::runtime_error("no pipe for the relay");
    }
    thread_ = std::thread([this] { run(); });
}

ImapRelay::~ImapRelay()
{
    const char stop = 's';
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    for (Pair& p : pairs_) {
        ::close(p.up.from);
        ::close(p.down.from);
    }
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void ImapRelay::holdLine(Side side, const std::string& text, unsigned nth, std::function<void()> change)
{
    std::lock_guard<std::mutex> lock(mutex_);
    holdSide_ = side;
    holdText_ = text;
    holdNth_ = nth;
    seen_ = 0;
    changed_ = false;
    change_ = std::move(change);
}

bool ImapRelay::changed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return changed_;
}

std::vector<std::string> ImapRelay::transcript() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return transcript_;
}

long ImapRelay::find(const std::string& prefix, std::size_t from) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = from; i < transcript_.size(); ++i)
        if (transcript_[i].compare(0, prefix.size(), prefix) == 0)
            return static_cast<long>(i);
    return -1;
}

void ImapRelay::run()
{
    for (;;) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const Pair& p : pairs_) {
            fds.push_back({p.up.from, POLLIN, 0});
            fds.push_back({p.down.from, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;
        const std::size_t polled = pairs_.size();
        if (fds[1].revents != 0 && !accept())
            return;
        // A pair accepted just now waits for the next round.
        std::vector<Pair> kept;
        for (std::size_t i = 0; i < pairs_.size(); ++i) {
            Pair& p = pairs_[i];
            const bool open = i >= polled || ((fds[2 + 2 * i].revents == 0 || pass(p.up)) &&
                                              (fds[3 + 2 * i].revents == 0 || pass(p.down)));
            if (open) {
                kept.push_back(std::move(p));
            } else {
                ::close(p.up.from);
                ::close(p.down.from);
            }
        }
        pairs_ = std::move(kept);
    }
}

bool ImapRelay::accept()
{
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0)
        return errno == EINTR || errno == ECONNABORTED;
    const int server = connectTo(serverPort_);
    if (server < 0) {
        ::close(client);
        return true;
    }
    Pair p;
    p.up.from = client;
    p.up.to = server;
    p.up.side = FromClient;
    p.down.from = server;
    p.down.to = client;
    p.down.side = FromServer;
    pairs_.push_back(std::move(p));
    return true;
}

// Reads what the side sent and passes on every whole line and literal;
// false when the side closed or a write failed.
bool ImapRelay::pass(Direction& d)
{
    char buffer[serverBuffer];
    const ssize_t n = ::recv(d.from, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    d.pending.append(buffer, static_cast<std::size_t>(n));
    while (!d.pending.empty()) {
        if (d.literal > 0) {
            const std::size_t part = std::min<std::size_t>(d.literal, d.pending.size());
            if (!sendAll(d.to, d.pending.data(), part))
                return false;
            d.pending.erase(0, part);
            d.literal -= part;
            continue;
        }
        const std::size_t end = d.pending.find("\r\n");
        if (end == std::string::npos)
            break;
        const std::string line = d.pending.substr(0, end + 2);
        d.pending.erase(0, end + 2);
        passLine(d, line);
        if (!sendAll(d.to, line.data(), line.size()))
            return false;
    }
    return true;
}

void ImapRelay::passLine(Direction& d, const std::string& line)
{
    const std::string text = line.substr(0, line.size() - 2);
    std::function<void()> change;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (change_ && !changed_ && d.side == holdSide_ && text.find(holdText_) != std::string::npos &&
            ++seen_ == holdNth_)
            change.swap(change_);
    }
    if (change) {
        change();
        std::lock_guard<std::mutex> lock(mutex_);
        changed_ = true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        transcript_.push_back((d.side == FromClient ? "C: " : "S: ") + text);
    }
    literalAtEnd(text, d.literal);
}

}  // namespace testsupport
