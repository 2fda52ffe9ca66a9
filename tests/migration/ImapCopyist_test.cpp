// The mailbox copier between two real Dovecot instances: the source offers
// CRAM-MD5 and greets like the 4D server, the target takes LOGIN.

#include "migration/ImapCopyist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "migration/LogStream.h"
#include "tests/migration/ImapCopyistCorpus.h"
#include "tests/support/Dovecot.h"
#include "tests/support/ImapRelay.h"

namespace {

using testsupport::Dovecot;
using testsupport::ImapRelay;

const char* const login = "jo@example.test";
const char* const password = "s3cret pass";

Dovecot::Message withSubject(const std::vector<Dovecot::Message>& messages, const std::string& subject)
{
    for (const auto& m : messages)
        if (m.body.find("Subject: " + subject + "\r\n") != std::string::npos)
            return m;
    ADD_FAILURE() << "no message " << subject;
    return Dovecot::Message();
}

class ImapCopyistDovecot : public ::testing::Test {
protected:
    ImapCopyistDovecot() : source(Dovecot::Source), target(Dovecot::Target), log(nullptr)
    {
        log.setMode(true, false);
    }

    void SetUp() override
    {
        source.addUser(login, password);
        target.addUser(login, password);
        source.start();
        target.start();
        sourceCfg = {"127.0.0.1", source.port(), login, password, true};
        targetCfg = {"127.0.0.1", target.port(), login, password, false};
    }

    std::string logText()
    {
        std::string s;
        log.getData(s);
        collected += s;
        return collected;
    }

    // Every message of folder on both sides: same count, bytes, standard
    // flags and internal date, in the same order.
    void expectSameFolder(const std::string& folder)
    {
        SCOPED_TRACE(folder);
        const auto from = source.messages(login, password, folder);
        const auto to = target.messages(login, password, folder);
        ASSERT_EQ(from.size(), to.size());
        for (std::size_t i = 0; i < from.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(from[i].body.size(), to[i].body.size());
            EXPECT_TRUE(from[i].body == to[i].body);
            EXPECT_EQ(corpus::standardFlags(from[i].flags), corpus::standardFlags(to[i].flags));
            EXPECT_EQ(from[i].internalDate, to[i].internalDate);
        }
    }

    void seedSource(const std::vector<corpus::Seed>& seeds)
    {
        for (const auto& s : seeds)
            source.putMessage(login, s.folder, s.bytes, s.flagLetters, s.internalDate);
        source.index(login);
    }

