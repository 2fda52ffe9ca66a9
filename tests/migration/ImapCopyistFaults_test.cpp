// The mailbox copier when things go wrong in the middle of a folder: a target
// that refuses a message, connections that die inside a message body, and an
// interrupt during a folder. Real Dovecot instances where they can show it
// (a relay in front of them cuts the connection at a chosen byte), a scripted
// target where Dovecot cannot be made to refuse.

#include "migration/ImapCopyist.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <streambuf>
#include <thread>

#include "migration/LogStream.h"
#include "tests/imap/ScriptedServer.h"
#include "tests/migration/ImapCopyistCorpus.h"
#include "tests/support/Dovecot.h"

namespace {

using testsupport::Dovecot;

const char* const login = "ann@example.test";
const char* const password = "pw";

// A loopback relay to upstreamPort. On the first connection it forwards only
// cutAfter bytes in one direction and then drops both sides; later
// connections pass unchanged.
class CuttingRelay {
public:
    enum Direction { ToServer, ToClient };

    CuttingRelay(int upstreamPort, Direction direction, std::size_t cutAfter)
        : upstream(upstreamPort), direction(direction), cutAfter(cutAfter)
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listenFd, 8) != 0 || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
            throw std::runtime_error("relay: cannot listen");
        port_ = ntohs(a.sin_port);
        acceptor = std::thread([this] { acceptLoop(); });
    }

    ~CuttingRelay()
    {
        stopping = true;
        acceptor.join();
        for (std::thread& t : relays)
            t.join();
        ::close(listenFd);
    }

    int port() const { return port_; }
    bool cut() const { return didCut; }

