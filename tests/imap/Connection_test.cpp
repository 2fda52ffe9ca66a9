#include "imap/ConnectionInternal.h"

#include <gtest/gtest.h>

#include "imap/Command.h"
#include "imap/IMessage.h"
#include "imap/ImapException.h"
#include "imap/SimpleImapClient.h"
#include "tests/imap/FakeImapServer.h"

using imaptest::FakeImapServer;
using imaptest::Peer;
using imaptest::tagOf;
using State = ConnectionInternal::State;
using Result = SimpleImapClient::ImapClientResult;

namespace {

// Greets, then answers every command with a tagged OK until the client
// closes; a LOGOUT also gets its BYE.
void okServer(Peer& peer)
{
    peer.send("* OK fake ready\r\n");
    for (;;) {
        const std::string line = peer.readLine();
        if (line.empty())
            return;
        if (line.find(" LOGOUT") != std::string::npos)
            peer.send("* BYE bye\r\n");
        peer.send(tagOf(line) + " OK done\r\n");
    }
}

// The greeting of a server that takes uploads: they need LITERAL+.
const char* const uploadGreeting = "* OK [CAPABILITY IMAP4rev1 LITERAL+] hi\r\n";

// Announces capabilities as told: in the greeting, in the login's replies
// (untagged lines, then the tagged reply's text after the tag) and in the
// answer to CAPABILITY; every other command is answered OK, the line of a
// command "X" with a literal after reading that literal's line.
FakeImapServer::Script announcing(std::string greeting, std::string loginUntagged, std::string loginReply,
                                  std::string asked)
{
    return [=](Peer& p) {
        p.send(greeting);
        for (;;) {
            const std::string line = p.readLine();
            if (line.empty())
                return;
            if (line.find(" LOGIN ") != std::string::npos) {
                p.send(loginUntagged + tagOf(line) + " " + loginReply + "\r\n");
                continue;
            }
            if (line.find(" CAPABILITY") != std::string::npos)
                p.send(asked + "\r\n");
            if (line.find(" X {") != std::string::npos)
                p.readLine();
            p.send(tagOf(line) + " OK done\r\n");
        }
    };
}

void connect(ConnectionInternal& c, unsigned port, bool login = true, unsigned timeout = 5)
{
    c.initialize("127.0.0.1", port, "user@example.test", "pa\"ss\\word", false, timeout, false);
    c.init(login);
}

// A message source delivering fixed parts, failing at one of them.
class PartsMessage : public IMessage {
public:
    PartsMessage(std::vector<std::string> parts, int failAt = -1) : parts(std::move(parts)), failAt(failAt) {}
    bool getFirstDataPart(std::string& part) override
    {
        next = 0;
        return getNextDataPart(part);
    }
    bool getNextDataPart(std::string& part) override
    {
        part.clear();
        if (static_cast<int>(next) == failAt)
            throw std::runtime_error("source went away");
        if (next == parts.size())
            return false;
        part = parts[next++];
        return true;
    }
    std::string getFlags() override { return ""; }
    std::string getDate() override { return ""; }
    unsigned getSize() override
    {
        unsigned n = 0;
        for (const std::string& p : parts)
            n += static_cast<unsigned>(p.size());
        return n;
    }

private:
    std::vector<std::string> parts;
    int failAt;
    std::size_t next = 0;
};

} // namespace

