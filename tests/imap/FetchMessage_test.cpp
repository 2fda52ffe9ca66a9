#include "imap/FetchMessage.h"

#include <gtest/gtest.h>

#include "imap/ConnectionInternal.h"
#include "imap/ImapException.h"
#include "tests/imap/ScriptedServer.h"

namespace {

TEST(FetchMessageFlags, KeepsOnlySystemFlagsInTableOrder)
{
    struct Row {
        const char* list;
        const char* expected;
    } rows[] = {
        {"", ""},
        {"$Forwarded NonJunk", ""},
        {"\\FLAGGED \\seen $Label1", "\\Seen \\Flagged"},
        {"\\Deleted \\Seen", "\\Seen \\Deleted"},
        {"\\Seen \\Answered \\Flagged \\Deleted \\Draft \\Recent", "\\Seen \\Answered \\Flagged \\Deleted \\Draft \\Recent"},
        {"\\Seen \\Seen", "\\Seen"},
        {"\\Junk \\Seen", "\\Seen"},
        // Whole words only: none of these is a system flag.
        {"\\SeenByBot \\Drafted", ""},
        {"\\Seen\\Draft $NotJunk\\Flagged", ""},
        {"X\\Answered \\Deleted2", ""},
        {"\\SeenByBot \\seen", "\\Seen"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.list);
        EXPECT_EQ(row.expected, removeNonStandartFlags(row.list));
    }
}

TEST(FetchMessageFlags, SetFlagsNeedsAParenthesisedList)
{
    FetchMessage m;
    EXPECT_TRUE(m.setFlags("(\\Seen $X)"));
    EXPECT_EQ("\\Seen", m.getFlags());
    EXPECT_FALSE(m.setFlags("\\Answered"));
    EXPECT_FALSE(m.setFlags("(\\Answered"));
    EXPECT_FALSE(m.setFlags("("));
    EXPECT_EQ("\\Seen", m.getFlags());
    EXPECT_TRUE(m.setFlags("()"));
    EXPECT_EQ("", m.getFlags());
}

TEST(FetchMessageSize, ReadsOnlyAPlainLiteralHeader)
{
    struct Row {
        const char* text;
        bool ok;
        unsigned size;
    } rows[] = {
        {"{1025}\r\n", true, 1025},
        {"{1}\r\n", true, 1},
        {"{0}\r\n", false, 0},
        {"{15}\n", false, 7},        // bare LF: nothing changed
        {"{5}\n", false, 7},
        {"1025}\r\n", false, 7},
        {"{12a}\r\n", false, 7},
        {"{}\r\n", false, 7},
        {"{-5}\r\n", false, 7},
        {"{2147483647}\r\n", true, 2147483647u},
        {"{2147483648}\r\n", false, 7},  // above the lexer's limit
        {"{99999999999999999999}\r\n", false, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        FetchMessage m;
        m.setSize("{7}\r\n");
        EXPECT_EQ(row.ok, m.setSize(row.text));
        EXPECT_EQ(row.size, m.getSize());
        EXPECT_EQ(row.size, m.getRemaining());
    }
}

TEST(FetchMessageDate, RecognisesTheInternalDateForm)
{
    struct Row {
        const char* text;
        bool ok;
    } rows[] = {
        {"17-Jul-1996 02:44:25 -0700", true},
        {" 7-Jul-1996 02:44:25 +0000", true},
        {"7-Jul-1996 02:44:25 +0000", true},
        {"07-jul-1996 02:44:25 +0530", true},
        {"", false},
        {"17-Jux-1996 02:44:25 -0700", false},
        {"17-Jul-96 02:44:25 -0700", false},
        {"17-Jul-1996 02:44:25", false},
        {"17-Jul-1996 02:44:25 0700", false},
        {"17-Jul-1996 02:44:25 -0700\r\n", false},
        {"17-Jul-1996 02:44:25 -07\"0", false},
        {"Wed, 17 Jul 1996 02:44:25 -0700", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.ok, isInternalDate(row.text));
    }
}

TEST(FetchMessageSetData, StoresDateAndFlagsByName)
{
    FetchMessage m;
    EXPECT_TRUE(m.setData("internaldate", "1-Jan-2024 00:00:00 +0000"));
    EXPECT_TRUE(m.setData("Flags", "(\\Draft)"));
    EXPECT_TRUE(m.setData("FLAGS", "not a list"));  // result of setFlags not used
    EXPECT_FALSE(m.setData("UID", "5"));
    EXPECT_EQ("1-Jan-2024 00:00:00 +0000", m.getDate());
    EXPECT_EQ("\\Draft", m.getFlags());
}

TEST(FetchMessageBulkLine, LoadsTheItemsBeforeTheBody)
{
    struct Row {
        const char* line;
        bool ok;
        const char* date;
        const char* flags;
        unsigned size;
    } rows[] = {
        {"* 1 FETCH (INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" FLAGS (\\Seen \\Recent) BODY[] {1025}\r\n", true,
         "17-Jul-1996 02:44:25 -0700", "\\Seen \\Recent", 1025},
        {"* 2 FETCH (FLAGS (\\Answered) INTERNALDATE \" 2-Jan-2024 10:00:00 +0100\" BODY[] {5}\r\n", true,
         " 2-Jan-2024 10:00:00 +0100", "\\Answered", 5},
        {"* 3 fetch (internaldate \"1-Jan-2024 00:00:00 +0000\" flags () body[] {9}\r\n", true,
         "1-Jan-2024 00:00:00 +0000", "", 9},
        {"* 4 FETCH (BODY[] {12}\r\n", true, "", "", 12},
        {"* 5 FETCH (FLAGS \\Seen BODY[] {3}\r\n", false, "", "", 0},  // not a list: no item list
        {"* 6 FETCH (INTERNALDATE \"1-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen) BODY[] {0}\r\n", false,
         "1-Jan-2024 00:00:00 +0000", "\\Seen", 0},
        // Items the copy does not use are skipped with their values.
        {"* 7 FETCH (UID 9 BODY[] {3}\r\n", true, "", "", 3},
        {"* 7 FETCH (MODSEQ (12) RFC822.SIZE 3 X-GUID \"a b\" X-NOTE NIL FLAGS (\\Seen) BODY[] {3}\r\n", true, "",
         "\\Seen", 3},
        {"* 7 FETCH (FLAGS (\\Seen) FLAGS (\\Draft) BODY[] {3}\r\n", true, "", "\\Draft", 3},
        // A date longer than the date-time syntax allows is no date.
        {"* 7 FETCH (INTERNALDATE \"17-Jul-1996 02:44:25 -07000\" BODY[] {3}\r\n", true, "", "", 3},
        {"* 7 FETCH (INTERNALDATE NIL BODY[] {3}\r\n", true, "", "", 3},
        {"* 8 FETCH (FLAGS (\\Seen))\r\n", false, "", "\\Seen", 0},
        {"* 9 FETCH (BODY[] NIL)\r\n", false, "", "", 0},
        {"* 10 EXISTS\r\n", false, "", "", 0},
        {"A OK done\r\n", false, "", "", 0},
        {"* 11 FETCH BODY[] {3}\r\n", false, "", "", 0},
        {"* 12 FETCH (BODY[] {3}\n", false, "", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        FetchMessage m;
        m.setData("INTERNALDATE", "stale");
        bool ok = false;
        try {
            ok = loadFetchResponse(row.line, m);
        } catch (const ImapParserException&) {
            ok = false;
        }
        EXPECT_EQ(row.ok, ok);
        if (row.ok) {
            EXPECT_EQ(row.date, m.getDate());
            EXPECT_EQ(row.flags, m.getFlags());
        }
        EXPECT_EQ(row.size, m.getSize());
    }
}

TEST(FetchMessageSingleLine, ParsesTheBodyFetchReply)
{
    FetchMessage m;
    EXPECT_TRUE(m.parseResponse("* 3 FETCH (BODY[] {44}\r\n"));
    EXPECT_EQ(44u, m.getSize());
    EXPECT_FALSE(m.parseResponse("* 3 FETCH (FLAGS (\\Seen) BODY[] {44}\r\n"));
    EXPECT_FALSE(m.parseResponse("Z4 OK done\r\n"));
    EXPECT_FALSE(m.parseResponse("* 3 STORE (BODY[] {44}\r\n"));
}

// A source connection logged in to a scripted server that then sends body
// bytes as the script says.
class FetchMessageStream : public ::testing::Test {
protected:
    void connect(std::function<void(scripted::Peer&)> script, unsigned timeout = 20)
    {
        server.serve([script](scripted::Peer& peer, int) {
            if (!peer.greetAndLogin())
                return;
            script(peer);
        });
        connection.initialize("127.0.0.1", server.port(), "u", "p", false, timeout, false);
        connection.init(true);
        message.setConnection(&connection);
    }

    // Drains the message; returns the part sizes.
    std::vector<std::size_t> drain(std::string& body)
    {
        std::vector<std::size_t> sizes;
        std::string part;
        bool more = message.getFirstDataPart(part);
        while (more) {
            sizes.push_back(part.size());
            body += part;
            more = message.getNextDataPart(part);
        }
        EXPECT_TRUE(part.empty());
        return sizes;
    }

    scripted::Server server;
    ConnectionInternal connection;
    FetchMessage message;
};

std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

TEST_F(FetchMessageStream, DeliversTheBodyInPartsAndDropsTheClosingLine)
{
    struct Row {
        std::size_t size;
        std::vector<std::size_t> parts;
    } rows[] = {
        {1025, {1025}},
        {10240, {10240}},
        {25000, {10240, 10240, 4520}},
    };
    const std::string body = pattern(25000);
    connect([&](scripted::Peer& peer) {
        for (const Row& row : rows)
            peer.send(body.substr(0, row.size) + " UID 5)\r\n");
        peer.send("A OK Fetch completed.\r\n");
        peer.drainUntilLogout();
    });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        ASSERT_TRUE(message.setSize("{" + std::to_string(row.size) + "}\r\n"));
        std::string got;
        EXPECT_EQ(row.parts, drain(got));
        EXPECT_EQ(body.substr(0, row.size), got);
        EXPECT_EQ(0u, message.getRemaining());
    }
    std::string line;
    connection.recvLine(line);
    EXPECT_EQ("A OK Fetch completed.\r\n", line);
}

TEST_F(FetchMessageStream, SkipsALiteralThatFollowsTheBody)
{
    connect([](scripted::Peer& peer) {
        peer.send("hello BODY[HEADER] {6}\r\nx)\r\ny) UID 3)\r\n* 2 FETCH (BODY[] {1}\r\n");
        peer.drainUntilLogout();
    });
    ASSERT_TRUE(message.setSize("{5}\r\n"));
    std::string got;
    drain(got);
    EXPECT_EQ("hello", got);
    std::string line;
    connection.recvLine(line);
    EXPECT_EQ("* 2 FETCH (BODY[] {1}\r\n", line);
}

TEST_F(FetchMessageStream, ABodyThatEndsEarlyThrowsAndClosesTheSource)
{
    connect([](scripted::Peer& peer) {
        peer.send(std::string(15000, 'x'));
        peer.close();
    });
    ASSERT_TRUE(message.setSize("{30000}\r\n"));
    std::string part;
    EXPECT_TRUE(message.getFirstDataPart(part));
    EXPECT_EQ(10240u, part.size());
    EXPECT_THROW(message.getNextDataPart(part), ImapConnectionFailed);
    EXPECT_EQ(ConnectionInternal::State::Disconnected, connection.getState());
    EXPECT_FALSE(message.getNextDataPart(part));
}

TEST_F(FetchMessageStream, ASilentSourceInsideABodyThrows)
{
    connect(
        [](scripted::Peer& peer) {
            peer.send("only this");
            peer.readLine();  // until the client gives up and closes
        },
        1);
    ASSERT_TRUE(message.setSize("{100}\r\n"));
    std::string part;
    EXPECT_THROW(message.getFirstDataPart(part), ImapConnectionFailed);
    EXPECT_EQ(ConnectionInternal::State::Disconnected, connection.getState());
}

TEST_F(FetchMessageStream, SkipRemainingBringsTheSourceBackInStep)
{
    const std::string body = pattern(30000);
    connect([&](scripted::Peer& peer) {
        peer.send(body + ")\r\n* 2 FETCH (BODY[] {3}\r\n");
        peer.drainUntilLogout();
    });
    ASSERT_TRUE(message.setSize("{30000}\r\n"));
    std::string part;
    ASSERT_TRUE(message.getFirstDataPart(part));
    EXPECT_TRUE(message.skipRemaining());
    EXPECT_EQ(0u, message.getRemaining());
    std::string line;
    connection.recvLine(line);
    EXPECT_EQ("* 2 FETCH (BODY[] {3}\r\n", line);
}


TEST(FetchMessageTail, TheRestOfTheLineMustContinueTheItemList)
{
    // What follows a 5-byte body "hello". Accepted: ")" and the line end, or
    // items (a name and a number, quoted string, list, NIL or literal) and
    // then ")" and the line end. Anything else means the literal count was
    // not the body's.
    struct Row {
        const char* tail;
        bool ok;
    } rows[] = {
        {")\r\n", true},
        {" UID 5)\r\n", true},
        {" FLAGS (\\Seen $Junk))\r\n", true},
        {" RFC822.SIZE 44 X-LABEL \"a \\\"b\\\" c\")\r\n", true},
        {" BODY[HEADER.FIELDS (FROM TO)]<0> {4}\r\nab\r\n MODSEQ (12))\r\n", true},
        {" BODYSTRUCTURE ((\"text\" \"plain\" NIL NIL NIL \"7bit\" 3 1)(\"text\" \"html\" NIL NIL NIL \"7bit\" 3 1) "
         "\"mixed\") X-NOTE NIL)\r\n",
         true},
        {" ENVELOPE ({3}\r\nabc NIL (NIL NIL \"a\" \"b.c\")))\r\n", true},
        {"\r\n", false},
        {"* 2 FETCH (BODY[] {3}\r\n", false},
        {"A OK Fetch completed.\r\n", false},
        {" 2 FETCH (BODY[] {3}\r\n", false},
        {" OK Fetch completed.\r\n", false},
        {" (INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" BODY[] {3}\r\n", false},
        {") BODY[] {3}\r\n", false},
        {"))\r\n", false},
        {") \r\n", false},
        {")\n", false},
        {"x)\r\n", false},
        {" foo bar)\r\n", false},
        {" UID)\r\n", false},
        {" UID 5\r\n", false},
        {" UID 5 )\r\n", false},
        {" FLAGS (\\Seen)\r\n", false},
        {" X \"open)\r\n", false},
        {" X {3}\r\nabc\r\n", false},
        // A second body item: the count ran on into the next message.
        {" BODY[] {3}\r\nabc)\r\n", false},
    };
    const std::size_t count = sizeof rows / sizeof rows[0];
    scripted::Server server;
    server.serve(
        [&](scripted::Peer& peer, int index) {
            if (!peer.greetAndLogin())
                return;
            peer.send(std::string("hello") + rows[index].tail + "A OK done\r\n");
            peer.drainUntilLogout();
        },
        static_cast<int>(count));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tail);
        ConnectionInternal connection;
        connection.initialize("127.0.0.1", server.port(), "u", "p", false, 20, false);
        connection.init(true);
        FetchMessage message;
        message.setConnection(&connection);
        ASSERT_TRUE(message.setSize("{5}\r\n"));
        std::string part;
        if (row.ok) {
            EXPECT_TRUE(message.getFirstDataPart(part));
            EXPECT_EQ("hello", part);
            EXPECT_FALSE(message.getNextDataPart(part));
            std::string line;
            connection.recvLine(line);
            EXPECT_EQ("A OK done\r\n", line);
        } else {
            EXPECT_THROW(message.getFirstDataPart(part), ImapConnectionFailed);
            EXPECT_EQ(ConnectionInternal::State::Disconnected, connection.getState());
        }
        connection.close();
    }
}

TEST_F(FetchMessageStream, AnAbortStopsADrainWithinOnePart)
{
    // The abort is reported by the third poll: two parts have been read, and
    // not a byte more.
    const std::size_t size = 20 * FetchMessage::maxPartSize + 17;
    const std::string body = pattern(size);
    connect([&](scripted::Peer& peer) {
        peer.send(body + ")\r\nA OK done\r\n");
        peer.drainUntilLogout();
    });
    int polls = 0;
    message.setAbortCheck([&polls] { return ++polls == 3; });
    ASSERT_TRUE(message.setSize("{" + std::to_string(size) + "}\r\n"));
    EXPECT_FALSE(message.skipRemaining());
    EXPECT_EQ(3, polls);
    EXPECT_EQ(size - 2 * FetchMessage::maxPartSize, message.getRemaining());
    EXPECT_EQ(ConnectionInternal::State::Disconnected, connection.getState());
}

TEST_F(FetchMessageStream, AnAbortStopsTheSkipOfALiteralAfterTheBody)
{
    const std::size_t size = 20 * FetchMessage::maxPartSize;
    connect([&](scripted::Peer& peer) {
        peer.send("hello BODY[HEADER] {" + std::to_string(size) + "}\r\n" + std::string(size, 'h') + ")\r\n");
        peer.drainUntilLogout();
    });
    int polls = 0;
    message.setAbortCheck([&polls] {
        ++polls;
        return true;
    });
    ASSERT_TRUE(message.setSize("{5}\r\n"));
    std::string part;
    // The body is the message in transfer; the literal after it is a drain.
    EXPECT_THROW(message.getFirstDataPart(part), ImapConnectionFailed);
    EXPECT_EQ(1, polls);
    EXPECT_EQ(ConnectionInternal::State::Disconnected, connection.getState());
}

} // namespace
