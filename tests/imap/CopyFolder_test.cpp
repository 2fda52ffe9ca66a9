// The bulk folder copy between two scripted servers: the cases a real server
// will not produce on demand (refusals, broken connections, odd responses).

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <mutex>
#include <sstream>

#include "foundation/system/ZMutex.h"
#include "imap/SimpleImapClient.h"
#include "tests/imap/ScriptedServer.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using Result = SimpleImapClient::ImapClientResult;

struct Msg {
    std::string flags;
    std::string date;
    std::string body;
};

std::string fetchLine(unsigned number, const Msg& m)
{
    return "* " + std::to_string(number) + " FETCH (INTERNALDATE \"" + m.date + "\" FLAGS (" + m.flags +
           ") BODY[] {" + std::to_string(m.body.size()) + "}\r\n";
}

std::string fetchResponse(const std::vector<Msg>& messages, const std::string& end = "A OK Fetch completed.\r\n")
{
    std::string out;
    unsigned n = 0;
    for (const Msg& m : messages)
        out += fetchLine(++n, m) + m.body + ")\r\n";
    return out + end;
}

// The answer to the first request of a copy: the date and flags of each
// message.
std::string itemsResponse(const std::vector<Msg>& messages, const std::string& end = "A OK Fetch completed.\r\n")
{
    std::string out;
    unsigned n = 0;
    for (const Msg& m : messages)
        out += "* " + std::to_string(++n) + " FETCH (INTERNALDATE \"" + m.date + "\" FLAGS (" + m.flags + "))\r\n";
    return out + end;
}

// What a source answers to the two requests of a copy: the dates and flags,
// then the bodies.
struct Source {
    std::string items;
    std::string bodies;
};

Source sourceOf(const std::vector<Msg>& messages)
{
    return {itemsResponse(messages), fetchResponse(messages)};
}

const char* const date = "17-Jul-1996 02:44:25 -0700";

// Larger than anything the loopback socket buffers can hold.
constexpr std::size_t hugeLiteral = 128u * 1024 * 1024;

// Sends "head {size}" CR LF, size bytes and ")" CR LF, the bytes in pieces so
// no test holds them whole; false once the client has closed the connection.
bool sendLiteralResponse(scripted::Peer& peer, const std::string& head, std::size_t size)
{
    if (!peer.send(head + " {" + std::to_string(size) + "}\r\n"))
        return false;
    const std::string piece(1024 * 1024, 'r');
    for (std::size_t left = size; left > 0;) {
        const std::size_t n = std::min(left, piece.size());
        if (!peer.send(piece.substr(0, n)))
            return false;
        left -= n;
    }
    return peer.send(")\r\n");
}

std::vector<Msg> threeMessages()
{
    return {
        {"\\Seen \\Recent", date, "Subject: one\r\n\r\nA OK\r\n* BYE\r\n}\r\n"},
        {"\\Answered $Forwarded", " 1-Jan-2024 10:00:00 +0100", std::string(25000, 'x')},
        {"", date, "three"},
    };
}

// The APPEND the copy must send for a message of threeMessages().
std::string appendOf(const std::string& tag, const std::string& flags, const std::string& d, const std::string& body)
{
    std::string s = tag + " APPEND \"Target\"";
    if (!flags.empty())
        s += " (" + flags + ")";
    return s + " \"" + d + "\" {" + std::to_string(body.size()) + "+}\r\n" + body + "\r\n";
}

// A target that takes one APPEND, then waits for LOGOUT.
void acceptOneMessage(scripted::Server& target)
{
    target.serve([](scripted::Peer& peer, int) {
        peer.greetAndLogin();
        const std::string c = peer.readCommand();
        peer.send(scripted::Peer::tagOf(c) + " OK done\r\n");
        peer.drainUntilLogout();
    });
}

// One copy of expected messages from a fresh scripted source, which answers
// the FETCH with response, to a fresh target that takes every APPEND.
struct CopyRound {
    Result result;
    unsigned copied = 0;
    unsigned failed = 0;
    bool sourceDropped = false;
    bool targetDropped = false;
    // The APPENDs the target received whole, up to their final CR LF: only
    // those would a server carry out.
    std::vector<std::string> stored;
    SimpleImapClient::FolderCopyReport report;
};

// Answers one FETCH request of the copy on the source's connection.
using Answer = std::function<void(scripted::Peer& peer, const std::string& request)>;

// onAppend runs on the target's thread while the copy waits for the reply
// to each APPEND. A NOOP is answered by noop, or with OK when there is none.
// sourceTimeout, when not 0, is the source connection's read time-out.
CopyRound copyOnce(const Answer& answer, unsigned expected, std::function<void()> onAppend = nullptr,
                   const Answer& noop = nullptr, unsigned sourceTimeout = 0)
{
    CopyRound round;
    scripted::Server sourceServer;
    scripted::Server targetServer;
    sourceServer.serve([&](scripted::Peer& peer, int) {
        if (!peer.greetAndLogin())
            return;
        for (;;) {
            const std::string request = peer.readLine();
            if (request.empty())
                return;
            if (request.find(" LOGOUT") != std::string::npos) {
                peer.send("* BYE Logging out\r\n" + scripted::Peer::tagOf(request) + " OK Logout completed\r\n");
                return;
            }
            if (request.find(" NOOP") != std::string::npos) {
                if (noop)
                    noop(peer, request);
                else
                    peer.send(scripted::Peer::tagOf(request) + " OK NOOP completed.\r\n");
                continue;
            }
            if (request.find(" FETCH ") == std::string::npos) {
                peer.send(scripted::Peer::tagOf(request) + " BAD Unexpected\r\n");
                continue;
            }
            answer(peer, request);
        }
    });
    targetServer.serve([&](scripted::Peer& peer, int) {
        if (!peer.greetAndLogin())
            return;
        for (;;) {
            const std::string command = peer.readCommand();
            if (command.empty() || command.find(" LOGOUT") != std::string::npos)
                return;
            if (command.size() >= 2 && command.compare(command.size() - 2, 2, "\r\n") == 0)
                round.stored.push_back(command);
            if (onAppend)
                onAppend();
            peer.send(scripted::Peer::tagOf(command) + " OK done\r\n");
        }
    });
    SimpleImapClient source;
    SimpleImapClient target;
    zelvo::tiny::ZMutex mutex;
    EXPECT_EQ(Result::Ok, source.connect("127.0.0.1", sourceServer.port(), "u", "p", false));
    EXPECT_EQ(Result::Ok, target.connect("127.0.0.1", targetServer.port(), "u", "p", false));
    if (sourceTimeout != 0)
        source.getConnection().setTimeout(sourceTimeout);
    round.result = source.copyFolder("Target", target, round.copied, round.failed, nullptr, &mutex, false, expected,
                                     &round.report);
    round.sourceDropped = source.getConnection().getState() == ConnectionInternal::State::Disconnected;
    round.targetDropped = target.getConnection().getState() == ConnectionInternal::State::Disconnected;
    source.disconnect(true);
    target.disconnect(true);
    sourceServer.join();
    targetServer.join();
    return round;
}

// A source that answers the request for bodies with response.bodies and any
// other FETCH with response.items.
CopyRound copyOnce(const Source& response, unsigned expected)
{
    return copyOnce(
        [response](scripted::Peer& peer, const std::string& request) {
            peer.send(request.find("BODY.PEEK[]") != std::string::npos ? response.bodies : response.items);
        },
        expected);
}

class CopyFolder : public ::testing::Test {
protected:
    // The source answers the request for dates and flags with
    // response.items, the request for bodies with response.bodies (or runs
    // afterFetch instead), then SELECT with OK (so a test can see the
    // connection is back in step) until LOGOUT.
    void startSource(const Source& response, std::function<void(scripted::Peer&)> afterFetch = nullptr)
    {
        sourceServer.serve([this, response, afterFetch](scripted::Peer& peer, int) {
            if (!peer.greetAndLogin())
                return;
            itemsRequest = peer.readLine();
            peer.send(response.items);
            fetchRequest = peer.readLine();
            if (afterFetch) {
                afterFetch(peer);
                return;
            }
            peer.send(response.bodies);
            for (;;) {
                const std::string command = peer.readCommand();
                if (command.empty())
                    return;
                sourceCommands.push_back(command);
                if (command.find(" LOGOUT") != std::string::npos) {
                    peer.send(scripted::Peer::tagOf(command) + " OK bye\r\n");
                    return;
                }
                peer.send(scripted::Peer::tagOf(command) + " OK [READ-WRITE] Select completed.\r\n");
            }
        });
        ASSERT_EQ(Result::Ok, source.connect("127.0.0.1", sourceServer.port(), "u", "p", false));
    }