TEST(ConnectionInternal, TagsCountFromZeroAcrossReconnects)
{
    FakeImapServer server({okServer, okServer});
    ConnectionInternal c;
    connect(c, server.port());
    EXPECT_EQ(State::Authenticated, c.getState());
    EXPECT_EQ("* OK fake ready\r", c.getGreeting());
    {
        Command noop(c, "NOOP");
        EXPECT_EQ(Command::Response::Ok, noop.execute());
    }
    c.close();
    EXPECT_EQ(State::Disconnected, c.getState());
    // A send on a closed connection rebuilds it: new greeting, new login with
    // the next tag, then the same text.
    {
        Command noop(c, "NOOP");
        EXPECT_EQ(Command::Response::Ok, noop.execute());
        EXPECT_EQ("Z2 OK done", noop.getTaggedResponse());
    }
    EXPECT_EQ(2, server.connections());
    // The BYE before the LOGOUT reply is no failure.
    c.logout();
    EXPECT_EQ(State::Disconnected, c.getState());
    c.close();
    const std::vector<std::string> lines = server.received();
    const std::vector<std::string> expected = {
        "Z0 LOGIN \"user@example.test\" \"pa\\\"ss\\\\word\"\r\n",
        "Z1 NOOP\r\n",
        "Z3 LOGIN \"user@example.test\" \"pa\\\"ss\\\\word\"\r\n",
        "Z2 NOOP\r\n",
        "Z4 LOGOUT\r\n",
    };
    EXPECT_EQ(expected, lines);
    ConnectionInternal fresh;
    EXPECT_EQ("Z0", fresh.getTag());
    EXPECT_EQ("Z1", fresh.getTag());
}

TEST(ConnectionInternal, GreetingFailures)
{
    struct Case {
        const char* greeting; // null: say nothing
        const char* message;
    };
    const Case cases[] = {
        {"* BYE Too many connections\r\n", "* BYE Too many connections\r"},
        {"* OK but * BYE inside\n", "* OK but * BYE inside"},
        {"* OK no line end", "* OK no line end"},
        {nullptr, ""},
        {nullptr, "long"},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.message);
        FakeImapServer server({[&](Peer& p) {
            if (cs.greeting)
                p.send(cs.greeting);
            else if (std::string(cs.message) == "long")
                p.send("* OK " + std::string(ConnectionInternal::maxLineLength, 'x') + "\r\n");
            p.waitForClose();
        }});
        ConnectionInternal c;
        try {
            connect(c, server.port(), false, 1);
            ADD_FAILURE() << "init succeeded";
        } catch (ImapConnectionFailed& e) {
            EXPECT_EQ(Result::ConnectionFailed, handleImapException(e, Result::AuthenticationFailed));
            if (std::string(cs.message) == "long")
                EXPECT_EQ("* OK " + std::string(251, 'x'), e.what());
            else
                EXPECT_EQ(cs.message, std::string(e.what()));
            EXPECT_EQ(3, e.errorCode());
        }
        EXPECT_EQ(State::Disconnected, c.getState());
    }
}

