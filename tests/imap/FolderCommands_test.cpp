#include "imap/FolderCommands.h"

#include <gtest/gtest.h>

#include "imap/ConnectionInternal.h"
#include "imap/ImapException.h"
#include "tests/imap/FakeImapServer.h"

using imaptest::FakeImapServer;
using imaptest::Peer;
using imaptest::tagOf;

namespace {

// Greets, then answers the first command with the given untagged lines and
// a tagged OK.
FakeImapServer::Script answering(std::string untagged)
{
    return [untagged](Peer& p) {
        p.send("* OK hi\r\n");
        const std::string line = p.readLine();
        p.send(untagged + tagOf(line) + " OK done\r\n");
        p.waitForClose();
    };
}

} // namespace

TEST(FolderCommands, CommandTexts)
{
    ConnectionInternal c; // never connected: the texts alone
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {CommandSelect(c, "Sent Items").getCommandString(), "Z0 SELECT \"Sent Items\""},
        {CommandCreate(c, "Work", 0, "").getCommandString(), "Z1 CREATE \"Work\""},
        {CommandCreate(c, "Work", 16, "8f2a").getCommandString(), "Z2 CREATE (X-MAIL GUID \"8f2a\") \"Work\""},
        {CommandCreate(c, "Work", 0, "8f2a").getCommandString(), "Z3 CREATE (GUID \"8f2a\") \"Work\""},
        {CommandCreate(c, "All", 0x7fff, "").getCommandString(), "Z4 CREATE (X-ALL) \"All\""},
        {CommandCreate(c, "Odd", 256, "").getCommandString(), "Z5 CREATE () \"Odd\""},
        {CommandCreate(c, "Odd", 256, "g").getCommandString(), "Z6 CREATE ( GUID \"g\") \"Odd\""},
        {CommandList(c, "", "*").getCommandString(), "Z7 LIST \"\" \"*\""},
        {CommandStatus(c, "a\"b").getCommandString(), "Z8 STATUS \"a\\\"b\" (MESSAGES)"},
    };
    for (const Case& cs : cases)
        EXPECT_EQ(cs.expected, cs.text);
    EXPECT_THROW(CommandCreate(c, "x", 0, "bad\"guid"), ImapException);
    EXPECT_THROW(CommandSelect(c, "INBOX\r\nZ9 DELETE INBOX"), ImapException);
}

TEST(FolderCommands, StatusMessages)
{
    struct Case {
        const char* text;
        bool counted;  // false: the text gives no count
        unsigned count;
    };
    const Case cases[] = {
        {"INBOX (MESSAGES 17)", true, 17},
        {"\"Sent Items\" (MESSAGES 0)", true, 0},
        {"{5}\r\nA (1) (MESSAGES 4)", true, 4},
        {"INBOX (UIDNEXT 5 MESSAGES 17)", false, 0},
        {"INBOX (messages 17)", true, 17},
        {"INBOX (MESSAGES 99999999999)", true, 0xffffffffu},
        // The mailbox is an astring, read whole whatever it holds.
        {"[Work]/Sub (MESSAGES 2)", true, 2},
        {"[x (MESSAGES 3)", true, 3},
        {"NILE (MESSAGES 4)", true, 4},
        {"NIL/Sub (MESSAGES 5)", true, 5},
        {"NIL (MESSAGES 6)", true, 6},
        {"a]b (MESSAGES 7)", true, 7},
        // A name sent unquoted with blanks: the item list is the last group.
        {"Sent Messages (MESSAGES 11)", true, 11},
        {"Zitat \"Q\" (MESSAGES 2)", true, 2},
        {"Old (2007) Mail (MESSAGES 8)", true, 8},
        {"Sent Messages (UIDNEXT 5 MESSAGES 17)", false, 0},
        // No number, no count.
        {"INBOX (MESSAGES)", false, 0},
        {"Sent Messages (MESSAGES)", false, 0},
        {"INBOX (MESSAGES x1)", false, 0},
        {"INBOX (MESSAGES 1x)", false, 0},
        {"INBOX (MESSAGES \"\")", false, 0},
        {"INBOX ()", false, 0},
        {"INBOX", false, 0},
        {"\"(MESSAGES 5)\"", false, 0},
        {"{12}\r\n(MESSAGES 5)", false, 0},
        {"x [MESSAGES 5]", false, 0},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.text);
        unsigned count = 12345;
        EXPECT_EQ(cs.counted, parseStatusMessages(cs.text, count));
        EXPECT_EQ(cs.counted ? cs.count : 12345u, count);
        EXPECT_EQ(cs.count, parseStatusMessages(cs.text));
    }
}

