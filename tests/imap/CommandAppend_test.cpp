#include "imap/CommandAppend.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "imap/CommandXUser.h"
#include "imap/ConnectionInternal.h"
#include "imap/IMessage.h"
#include "imap/ImapException.h"
#include "tests/imap/ScriptedServer.h"

namespace {

// A message held in memory, handed out in parts of partSize bytes; it
// throws when asked for part number failAt (counting from 1).
class StringMessage : public IMessage {
public:
    StringMessage(std::string body, std::size_t partSize, int failAt = 0)
        : body(std::move(body)), partSize(partSize), failAt(failAt) {}
    bool getFirstDataPart(std::string& part) override
    {
        offset = 0;
        calls = 0;
        return getNextDataPart(part);
    }
    bool getNextDataPart(std::string& part) override
    {
        part.clear();
        if (++calls == failAt)
            throw std::runtime_error("source broke");
        if (offset >= body.size())
            return false;
        part = body.substr(offset, partSize);
        offset += part.size();
        return true;
    }
    std::string getFlags() override { return ""; }
    std::string getDate() override { return ""; }
    unsigned getSize() override { return static_cast<unsigned>(body.size()); }

private:
    std::string body;
    std::size_t partSize;
    int failAt;
    std::size_t offset = 0;
    int calls = 0;
};

TEST(CommandAppendText, BuildsTheCommandLineUpToTheLiteralHeader)
{
    struct Row {
        const char* folder;
        const char* flags;
        const char* date;
        unsigned size;
        bool xAppend;
        const char* expected;
    } rows[] = {
        {"INBOX", "\\Seen \\Answered", "17-Jul-1996 02:44:25 -0700", 1234, false,
         "Z0 APPEND \"INBOX\" (\\Seen \\Answered) \"17-Jul-1996 02:44:25 -0700\" {1234+}\r\n"},
        {"INBOX", "", "", 5, false, "Z0 APPEND \"INBOX\" {5+}\r\n"},
        {"INBOX", "", "", 5, true, "Z0 X-APPEND \"INBOX\" {5+}\r\n"},
        {"My \"best\" \\mail", "\\Draft", "", 1, false, "Z0 APPEND \"My \\\"best\\\" \\\\mail\" (\\Draft) {1+}\r\n"},
        {"Sent", "", " 1-Jan-2024 00:00:00 +0000", 9, false, "Z0 APPEND \"Sent\" \" 1-Jan-2024 00:00:00 +0000\" {9+}\r\n"},
        // A date that would break the command is left out.
        {"Sent", "\\Seen", "1-Jan-2024 00:00:00 +0000\" FOO", 9, false, "Z0 APPEND \"Sent\" (\\Seen) {9+}\r\n"},
        {"Sent", "", "yesterday", 9, false, "Z0 APPEND \"Sent\" {9+}\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        ConnectionInternal connection;
        CommandAppend command(connection, row.folder, row.flags, row.date, row.size, row.xAppend);
        EXPECT_EQ(row.expected, command.getCommandString());
    }
}

TEST(CommandAppendText, EveryFlagIsASystemFlagOrAnAtom)
{
    // A server answers a flag it cannot take with BAD before the body and
    // then reads the body as commands: such a flag never goes out.
    struct Row {
        const char* flags;
        bool ok;
    } rows[] = {
        {"\\Answered \\Flagged \\Deleted \\Seen \\Draft", true},
        {"\\seen", true},
        {"$Forwarded Project $MDNSent", true},
        {"\\Recent", false},
        {"\\Foo", false},
        {"\\", false},
        {"\\\\Seen", false},
        {"a]b", false},
        {"a*b", false},
        {"%", false},
        {"(x)", false},
        {"a\"b", false},
        {"{3+}", false},
        {"caf\xc3\xa9", false},
        {"tab\there", false},
        {"\\Seen\r\nZ9 DELETE INBOX", false},
        {"x\x7f", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags);
        ConnectionInternal connection;
        if (row.ok)
            EXPECT_NO_THROW(CommandAppend(connection, "INBOX", row.flags, "", 1, false));
        else
            EXPECT_THROW(CommandAppend(connection, "INBOX", row.flags, "", 1, false), ImapException);
    }
}

TEST(CommandXUserText, SetUserQuotesTheAccount)
{
    ConnectionInternal connection;
    CommandXSetUser command(connection, "jo \"x\"@example.test");
    EXPECT_EQ("Z0 X-SETUSER \"jo \\\"x\\\"@example.test\"", command.getCommandString());
}

TEST(CommandXUserText, CreateUserSendsNameAndDomainAsLiterals)
{
    struct Row {
        const char* name;
        const char* fullName;
        std::vector<std::string> groups;
        const char* expected;
    } rows[] = {
        {"jo", "", {}, "Z0 X-CREATEUSER (NAME {2+}\r\njo DOMAIN {12+}\r\nexample.test PASSWORD \"pw\")"},
        // Bytes, not characters: "é" is two bytes.
        {"J\"o \xc3\xa9", "Jo Smith", {},
         "Z0 X-CREATEUSER (NAME {6+}\r\nJ\"o \xc3\xa9 DOMAIN {12+}\r\nexample.test PASSWORD \"pw\" FULLNAME \"Jo Smith\")"},
        {"jo", "", {"staff", "a b"},
         "Z0 X-CREATEUSER (NAME {2+}\r\njo DOMAIN {12+}\r\nexample.test PASSWORD \"pw\" GROUPS (\"staff\" \"a b\"))"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        ConnectionInternal connection;
        CommandXCreateUser command(connection, row.name, "example.test", "pw", row.fullName, row.groups);
        EXPECT_EQ(row.expected, command.getCommandString());
    }
}

class CommandAppendWire : public ::testing::Test {
protected:
    void connect(std::function<void(scripted::Peer&)> script)
    {
        server.serve([script](scripted::Peer& peer, int) {
            if (peer.greetAndLogin())
                script(peer);
        });
        connection.initialize("127.0.0.1", server.port(), "u", "p", false, 20, false);
        connection.init(true);
    }
    scripted::Server server;
    ConnectionInternal connection;
};

TEST_F(CommandAppendWire, SendsHeaderBodyAndLineEndWithoutWaiting)
{
    const std::string body(25000, 'b');
    std::string received;
    connect([&](scripted::Peer& peer) {
        received = peer.readCommand();
        peer.send(scripted::Peer::tagOf(received) + " OK [APPENDUID 38505 3955] APPEND completed\r\n");
        peer.drainUntilLogout();
    });
    StringMessage message(body, 10240);
    CommandAppend command(connection, "INBOX", "\\Seen", "", message.getSize(), false);
    EXPECT_EQ(Command::Response::Ok, command.execute(&message));
    EXPECT_EQ(3955u, command.getUid());
    connection.logout();
    server.join();
    EXPECT_EQ("Z1 APPEND \"INBOX\" (\\Seen) {25000+}\r\n" + body + "\r\n", received);
}

TEST_F(CommandAppendWire, UidIsZeroWithoutAppendUid)
{
    connect([&](scripted::Peer& peer) {
        const std::string command = peer.readCommand();
        peer.send(scripted::Peer::tagOf(command) + " OK [READ-WRITE] done\r\n");
        const std::string second = peer.readCommand();
        peer.send(scripted::Peer::tagOf(second) + " OK done\r\n");
        peer.drainUntilLogout();
    });
    StringMessage a("abc", 10);
    CommandAppend first(connection, "INBOX", "", "", 3, false);
    EXPECT_EQ(Command::Response::Ok, first.execute(&a));
    EXPECT_EQ(0u, first.getUid());
    StringMessage b("abc", 10);
    CommandAppend second(connection, "INBOX", "", "", 3, false);
    EXPECT_EQ(Command::Response::Ok, second.execute(&b));
    EXPECT_EQ(0u, second.getUid());
}

TEST_F(CommandAppendWire, AFailingSourceDropsTheConnectionBeforeTheLineEnd)
{
    std::string received;
    connect([&](scripted::Peer& peer) {
        received = peer.readCommand();  // ends where the client closed
    });
    StringMessage message(std::string(30000, 'm'), 10240, 3);
    CommandAppend command(connection, "INBOX", "", "", message.getSize(), false);
    try {
        command.execute(&message);
        FAIL() << "no exception";
    } catch (const IMessageLoadFailedException& e) {
        EXPECT_STREQ("source broke", e.what());
    }
    server.join();
    EXPECT_EQ("Z1 APPEND \"INBOX\" {30000+}\r\n" + std::string(20480, 'm'), received);
    EXPECT_EQ(ConnectionInternal::State::Disconnected, connection.getState());
}

} // namespace