TEST(ConnectionInternal, ConnectAndResolveFailures)
{
    unsigned port;
    {
        FakeImapServer probe({});
        port = probe.port();
    }
    ConnectionInternal refused;
    EXPECT_THROW(connect(refused, port), ImapConnectionFailed);
    EXPECT_EQ(State::Disconnected, refused.getState());

    ConnectionInternal unresolvable;
    unresolvable.initialize("no such host.invalid", 143, "u", "p", false, 1, false);
    try {
        unresolvable.init(true);
        ADD_FAILURE();
    } catch (const ImapConnectionFailed& e) {
        EXPECT_STREQ("", e.what());
    }

    ConnectionInternal refusedLogin;
    FakeImapServer server({[](Peer& p) {
        p.send("* OK hi\r\n");
        const std::string line = p.readLine();
        p.send(tagOf(line) + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
        p.waitForClose();
    }});
    try {
        connect(refusedLogin, server.port());
        ADD_FAILURE();
    } catch (const AuthenticateFailedException& e) {
        EXPECT_STREQ("Authentication failed - Login", e.what());
    }
    EXPECT_EQ(State::Disconnected, refusedLogin.getState());
}

TEST(ConnectionInternal, StateTransitions)
{
    const State all[] = {State::Disconnected, State::NotAuthenticated, State::Authenticated, State::Selected};
    // allowed[from][to]
    const bool allowed[4][4] = {
        {true, true, false, false},
        {true, true, true, false},
        {true, true, true, true},
        {true, false, true, true},
    };
    for (int from = 0; from < 4; ++from) {
        for (int to = 0; to < 4; ++to) {
            SCOPED_TRACE(std::to_string(from) + "->" + std::to_string(to));
            ConnectionInternal c;
            // Walk to the starting state along allowed steps.
            for (int s = 1; s <= from; ++s)
                c.setState(all[s]);
            ASSERT_EQ(all[from], c.getState());
            c.setState(all[to]);
            EXPECT_EQ(allowed[from][to] ? all[to] : all[from], c.getState());
        }
    }
}

TEST(ConnectionInternal, LinesAndCountedReads)
{
    FakeImapServer server({[](Peer& p) {
        p.send("* OK hi\r\n");
        p.readLine();
        p.send("first\r\nsecond\nABCDEFGHIJ");
        p.waitForClose();
    }});
    ConnectionInternal c;
    connect(c, server.port(), false, 1);
    EXPECT_TRUE(c.send("X\r\n"));
    std::string line;
    c.recvLine(line);
    EXPECT_EQ("first\r\n", line);
    c.recvLine(line);
    EXPECT_EQ("second\n", line);
    std::string data = "pre";
    EXPECT_EQ(4u, c.recvData(data, 4));
    EXPECT_EQ("preABCD", data);
    // Six bytes are left: asking for more returns what came before the time-out.
    EXPECT_EQ(6u, c.recvData(data, 100));
    EXPECT_EQ("preABCDEFGHIJ", data);
    EXPECT_TRUE(c.streamGood());
    c.recvLine(line);
    EXPECT_EQ("", line);
    c.close();
    EXPECT_THROW(c.recvLine(line), ImapConnectionFailed);
}

TEST(ConnectionInternal, LineCutOffByTheEndOfData)
{
    FakeImapServer server({[](Peer& p) {
        p.send("* OK hi\r\n");
        p.readLine();
        p.send("* 1 EXISTS");
        p.close();
    }});
    ConnectionInternal c;
    connect(c, server.port(), false, 2);
    c.send("X\r\n");
    std::string line;
    try {
        c.recvLine(line);
        ADD_FAILURE();
    } catch (const ImapConnectionFailed& e) {
        EXPECT_STREQ("recvLine failed", e.what());
    }
    EXPECT_EQ(State::Disconnected, c.getState());
}

TEST(ConnectionInternal, ContinuationNeverRebuilds)
{
    FakeImapServer server({okServer, okServer});
    ConnectionInternal c;
    connect(c, server.port());
    c.close();
    try {
        c.sendContinuation("part");
        ADD_FAILURE();
    } catch (const ImapConnectionFailed& e) {
        EXPECT_STREQ("Send failed", e.what());
    }
    EXPECT_EQ(1, server.connections());
}

TEST(ConnectionInternal, CapabilityIsAskedOnce)
{
    FakeImapServer server({[](Peer& p) {
        p.send("* OK hi\r\n");
        for (;;) {
            const std::string line = p.readLine();
            if (line.empty())
                return;
            if (line.find("CAPABILITY") != std::string::npos)
                p.send("* CAPABILITY IMAP4rev1 LITERAL+ AUTH=CRAM-MD5\r\n");
            p.send(tagOf(line) + " OK done\r\n");
        }
    }});
    ConnectionInternal c;
    connect(c, server.port());
    const std::vector<std::string> expected = {"IMAP4rev1", "LITERAL+", "AUTH=CRAM-MD5"};
    EXPECT_EQ(expected, c.getCapability());
    EXPECT_EQ(expected, c.getCapability());
    c.close();
    int asked = 0;
    for (const std::string& l : server.received())
        asked += l.find("CAPABILITY") != std::string::npos;
    EXPECT_EQ(1, asked);
}

TEST(ConnectionInternal, CapabilitiesComeFromTheGreetingTheLoginOrOneQuestion)
{
    // What the server announces, where, and what the client then knows and
    // asks: a list given before the login is asked again after it when it
    // lacks the word, one given with the login is final.
    struct Row {
        const char* what;
        const char* greeting;
        const char* loginReply;  // after the tag
        const char* asked;       // the answer to CAPABILITY, untagged line
        bool literalPlus;
        int questions;
    } rows[] = {
        {"greeting code", "* OK [CAPABILITY IMAP4rev1 LITERAL+] hi\r\n", "OK in", "", true, 0},
        {"login code", "* OK hi\r\n", "OK [CAPABILITY IMAP4rev1 literal+] in", "", true, 0},
        {"untagged in the login", "* OK hi\r\n", "OK in", "", true, 0},
        {"asked once", "* OK hi\r\n", "OK in", "* CAPABILITY IMAP4rev1 LITERAL+", true, 1},
        {"asked, not there", "* OK hi\r\n", "OK in", "* CAPABILITY IMAP4rev1", false, 1},
        {"greeting without, asked after login", "* OK [CAPABILITY IMAP4rev1] hi\r\n", "OK in",
         "* CAPABILITY IMAP4rev1 LITERAL+", true, 1},
        {"login code without", "* OK [CAPABILITY IMAP4rev1 LITERAL+] hi\r\n", "OK [CAPABILITY IMAP4rev1] in", "",
         false, 0},
        {"LITERAL- is another word", "* OK hi\r\n", "OK [CAPABILITY IMAP4rev1 LITERAL-] in", "", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const bool untaggedInLogin = std::string(row.what) == "untagged in the login";
        FakeImapServer server({announcing(row.greeting,
                                          untaggedInLogin ? "* CAPABILITY IMAP4rev1 LITERAL+\r\n" : "",
                                          row.loginReply, row.asked)});
        ConnectionInternal c;
        connect(c, server.port());
        EXPECT_EQ(row.literalPlus, c.hasCapability("LITERAL+"));
        EXPECT_EQ(row.literalPlus, c.hasCapability("LITERAL+"));
        c.close();
        int asked = 0;
        for (const std::string& l : server.received())
            asked += l.find(" CAPABILITY") != std::string::npos;
        EXPECT_EQ(row.questions, asked);
    }
}

TEST(Command, NoLiteralGoesToAServerWithoutLiteralPlus)
{
    // The server would read the literal's bytes as commands.
    struct Row {
        const char* greeting;
        bool sent;
    } rows[] = {
        {"* OK [CAPABILITY IMAP4rev1 LITERAL+] hi\r\n", true},
        {"* OK [CAPABILITY IMAP4rev1] hi\r\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.greeting);
        FakeImapServer server({announcing(row.greeting, "", "OK in", "* CAPABILITY IMAP4rev1")});
        ConnectionInternal c;
        connect(c, server.port());
        Command command(c, "X");
        command.addParamStringEx("z1 CREATE Pwned");
        if (row.sent)
            EXPECT_EQ(Command::Response::Ok, command.execute());
        else
            EXPECT_THROW(command.execute(), ImapException);
        c.close();
        bool literalSent = false;
        for (const std::string& l : server.received())
            literalSent = literalSent || l.find("Pwned") != std::string::npos;
        EXPECT_EQ(row.sent, literalSent);
    }
}

TEST(ConnectionInternal, DestructorLogsOutOnlyWhenLoggedIn)
{
    FakeImapServer server({okServer, okServer});
    {
        ConnectionInternal c;
        connect(c, server.port());
    }
    {
        ConnectionInternal c;
        connect(c, server.port(), false);
    }
    const std::vector<std::string> expected = {
        "Z0 LOGIN \"user@example.test\" \"pa\\\"ss\\\\word\"\r\n", "Z1 LOGOUT\r\n"};
    EXPECT_EQ(expected, server.received());
}

TEST(Command, CollectsUntaggedLiteralAndTaggedResponses)
{
    FakeImapServer server({[](Peer& p) {
        p.send("* OK hi\r\n");
        const std::string line = p.readLine();
        p.send("* 3 EXISTS\r\n* FLAGS (\\Seen)\r\n* 1 FETCH (BODY[] {5}\r\nhe}\r\n)\r\n* 2 FETCH (A {2+}\r\nxy B {0}\r\n)\r\n");
        p.send(tagOf(line) + "0 OK not ours\r\n+ go ahead\r\n");
        p.send(tagOf(line) + " NO [TRYCREATE] no\r\n");
        p.waitForClose();
    }});
    ConnectionInternal c;
    connect(c, server.port(), false);
    Command select(c, "SELECT");
    select.addParamString("a \"b\"");
    EXPECT_EQ(Command::Response::No, select.execute());
    const std::vector<std::string> expected = {
        "* 3 EXISTS",
        "* FLAGS (\\Seen)",
        "* 1 FETCH (BODY[] {5}\r\nhe}\r\n)",
        "* 2 FETCH (A {2+}\r\nxy B {0}\r\n)",
        "Z00 OK not ours",
        "+ go ahead",
    };
    std::string tagged;
    std::vector<std::string> untagged;
    select.getResponse(tagged, untagged);
    EXPECT_EQ(expected, untagged);
    EXPECT_EQ("Z0 NO [TRYCREATE] no", tagged);
    c.close();
    EXPECT_EQ("Z0 SELECT \"a \\\"b\\\"\"\r\n", server.received().at(0));
}

TEST(Command, ServerFailuresDuringACommand)
{
    struct Case {
        std::string reply; // after the command line; the server then waits
        std::string kind;
        bool closed;       // the connection is Disconnected afterwards
    };
    const Case cases[] = {
        {"* BYE shutting down\r\n", "bye", false},
        {"* 1 FETCH (BODY[] {5}\r\nhello* BYE inside\r\n", "bye", false},
        {"", "timeout", false},
        {"* 1 FETCH (BODY[] {99999999999}\r\n", "parser", true},
        {"* 1 FETCH (BODY[] {-1}\r\n", "parser", true},
        {"* LIST () \"/\" {10}\r\nabc", "connection", true},
        {std::string(ConnectionInternal::maxLineLength + 10, 'a') + "\r\n", "parser", true},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        const Case& cs = cases[i];
        FakeImapServer server({[&](Peer& p) {
            p.send("* OK hi\r\n");
            p.readLine();
            p.send(cs.reply);
            p.waitForClose();
        }});
        ConnectionInternal c;
        connect(c, server.port(), false, 1);
        Command noop(c, "NOOP");
        std::string kind = "none";
        Result mapped = Result::Ok;
        try {
            noop.execute();
        } catch (ImapException& e) {
            mapped = handleImapException(e, Result::ListFailed);
            if (dynamic_cast<ImapServerBrokeConnection*>(&e))
                kind = "bye";
            else if (dynamic_cast<ImapTimeoutException*>(&e))
                kind = "timeout";
            else if (dynamic_cast<ImapParserException*>(&e))
                kind = "parser";
            else if (dynamic_cast<ImapConnectionFailed*>(&e))
                kind = "connection";
        }
        EXPECT_EQ(cs.kind, kind);
        // A silent server, a BYE and a broken connection are result 3; bad
        // input is the operation's own failure.
        EXPECT_EQ(kind == "parser" ? Result::ListFailed : Result::ConnectionFailed, mapped);
        EXPECT_EQ(cs.closed, c.getState() == State::Disconnected);
        c.close();
        // Nothing is ever sent a second time.
        EXPECT_EQ(1u, server.received().size());
    }
}

TEST(Command, KeptResponsesAreBoundedWhateverTheyHold)
{
    // Every kept response costs its bytes and a fixed overhead: a flood of
    // empty untagged lines reaches the command's cap like a flood of data.
    const std::size_t allowed = Command::maxCollectedBytes / Command::keptResponseOverhead;
    struct Case {
        std::size_t lines;
        bool fails;
    };
    const Case cases[] = {{allowed, false}, {allowed + 1, true}};
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.lines);
        FakeImapServer server({[&](Peer& p) {
            p.send("* OK hi\r\n");
            const std::string line = p.readLine();
            std::string flood;
            for (std::size_t i = 0; i < cs.lines; ++i)
                flood += "\r\n";
            p.send(flood + tagOf(line) + " OK done\r\n");
            p.waitForClose();
        }});
        ConnectionInternal c;
        connect(c, server.port(), false);
        Command noop(c, "NOOP");
        if (cs.fails) {
            EXPECT_THROW(noop.execute(), ImapParserException);
            EXPECT_EQ(State::Disconnected, c.getState());
        } else {
            EXPECT_EQ(Command::Response::Ok, noop.execute());
            EXPECT_EQ(cs.lines, noop.getUntaggedResponses().size());
        }
        c.close();
    }
}

TEST(Command, UploadStreamsPartsAndStopsOnAFailingSource)
{
    FakeImapServer server({[](Peer& p) {
        p.send(uploadGreeting);
        const std::string line = p.readLine();
        p.lines.push_back(p.readBytes(11));
        p.readLine();
        p.send(tagOf(line) + " OK [APPENDUID 1 2] stored\r\n");
        p.waitForClose();
    }, [](Peer& p) {
        p.send(uploadGreeting);
        p.readLine();
        p.lines.push_back(p.readBytes(4));
        p.waitForClose();
    }});
    {
        ConnectionInternal c;
        connect(c, server.port(), false);
        PartsMessage message({"hello", "", " world"});
        Command append(c, "APPEND");
        append.addParamString("INBOX");
        append.addParam("{11+}\r\n");
        EXPECT_EQ(Command::Response::Ok, append.execute(&message));
        EXPECT_EQ("Z0 OK [APPENDUID 1 2] stored", append.getTaggedResponse());
        c.close();
    }
    {
        ConnectionInternal c;
        connect(c, server.port(), false);
        PartsMessage message({"abcd", "efgh", "ijkl"}, 1);
        Command append(c, "APPEND");
        append.addParamString("INBOX");
        append.addParam("{12+}\r\n");
        try {
            append.execute(&message);
            ADD_FAILURE();
        } catch (const IMessageLoadFailedException& e) {
            EXPECT_STREQ("source went away", e.what());
            EXPECT_EQ(9, e.errorCode());
        }
        // The server was left inside the literal: the connection is dropped.
        EXPECT_EQ(State::Disconnected, c.getState());
    }
    const std::vector<std::string> expected = {
        "Z0 APPEND \"INBOX\" {11+}\r\n", "hello world", "\r\n", "Z0 APPEND \"INBOX\" {12+}\r\n", "abcd"};
    EXPECT_EQ(expected, server.received());
}

TEST(Command, UploadMustMatchItsLiteralHeader)
{
    for (unsigned announced : {3u, 20u}) {
        SCOPED_TRACE(announced);
        FakeImapServer server({[](Peer& p) {
            p.send(uploadGreeting);
            p.waitForClose();
        }});
        ConnectionInternal c;
        connect(c, server.port(), false);
        PartsMessage message({"hello", "world"});
        Command append(c, "APPEND");
        append.addParam("{" + std::to_string(announced) + "+}\r\n");
        EXPECT_THROW(append.execute(&message), IMessageLoadFailedException);
        EXPECT_EQ(State::Disconnected, c.getState());
    }
}

TEST(Command, ResponseTests)
{
    ConnectionInternal c;
    c.getTag();
    Command command(c, "NOOP"); // tag Z1
    struct Case {
        const char* response;
        bool tagged;
        Command::Response result;
    };
    const Case cases[] = {
        {"Z1 OK done\r\n", true, Command::Response::Ok},
        {"Z1   NO nope", true, Command::Response::No},
        {"Z1 BAD\r\n", true, Command::Response::Bad},
        {"Z1 PREAUTH odd", true, Command::Response::Bad},
        {"Z10 OK other", false, Command::Response::Ok},
        {"z1 OK lower", false, Command::Response::Ok},
        {"* OK Z1", false, Command::Response::Ok},
        {"Z1 OKAY", true, Command::Response::Ok},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.response);
        Command::Response r = Command::Response::Ok;
        EXPECT_EQ(cs.tagged, command.isTaggedResponse(cs.response, r));
        if (cs.tagged) {
            EXPECT_EQ(cs.result, r);
        }
    }

    struct Whole {
        const char* line;
        bool whole;
        unsigned size;
        bool throws;
    };
    const Whole lines[] = {
        {"ab", true, 0, false},
        {"* OK done\r\n", true, 0, false},
        {"* 1 FETCH (BODY[] {42}\r\n", false, 42, false},
        {"* LIST () \"/\" {7+}\r\n", false, 7, false},
        {"a {1} b {0}\r\n", false, 0, false},
        {"* 1 FETCH {5}\n", true, 0, false},
        {"no brace}\r\n", true, 0, false},
        {"x {}\r\n", false, 0, true},
        {"x {-5}\r\n", false, 0, true},
        {"x {12a}\r\n", false, 0, true},
        {"x {4294967296}\r\n", false, 0, true},
        {"x {2147483647}\r\n", false, 2147483647u, false},
    };
    for (const Whole& w : lines) {
        SCOPED_TRACE(w.line);
        unsigned size = 0;
        if (w.throws) {
            EXPECT_THROW(Command::isWholeResponse(w.line, size), ImapParserException);
            continue;
        }
        EXPECT_EQ(w.whole, Command::isWholeResponse(w.line, size));
        EXPECT_EQ(w.size, size);
    }

    const char* const eols[][2] = {{"a\r\n", "a"}, {"a\n", "a"}, {"a\r", "a"}, {"a\n\r", "a\n"}, {"", ""}};
    for (const auto& e : eols) {
        std::string s = e[0];
        Command::removeEOL(s);
        EXPECT_EQ(e[1], s);
    }
}

