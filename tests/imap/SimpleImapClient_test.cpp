// The facade's operations against a scripted server: result numbers, what
// goes on the wire, and what is left untouched.

#include "imap/SimpleImapClient.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "imap/FetchMessage.h"
#include "imap/IMessage.h"
#include "tests/imap/ScriptedServer.h"
#include "tests/support/TestSupport.h"

namespace {

using Result = SimpleImapClient::ImapClientResult;
using scripted::Peer;

// Answers every command after the login with the reply a handler makes of
// it (the default: a plain OK), records the commands, and ends at LOGOUT.
class SimpleImapClientScripted : public ::testing::Test {
protected:
    using Answer = std::function<std::string(const std::string& command, const std::string& tag)>;

    void start(Answer answer = nullptr, const std::string& greeting = "* OK ready\r\n")
    {
        server.serve([this, answer, greeting](Peer& peer, int) {
            if (!peer.greetAndLogin(greeting))
                return;
            for (;;) {
                const std::string command = peer.readCommand();
                if (command.empty())
                    return;
                commands.push_back(command);
                const std::string tag = Peer::tagOf(command);
                if (command.find(" LOGOUT") != std::string::npos) {
                    peer.send("* BYE bye\r\n" + tag + " OK Logout completed.\r\n");
                    return;
                }
                const std::string reply = answer ? answer(command, tag) : tag + " OK done\r\n";
                if (reply == "close")
                    return;
                peer.send(reply);
            }
        });
        ASSERT_EQ(Result::Ok, client.connect("127.0.0.1", server.port(), "jo", "pw", false));
    }

    void TearDown() override
    {
        client.disconnect(true);
        server.join();
    }

