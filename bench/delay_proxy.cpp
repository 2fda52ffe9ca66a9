// TCP relay on loopback that holds every chunk for a fixed time in each
// direction, so that a client behind it sees a round trip of twice that
// delay. Throughput is not limited: chunks are read as soon as they arrive
// and released in order once their time has come.
//
//   bench_delay_proxy TARGET_PORT ONE_WAY_DELAY_MS
//
// Listens on a free loopback port, prints it on standard output, and relays
// every accepted connection to 127.0.0.1:TARGET_PORT until it is killed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t chunkSize = 65536;

struct Chunk {
    Clock::time_point due;
    std::string bytes; // empty: end of stream
};

class Pipe {
public:
    void push(Chunk c) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(c));
        cond_.notify_one();
    }

    Chunk pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [this] { return !queue_.empty(); });
        Chunk c = std::move(queue_.front());
        queue_.pop_front();
        return c;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<Chunk> queue_;
};

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// One direction of a relayed connection: a reader that stamps each chunk
// and a writer that releases it when due.
void relay(int from, int to, std::chrono::milliseconds delay) {
    Pipe pipe;
    std::thread writer([&pipe, to] {
        bool ok = true;
        for (;;) {
            Chunk c = pipe.pop();
            if (c.bytes.empty()) break;
            std::this_thread::sleep_until(c.due);
            if (ok) ok = writeAll(to, c.bytes.data(), c.bytes.size());
        }
        shutdown(to, SHUT_WR);
    });
    std::string buf(chunkSize, '\0');
    for (;;) {
        ssize_t r = recv(from, &buf[0], buf.size(), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        pipe.push(Chunk{Clock::now() + delay, buf.substr(0, static_cast<size_t>(r))});
    }
    pipe.push(Chunk{Clock::now() + delay, std::string()});
    writer.join();
}

int connectTarget(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    setNoDelay(fd);
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TARGET_PORT ONE_WAY_DELAY_MS\n", argv[0]);
        return 2;
    }
    const int targetPort = std::atoi(argv[1]);
    const std::chrono::milliseconds delay(std::atoi(argv[2]));
    signal(SIGPIPE, SIG_IGN);

    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd, 16) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("%d\n", ntohs(a.sin_port));
    std::fflush(stdout);

    for (;;) {
        int client = accept(lfd, nullptr, nullptr);
        if (client < 0) {
            if (errno == EINTR) continue;
            std::perror("accept");
            return 1;
        }
        setNoDelay(client);
        std::thread([client, targetPort, delay] {
            int server = connectTarget(targetPort);
            if (server < 0) {
                close(client);
                return;
            }
            std::thread up(relay, client, server, delay);
            relay(server, client, delay);
            up.join();
            close(server);
            close(client);
        }).detach();
    }
}