private:
    void acceptLoop()
    {
        int index = 0;
        while (!stopping) {
            pollfd p{listenFd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int client = ::accept(listenFd, nullptr, nullptr);
            if (client < 0)
                continue;
            const int server = connectUpstream();
            if (server < 0) {
                ::close(client);
                continue;
            }
            const bool cutting = index++ == 0;
            relays.emplace_back([this, client, server, cutting] { relay(client, server, cutting); });
        }
    }

    int connectUpstream()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(upstream));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void relay(int client, int server, bool cutting)
    {
        std::size_t counted = 0;
        char buffer[16384];
        while (!stopping) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            bool done = false;
            for (int side = 0; side < 2 && !done; ++side) {
                if (!(p[side].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const int from = side == 0 ? client : server;
                const int to = side == 0 ? server : client;
                ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    done = true;
                    break;
                }
                const bool watched = cutting && (side == 0) == (direction == ToServer);
                if (watched && counted + static_cast<std::size_t>(n) >= cutAfter) {
                    n = static_cast<ssize_t>(cutAfter - counted);
                    ::send(to, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
                    didCut = true;
                    done = true;
                    break;
                }
                if (watched)
                    counted += static_cast<std::size_t>(n);
                if (::send(to, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
                    done = true;
            }
            if (done)
                break;
        }
        ::close(client);
        ::close(server);
    }

    int upstream;
    Direction direction;
    std::size_t cutAfter;
    int listenFd = -1;
    int port_ = 0;
    std::atomic<bool> stopping{false};
    std::atomic<bool> didCut{false};
    std::thread acceptor;
    std::vector<std::thread> relays;
};

// An output stream that calls a hook after every write that holds a percent
// sign, the way an interrupt may arrive while the progress is shown.
class HookBuffer : public std::streambuf {
public:
    std::function<void(int)> onPercent;
    std::string text;
    int percents = 0;

protected:
    int overflow(int c) override
    {
        if (c != traits_type::eof())
            put(static_cast<char>(c));
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        for (std::streamsize i = 0; i < n; ++i)
            put(s[i]);
        return n;
    }

private:
    void put(char c)
    {
        text += c;
        if (c == '%' && onPercent)
            onPercent(++percents);
    }
};

std::vector<corpus::Seed> folderSeeds()
{
    return {
        {"INBOX", corpus::header("first") + corpus::text(3000, "first"), "S", 1167700000},
        {"INBOX", corpus::header("second") + corpus::binaryLooking(300 * 1024, 3), "F", 1167800000},
        {"INBOX", corpus::header("third") + corpus::text(3000, "third"), "", 1167900000},
        {"INBOX", corpus::header("fourth") + "4\r\n", "R", 1168000000},
        {"INBOX", corpus::header("fifth") + "5\r\n", "", 1168100000},
        {"Sent", corpus::header("sent") + "sent\r\n", "S", 1168200000},
    };
}

class ImapCopyistFaults : public ::testing::Test {
protected:
    ImapCopyistFaults() : source(Dovecot::Source), target(Dovecot::Target), log(&logStream)
    {
        logWrapper.setMode(true, false);
    }

    void SetUp() override
    {
        source.addUser(login, password);
        target.addUser(login, password);
        source.start();
        target.start();
        for (const auto& s : folderSeeds())
            source.putMessage(login, s.folder, s.bytes, s.flagLetters, s.internalDate);
        source.index(login);
    }

    ConnectionConfiguration sourceAt(int port) { return {"127.0.0.1", port, login, password, true}; }
    ConnectionConfiguration targetAt(int port) { return {"127.0.0.1", port, login, password, false}; }

    // The target holds exactly the first n source messages of folder.
    void expectPrefix(const std::string& folder, std::size_t n)
    {
        SCOPED_TRACE(folder);
        const auto from = source.messages(login, password, folder);
        const auto to = target.messages(login, password, folder);
        ASSERT_EQ(n, to.size());
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_TRUE(from[i].body == to[i].body) << i;
    }

    Dovecot source;
    Dovecot target;
    HookBuffer logStream;
    std::ostream log;
    LogStream logWrapper{&log};
};

TEST_F(ImapCopyistFaults, ARefusedMessageIsCountedAndTheFolderGoesOn)
{
    scripted::Server fake;
    std::vector<std::string> appends;
    fake.serve([&](scripted::Peer& peer, int) {
        peer.greetAndLogin();
        for (;;) {
            const std::string command = peer.readCommand();
            if (command.empty())
                return;
            const std::string tag = scripted::Peer::tagOf(command);
            if (command.find(" LOGOUT") != std::string::npos) {
                peer.send(tag + " OK bye\r\n");
                return;
            }
            if (command.find(" APPEND ") == std::string::npos) {
                peer.send(tag + " OK done\r\n");
                continue;
            }
            appends.push_back(command);
            peer.send(tag + (appends.size() == 2 ? " NO [OVERQUOTA] Quota exceeded\r\n" : " OK done\r\n"));
        }
    });
    ImapCopyist copyist(sourceAt(source.port()), targetAt(fake.port()), logWrapper);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();
    fake.join();
    EXPECT_EQ(5u, copyist.messages);
    EXPECT_EQ(1u, copyist.messageErrors);
    // The folder of the refused message failed; the other was copied.
    EXPECT_EQ(1u, copyist.folders);
    EXPECT_EQ(1u, copyist.folderErrors);
    EXPECT_EQ(6u, appends.size());
    EXPECT_NE(std::string::npos,
              logStream.text.find("ERROR: I am not able upload messages to target folder \"INBOX\".\n"));
}

TEST_F(ImapCopyistFaults, ATargetThatDiesInsideAMessageKeepsNothingPartial)
{
    // Past the first message, inside the 300 KB second one.
    CuttingRelay relay(target.port(), CuttingRelay::ToServer, 100 * 1024);
    ImapCopyist copyist(sourceAt(source.port()), targetAt(relay.port()), logWrapper);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();
    EXPECT_TRUE(relay.cut());
    EXPECT_EQ(1u + 1u, copyist.messages);  // the first of INBOX, then all of Sent
    EXPECT_EQ(4u, copyist.messageErrors);
    EXPECT_NE(std::string::npos,
              logStream.text.find("ERROR: I am not able upload messages to target folder \"INBOX\".\n"));
    expectPrefix("INBOX", 1);
    expectPrefix("Sent", 1);
}

TEST_F(ImapCopyistFaults, ASourceThatDiesInsideAMessageKeepsNothingPartial)
{
    // Inside the body of the 300 KB second message.
    CuttingRelay relay(source.port(), CuttingRelay::ToClient, 150 * 1024);
    ImapCopyist copyist(sourceAt(relay.port()), targetAt(target.port()), logWrapper);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();
    EXPECT_TRUE(relay.cut());
    EXPECT_EQ(1u + 1u, copyist.messages);
    EXPECT_EQ(4u, copyist.messageErrors);
    EXPECT_NE(std::string::npos,
              logStream.text.find("ERROR: I am not able download messages from source folder \"INBOX\".\n"));
    expectPrefix("INBOX", 1);
    expectPrefix("Sent", 1);
}

TEST_F(ImapCopyistFaults, AnAbortDuringAFolderEndsAfterTheMessageInTransfer)
{
    ImapCopyist copyist(sourceAt(source.port()), targetAt(target.port()), logWrapper);
    // INBOX shows " 40%" once two of its five messages are copied; the
    // interrupt comes then, while the percentage is written.
    logStream.onPercent = [&](int) {
        const std::string mark = "Copying folder \"INBOX\"";
        const std::size_t inbox = logStream.text.find(mark);
        if (inbox == std::string::npos || logStream.text.compare(logStream.text.size() - 4, 4, " 40%") != 0)
            return;
        zelvo::tiny::ZMutexGuard guard(&copyist.mutex);
        copyist.aborted = true;
        copyist.source.abort();
    };
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();
    // The third message was in transfer: it arrives whole, the rest stay.
    expectPrefix("INBOX", 3);
    // No folder is started after the interrupt; one listed before INBOX
    // was copied in full.
    const std::string& text = logStream.text;
    const std::size_t inbox = text.find("Copying folder \"INBOX\"");
    ASSERT_NE(std::string::npos, inbox);
    EXPECT_EQ(std::string::npos, text.find("Copying folder", inbox + 1));
    const bool sentFirst = text.find("Copying folder \"Sent\"") < inbox;
    // INBOX was cut: its line ends with that, and it counts as failed.
    EXPECT_NE(std::string::npos, text.find("Failed (aborted after 3 of 5 messages)\n", inbox)) << text;
    EXPECT_EQ(std::string::npos, text.find("OK\n", inbox)) << text;
    EXPECT_EQ(sentFirst ? 1u : 0u, copyist.folders);
    EXPECT_EQ(sentFirst ? 1u : 2u, copyist.folderErrors);
    EXPECT_EQ(sentFirst ? 4u : 3u, copyist.messages);
    // Two of INBOX stayed behind, and Sent when it had not been copied yet.
    EXPECT_EQ(sentFirst ? 2u : 3u, copyist.messageErrors);
    if (sentFirst) {
        expectPrefix("Sent", 1);
    } else {
        const auto folders = target.folders(login);
        EXPECT_EQ(folders.end(), std::find(folders.begin(), folders.end(), "Sent"));
    }
}

} // namespace