TEST(FolderCommands, ReadersSkipWhatTheyDoNotKnow)
{
    FakeImapServer server({
        answering("* OK still here\r\n* NO [ALERT] odd\r\n* ENABLED UTF8\r\n* 4 EXISTS\r\n"
                  "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
                  "* LIST (\\NoSelect \\HasChildren) \"/\" Parent\r\n"
                  "* LSUB () \"/\" {10}\r\nSent Items\r\n"
                  "* STATUS INBOX (MESSAGES 3)\r\n"),
        answering("* OK [UNSEEN 2] x\r\n* ENABLED UTF8\r\n* STATUS INBOX (MESSAGES 9)\r\n"
                  "* STATUS INBOX (MESSAGES 10)\r\n"),
        answering("* STATUS\r\n"),
        answering("* LIST (\\HasNoChildren \"/\" broken\r\n"),
    });
    ConnectionInternal c;
    c.initialize("127.0.0.1", server.port(), "u", "p", false, 5, false);
    c.init(false);
    CommandList list(c, "", "*");
    ASSERT_EQ(Command::Response::Ok, list.execute());
    std::vector<FolderListEntry> entries(3);
    ASSERT_EQ(3, list.getList(entries, true));
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ("INBOX", entries[0].name);
    EXPECT_TRUE(entries[0].selectable);
    EXPECT_EQ("Parent", entries[1].name);
    EXPECT_FALSE(entries[1].selectable);
    EXPECT_EQ("Sent Items", entries[2].name);
    list.getList(entries, false);
    EXPECT_TRUE(entries[1].selectable);
    c.close();

    c.init(false);
    CommandStatus status(c, "INBOX");
    ASSERT_EQ(Command::Response::Ok, status.execute());
    EXPECT_EQ(9u, status.getMessagesCount());
    c.close();

    c.init(false);
    CommandStatus empty(c, "INBOX");
    ASSERT_EQ(Command::Response::Ok, empty.execute());
    EXPECT_EQ(0u, empty.getMessagesCount());
    c.close();

    c.init(false);
    CommandList broken(c, "", "*");
    ASSERT_EQ(Command::Response::Ok, broken.execute());
    std::vector<FolderListEntry> none;
    EXPECT_THROW(broken.getList(none, true), ImapParserException);
    c.close();
}

TEST(FolderCommands, ListNamesAreMailboxesReadWhole)
{
    struct Row {
        const char* line;
        const char* name;
    };
    const Row rows[] = {
        {"* LIST (\\HasChildren) \"/\" [Work]", "[Work]"},
        {"* LIST (\\HasNoChildren) \"/\" [Work]/Sub", "[Work]/Sub"},
        {"* LIST () \"/\" [x", "[x"},
        {"* LIST () \"/\" a]b", "a]b"},
        {"* LIST () \"/\" NILE", "NILE"},
        {"* LIST () \"/\" \"NIL\"", "NIL"},
        {"* LIST () \"/\" NIL/Sub", "NIL/Sub"},
        {"* LIST () NIL NIL", "NIL"},
        {"* LIST () \"/\" \"{curly}\"", "{curly}"},
        {"* LIST () \"/\" {10}\r\nSent Items", "Sent Items"},
        {"* LIST () \"/\" {7}\r\n[Work ]", "[Work ]"},
    };
    std::string untagged;
    for (const Row& row : rows)
        untagged += std::string(row.line) + "\r\n";
    FakeImapServer server({answering(untagged)});
    ConnectionInternal c;
    c.initialize("127.0.0.1", server.port(), "u", "p", false, 5, false);
    c.init(false);
    CommandList list(c, "", "*");
    ASSERT_EQ(Command::Response::Ok, list.execute());
    std::vector<FolderListEntry> entries;
    ASSERT_EQ(static_cast<int>(sizeof rows / sizeof rows[0]), list.getList(entries, true));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(rows[i].line);
        EXPECT_EQ(rows[i].name, entries[i].name);
    }
    c.close();
}