    // The target answers the n-th APPEND (from 0) with replies[n], "OK" when
    // there are fewer replies; "close" drops the connection instead.
    void startTarget(std::vector<std::string> replies = {}, int connections = 1)
    {
        targetServer.serve(
            [this, replies](scripted::Peer& peer, int) {
                if (!peer.greetAndLogin())
                    return;
                for (;;) {
                    const std::string command = peer.readCommand();
                    if (command.empty())
                        return;
                    if (command.find(" LOGOUT") != std::string::npos) {
                        peer.send(scripted::Peer::tagOf(command) + " OK bye\r\n");
                        return;
                    }
                    std::size_t n;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        n = appends.size();
                        appends.push_back(command);
                    }
                    if (onAppend)
                        onAppend(n);
                    const std::string reply = n < replies.size() ? replies[n] : "OK";
                    if (reply == "close")
                        return;
                    peer.send(scripted::Peer::tagOf(command) + " " + reply + " done\r\n");
                }
            },
            connections);
        ASSERT_EQ(Result::Ok, target.connect("127.0.0.1", targetServer.port(), "u", "p", false));
    }

    Result run(unsigned expected, bool show = true)
    {
        return source.copyFolder("Target", target, copied, failed, &progress, &progressMutex, show, expected);
    }

    // A SELECT on the source after the copy: OK only when the connection is
    // in step (or was rebuilt).
    void expectSourceUsable() { EXPECT_EQ(Result::Ok, source.select("INBOX")); }

    void TearDown() override
    {
        source.disconnect(true);
        target.disconnect(true);
        sourceServer.join();
        targetServer.join();
    }

    scripted::Server sourceServer;
    scripted::Server targetServer;
    SimpleImapClient source;
    SimpleImapClient target;
    std::mutex mutex;
    std::vector<std::string> appends;
    std::function<void(std::size_t)> onAppend;
    std::string itemsRequest;
    std::string fetchRequest;
    std::vector<std::string> sourceCommands;
    std::ostringstream progress;
    zelvo::tiny::ZMutex progressMutex;
    unsigned copied = 77;
    unsigned failed = 77;
};

const std::string erase = "\b\b\b\b    \b\b\b\b";

TEST_F(CopyFolder, CopiesEveryMessageWithFlagsDateAndBytes)
{
    const std::vector<Msg> messages = threeMessages();
    startSource(sourceOf(messages));
    startTarget();
    EXPECT_EQ(Result::Ok, run(3));
    EXPECT_EQ(3u, copied);
    EXPECT_EQ(0u, failed);
    EXPECT_EQ("A FETCH 1:3 (INTERNALDATE FLAGS)\r\n", itemsRequest);
    EXPECT_EQ("A FETCH 1:3 (BODY.PEEK[])\r\n", fetchRequest);
    ASSERT_EQ(3u, appends.size());
    // \Recent is the server's to set; keywords are not copied.
    EXPECT_EQ(appendOf("Z1", "\\Seen", date, messages[0].body), appends[0]);
    EXPECT_EQ(appendOf("Z2", "\\Answered", messages[1].date, messages[1].body), appends[1]);
    EXPECT_EQ(appendOf("Z3", "", date, messages[2].body), appends[2]);
    EXPECT_EQ("  0%" + erase + " 33%" + erase + " 66%" + erase + "100%" + erase, progress.str());
    expectSourceUsable();
}

TEST_F(CopyFolder, AResponseSplitAtAnyByteCopiesTheSame)
{
    // Small messages, so that every boundary of lines, literal headers and
    // bodies falls inside some piece.
    const std::vector<Msg> messages = {
        {"\\Seen", date, "A OK\r\n{3}\r\n)\r\n"},
        {"", date, "x"},
        {"\\Flagged \\Draft", date, std::string(300, 'y')},
    };
    for (std::size_t piece : {1, 2, 3, 5, 7, 13}) {
        SCOPED_TRACE(piece);
        scripted::Server s;
        std::vector<std::string> got;
        s.serve([&](scripted::Peer& peer, int) {
            peer.greetAndLogin();
            peer.readLine();
            peer.sendInPieces(itemsResponse(messages), piece);
            peer.readLine();
            peer.sendInPieces(fetchResponse(messages), piece);
            peer.drainUntilLogout();
        });
        scripted::Server t;
        t.serve([&](scripted::Peer& peer, int) {
            peer.greetAndLogin();
            for (int i = 0; i < 3; ++i) {
                const std::string c = peer.readCommand();
                got.push_back(c.substr(c.find(' ') + 1));
                peer.send(scripted::Peer::tagOf(c) + " OK done\r\n");
            }
            peer.drainUntilLogout();
        });
        SimpleImapClient from;
        SimpleImapClient to;
        ASSERT_EQ(Result::Ok, from.connect("127.0.0.1", s.port(), "u", "p", false));
        ASSERT_EQ(Result::Ok, to.connect("127.0.0.1", t.port(), "u", "p", false));
        unsigned c = 0, f = 0;
        EXPECT_EQ(Result::Ok, from.copyFolder("Target", to, c, f, nullptr, &progressMutex, false, 3));
        EXPECT_EQ(3u, c);
        EXPECT_EQ(0u, f);
        from.disconnect(true);
        to.disconnect(true);
        s.join();
        t.join();
        ASSERT_EQ(3u, got.size());
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(appendOf("", messages[i].flags, date, messages[i].body).substr(1), got[i]);
    }
}

TEST_F(CopyFolder, ShowsNothingWhenProgressIsOff)
{
    startSource(sourceOf(threeMessages()));
    startTarget();
    EXPECT_EQ(Result::Ok, run(3, false));
    EXPECT_EQ(3u, copied);
    EXPECT_EQ("", progress.str());
}

// Counts how often the progress writes take the log's mutex.
class CountingMutex : public zelvo::tiny::ZMutex {
public:
    int writeLock() override
    {
        ++locks;
        return ZMutex::writeLock();
    }
    int unlock() override
    {
        ++unlocks;
        return ZMutex::unlock();
    }
    int locks = 0;
    int unlocks = 0;
};

TEST_F(CopyFolder, TheMutexGuardsEveryProgressWriteEvenWhenNothingIsShown)
{
    startSource(sourceOf(threeMessages()));
    startTarget();
    CountingMutex hidden;
    unsigned c = 0, f = 0;
    EXPECT_EQ(Result::Ok, source.copyFolder("Target", target, c, f, &progress, &hidden, false, 3));
    EXPECT_EQ(3u, c);
    // 0%, then an erase and a percentage per message, then the final erase.
    EXPECT_EQ(1 + 2 * 3 + 1, hidden.locks);
    EXPECT_EQ(hidden.locks, hidden.unlocks);
    EXPECT_EQ("", progress.str());
    // No stream: an empty folder still takes it for its two writes.
    CountingMutex streamless;
    EXPECT_EQ(Result::Ok, source.copyFolder("Target", target, c, f, nullptr, &streamless, true, 0));
    EXPECT_EQ(2, streamless.locks);
    EXPECT_EQ(2, streamless.unlocks);
}

TEST_F(CopyFolder, ThePercentageNeverDividesByZeroOrPassesAHundred)
{
    // The third message is delivered after the folder was counted.
    Source source = sourceOf(threeMessages());
    source.items = "* 3 EXISTS\r\n" + source.items;
    startSource(source);
    startTarget();
    EXPECT_EQ(Result::Ok, run(2));
    EXPECT_EQ(3u, copied);
    EXPECT_EQ("  0%" + erase + " 50%" + erase + "100%" + erase + "100%" + erase, progress.str());
}

TEST_F(CopyFolder, AnEmptyFolderIsNotFetched)
{
    sourceServer.serve([this](scripted::Peer& peer, int) {
        if (!peer.greetAndLogin())
            return;
        fetchRequest = peer.readLine();
        peer.send(scripted::Peer::tagOf(fetchRequest) + " OK done\r\n");
        peer.drainUntilLogout();
    });
    ASSERT_EQ(Result::Ok, source.connect("127.0.0.1", sourceServer.port(), "u", "p", false));
    startTarget();
    EXPECT_EQ(Result::Ok, run(0));
    EXPECT_EQ(0u, copied);
    EXPECT_EQ(0u, failed);
    EXPECT_EQ("  0%" + erase, progress.str());
    expectSourceUsable();
    // The select above was the first thing the source received.
    EXPECT_EQ(0u, fetchRequest.find("Z1 SELECT"));
}

TEST_F(CopyFolder, TheLineThatEndsTheResponseDecides)
{
    struct Row {
        const char* end;
        Result result;
        unsigned failed;
    } rows[] = {
        // Three messages were reported and one came: the two missing ones
        // are failed downloads, also when the response ends well.
        {"A OK done\r\n", Result::FetchFailed, 2},
        {"A ok done\r\n", Result::FetchFailed, 2},
        {"Z9 OK done\r\n", Result::FetchFailed, 2},
        {"A NO Some messages could not be fetched\r\n", Result::FetchFailed, 2},
        {"A BAD Error\r\n", Result::FetchFailed, 2},
        {"* BYE Server shutting down\r\n", Result::ConnectionFailed, 2},
        // A literal beyond any limit cannot be skipped: the source is dropped.
        {"* 2 FETCH (BODY[] {4294967296}\r\n", Result::FetchFailed, 2},
        {"", Result::FetchFailed, 2},  // the source closes
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.end);
        scripted::Server s;
        scripted::Server t;
        // Each row has its own pair of servers and clients.
        SimpleImapClient from;
        SimpleImapClient to;
        s.serve([&](scripted::Peer& peer, int) {
            peer.greetAndLogin();
            peer.readLine();
            peer.send(itemsResponse({{"", date, "m"}}));
            peer.readLine();
            peer.send(fetchResponse({{"", date, "m"}}, row.end));
            if (*row.end == '\0')
                return;
            peer.drainUntilLogout();
        });
        acceptOneMessage(t);
        ASSERT_EQ(Result::Ok, from.connect("127.0.0.1", s.port(), "u", "p", false));
        ASSERT_EQ(Result::Ok, to.connect("127.0.0.1", t.port(), "u", "p", false));
        unsigned c = 0, f = 0;
        EXPECT_EQ(row.result, from.copyFolder("Target", to, c, f, nullptr, &progressMutex, true, 3));
        EXPECT_EQ(1u, c);
        EXPECT_EQ(row.failed, f);
        from.disconnect(true);
        to.disconnect(true);
    }
}

