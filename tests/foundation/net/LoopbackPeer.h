// A scripted TCP peer on 127.0.0.1 for the client-stream tests: it listens
// on a port the system picks, accepts connections on its own thread and runs
// one script per connection. Destruction unblocks and joins the thread.
#pragma once

#include "foundation/net/TcpClientStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

// Reads until `terminator` has arrived (it is included) or the peer closes.
inline std::string readUntil(int fd, const std::string& terminator)
{
    std::string got;
    char c;
    while (got.size() < terminator.size() ||
           got.compare(got.size() - terminator.size(), terminator.size(), terminator) != 0) {
        if (::recv(fd, &c, 1, 0) != 1)
            break;
        got += c;
    }
    return got;
}

inline std::string readToEnd(int fd)
{
    std::string got;
    char chunk[8192];
    ssize_t n;
    while ((n = ::recv(fd, chunk, sizeof(chunk), 0)) > 0)
        got.append(chunk, size_t(n));
    return got;
}

inline bool writeAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

class LoopbackPeer {
public:
    using Script = std::function<void(int fd)>;

    LoopbackPeer()
    {
        unsigned short bound = 0;
        if (zelvo::utils::sockListenIp4(listenFd, htonl(INADDR_LOOPBACK), 0, &bound, 8))
            port_ = bound;
    }

    ~LoopbackPeer()
    {
        stopping = true;
        if (listenFd >= 0)
            ::shutdown(listenFd, SHUT_RDWR);
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (int fd : accepted)
                ::shutdown(fd, SHUT_RDWR);
        }
        if (worker.joinable())
            worker.join();
        if (listenFd >= 0)
            ::close(listenFd);
    }

    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool ok() const { return port_ != 0; }
    unsigned short port() const { return port_; }
    std::string url() const { return "imap://127.0.0.1:" + std::to_string(port_); }

    // Runs the scripts in order, one per accepted connection; each
    // connection is closed when its script returns.
    void serve(std::vector<Script> scripts)
    {
        worker = std::thread([this, scripts] {
            for (const Script& script : scripts) {
                sockaddr_in from;
                socklen_t length = sizeof(from);
                const int fd = ::accept(listenFd, reinterpret_cast<sockaddr*>(&from), &length);
                if (fd < 0 || stopping) {
                    if (fd >= 0)
                        ::close(fd);
                    return;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    accepted.push_back(fd);
                }
                peerPorts.push_back(ntohs(from.sin_port));
                script(fd);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    accepted.erase(std::find(accepted.begin(), accepted.end(), fd));
                }
                ::close(fd);
            }
        });
    }

    void serve(Script script) { serve(std::vector<Script>{std::move(script)}); }

    // Waits for the scripts to finish.
    void join()
    {
        if (worker.joinable())
            worker.join();
    }

    // Stops listening, so later connects are refused.
    void closeListener()
    {
        if (listenFd >= 0) {
            ::close(listenFd);
            listenFd = -1;
        }
    }

    // The client ports the peer saw, in order (read after join()).
    std::vector<unsigned short> peerPorts;

private:
    int listenFd = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::vector<int> accepted;
    std::thread worker;
};

} // namespace nettest