    scripted::Server server;
    SimpleImapClient client;
    std::vector<std::string> commands;
};

TEST_F(SimpleImapClientScripted, ASecondConnectIsRefusedWithoutSendingAnything)
{
    start();
    EXPECT_EQ(Result::AlreadyConnected, client.connect("127.0.0.1", server.port(), "jo", "pw", false));
    EXPECT_TRUE(client.isConnected());
    client.disconnect(true);
    server.join();
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ("Z1 LOGOUT\r\n", commands[0]);
}

TEST_F(SimpleImapClientScripted, DisconnectWithoutLogoutJustCloses)
{
    start();
    client.disconnect(false);
    EXPECT_FALSE(client.isConnected());
    server.join();
    EXPECT_TRUE(commands.empty());
}

TEST(SimpleImapClientConnect, DisconnectAfterTheServerWentAwayStillClears)
{
    SimpleImapClient client;
    {
        scripted::Server server;
        server.serve([](Peer& peer, int) {
            peer.greetAndLogin();
            peer.close();
        });
        ASSERT_EQ(Result::Ok, client.connect("127.0.0.1", server.port(), "jo", "pw", false));
        server.join();
    }  // nothing listens any more
    client.disconnect(true);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(ConnectionInternal::State::Disconnected, client.getConnection().getState());
}

TEST(SimpleImapClientConnect, FailuresGiveTheirNumbersAndLeaveTheClientDisconnected)
{
    struct Row {
        const char* what;
        const char* greeting;  // null: nothing listens
        const char* loginReply;
        Result result;
    } rows[] = {
        {"refused login", "* OK ready\r\n", "NO [AUTHENTICATIONFAILED] Authentication failed.", Result::AuthenticationFailed},
        {"greeting with BYE", "* BYE Too many connections\r\n", nullptr, Result::ConnectionFailed},
        {"nothing listening", nullptr, nullptr, Result::ConnectionFailed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimpleImapClient client;
        if (!row.greeting) {
            EXPECT_EQ(row.result, client.connect("127.0.0.1", testsupport::freeLoopbackPort(), "jo", "pw", false));
            EXPECT_FALSE(client.isConnected());
            continue;
        }
        scripted::Server server;
        server.serve([&](Peer& peer, int) {
            peer.send(row.greeting);
            if (!row.loginReply)
                return;
            const std::string login = peer.readCommand();
            peer.send(Peer::tagOf(login) + " " + row.loginReply + "\r\n");
            peer.readLine();
        });
        EXPECT_EQ(row.result, client.connect("127.0.0.1", server.port(), "jo", "pw", false));
        EXPECT_FALSE(client.isConnected());
        server.join();
    }
}

TEST(SimpleImapClientOperations, EveryOperationOfADisconnectedClientGivesOneAndSendsNothing)
{
    SimpleImapClient client;
    std::vector<std::string> names{"kept"};
    unsigned messages = 5;
    FetchMessage message;
    EXPECT_EQ(Result::NotConnected, client.list(names));
    EXPECT_EQ((std::vector<std::string>{"kept"}), names);
    EXPECT_EQ(Result::NotConnected, client.status("INBOX", messages));
    EXPECT_EQ(5u, messages);
    EXPECT_EQ(Result::NotConnected, client.select("INBOX"));
    EXPECT_EQ(Result::NotConnected, client.createFolder("X", SimpleImapClient::FolderType::Mail));
    EXPECT_EQ(Result::NotConnected, client.append("INBOX", &message, false));
    EXPECT_EQ(Result::NotConnected, client.fetch(1, message));
    EXPECT_EQ(Result::NotConnected, client.createUser("a", "b", "c", "d"));
    EXPECT_EQ(Result::NotConnected, client.setUser("a", "b"));
    EXPECT_FALSE(client.isXAppendSupported());
    client.disconnect(true);
    EXPECT_FALSE(client.wasAborted());
    client.abort();
    EXPECT_TRUE(client.wasAborted());
}

TEST_F(SimpleImapClientScripted, ListKeepsSelectableFoldersInServerOrder)
{
    start([](const std::string& command, const std::string& tag) {
        if (command.find(" LIST ") == std::string::npos)
            return tag + " OK done\r\n";
        return "* LIST (\\HasChildren) \"/\" Zeta\r\n"
               "* LIST (\\Noselect \\HasChildren) \"/\" Archive\r\n"
               "* 3 EXISTS\r\n"
               "* LIST () \"/\" \"Sent Items\"\r\n"
               "* LIST (\\NoSelect) \"/\" Hidden\r\n"
               "* LIST (\\NonExistent \\HasChildren) \"/\" Gone\r\n"
               "* LIST (\\HasNoChildren \\nonexistent) \"/\" Gone/Too\r\n"
               "* LIST () \"/\" {9}\r\nQ\"uote\\d!\r\n"
               "* LIST (\\HasNoChildren) \"/\" INBOX\r\n" +
               tag + " OK List completed.\r\n";
    });
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(Result::Ok, client.list(names));
    EXPECT_EQ((std::vector<std::string>{"Zeta", "Sent Items", "Q\"uote\\d!", "INBOX"}), names);
    EXPECT_EQ("Z1 LIST \"\" \"*\"\r\n", commands[0]);
}

TEST_F(SimpleImapClientScripted, ARefusedListStillEmptiesTheNames)
{
    start([](const std::string&, const std::string& tag) { return tag + " NO no\r\n"; });
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(Result::ListFailed, client.list(names));
    EXPECT_TRUE(names.empty());
}

TEST_F(SimpleImapClientScripted, RepliesMapToEachOperationsNumber)
{
    // Every command is refused with NO; the folder a reply names is echoed.
    start([](const std::string& command, const std::string& tag) {
        if (command.find(" STATUS \"Counted\"") != std::string::npos)
            return "* STATUS \"Counted\" (MESSAGES 17)\r\n" + tag + " OK done\r\n";
        if (command.find(" STATUS \"Bare\"") != std::string::npos)
            return tag + " OK done\r\n";
        return tag + " NO refused\r\n";
    });
    unsigned messages = 9;
    EXPECT_EQ(Result::Ok, client.status("Counted", messages));
    EXPECT_EQ(17u, messages);
    // An OK without a count would pass a full folder as empty.
    messages = 9;
    EXPECT_EQ(Result::StatusFailed, client.status("Bare", messages));
    EXPECT_EQ(9u, messages);
    EXPECT_EQ(Result::StatusFailed, client.status("Other", messages));
    EXPECT_EQ(9u, messages);
    EXPECT_EQ(Result::SelectFailed, client.select("INBOX"));
    EXPECT_EQ(ConnectionInternal::State::Authenticated, client.getConnection().getState());
    EXPECT_EQ(Result::CreateFolderFailed, client.createFolder("New", SimpleImapClient::FolderType::Default));
    EXPECT_EQ(Result::CreateUserFailed, client.createUser("jo", "example.test", "pw", ""));
    EXPECT_EQ(Result::SetUserFailed, client.setUser("jo", "example.test"));
    EXPECT_EQ("Z3 STATUS \"Other\" (MESSAGES)\r\n", commands[2]);
    EXPECT_EQ("Z7 X-SETUSER \"jo@example.test\"\r\n", commands[6]);
}

// The count is what the STATUS answer's item list says, however the server
// writes the name; an answer that says no number gives no count, never 0.
TEST_F(SimpleImapClientScripted, StatusCountIsWhatTheServerSaid)
{
    struct Row {
        const char* answer;  // the untagged line the server sends
        Result result;
        unsigned messages;  // 9: left as it was
    };
    const Row rows[] = {
        {"* STATUS \"Sent Messages\" (MESSAGES 11)", Result::Ok, 11},
        {"* STATUS Sent Messages (MESSAGES 11)", Result::Ok, 11},
        {"* STATUS Zitat \"Q\" (MESSAGES 2)", Result::Ok, 2},
        {"* STATUS My Old Mail (messages 40)", Result::Ok, 40},
        {"* STATUS [Mail] Sent (MESSAGES 3)", Result::Ok, 3},
        {"* STATUS {7}\r\nA (1) B (MESSAGES 4)", Result::Ok, 4},
        {"* STATUS Sent Messages (MESSAGES 0)", Result::Ok, 0},
        {"* STATUS Sent Messages (MESSAGES)", Result::StatusFailed, 9},
        {"* STATUS INBOX (MESSAGES)", Result::StatusFailed, 9},
        {"* STATUS INBOX (MESSAGES many)", Result::StatusFailed, 9},
        {"* STATUS INBOX (MESSAGES 12x)", Result::StatusFailed, 9},
        {"* STATUS INBOX (MESSAGES -1)", Result::StatusFailed, 9},
        {"* STATUS INBOX (MESSAGES NIL)", Result::StatusFailed, 9},
        {"* STATUS INBOX ()", Result::StatusFailed, 9},
        {"* STATUS INBOX", Result::StatusFailed, 9},
        {"* STATUS Sent Messages", Result::StatusFailed, 9},
        {"* STATUS \"(MESSAGES 5)\"", Result::StatusFailed, 9},
        {"* STATUS x \"(MESSAGES 5)\"", Result::StatusFailed, 9},
        {"* STATUS x [MESSAGES 5]", Result::StatusFailed, 9},
    };
    std::vector<std::string> answers;
    for (const Row& row : rows)
        answers.push_back(row.answer);
    start([answers](const std::string& command, const std::string& tag) {
        const std::size_t n = std::stoul(command.substr(command.find("\"F") + 2));
        return answers[n] + "\r\n" + tag + " OK done\r\n";
    });
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE(rows[i].answer);
        unsigned messages = 9;
        EXPECT_EQ(rows[i].result, client.status("F" + std::to_string(i), messages));
        EXPECT_EQ(rows[i].messages, messages);
    }
}

TEST_F(SimpleImapClientScripted, CreateSendsTheTypeWordOnlyForKnownTypes)
{
    start();
    struct Row {
        unsigned type;
        const char* expected;
    } rows[] = {
        {0, "CREATE \"F\"\r\n"},
        {1, "CREATE (X-CONTACT) \"F\"\r\n"},
        {5, "CREATE (X-MAIL) \"F\"\r\n"},
        {6, "CREATE (X-NOTE) \"F\"\r\n"},
        {7, "CREATE \"F\"\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(Result::Ok, client.createFolder("F", static_cast<SimpleImapClient::FolderType>(row.type)));
        const std::string& sent = commands.back();
        EXPECT_EQ(row.expected, sent.substr(sent.find(' ') + 1));
    }
}

TEST_F(SimpleImapClientScripted, SelectMovesTheConnectionToSelected)
{
    start([](const std::string&, const std::string& tag) {
        return "* 3 EXISTS\r\n* OK [UIDVALIDITY 7] x\r\n" + tag + " OK [READ-WRITE] Select completed.\r\n";
    });
    EXPECT_EQ(Result::Ok, client.select("Sent Items"));
    EXPECT_EQ(ConnectionInternal::State::Selected, client.getConnection().getState());
    EXPECT_EQ("Z1 SELECT \"Sent Items\"\r\n", commands[0]);
}

// A message source that throws on its second part.
class BrokenMessage : public IMessage {
public:
    bool getFirstDataPart(std::string& part) override
    {
        part = std::string(100, 'a');
        return true;
    }
    bool getNextDataPart(std::string&) override { throw std::runtime_error("disk gone"); }
    std::string getFlags() override { return "\\Recent \\Seen \\Flagged"; }
    std::string getDate() override { return "1-Jan-2024 00:00:00 +0000"; }
    unsigned getSize() override { return 200; }
};

TEST_F(SimpleImapClientScripted, AppendNeverSendsRecentAndReportsAFailingSource)
{
    std::string header;
    server.serve([&](Peer& peer, int) {
        peer.greetAndLogin();
        header = peer.readLine();
        peer.readLine();  // ends when the client drops the connection
    });
    ASSERT_EQ(Result::Ok, client.connect("127.0.0.1", server.port(), "jo", "pw", false));
    BrokenMessage message;
    EXPECT_EQ(Result::MessageLoadFailed, client.append("INBOX", &message, false));
    server.join();
    EXPECT_EQ("Z1 APPEND \"INBOX\" (\\Seen \\Flagged) \"1-Jan-2024 00:00:00 +0000\" {200+}\r\n", header);
}

TEST_F(SimpleImapClientScripted, FetchLoadsOneMessageAndLeavesItsBodyToStream)
{
    start([](const std::string& command, const std::string& tag) {
        if (command.find("(INTERNALDATE FLAGS)") != std::string::npos)
            return "* 2 FETCH (INTERNALDATE \" 3-Mar-2007 10:00:00 +0200\" FLAGS (\\Seen \\Recent $Work))\r\n" + tag +
                   " OK Fetch completed.\r\n";
        if (command.find("BODY.PEEK[]") != std::string::npos)
            return "* 2 FETCH (BODY[] {11}\r\nhello world)\r\n" + tag + " OK Fetch completed.\r\n";
        return tag + " OK done\r\n";
    });
    FetchMessage message;
    ASSERT_EQ(Result::Ok, client.fetch(2, message));
    EXPECT_EQ(" 3-Mar-2007 10:00:00 +0200", message.getDate());
    EXPECT_EQ("\\Seen \\Recent", message.getFlags());
    EXPECT_EQ(11u, message.getSize());
    std::string part;
    ASSERT_TRUE(message.getFirstDataPart(part));
    EXPECT_EQ("hello world", part);
    EXPECT_FALSE(message.getNextDataPart(part));
    EXPECT_EQ("Z1 FETCH 2 (INTERNALDATE FLAGS)\r\n", commands[0]);
    EXPECT_EQ("Z2 FETCH 2 BODY.PEEK[]\r\n", commands[1]);
    // The body fetch's tagged reply is collected by the next command.
    EXPECT_EQ(Result::Ok, client.select("INBOX"));
}

TEST_F(SimpleImapClientScripted, FetchFailsWhenTheReplyCarriesNoDateOrFlags)
{
    start([](const std::string&, const std::string& tag) {
        return "* 2 FETCH (UID 4 FLAGS (\\Seen))\r\n" + tag + " OK Fetch completed.\r\n";
    });
    FetchMessage message;
    EXPECT_EQ(Result::FetchFailed, client.fetch(2, message));
}

TEST_F(SimpleImapClientScripted, XAppendNeedsVersionSixThreeOrLater)
{
    struct Row {
        const char* reply;
        bool supported;
    } rows[] = {
        {"OK X-CHECKVERSION 6.3.0", true},
        {"OK X-CHECKVERSION 6.7.3", true},
        {"NO X-CHECKVERSION 6.4.1", true},
        {"OK X-CHECKVERSION 6.2.9", false},
        {"OK X-CHECKVERSION 7.0.0", false},
        {"OK X-CHECKVERSION 6.3", false},
        {"OK", false},
        {"BAD X-CHECKVERSION 6.7.3", false},
    };
    std::size_t next = 0;
    start([&](const std::string&, const std::string& tag) { return tag + " " + rows[next++].reply + "\r\n"; });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        EXPECT_EQ(row.supported, client.isXAppendSupported());
    }
    EXPECT_EQ("Z1 X-CHECKVERSION\r\n", commands[0]);
}

TEST(SimpleImapClientProbe, TestImapServerReadsOnlyTheGreeting)
{
    scripted::Server server;
    std::string after;
    server.serve([&](Peer& peer, int) {
        peer.send("* OK 4D Mail IMAP ready\r\n");
        after = peer.readLine();
    });
    SimpleImapClient client;
    std::string greeting = "unchanged";
    EXPECT_TRUE(client.testImapServer("127.0.0.1", server.port(), greeting));
    server.join();
    EXPECT_EQ("* OK 4D Mail IMAP ready\r", greeting);
    EXPECT_EQ("", after);  // no LOGIN, no LOGOUT
    EXPECT_FALSE(client.isConnected());

    greeting = "unchanged";
    EXPECT_FALSE(client.testImapServer("127.0.0.1", testsupport::freeLoopbackPort(), greeting));
    EXPECT_EQ("unchanged", greeting);
}

} // namespace