TEST_F(CopyFolder, AnEndLineNotTaggedForTheFetchDropsTheSource)
{
    // Neither line is the reply to the FETCH (tag "A"), so the rest of the
    // response may still come; the next command must get a clean connection.
    for (const char* end : {"Z9 OK stale\r\n", "+ go\r\n"}) {
        SCOPED_TRACE(end);
        scripted::Server s;
        scripted::Server t;
        SimpleImapClient from;
        SimpleImapClient to;
        std::vector<std::string> onFreshConnection;
        s.serve(
            [&](scripted::Peer& peer, int index) {
                if (!peer.greetAndLogin())
                    return;
                if (index == 0) {
                    peer.readLine();
                    peer.send(itemsResponse({{"", date, "m"}, {"", date, "late"}}));
                    peer.readLine();
                    peer.send(fetchResponse({{"", date, "m"}}, end) + fetchResponse({{"", date, "late"}}));
                    peer.readLine();  // until the client drops the connection
                    return;
                }
                const std::string command = peer.readCommand();
                onFreshConnection.push_back(command);
                peer.send(scripted::Peer::tagOf(command) + " OK [READ-WRITE] Select completed.\r\n");
                peer.drainUntilLogout();
            },
            2);
        acceptOneMessage(t);
        ASSERT_EQ(Result::Ok, from.connect("127.0.0.1", s.port(), "u", "p", false));
        ASSERT_EQ(Result::Ok, to.connect("127.0.0.1", t.port(), "u", "p", false));
        unsigned c = 0, f = 0;
        from.copyFolder("Target", to, c, f, nullptr, &progressMutex, true, 2);
        EXPECT_EQ(1u, c);
        EXPECT_EQ(ConnectionInternal::State::Disconnected, from.getConnection().getState());
        EXPECT_EQ(Result::Ok, from.select("INBOX"));
        from.disconnect(true);
        to.disconnect(true);
        s.join();
        ASSERT_EQ(1u, onFreshConnection.size());
        EXPECT_NE(std::string::npos, onFreshConnection[0].find(" SELECT \"INBOX\""));
    }
}

TEST_F(CopyFolder, ARefusedMessageIsCountedAndTheCopyGoesOn)
{
    startSource(sourceOf(threeMessages()));
    startTarget({"OK", "NO [OVERQUOTA] Quota exceeded"});
    EXPECT_EQ(Result::Ok, run(3));
    EXPECT_EQ(2u, copied);
    EXPECT_EQ(1u, failed);
    EXPECT_EQ(3u, appends.size());
    expectSourceUsable();
}

TEST_F(CopyFolder, MessagesWithoutAUsableBodyAreCountedAndSkipped)
{
    const std::vector<Msg> messages = threeMessages();
    std::string response = fetchLine(1, messages[0]) + messages[0].body + ")\r\n";
    response += "* 2 FETCH (INTERNALDATE \"" + std::string(date) + "\" FLAGS () BODY[] {0}\r\n)\r\n";
    response += "* 3 FETCH (FLAGS (\\Seen) BODY[] NIL)\r\n";
    response += "* 4 EXISTS\r\n";  // not a message: neither copied nor failed
    response += "* 4 FETCH (UID 7 BODY[] {5}\r\nabcde)\r\n";  // an item not asked for is skipped
    response += fetchLine(5, messages[2]) + messages[2].body + ")\r\nA OK done\r\n";
    startSource({itemsResponse({messages[0], messages[0], messages[0], messages[0], messages[2]}), response});
    startTarget();
    EXPECT_EQ(Result::Ok, run(5));
    EXPECT_EQ(3u, copied);
    EXPECT_EQ(2u, failed);
    ASSERT_EQ(3u, appends.size());
    EXPECT_NE(std::string::npos, appends[1].find("abcde"));
    EXPECT_NE(std::string::npos, appends[2].find("three"));
    expectSourceUsable();
}

TEST_F(CopyFolder, NothingHappensOnAClientThatIsNotConnected)
{
    SimpleImapClient idle;
    startTarget();
    EXPECT_EQ(Result::NotConnected, idle.copyFolder("Target", target, copied, failed, &progress, &progressMutex, true, 4));
    EXPECT_EQ(0u, copied);
    EXPECT_EQ(0u, failed);
    EXPECT_EQ("", progress.str());
    EXPECT_TRUE(appends.empty());
}

TEST_F(CopyFolder, ATargetThatIsNotConnectedFailsTheFolder)
{
    startSource(sourceOf(threeMessages()));
    SimpleImapClient idle;
    EXPECT_EQ(Result::AppendFailed, source.copyFolder("Target", idle, copied, failed, &progress, &progressMutex, true, 3));
    EXPECT_EQ(0u, copied);
    EXPECT_EQ(3u, failed);
    // Nothing can be copied now: the rest of the response is not read but
    // dropped with the connection, which the next command rebuilds.
    EXPECT_EQ(ConnectionInternal::State::Disconnected, source.getConnection().getState());
    sourceServer.join();
    EXPECT_TRUE(sourceCommands.empty());
}

TEST_F(CopyFolder, ASilentSourceEndsTheCopyAfterTheTimeOut)
{
    const std::vector<Msg> messages = threeMessages();
    startSource({itemsResponse({messages[2], messages[1], messages[2]}), ""}, [&](scripted::Peer& peer) {
        peer.send(fetchLine(1, messages[2]) + messages[2].body + ")\r\n");
        peer.readLine();  // silent until the client closes
    });
    source.getConnection().setTimeout(1);
    startTarget();
    EXPECT_EQ(Result::FetchFailed, run(3));
    EXPECT_EQ(1u, copied);
    EXPECT_EQ(2u, failed);
    EXPECT_EQ("  0%" + erase + " 33%" + erase, progress.str());
}

TEST_F(CopyFolder, ASourceThatDiesInsideABodyStoresNothingPartial)
{
    const std::vector<Msg> messages = threeMessages();
    startSource({itemsResponse({messages[2], messages[1], messages[2]}), ""}, [&](scripted::Peer& peer) {
        peer.send(fetchLine(1, messages[2]) + messages[2].body + ")\r\n");
        peer.send(fetchLine(2, messages[1]) + messages[1].body.substr(0, 15000));
        peer.close();
    });
    std::string second;
    targetServer.serve([&](scripted::Peer& peer, int) {
        peer.greetAndLogin();
        const std::string first = peer.readCommand();
        peer.send(scripted::Peer::tagOf(first) + " OK done\r\n");
        second = peer.readCommand();  // ends where the client dropped the connection
    });
    ASSERT_EQ(Result::Ok, target.connect("127.0.0.1", targetServer.port(), "u", "p", false));
    EXPECT_EQ(Result::FetchFailed, run(3));
    EXPECT_EQ(1u, copied);
    EXPECT_EQ(2u, failed);
    targetServer.join();
    // The target saw the header and the bytes that arrived, never the CR LF
    // that would complete the command.
    EXPECT_EQ(0u, second.find("Z2 APPEND \"Target\""));
    EXPECT_LT(second.size(), 25000u);
    EXPECT_NE("\r\n", second.substr(second.size() - 2));
    EXPECT_EQ(ConnectionInternal::State::Disconnected, target.getConnection().getState());
}

TEST_F(CopyFolder, ATargetThatDiesInsideAMessageFailsTheRestAndLeavesItUnread)
{
    // The rest of the folder is far more than the socket buffers hold: the
    // source can send it all only to a client that reads it through.
    std::vector<Msg> messages = threeMessages();
    const std::string whole = fetchResponse(messages);
    const std::string third = fetchLine(3, messages[2]);
    bool sentAll = true;
    startSource({itemsResponse(messages), ""}, [&](scripted::Peer& peer) {
        sentAll = peer.send(whole.substr(0, whole.find(third))) &&
                  sendLiteralResponse(peer, "* 3 FETCH (FLAGS () BODY[]", hugeLiteral) &&
                  peer.send("A OK done\r\n");
        peer.readLine();
    });
    targetServer.serve([&](scripted::Peer& peer, int) {
        peer.greetAndLogin();
        const std::string first = peer.readCommand();
        peer.send(scripted::Peer::tagOf(first) + " OK done\r\n");
        peer.readLine();
        peer.readBytes(100);
        peer.close();  // inside the 25000-byte literal of the second message
    });
    ASSERT_EQ(Result::Ok, target.connect("127.0.0.1", targetServer.port(), "u", "p", false));
    EXPECT_EQ(Result::AppendFailed, run(3));
    EXPECT_EQ(1u, copied);
    EXPECT_EQ(2u, failed);
    EXPECT_EQ(ConnectionInternal::State::Disconnected, source.getConnection().getState());
    sourceServer.join();
    EXPECT_FALSE(sentAll) << "the rest of the folder was read through";
}