TEST(Command, ResponsesCutAtEveryByte)
{
    const std::string reply = "* 2 EXISTS\r\n* LIST () \"/\" {9}\r\nA \"B\" {C}\r\n* OK [UIDNEXT 5] x\r\n";
    FakeImapServer server({[&](Peer& p) {
        p.send("* OK hi\r\n");
        const std::string line = p.readLine();
        p.sendInPieces(reply + tagOf(line) + " OK done\r\n");
        p.waitForClose();
    }});
    ConnectionInternal c;
    connect(c, server.port(), false);
    Command list(c, "LIST");
    ASSERT_EQ(Command::Response::Ok, list.execute());
    const std::vector<std::string> expected = {"* 2 EXISTS", "* LIST () \"/\" {9}\r\nA \"B\" {C}", "* OK [UIDNEXT 5] x"};
    EXPECT_EQ(expected, list.getUntaggedResponses());

    // Only the responses whose type bits all lie in the mask are kept.
    std::vector<ResponseResult> kept;
    EXPECT_EQ(1u, list.filterResponses(kept, ImapResponseList));
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(ImapResponseList, kept[0].getType());
    kept.clear();
    EXPECT_EQ(1u, list.filterResponses(kept, ImapResponseExists));
    EXPECT_EQ(ImapResponseExists, kept[0].getType());
    kept.clear();
    EXPECT_EQ(3u, list.filterResponses(kept, 0xffffffffu));
    c.close();
}