    Dovecot source;
    Dovecot target;
    LogStream log;
    std::string collected;
    ConnectionConfiguration sourceCfg;
    ConnectionConfiguration targetCfg;
};

TEST_F(ImapCopyistDovecot, CopiesEveryFolderAndMessageExactly)
{
    const auto seeds = corpus::seeds(21 * 1024 * 1024);
    corpus::seed(source, login, seeds);

    ImapCopyist copyist(sourceCfg, targetCfg, log);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    EXPECT_EQ(0, copyist.close());

    EXPECT_EQ(seeds.size(), copyist.messages);
    EXPECT_EQ(corpus::folders().size(), copyist.folders);
    EXPECT_EQ(0u, copyist.messageErrors);
    EXPECT_EQ(0u, copyist.folderErrors);
    EXPECT_EQ(std::string::npos, logText().find("ERROR"));
    EXPECT_NE(std::string::npos, logText().find("Copying folder \"Sent Items\" (2 messages) ... "));

    EXPECT_EQ(source.folders(login), target.folders(login));
    for (const std::string& folder : corpus::folders())
        expectSameFolder(folder);
    // The flags of every kind arrive; the keywords stay behind.
    const auto inbox = target.messages(login, password, "INBOX");
    ASSERT_EQ(corpus::messagesIn(seeds, "INBOX"), inbox.size());
    EXPECT_EQ((std::vector<std::string>{"\\Answered", "\\Deleted", "\\Draft", "\\Flagged", "\\Seen"}),
              withSubject(inbox, "every flag").flags);
    EXPECT_EQ((std::vector<std::string>{"\\Seen"}), withSubject(inbox, "keywords").flags);
    const auto sourceInbox = source.messages(login, password, "INBOX");
    const auto keywords = withSubject(sourceInbox, "keywords").flags;
    EXPECT_NE(keywords.end(), std::find(keywords.begin(), keywords.end(), "Project"));
}

TEST_F(ImapCopyistDovecot, AnExistingTargetFolderReceivesTheMessagesInAddition)
{
    target.putMessage(login, "Sent Items", corpus::header("already there") + "old\r\n", "S", 1167609600);
    target.index(login);
    std::vector<corpus::Seed> seeds = {
        {"Sent Items", corpus::header("one") + "1\r\n", "S", 1167700000},
        {"Sent Items", corpus::header("two") + "2\r\n", "", 1167800000},
    };
    seedSource(seeds);

    ImapCopyist copyist(sourceCfg, targetCfg, log);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();
    EXPECT_EQ(2u, copyist.messages);
    EXPECT_EQ(2u, copyist.folders);  // INBOX (empty) and Sent Items
    const auto sent = target.messages(login, password, "Sent Items");
    ASSERT_EQ(3u, sent.size());
    EXPECT_NE(std::string::npos, sent[0].body.find("already there"));
    EXPECT_EQ(seeds[1].bytes, sent[2].body);
}

TEST_F(ImapCopyistDovecot, AMailboxWithoutMessagesCopiesItsFoldersOnly)
{
    source.createFolder(login, "Empty/Child");
    source.index(login);
    ImapCopyist copyist(sourceCfg, targetCfg, log);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();
    EXPECT_EQ(0u, copyist.messages);
    EXPECT_EQ(0u, copyist.messageErrors);
    EXPECT_EQ(std::string::npos, logText().find("ERROR"));
    const auto folders = target.folders(login);
    EXPECT_NE(folders.end(), std::find(folders.begin(), folders.end(), "Empty/Child"));
}

TEST_F(ImapCopyistDovecot, LoginFailuresNameTheSideAndTheHost)
{
    const int closedPort = testsupport::freeLoopbackPort();
    struct Row {
        const char* what;
        ConnectionConfiguration source;
        ConnectionConfiguration target;
        ImapCopyist::Result result;
        const char* message;
    } rows[] = {
        {"target password", sourceCfg, {"127.0.0.1", target.port(), login, "wrong", false},
         ImapCopyist::AuthenticationError,
         "ERROR: Unable connect to target server \"127.0.0.1\". Authentication Error.\n"},
        {"source password", {"127.0.0.1", source.port(), login, "wrong", true}, targetCfg,
         ImapCopyist::AuthenticationError,
         "ERROR: Unable connect to source server \"127.0.0.1\". Authentication Error.\n"},
        {"empty source password", {"127.0.0.1", source.port(), login, "", true}, targetCfg,
         ImapCopyist::AuthenticationError, "ERROR: Unabled to migrate user jo@example.test. Password is empty.\n"},
        {"nothing listening", sourceCfg, {"127.0.0.1", closedPort, login, password, false},
         ImapCopyist::ConnectionError, "ERROR: Unable connect to target server \"127.0.0.1\". Connection Error.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LogStream rowLog(nullptr);
        rowLog.setMode(true, false);
        ImapCopyist copyist(row.source, row.target, rowLog);
        EXPECT_EQ(row.result, copyist.init());
        EXPECT_EQ(0, copyist.close());
        EXPECT_FALSE(copyist.source.isConnected());
        std::string text;
        rowLog.getData(text);
        EXPECT_NE(std::string::npos, text.find(row.message)) << text;
    }
}

TEST_F(ImapCopyistDovecot, AnAbortBeforeTheFirstFolderCopiesNothing)
{
    source.putMessage(login, "INBOX", corpus::header("x") + "x\r\n", "", 1167700000);
    source.index(login);
    ImapCopyist copyist(sourceCfg, targetCfg, log);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    {
        zelvo::tiny::ZMutexGuard guard(&copyist.mutex);
        copyist.aborted = true;
    }
    copyist.source.abort();
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();
    EXPECT_EQ(0u, copyist.folders);
    EXPECT_EQ(0u, copyist.messages);
    // Left behind, and counted.
    EXPECT_EQ(1u, copyist.folderErrors);
    EXPECT_EQ(1u, copyist.messageErrors);
    EXPECT_TRUE(target.messages(login, password, "INBOX").empty());
}

TEST_F(ImapCopyistDovecot, FolderNamesOfEveryFormRoundTrip)
{
    // Names the server sends as atoms, quoted strings and literals, with the
    // characters a response reader may take for structure: brackets at the
    // start and inside, the letters NIL at the start of a word and of a
    // level, braces, quotes, backslashes, blanks and non-ASCII letters.
    const std::vector<std::string> names = {
        "[Work]", "[Work]/Sub", "[x", "a]b", "x]", "NILE", "NIL", "NIL/Sub", "NIL x", "NILs/NIL",
        "{curly}", "Braces {3}", "Quotes \"and\" back\\slash", "Entw\xc3\xbcrfe/[Alt]",
    };
    std::vector<corpus::Seed> seeds;
    long n = 0;
    for (const std::string& name : names) {
        ++n;
        seeds.push_back({name, corpus::header("in " + name) + "one of " + name + "\r\n", n % 2 ? "S" : "RF",
                         1167609600 + n * 86400});
        seeds.push_back({name, corpus::header("second " + std::to_string(n)) + "two\r\n", "", 1167609600 + n * 90000});
    }
    seedSource(seeds);

    ImapCopyist copyist(sourceCfg, targetCfg, log);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(ImapCopyist::Ok, copyist.copy());
    copyist.close();

    EXPECT_EQ(std::string::npos, logText().find("ERROR")) << logText();
    EXPECT_EQ(seeds.size(), copyist.messages);
    EXPECT_EQ(names.size() + 1, copyist.folders);  // and INBOX; "NILs" is no mailbox
    EXPECT_EQ(0u, copyist.messageErrors);
    EXPECT_EQ(0u, copyist.folderErrors);
    EXPECT_EQ(source.folders(login), target.folders(login));
    for (const std::string& name : names)
        expectSameFolder(name);
}

TEST_F(ImapCopyistDovecot, ATargetWithoutLiteralPlusFailsItsLogin)
{
    // Every APPEND of the copy sends its message as a LITERAL+ literal; a
    // server that did not announce it would read the message as commands.
    target.stop();
    testsupport::writeFile(target.dir() + "/extra.conf", "imap_capability = IMAP4rev1 IDLE UIDPLUS\n");
    target.start();
    seedSource({{"INBOX", corpus::header("x") + "z1 CREATE Pwned\r\n", "S", 1167700000}});

    ImapCopyist copyist(sourceCfg, targetCfg, log);
    EXPECT_EQ(ImapCopyist::ConnectionError, copyist.init());
    copyist.close();
    EXPECT_NE(std::string::npos,
              logText().find("ERROR: Unable connect to target server \"127.0.0.1\". "
                             "The server does not support LITERAL+.\n"))
        << logText();
    EXPECT_TRUE(target.messages(login, password, "INBOX").empty());
    EXPECT_EQ(std::vector<std::string>{"INBOX"}, target.folders(login));
}

// The source changes while its folder is copied: a second IMAP session
// appends or expunges one message at a fixed point of the copier's
// conversation, held there by a relay between copier and source until the
// change is done. The bodies (40 of 200 KB) are more than the socket
// buffers between source and relay hold, so the source is still inside its
// answer while the relay holds a line of it; the test checks that it was.
struct LiveChange {
    const char* name;
    ImapRelay::Side side;
    const char* text;  // the held line is the first...
    unsigned nth;      // ... nth line from side that contains this
    unsigned expunge;  // the message number expunged; 0: one message is appended
};

void PrintTo(const LiveChange& c, std::ostream* os)
{
    *os << c.name;
}

class ImapCopyistLiveSource : public ImapCopyistDovecot, public ::testing::WithParamInterface<LiveChange> {
protected:
    static constexpr unsigned count = 40;

    void SetUp() override
    {
        ImapCopyistDovecot::SetUp();
        std::vector<corpus::Seed> seeds;
        for (unsigned n = 1; n <= count; ++n)
            seeds.push_back({"INBOX",
                             corpus::header("message " + std::to_string(n)) +
                                 corpus::text(200 * 1024, "m" + std::to_string(n)),
                             n % 3 == 0 ? "S" : n % 3 == 1 ? "RF" : "", 1167609600 + n * 3600});
        seedSource(seeds);
    }
};

TEST_P(ImapCopyistLiveSource, EveryMessageTheSourceHoldsArrivesOrIsToldAsDeleted)
{
    const LiveChange& c = GetParam();
    ImapRelay relay(source.port());
    std::string after;  // the folder's STATUS once the change is done
    relay.holdLine(c.side, c.text, c.nth, [&] {
        after = c.expunge == 0 ? source.appendOverImap(login, password, "INBOX",
                                                       corpus::header("arrived during the copy") + "new\r\n",
                                                       "\\Flagged \\Answered", "2-Feb-2007 08:00:00 +0000")
                               : source.expungeOverImap(login, password, "INBOX", c.expunge);
    });
    ConnectionConfiguration viaRelay = sourceCfg;
    viaRelay.port = relay.port();
    ImapCopyist copyist(viaRelay, targetCfg, log);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    const ImapCopyist::Result result = copyist.copy();
    copyist.close();
    ASSERT_TRUE(relay.changed());
    const unsigned now = c.expunge == 0 ? count + 1 : count - 1;
    EXPECT_EQ("INBOX (MESSAGES " + std::to_string(now) + ")", after);

    // What the source said of the change, and where: an expunged message
    // comes as a body of NIL; a change made while the source was still
    // inside its answer is told before that answer's tagged line.
    const std::vector<std::string> transcript = relay.transcript();
    long heldAt = -1;
    for (std::size_t i = 0, seen = 0; heldAt < 0 && i < transcript.size(); ++i)
        if (transcript[i].compare(0, 3, c.side == ImapRelay::FromClient ? "C: " : "S: ") == 0 &&
            transcript[i].find(c.text) != std::string::npos && ++seen == c.nth)
            heldAt = static_cast<long>(i);
    ASSERT_GE(heldAt, 0);
    const std::string told = c.expunge == 0 ? "S: * " + std::to_string(count + 1) + " EXISTS"
                                            : "S: * " + std::to_string(c.expunge) + " FETCH (BODY[] NIL)";
    const long toldAt = relay.find(told, static_cast<std::size_t>(heldAt));
    ASSERT_GE(toldAt, 0) << told;
    if (c.side == ImapRelay::FromServer) {
        auto isTagged = [](const std::string& line) {
            const std::size_t blank = line.find(' ', 3);
            return line.compare(0, 3, "S: ") == 0 && line.size() > 3 &&
                   std::isalnum(static_cast<unsigned char>(line[3])) && blank != std::string::npos &&
                   (line.compare(blank, 4, " OK ") == 0 || line.compare(blank, 4, " NO ") == 0 ||
                    line.compare(blank, 5, " BAD ") == 0);
        };
        long tagged = heldAt + 1;
        while (tagged < static_cast<long>(transcript.size()) && !isTagged(transcript[tagged]))
            ++tagged;
        ASSERT_LT(toldAt, tagged) << "the source had answered in full before the change";
    }

    EXPECT_EQ(ImapCopyist::Ok, result);
    EXPECT_EQ(now, copyist.messages);
    EXPECT_EQ(0u, copyist.messageErrors);
    EXPECT_EQ(0u, copyist.folderErrors);
    EXPECT_EQ(std::string::npos, logText().find("ERROR")) << logText();
    if (c.expunge != 0) {
        EXPECT_NE(std::string::npos,
                  logText().find("\n1 messages of folder \"INBOX\" were deleted on the source during its copy.\n"))
            << logText();
    }
    expectSameFolder("INBOX");
    if (c.expunge == 0) {
        EXPECT_EQ(std::string::npos, logText().find("were deleted")) << logText();
        const auto copied = target.messages(login, password, "INBOX");
        const Dovecot::Message arrived = withSubject(copied, "arrived during the copy");
        EXPECT_EQ((std::vector<std::string>{"\\Answered", "\\Flagged"}), arrived.flags);
        EXPECT_EQ("02-Feb-2007 08:00:00 +0000", arrived.internalDate);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ImapCopyistLiveSource,
    ::testing::Values(LiveChange{"AppendBeforeTheFirstRequest", ImapRelay::FromClient, " FETCH ", 1, 0},
                      LiveChange{"AppendBetweenTheRequests", ImapRelay::FromClient, " FETCH ", 2, 0},
                      LiveChange{"AppendWhileTheBodiesStream", ImapRelay::FromServer, "* 5 FETCH (BODY[] ", 1, 0},
                      LiveChange{"ExpungeBetweenTheRequests", ImapRelay::FromClient, " FETCH ", 2, 5},
                      LiveChange{"ExpungeWhileTheBodiesStream", ImapRelay::FromServer, "* 5 FETCH (BODY[] ", 1, 35}),
    [](const ::testing::TestParamInfo<LiveChange>& info) { return std::string(info.param.name); });

} // namespace