TEST_F(CopyFolder, AnAbortIsActedOnWhileALiteralIsSkipped)
{
    // A FETCH response with an item the copy does not use, whose large
    // literal is skipped; the interrupt comes while it is.
    bool sentAll = true;
    startSource({itemsResponse({{"", date, "one"}, {"", date, "two"}}), ""}, [&](scripted::Peer& peer) {
        sentAll = sendLiteralResponse(peer, "* 1 FETCH (BODY[HEADER]", hugeLiteral) &&
                  peer.send(fetchLine(2, {"", date, "two"}) + "two)\r\nA OK done\r\n");
        peer.readLine();
    });
    startTarget();
    int polls = 0;
    source.setInterruptPoll([&] {
        if (++polls == 3)
            source.abort();
    });
    EXPECT_EQ(Result::Ok, run(2));
    EXPECT_GE(polls, 3);
    EXPECT_EQ(0u, copied);
    EXPECT_EQ(2u, failed);
    EXPECT_TRUE(appends.empty());
    EXPECT_EQ(ConnectionInternal::State::Disconnected, source.getConnection().getState());
    sourceServer.join();
    EXPECT_FALSE(sentAll) << "the literal was read through";
}

TEST_F(CopyFolder, ALiteralCountThatDoesNotMatchItsBodyStoresNothingWrong)
{
    // The second message's literal count is wrong. Too large, the count runs
    // on into what follows the body, up to the text "over" names, so the rest
    // of the line begins there; too small, the body's last bytes, "under",
    // are left over in front of the closing parenthesis. Whatever the first
    // character of that rest (the line end, "*", a blank, ")", a letter), the
    // message must not be stored and nothing after it taken for its rest.
    const std::string filler(25000, 'x');
    struct Row {
        const char* over;   // the rest of the line begins at this text
        const char* under;  // bytes of the body left over after the count
    } rows[] = {
        {"\r\n* 3", nullptr},
        {"* 3 FETCH", nullptr},
        {" 3 FETCH (", nullptr},
        {" (INTERNALDATE", nullptr},
        {" \"17-Jul", nullptr},
        {") BODY[] {5}", nullptr},
        {"FETCH (INTERNALDATE", nullptr},
        {"NTERNALDATE", nullptr},
        {nullptr, " foo bar"},
        {nullptr, " UID"},
        {nullptr, " 7 8"},
        {nullptr, " NIL"},
        {nullptr, ")"},
        {nullptr, ") UID 5"},
        {nullptr, "word"},
        {nullptr, "\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.over ? std::string("over to ") + row.over : std::string("under by ") + row.under);
        std::vector<Msg> messages = threeMessages();
        messages[1].body = filler + (row.under ? row.under : "");
        std::string response = fetchResponse(messages);
        const std::string header = "{" + std::to_string(messages[1].body.size()) + "}\r\n";
        const std::size_t bodyAt = response.find(header) + header.size();
        std::size_t announced = filler.size();
        if (row.over)
            announced = response.find(row.over, bodyAt + messages[1].body.size()) - bodyAt;
        response.replace(response.find(header), header.size(), "{" + std::to_string(announced) + "}\r\n");

        const CopyRound round = copyOnce({itemsResponse(messages), response}, 3);
        EXPECT_EQ(Result::FetchFailed, round.result);
        EXPECT_EQ(1u, round.copied);
        EXPECT_EQ(2u, round.failed);
        EXPECT_TRUE(round.sourceDropped);
        EXPECT_TRUE(round.targetDropped);
        EXPECT_EQ(std::vector<std::string>{appendOf("Z1", "\\Seen", date, messages[0].body)}, round.stored);
    }
}

TEST_F(CopyFolder, ItemsOfOneMessageInTwoResponsesTravelTogether)
{
    // A server may send a message's items in several FETCH responses, and
    // FLAGS updates of its own at any time. A body takes the date and flags
    // last sent for its number before it; one sent after its body changes
    // nothing, and only a number that never gets a body is a failed message.
    const std::string d1 = " 3-Mar-2021 08:00:00 +0000";
    const std::string d2 = "24-Dec-2022 18:30:00 +0100";
    const std::string d3 = " 1-Jan-2023 00:00:00 +0000";
    std::string items;
    items += "* 1 FETCH (FLAGS (\\Seen \\Flagged))\r\n";
    items += "* 2 FETCH (INTERNALDATE \"" + d2 + "\" FLAGS (\\Answered))\r\n";
    items += "* 1 FETCH (INTERNALDATE \"" + d1 + "\")\r\n";
    items += "* 3 FETCH (INTERNALDATE \"" + d3 + "\" FLAGS (\\Seen))\r\n";
    items += "* 4 FETCH (INTERNALDATE \"" + d3 + "\" FLAGS (\\Seen))\r\nA OK done\r\n";
    std::string bodies;
    bodies += "* 1 FETCH (BODY[] {3}\r\none)\r\n";
    bodies += "* 1 FETCH (FLAGS (\\Seen \\Flagged \\Deleted))\r\n";  // after its body: an update
    bodies += "* 2 FETCH (FLAGS (\\Draft))\r\n";                        // before its body: the flags now
    bodies += "* 2 FETCH (BODY[] {3}\r\ntwo)\r\n";
    struct Row {
        std::string end;  // after the bodies above
        unsigned expected;
        Result result;
        unsigned failed;
    } rows[] = {
        {"* 3 FETCH (BODY[] {5}\r\nthree)\r\nA OK done\r\n", 3, Result::Ok, 0},
        // Messages 3 and 4 never get their bodies: two failed, and the
        // response fell short of the folder.
        {"A OK done\r\n", 4, Result::FetchFailed, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.end);
        const CopyRound round = copyOnce({items, bodies + row.end}, row.expected);
        EXPECT_EQ(row.result, round.result);
        EXPECT_EQ(row.failed, round.failed);
        std::vector<std::string> appends = {appendOf("Z1", "\\Seen \\Flagged", d1, "one"),
                                            appendOf("Z2", "\\Draft", d2, "two")};
        if (row.result == Result::Ok)
            appends.push_back(appendOf("Z3", "\\Seen", d3, "three"));
        EXPECT_EQ(appends.size(), round.copied);
        EXPECT_EQ(appends, round.stored);
    }
}

TEST_F(CopyFolder, ATargetThatStopsReadingFailsTheMessageAfterTheTimeOut)
{
    // Larger than everything the loopback socket buffers can hold, so the
    // upload must wait for the target to read.
    const std::vector<Msg> messages = {{"\\Seen", date, std::string(32 * 1024 * 1024, 'b')}};
    startSource(sourceOf(messages));
    std::atomic<bool> copyReturned{false};
    bool targetGaveUp = false;
    targetServer.serve([&](scripted::Peer& peer, int) {
        if (!peer.greetAndLogin())
            return;
        // Reads nothing more: a target that hangs. The wait ends long after
        // the client's time-out, or at once when the copy has returned.
        for (int i = 0; i < 200 && !copyReturned; ++i)
            ::usleep(100 * 1000);
        targetGaveUp = !copyReturned;
    });
    ASSERT_EQ(Result::Ok, target.connect("127.0.0.1", targetServer.port(), "u", "p", false));
    target.getConnection().setTimeout(1);
    EXPECT_EQ(Result::AppendFailed, run(1));
    copyReturned = true;
    targetServer.join();
    EXPECT_FALSE(targetGaveUp) << "the upload blocked until the target went away";
    EXPECT_EQ(0u, copied);
    EXPECT_EQ(1u, failed);
    EXPECT_EQ(ConnectionInternal::State::Disconnected, target.getConnection().getState());
    // The rest of the body is not read through for a target that is gone.
    EXPECT_EQ(ConnectionInternal::State::Disconnected, source.getConnection().getState());
}

TEST_F(CopyFolder, AnAbortStopsAfterTheMessageInTransfer)
{
    const std::vector<Msg> messages = threeMessages();
    startSource(sourceOf(messages));
    onAppend = [this](std::size_t n) {
        if (n == 1)
            source.abort();
    };
    startTarget();
    EXPECT_EQ(Result::Ok, run(3));
    // The second message reached the target, so it counts as copied; the
    // third was not attempted.
    EXPECT_EQ(2u, copied);
    EXPECT_EQ(1u, failed);
    EXPECT_EQ(2u, appends.size());
    EXPECT_TRUE(source.wasAborted());
}

TEST_F(CopyFolder, AnAbortAfterTheLastMessageAsksTheSourceNothingMore)
{
    // The interrupt is seen after the last upload has been counted, while
    // the response is read to its end.
    startSource(sourceOf(threeMessages()));
    startTarget();
    int pollsAfterTheLast = 0;
    source.setInterruptPoll([&] {
        std::lock_guard<std::mutex> lock(mutex);
        if (appends.size() == 3 && ++pollsAfterTheLast == 2)
            source.abort();
    });
    EXPECT_EQ(Result::Ok, run(3));
    EXPECT_TRUE(source.wasAborted());
    EXPECT_EQ(3u, copied);
    EXPECT_EQ(0u, failed);
    source.disconnect(false);
    sourceServer.join();
    EXPECT_TRUE(sourceCommands.empty()) << sourceCommands.front();
}

TEST_F(CopyFolder, AnAbortBeforeTheCopyStillLetsTheFirstMessageThrough)
{
    startSource(sourceOf(threeMessages()));
    startTarget();
    source.abort();
    EXPECT_EQ(Result::Ok, run(3));
    EXPECT_EQ(1u, copied);
    EXPECT_EQ(2u, failed);
    EXPECT_EQ(1u, appends.size());
}

} // namespace

