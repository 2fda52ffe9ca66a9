#include "tests/support/ImapRelay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/support/TestSupport.h"

using testsupport::ImapRelay;

namespace {

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    return fd;
}

// Reads until the bytes end with tail or the peer closes.
std::string readUntil(int fd, const std::string& tail)
{
    std::string got;
    char c;
    while (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail) != 0) {
        if (::recv(fd, &c, 1, 0) != 1)
            break;
        got += c;
    }
    return got;
}

void sendAll(int fd, const std::string& bytes)
{
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
}

} // namespace

// Both directions pass byte for byte; the held line is the nth one outside
// literals that holds the text, and the client gets it only after the change
// ran; a literal that holds the text and CR LF pairs is neither matched nor
// split into lines.
TEST(ImapRelay, HoldsTheNthLineUntilTheChangeRanAndPassesEveryByte)
{
    int serverPort = 0;
    const int listener = testsupport::listenOnLoopback(serverPort);
    const std::string literal = "* 1 FETCH x\r\n* 1 FETCH y\r\n";
    const std::string answer = "* OK hi\r\n* 1 FETCH (BODY[] {" + std::to_string(literal.size()) + "}\r\n" + literal +
                               ")\r\n* 2 FETCH (BODY[] {3+}\r\nabc)\r\n* 3 FETCH (FLAGS ())\r\nA OK done\r\n";
    std::string command;
    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        command = readUntil(fd, "A FETCH 1:*\r\n");
        sendAll(fd, answer);
        readUntil(fd, "never");
        ::close(fd);
    });

    std::atomic<int> changes{0};
    std::atomic<bool> changeDone{false};
    std::mutex mutex;
    std::condition_variable cv;
    bool clientReadBefore = false;
    {
        ImapRelay relay(serverPort);
        // The change waits until the client has read everything before the
        // held line.
        relay.holdLine(ImapRelay::FromServer, " FETCH ", 3, [&] {
            ++changes;
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait_for(lock, std::chrono::seconds(20), [&] { return clientReadBefore; });
            changeDone = true;
        });
        const int client = connectTo(relay.port());
        sendAll(client, "A FETCH 1:*\r\n");
        const std::string before = readUntil(client, "abc)\r\n");
        EXPECT_FALSE(changeDone);
        {
            std::lock_guard<std::mutex> lock(mutex);
            clientReadBefore = true;
        }
        cv.notify_all();
        const std::string held = readUntil(client, "* 3 FETCH (FLAGS ())\r\n");
        EXPECT_TRUE(changeDone);
        const std::string rest = readUntil(client, "A OK done\r\n");
        EXPECT_EQ(answer, before + held + rest);
        EXPECT_EQ("A FETCH 1:*\r\n", command);
        EXPECT_EQ(1, changes);
        EXPECT_TRUE(relay.changed());
        EXPECT_EQ((std::vector<std::string>{"C: A FETCH 1:*", "S: * OK hi", "S: * 1 FETCH (BODY[] {26}", "S: )",
                                            "S: * 2 FETCH (BODY[] {3+}", "S: )", "S: * 3 FETCH (FLAGS ())",
                                            "S: A OK done"}),
                  relay.transcript());
        EXPECT_EQ(6, relay.find("S: * 3 "));
        EXPECT_EQ(-1, relay.find("S: * 3 ", 7));
        ::close(client);
    }
    server.join();
    ::close(listener);
}