TEST(ConnectionInternal, LogoutEndsTheSessionWhateverTheReply)
{
    for (const char* word : {"NO", "BAD"}) {
        SCOPED_TRACE(word);
        FakeImapServer server({[&](Peer& p) {
            p.send("* OK hi\r\n");
            for (;;) {
                const std::string line = p.readLine();
                if (line.empty())
                    return;
                const bool logout = line.find("LOGOUT") != std::string::npos;
                p.send(tagOf(line) + (logout ? std::string(" ") + word + " not now\r\n" : " OK\r\n"));
            }
        }});
        ConnectionInternal c;
        connect(c, server.port());
        c.logout();
        EXPECT_EQ(State::Disconnected, c.getState());
        c.close();
    }
}

TEST(ConnectionInternal, SendRebuildsAResetConnectionOnce)
{
    FakeImapServer server({[](Peer& p) {
        p.send("* OK first\r\n");
        const std::string line = p.readLine();
        p.send(tagOf(line) + " OK logged in\r\n");
        p.reset();
    }, okServer});
    ConnectionInternal c;
    connect(c, server.port());
    // The reset has arrived once a read sees the end of the data.
    std::string line;
    c.recvLine(line);
    EXPECT_EQ("", line);
    Command noop(c, "NOOP");
    EXPECT_EQ(Command::Response::Ok, noop.execute());
    EXPECT_EQ("* OK fake ready\r", c.getGreeting());
    EXPECT_EQ(State::Authenticated, c.getState());
    c.close();
    const std::vector<std::string> expected = {
        "Z0 LOGIN \"user@example.test\" \"pa\\\"ss\\\\word\"\r\n",
        "Z2 LOGIN \"user@example.test\" \"pa\\\"ss\\\\word\"\r\n",
        "Z1 NOOP\r\n",
    };
    EXPECT_EQ(expected, server.received());
}