namespace {

// The FETCH response(s) for one message as a server may shape them: the
// items the request asks for in the order that order names them, and items
// it adds unasked. Letters: B the body, F the flags, D the date; U, S, M, L,
// Q, N items nobody asked for (UID, RFC822.SIZE, MODSEQ, a section with a
// literal, a quoted string, NIL). "|" starts a further response for the
// same number.
std::string shapedResponse(const std::string& request, unsigned number, const Msg& m, const std::string& order)
{
    const bool body = request.find("BODY.PEEK[]") != std::string::npos;
    const bool flags = request.find("FLAGS") != std::string::npos;
    const bool internalDate = request.find("INTERNALDATE") != std::string::npos;
    std::string out;
    std::string items;
    auto add = [&](const std::string& item) { items += (items.empty() ? "" : " ") + item; };
    auto flush = [&] {
        if (!items.empty())
            out += "* " + std::to_string(number) + " FETCH (" + items + ")\r\n";
        items.clear();
    };
    for (char c : order) {
        switch (c) {
        case 'B':
            if (body)
                add("BODY[] {" + std::to_string(m.body.size()) + "}\r\n" + m.body);
            break;
        case 'F':
            if (flags)
                add("FLAGS (" + m.flags + ")");
            break;
        case 'D':
            if (internalDate)
                add("INTERNALDATE \"" + m.date + "\"");
            break;
        case 'U':
            add("UID " + std::to_string(100 + number));
            break;
        case 'S':
            add("RFC822.SIZE " + std::to_string(m.body.size()));
            break;
        case 'M':
            add("MODSEQ (12345)");
            break;
        case 'L':
            add("BODY[HEADER.FIELDS (X-LABEL)] {14}\r\nX-Label: a\r\n\r\n");
            break;
        case 'Q':
            add("X-GUID \"a \\\"b\\\" (c\"");
            break;
        case 'N':
            add("X-NOTE NIL");
            break;
        case '|':
            flush();
            break;
        }
    }
    flush();
    return out;
}

TEST(CopyFolderShapes, EveryMessageArrivesWithItsFlagsAndDateWhateverTheItemOrder)
{
    // RFC 3501 fixes no order for the items of a FETCH response and lets a
    // server add items it was not asked for.
    std::vector<Msg> messages = threeMessages();
    // Flags are whole words: neither of these is a system flag.
    messages.push_back({"\\SeenByBot \\Drafted \\flagged", "29-Feb-2024 23:59:59 +1400", "four"});
    const std::vector<std::string> stored = {
        appendOf("Z1", "\\Seen", date, messages[0].body),
        appendOf("Z2", "\\Answered", messages[1].date, messages[1].body),
        appendOf("Z3", "", date, messages[2].body),
        appendOf("Z4", "\\Flagged", messages[3].date, messages[3].body),
    };
    for (const char* order : {"DFB", "BFD", "FBD", "DBF", "B|FD", "FD|B", "F|B|D", "UDFB", "UBDF", "SMDFB",
                              "LDFB", "QNDFLB", "DFBUSMLQN", "MUBLFQDN"}) {
        SCOPED_TRACE(order);
        const CopyRound round = copyOnce(
            [&](scripted::Peer& peer, const std::string& request) {
                std::string response;
                for (std::size_t i = 0; i < messages.size(); ++i)
                    response += shapedResponse(request, static_cast<unsigned>(i + 1), messages[i], order);
                peer.send(response + scripted::Peer::tagOf(request) + " OK Fetch completed.\r\n");
            },
            4);
        EXPECT_EQ(Result::Ok, round.result);
        EXPECT_EQ(4u, round.copied);
        EXPECT_EQ(0u, round.failed);
        EXPECT_EQ(stored, round.stored);
    }
}

TEST(CopyFolderShapes, AMessageIsStoredWithTheFlagsItsSourceGaveOrNotAtAll)
{
    // Message 2 gets no usable flags: it is not stored and counts as failed.
    // Message 3 has no valid date (NIL, cut, an unknown zone, far too long):
    // the target gives it its own.
    const std::vector<Msg> messages = {{"\\Seen", date, "one"}, {"", date, "two"}, {"\\Draft", date, "three"}};
    struct Row {
        const char* second;  // the items of message 2
        std::string third;   // the items of message 3
        unsigned copied;
    } rows[] = {
        {"INTERNALDATE \"17-Jul-1996 02:44:25 -0700\"", "FLAGS (\\Draft) INTERNALDATE NIL", 2},
        {"FLAGS NIL", "FLAGS (\\Draft) INTERNALDATE \"17-Jul-1996 02:44:25\"", 2},
        {"FLAGS ((\\Seen))", "FLAGS (\\Draft) INTERNALDATE \"17-Jul-1996 02:44:25 EST\"", 2},
        {"FLAGS {6}\r\n\\Seen)", "INTERNALDATE \"" + std::string(5000, '1') + "\" FLAGS (\\Draft)", 2},
        {"FLAGS ()", "FLAGS (\\Draft)", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.second);
        std::string items = "* 1 FETCH (FLAGS (\\Seen) INTERNALDATE \"" + std::string(date) + "\")\r\n";
        items += "* 2 FETCH (" + std::string(row.second) + ")\r\n";
        items += "* 3 FETCH (" + row.third + ")\r\nA OK done\r\n";
        // The bodies carry no flags or dates of their own.
        std::string plain;
        for (unsigned n = 1; n <= 3; ++n)
            plain += "* " + std::to_string(n) + " FETCH (BODY[] {" + std::to_string(messages[n - 1].body.size()) +
                     "}\r\n" + messages[n - 1].body + ")\r\n";
        const CopyRound round = copyOnce({items, plain + "A OK done\r\n"}, 3);
        EXPECT_EQ(Result::Ok, round.result);
        EXPECT_EQ(row.copied, round.copied);
        EXPECT_EQ(3u - row.copied, round.failed);
        ASSERT_EQ(row.copied, round.stored.size());
        EXPECT_EQ(appendOf("Z1", "\\Seen", date, "one"), round.stored[0]);
        const std::string last = "Z" + std::to_string(row.copied) + " APPEND \"Target\" (\\Draft) {5+}\r\nthree\r\n";
        EXPECT_EQ(last, round.stored.back());
    }
}

TEST(CopyFolderShapes, EachMessageIsStoredOnceAndEveryMissingOneCounts)
{
    const Msg one{"\\Seen", date, "one"};
    const Msg two{"", date, "two"};
    const Msg three{"\\Flagged", date, "three"};
    std::string updates;  // a server's own flag updates for numbers beyond the folder
    for (unsigned k = 3; k <= 40; ++k)
        updates += "* " + std::to_string(k) + " FETCH (FLAGS (\\Seen))\r\n";
    struct Row {
        const char* name;
        Source source;
        unsigned expected;
        Result result;
        unsigned copied;
        unsigned failed;
        std::vector<std::string> stored;
    } rows[] = {
        {"a body twice, one never",
         {itemsResponse({one, two, three}),
          fetchLine(1, one) + "one)\r\n" + fetchLine(2, two) + "two)\r\n" + fetchLine(2, three) + "three)\r\nA OK done\r\n"},
         3, Result::FetchFailed, 2, 1,
         {appendOf("Z1", "\\Seen", date, "one"), appendOf("Z2", "", date, "two")}},
        {"updates beyond the folder",
         {updates + itemsResponse({one, two}), fetchLine(1, one) + "one)\r\n" + updates + fetchLine(2, two) +
                                                  "two)\r\n" + updates + "A OK done\r\n"},
         2, Result::Ok, 2, 0,
         {appendOf("Z1", "\\Seen", date, "one"), appendOf("Z2", "", date, "two")}},
        // A NO to the first request may still have brought some dates and
        // flags: those messages are copied, the others fail, and so does
        // the folder. A BAD brought nothing usable.
        {"dates and flags refused in part",
         {itemsResponse({one}, "A NO Some messages could not be fetched\r\n"),
          "* 1 FETCH (BODY[] {3}\r\none)\r\n* 2 FETCH (BODY[] {3}\r\ntwo)\r\nA OK done\r\n"},
         2, Result::FetchFailed, 1, 1,
         {appendOf("Z1", "\\Seen", date, "one")}},
        {"dates and flags refused",
         {itemsResponse({one, two}, "A BAD Error in IMAP command\r\n"), fetchResponse({one, two})},
         2, Result::FetchFailed, 0, 2,
         {}},
        {"a body NIL, then its body",
         {itemsResponse({one, two}), fetchLine(1, one) + "one)\r\n* 2 FETCH (BODY[] NIL)\r\n" + fetchLine(2, two) +
                                         "two)\r\nA OK done\r\n"},
         2, Result::Ok, 1, 1,
         {appendOf("Z1", "\\Seen", date, "one")}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CopyRound round = copyOnce(row.source, row.expected);
        EXPECT_EQ(row.result, round.result);
        EXPECT_EQ(row.copied, round.copied);
        EXPECT_EQ(row.failed, round.failed);
        EXPECT_EQ(row.stored, round.stored);
    }
}

TEST(CopyFolderShapes, ABodySentAsAQuotedStringIsABody)
{
    const Msg m{"\\Seen", date, ""};
    struct Row {
        const char* body;  // the BODY[] item and what follows it in the response
        const char* stored;  // the message, empty when nothing is stored
    } rows[] = {
        {"BODY[] \"X\")", "X"},
        {"BODY[] \"a \\\"quoted\\\" \\\\ body (with {3}\")", "a \"quoted\" \\ body (with {3}"},
        {"BODY[] \"short\" UID 7 X-LABEL {2}\r\nab)", "short"},
        {"BODY[] \"\")", ""},  // nothing to store
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body);
        const std::string bodies = "* 1 FETCH (UID 7 " + std::string(row.body) + "\r\nA OK done\r\n";
        const CopyRound round = copyOnce({itemsResponse({m}), bodies}, 1);
        const bool stored = *row.stored != '\0';
        EXPECT_EQ(Result::Ok, round.result);
        EXPECT_EQ(stored ? 1u : 0u, round.copied);
        EXPECT_EQ(stored ? 0u : 1u, round.failed);
        EXPECT_EQ(stored ? std::vector<std::string>{appendOf("Z1", "\\Seen", date, row.stored)}
                         : std::vector<std::string>{},
                  round.stored);
        EXPECT_FALSE(round.sourceDropped);
    }
}

// Bytes the process holds on its heap now.
std::size_t heapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

TEST(CopyFolderShapes, WhatIsKeptPerMessageIsBoundedInBytes)
{
    // Many responses whose values are each nearly as long as a line may be:
    // what the copy keeps of them must not grow with their size. The copy's
    // heap is measured while it waits for the target to take the first
    // message, when everything it keeps of the responses is still held.
    constexpr unsigned responses = 256;
    const std::string longDate(256 * 1024, '7');
    const std::size_t before = heapInUse();
    std::size_t during = 0;
    const CopyRound round = copyOnce(
        [&](scripted::Peer& peer, const std::string& request) {
            if (request.find("INTERNALDATE") != std::string::npos) {
                for (unsigned n = responses; n >= 1; --n)
                    peer.send("* " + std::to_string(n) + " FETCH (INTERNALDATE \"" + longDate +
                              "\" FLAGS (\\Seen))\r\n");
            }
            if (request.find("BODY.PEEK[]") != std::string::npos)
                peer.send("* 1 FETCH (BODY[] {3}\r\none)\r\n* 2 FETCH (BODY[] {3}\r\ntwo)\r\n");
            peer.send(scripted::Peer::tagOf(request) + " OK done\r\n");
        },
        2,
        [&] {
            if (during == 0)
                during = heapInUse();
        });
    EXPECT_EQ(2u, round.copied);
    ASSERT_NE(0u, during);
    // Far less than the 64 MB of dates that came.
    EXPECT_LT(during, before + 8 * 1024 * 1024) << "held " << (during - before) / 1024 << " KB";
    // A date longer than its syntax allows is no date.
    EXPECT_EQ((std::vector<std::string>{"Z1 APPEND \"Target\" (\\Seen) {3+}\r\none\r\n",
                                        "Z2 APPEND \"Target\" (\\Seen) {3+}\r\ntwo\r\n"}),
              round.stored);
}

// What the copy keeps of the responses while it waits for the target to
// take the first message: bytes on the heap beyond those held before it.
struct HeldDuringCopy {
    CopyRound round;
    std::size_t held = 0;
};

HeldDuringCopy copyMeasured(const Answer& answer, unsigned expected)
{
    HeldDuringCopy out;
    const std::size_t before = heapInUse();
    std::size_t during = 0;
    out.round = copyOnce(answer, expected, [&] {
        if (during == 0)
            during = heapInUse();
    });
    out.held = during > before ? during - before : 0;
    return out;
}

TEST(CopyFolderShapes, ANumberOrCountTheSourceNamesHoldsNoMemory)
{
    // A source may claim any count and name any number in a line: the copy
    // keeps only what responses brought, and every message claimed and
    // never sent still counts as failed, on the source's side.
    const std::string first = "* 1 FETCH (INTERNALDATE \"" + std::string(date) + "\" FLAGS (\\Seen))\r\n";
    struct Row {
        const char* name;
        unsigned expected;
        std::function<void(scripted::Peer&)> items;
    } rows[] = {
        {"40 million claimed, one high number named", 40000000u,
         [](scripted::Peer& peer) { peer.send("* 39999999 FETCH (FLAGS (\\Seen))\r\n"); }},
        {"3 thousand million claimed", 3000000000u,
         [](scripted::Peer& peer) { peer.send("* 2999999999 FETCH (FLAGS (\\Seen))\r\n"); }},
        // Numbers the source never announced are no messages of the folder.
        {"a flood of numbers beyond the folder", 2u,
         [](scripted::Peer& peer) {
             for (unsigned chunk = 0; chunk < 100; ++chunk) {
                 std::string lines;
                 for (unsigned k = 0; k < 1000; ++k)
                     lines += "* " + std::to_string(5000 + 3 * (chunk * 1000 + k)) + " FETCH (FLAGS (\\Seen))\r\n";
                 peer.send(lines);
             }
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const HeldDuringCopy copy = copyMeasured(
            [&](scripted::Peer& peer, const std::string& request) {
                if (request.find("INTERNALDATE") != std::string::npos) {
                    row.items(peer);
                    peer.send(first);
                } else {
                    peer.send("* 1 FETCH (BODY[] {3}\r\none)\r\n");
                }
                peer.send("A OK done\r\n");
            },
            row.expected);
        EXPECT_EQ(Result::FetchFailed, copy.round.result);
        EXPECT_EQ(1u, copy.round.copied);
        EXPECT_EQ(row.expected - 1, copy.round.failed);
        EXPECT_EQ(row.expected - 1, copy.round.report.failedDownloads);
        EXPECT_EQ(0u, copy.round.report.failedUploads);
        EXPECT_LT(copy.held, 2u * 1024 * 1024) << "held " << copy.held / 1024 << " KB";
    }
}

// A folder that changes while it is copied, served as a server that another
// session changes: each "A FETCH lo:hi (...)" is answered from the messages
// as they are when each response goes out, and each change of the script
// runs at its point of the conversation.
class LiveFolder {
public:
    using Change = std::function<std::string(LiveFolder&)>;

    explicit LiveFolder(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i)
            add();
    }

    // change runs when the request-th request (from 0) has had after of its
    // responses; what it returns is sent there.
    LiveFolder& at(std::size_t request, unsigned after, Change change)
    {
        changes.push_back({request, after, std::move(change)});
        return *this;
    }

    // A message is delivered: "* n EXISTS", or nothing yet when the server
    // tells of new mail only at a command other than FETCH.
    std::string deliver()
    {
        add();
        if (holdingExists) {
            existsHeld = true;
            return "";
        }
        return "* " + std::to_string(ids.size()) + " EXISTS\r\n";
    }
    // The server sends no EXISTS inside a FETCH response (RFC 3501 lets it
    // wait for the next command): the count comes with the next NOOP.
    LiveFolder& tellsNewMailOnlyAtNoop()
    {
        holdingExists = true;
        return *this;
    }
    // The line that ends the answer to every NOOP; empty: no answer at all.
    LiveFolder& endsNoopWith(std::string line)
    {
        noopEnd = std::move(line);
        return *this;
    }
    // Another session expunges message n, and the server keeps the numbers
    // stable while a command runs: the message is left out of the dates and
    // flags, its body is NIL, and the command ends with EXPUNGEISSUED.
    std::string expungeKeepingNumbers(unsigned n)
    {
        gone[ids[n - 1]] = true;
        return "";
    }
    // The body of message n is never sent, and nothing tells why.
    std::string withholdBody(unsigned n)
    {
        withheld.push_back(ids[n - 1]);
        return "";
    }
    // The same, reported at once: "* n EXPUNGE", the numbers above move down.
    std::string expungeNow(unsigned n)
    {
        ids.erase(ids.begin() + (n - 1));
        return "* " + std::to_string(n) + " EXPUNGE\r\n";
    }

    Answer answer()
    {
        return [this](scripted::Peer& peer, const std::string& request) { serve(peer, request); };
    }

    // The message with id k (from 0, in the order of delivery), as the
    // target must store it, tagged with the n-th APPEND's tag.
    std::string appendOfMessage(unsigned n, unsigned k) const
    {
        return appendOf("Z" + std::to_string(n), flagsOf(k), dateOf(k), bodyOf(k));
    }

    std::vector<std::string> requests;

private:
    struct Step {
        std::size_t request;
        unsigned after;
        Change change;
    };

    static std::string flagsOf(unsigned k)
    {
        static const char* const flags[] = {"\\Seen", "\\Answered", "\\Flagged", "\\Draft", "\\Seen \\Flagged"};
        return flags[k % 5];
    }
    static std::string dateOf(unsigned k) { return std::to_string(1 + k % 28) + "-Feb-2024 10:00:00 +0100"; }
    static std::string bodyOf(unsigned k) { return "Subject: message " + std::to_string(k) + "\r\n\r\nbody\r\n"; }

    unsigned long numberOf(const std::string& text) const
    {
        return text == "*" ? ids.size() : std::strtoul(text.c_str(), nullptr, 10);
    }

    void add()
    {
        ids.push_back(static_cast<unsigned>(gone.size()));
        gone.push_back(false);
    }

    void runChanges(scripted::Peer& peer, std::size_t request, unsigned after)
    {
        for (Step& step : changes)
            if (step.request == request && step.after == after)
                peer.send(step.change(*this));
    }

    void serve(scripted::Peer& peer, const std::string& request)
    {
        const std::size_t index = requests.size();
        requests.push_back(request);
        if (request.find(" NOOP") != std::string::npos) {
            if (existsHeld)
                peer.send("* " + std::to_string(ids.size()) + " EXISTS\r\n");
            existsHeld = false;
            runChanges(peer, index, 0);
            peer.send(noopEnd);
            return;
        }
        // "*" is the highest number in use, and "5:3" is "3:5" (so "41:*"
        // of 40 messages is message 40).
        const std::size_t colon = request.find(':');
        const std::size_t blank = request.find(' ', colon);
        unsigned long lo = numberOf(request.substr(8, colon - 8));
        unsigned long hi = numberOf(request.substr(colon + 1, blank - colon - 1));
        if (lo > hi)
            std::swap(lo, hi);
        if (lo == 0) {
            peer.send("A BAD Invalid messageset\r\n");
            return;
        }
        const bool bodies = request.find("BODY.PEEK[]") != std::string::npos;
        // The numbers name their messages when the command begins.
        std::vector<unsigned> named;
        for (unsigned long n = lo; n <= hi && n <= ids.size(); ++n)
            named.push_back(ids[n - 1]);
        runChanges(peer, index, 0);
        unsigned sent = 0;
        bool issued = false;
        for (const unsigned k : named) {
            const auto at = std::find(ids.begin(), ids.end(), k);
            if (at == ids.end())
                continue;
            const std::string number = std::to_string(at - ids.begin() + 1);
            if (bodies && std::find(withheld.begin(), withheld.end(), k) != withheld.end())
                continue;
            if (gone[k]) {
                issued = true;
                if (bodies)
                    peer.send("* " + number + " FETCH (BODY[] NIL)\r\n");
            } else if (bodies) {
                peer.send("* " + number + " FETCH (BODY[] {" + std::to_string(bodyOf(k).size()) + "}\r\n" + bodyOf(k) +
                          ")\r\n");
            } else {
                peer.send("* " + number + " FETCH (INTERNALDATE \"" + dateOf(k) + "\" FLAGS (" + flagsOf(k) + "))\r\n");
            }
            runChanges(peer, index, ++sent);
        }
        peer.send(issued ? "A OK [EXPUNGEISSUED] Some messages were expunged\r\n" : "A OK Fetch completed.\r\n");
    }

    // Message ids by number, and which ids were expunged keeping numbers.
    std::vector<unsigned> ids;
    std::vector<bool> gone;
    std::vector<Step> changes;
    std::vector<unsigned> withheld;
    bool holdingExists = false;
    bool existsHeld = false;
    std::string noopEnd = "A OK NOOP completed.\r\n";
};

std::string itemsFor(unsigned lo, unsigned hi)
{
    return "A FETCH " + std::to_string(lo) + ":" + std::to_string(hi) + " (INTERNALDATE FLAGS)\r\n";
}

std::string bodiesFor(unsigned lo, unsigned hi)
{
    return "A FETCH " + std::to_string(lo) + ":" + std::to_string(hi) + " (BODY.PEEK[])\r\n";
}

const std::string noop = "A NOOP\r\n";

// One scripted copy of a live folder and what must come of it: the
// requests, the messages stored (ids in order, each with its own flags and
// date) and the counts.
struct LiveRow {
    const char* name;
    unsigned count;  // when the copy begins
    std::function<void(LiveFolder&)> script;
    std::vector<std::string> requests;
    std::vector<unsigned> stored;
    unsigned failed;
    unsigned deleted;
    Result result;
    unsigned timeout = 0;  // of the source connection, when not the default
    // Failed bodies for numbers the source never announced, counted in
    // failed beside the folder's messages.
    unsigned strays = 0;
};

void checkLive(const LiveRow& row)
{
    SCOPED_TRACE(row.name);
    LiveFolder folder(row.count);
    row.script(folder);
    const CopyRound round = copyOnce(folder.answer(), row.count, nullptr, folder.answer(), row.timeout);
    EXPECT_EQ(row.requests, folder.requests);
    std::vector<std::string> stored;
    for (unsigned n = 0; n < row.stored.size(); ++n)
        stored.push_back(folder.appendOfMessage(n + 1, row.stored[n]));
    EXPECT_EQ(stored, round.stored);
    EXPECT_EQ(row.result, round.result);
    EXPECT_EQ(row.stored.size(), round.copied);
    EXPECT_EQ(row.failed, round.failed);
    EXPECT_EQ(row.failed, round.report.failedDownloads);
    EXPECT_EQ(row.deleted, round.report.deleted);
    // Every message the source announced is accounted for once.
    EXPECT_EQ(round.report.announced + row.strays, round.copied + round.failed + round.report.deleted);
}

TEST(CopyFolderLive, MailDeliveredDuringTheCopyIsCopiedWithItsFlags)
{
    const std::vector<std::string> twoRounds = {itemsFor(1, 2), bodiesFor(1, 2), itemsFor(3, 3), bodiesFor(3, 3),
                                                noop};
    const LiveRow rows[] = {
        {"before the first request", 2, [](LiveFolder& f) { f.at(0, 0, [](LiveFolder& l) { return l.deliver(); }); },
         twoRounds, {0, 1, 2}, 0, 0, Result::Ok},
        {"between the requests", 2, [](LiveFolder& f) { f.at(0, 2, [](LiveFolder& l) { return l.deliver(); }); },
         twoRounds, {0, 1, 2}, 0, 0, Result::Ok},
        {"while the bodies stream", 2,
         [](LiveFolder& f) { f.at(1, 1, [](LiveFolder& l) { return l.deliver(); }); }, twoRounds, {0, 1, 2}, 0, 0,
         Result::Ok},
        {"two, then one more in the second round", 2,
         [](LiveFolder& f) {
             f.at(1, 1, [](LiveFolder& l) { return l.deliver() + l.deliver(); });
             f.at(3, 1, [](LiveFolder& l) { return l.deliver(); });
         },
         {itemsFor(1, 2), bodiesFor(1, 2), itemsFor(3, 4), bodiesFor(3, 4), itemsFor(5, 5), bodiesFor(5, 5), noop},
         {0, 1, 2, 3, 4}, 0, 0, Result::Ok},
    };
    for (const LiveRow& row : rows)
        checkLive(row);
}

TEST(CopyFolderLive, AFolderThatNeverStopsGrowingEndsAfterTheLastRound)
{
    // One message arrives during every round: the one announced in the last
    // round is never asked for and fails.
    LiveRow row{"growing", 2,
                [](LiveFolder& f) {
                    for (unsigned r = 0; r <= SimpleImapClient::maxFurtherRounds; ++r)
                        f.at(2 * r + 1, 0, [](LiveFolder& l) { return l.deliver(); });
                },
                {itemsFor(1, 2), bodiesFor(1, 2)}, {0, 1}, 1, 0, Result::FetchFailed};
    for (unsigned r = 1; r <= SimpleImapClient::maxFurtherRounds; ++r) {
        row.requests.push_back(itemsFor(2 + r, 2 + r));
        row.requests.push_back(bodiesFor(2 + r, 2 + r));
        row.stored.push_back(1 + r);
    }
    checkLive(row);
}

TEST(CopyFolderLive, MailToldOfOnlyAtTheNextCommandIsCopied)
{
    // A server that sends no EXISTS inside a FETCH response: after the last
    // round a NOOP gives it the next command at which to tell, and the copy
    // goes on while the folder grows.
    LiveRow streaming{"three arrive while the bodies of 400 stream", 400,
                      [](LiveFolder& f) {
                          f.tellsNewMailOnlyAtNoop().at(1, 200, [](LiveFolder& l) {
                              return l.deliver() + l.deliver() + l.deliver();
                          });
                      },
                      {itemsFor(1, 400), bodiesFor(1, 400), noop, itemsFor(401, 403), bodiesFor(401, 403), noop},
                      {}, 0, 0, Result::Ok};
    for (unsigned k = 0; k < 403; ++k)
        streaming.stored.push_back(k);
    checkLive(streaming);

    // One arrives during every round; the one told after the last round
    // that may be asked for is left on the source and counts as failed.
    LiveRow growing{"one more told at every NOOP", 2,
                    [](LiveFolder& f) {
                        f.tellsNewMailOnlyAtNoop();
                        for (unsigned r = 0; r <= SimpleImapClient::maxFurtherRounds; ++r)
                            f.at(3 * r + 1, 0, [](LiveFolder& l) { return l.deliver(); });
                    },
                    {itemsFor(1, 2), bodiesFor(1, 2), noop}, {0, 1}, 1, 0, Result::FetchFailed};
    for (unsigned r = 1; r <= SimpleImapClient::maxFurtherRounds; ++r) {
        growing.requests.insert(growing.requests.end(), {itemsFor(2 + r, 2 + r), bodiesFor(2 + r, 2 + r), noop});
        growing.stored.push_back(1 + r);
    }
    checkLive(growing);
}

TEST(CopyFolderLive, WhatTheNoopAnswersIsHandledLikeAnyResponse)
{
    const std::vector<std::string> oneRound = {itemsFor(1, 2), bodiesFor(1, 2), noop};
    const std::string seen = "* 1 FETCH (FLAGS (\\Seen \\Deleted))\r\n";
    const LiveRow rows[] = {
        {"before the first request", 2,
         [](LiveFolder& f) { f.tellsNewMailOnlyAtNoop().at(0, 0, [](LiveFolder& l) { return l.deliver(); }); },
         {itemsFor(1, 2), bodiesFor(1, 2), noop, itemsFor(3, 3), bodiesFor(3, 3), noop}, {0, 1, 2}, 0, 0,
         Result::Ok},
        // An EXPUNGE of a message copied, and a flag update: nothing more
        // to do, nothing counted twice.
        {"an EXPUNGE and flags", 3,
         [seen](LiveFolder& f) { f.at(2, 0, [seen](LiveFolder& l) { return l.expungeNow(1) + seen; }); },
         {itemsFor(1, 3), bodiesFor(1, 3), noop}, {0, 1, 2}, 0, 0, Result::Ok},
        // Told and gone in the same answer: deleted, not fetched.
        {"a new message and its EXPUNGE", 2,
         [](LiveFolder& f) {
             f.tellsNewMailOnlyAtNoop().at(1, 1, [](LiveFolder& l) { return l.deliver(); });
             f.at(2, 0, [](LiveFolder& l) { return l.expungeNow(3); });
         },
         oneRound, {0, 1}, 0, 1, Result::Ok},
        // A refused NOOP still closes the command at which the server
        // could tell: what it told is fetched, the rest stands.
        {"refused after telling of new mail", 2,
         [](LiveFolder& f) {
             f.tellsNewMailOnlyAtNoop().endsNoopWith("A NO Not now\r\n").at(1, 1, [](LiveFolder& l) {
                 return l.deliver();
             });
         },
         {itemsFor(1, 2), bodiesFor(1, 2), noop, itemsFor(3, 3), bodiesFor(3, 3), noop}, {0, 1, 2}, 0, 0,
         Result::Ok},
        {"unknown to the source", 2, [](LiveFolder& f) { f.endsNoopWith("A BAD Unknown command\r\n"); }, oneRound,
         {0, 1}, 0, 0, Result::Ok},
        // The source fails before it answers: whether more mail came is not
        // known, so the folder fails, with nothing more counted.
        {"a BYE instead", 2, [](LiveFolder& f) { f.endsNoopWith("* BYE Shutting down\r\n"); }, oneRound, {0, 1},
         0, 0, Result::ConnectionFailed},
        {"silence", 2, [](LiveFolder& f) { f.endsNoopWith(""); }, oneRound, {0, 1}, 0, 0, Result::FetchFailed, 1},
    };
    for (const LiveRow& row : rows)
        checkLive(row);
}

TEST(CopyFolderLive, EachStepOfTheBookkeepingKeepsAMessage)
{
    // Each row loses or double-counts a message when one step of the
    // bookkeeping is left out.
    const LiveRow rows[] = {
        // The first number of the round moves down with the EXPUNGE, or the
        // message now at 1 is never asked for.
        {"an EXPUNGE of a message copied, in the next round's first answer", 1,
         [](LiveFolder& f) {
             f.at(1, 1, [](LiveFolder& l) { return l.deliver() + l.deliver(); });
             f.at(2, 0, [](LiveFolder& l) { return l.expungeNow(1); });
         },
         {itemsFor(1, 1), bodiesFor(1, 1), itemsFor(2, 3), bodiesFor(1, 2), noop}, {0, 1, 2}, 0, 0, Result::Ok},
        // A body for a number never announced fails beside the folder: it
        // must not stand in for message 2, which never came.
        {"a body for a number never announced, and one never sent", 2,
         [](LiveFolder& f) {
             f.at(1, 0, [](LiveFolder& l) { return l.withholdBody(2); });
             f.at(1, 1, [](LiveFolder&) { return std::string("* 5 FETCH (BODY[] {3}\r\nabc)\r\n"); });
         },
         {itemsFor(1, 2), bodiesFor(1, 2), noop}, {0}, 2, 0, Result::FetchFailed, 0, 1},
        // A NIL body counted deleted at the end of its response is not
        // counted again when its EXPUNGE follows.
        {"a NIL body, then the EXPUNGE of its message", 3,
         [](LiveFolder& f) {
             f.at(1, 0, [](LiveFolder& l) { return l.expungeKeepingNumbers(2); });
             f.at(2, 0, [](LiveFolder& l) { return l.expungeNow(2); });
         },
         {itemsFor(1, 3), bodiesFor(1, 3), noop}, {0, 2}, 0, 1, Result::Ok},
    };
    for (const LiveRow& row : rows)
        checkLive(row);
}

TEST(CopyFolderLive, MailDeletedDuringTheCopyIsNeitherCopiedNorFailed)
{
    const std::vector<std::string> oneRound = {itemsFor(1, 3), bodiesFor(1, 3), noop};
    const LiveRow rows[] = {
        {"between the requests", 3,
         [](LiveFolder& f) { f.at(1, 0, [](LiveFolder& l) { return l.expungeKeepingNumbers(2); }); }, oneRound,
         {0, 2}, 0, 1, Result::Ok},
        {"while the bodies stream", 3,
         [](LiveFolder& f) { f.at(1, 1, [](LiveFolder& l) { return l.expungeKeepingNumbers(3); }); }, oneRound,
         {0, 1}, 0, 1, Result::Ok},
        {"before the first request", 3,
         [](LiveFolder& f) { f.at(0, 0, [](LiveFolder& l) { return l.expungeKeepingNumbers(2); }); }, oneRound,
         {0, 2}, 0, 1, Result::Ok},
        // Two arrive, and the first of them is gone when the next round
        // begins: its number goes to the one after it.
        {"reported by EXPUNGE between the rounds", 2,
         [](LiveFolder& f) {
             f.at(1, 2, [](LiveFolder& l) { return l.deliver() + l.deliver(); });
             f.at(2, 0, [](LiveFolder& l) { return l.expungeNow(3); });
         },
         {itemsFor(1, 2), bodiesFor(1, 2), itemsFor(3, 4), bodiesFor(3, 3), noop}, {0, 1, 3}, 0, 1, Result::Ok},
    };
    for (const LiveRow& row : rows)
        checkLive(row);
}

TEST(CopyFolderLive, AnExpungeAmidTheAnswersNeverShiftsFlagsOrDates)
{
    // A server that reports an EXPUNGE inside a FETCH response and then
    // numbers the rest anew: each body is stored with its own message's
    // flags and date.
    const LiveRow rows[] = {
        {"amid the bodies", 3, [](LiveFolder& f) { f.at(1, 1, [](LiveFolder& l) { return l.expungeNow(2); }); },
         {itemsFor(1, 3), bodiesFor(1, 3), noop}, {0, 2}, 0, 1, Result::Ok},
        {"amid the dates and flags", 3,
         [](LiveFolder& f) { f.at(0, 1, [](LiveFolder& l) { return l.expungeNow(2); }); },
         {itemsFor(1, 3), bodiesFor(1, 2), noop}, {0, 2}, 0, 1, Result::Ok},
        {"of a message already copied", 3,
         [](LiveFolder& f) { f.at(1, 2, [](LiveFolder& l) { return l.expungeNow(1); }); },
         {itemsFor(1, 3), bodiesFor(1, 3), noop}, {0, 1, 2}, 0, 0, Result::Ok},
        {"of every message asked for", 2,
         [](LiveFolder& f) { f.at(0, 0, [](LiveFolder& l) { return l.expungeNow(1) + l.expungeNow(1); }); },
         {itemsFor(1, 2), noop}, {}, 0, 2, Result::Ok},
    };
    for (const LiveRow& row : rows)
        checkLive(row);
}

} // namespace
