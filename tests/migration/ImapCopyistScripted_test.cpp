// The mailbox copier's folder handling against scripted servers: which
// commands reach which side, and how a refused folder ends the copy.

#include "migration/ImapCopyist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

#include "foundation/net/SocketRegistry.h"
#include "imap/FetchMessage.h"
#include "migration/LogStream.h"
#include "tests/imap/ScriptedServer.h"

namespace {

using scripted::Peer;

// A server that logs in, then answers each command with what reply makes of
// it, until LOGOUT. Every command is recorded.
class Responder {
public:
    using Reply = std::function<std::string(const std::string& command, const std::string& tag)>;

    explicit Responder(Reply reply)
    {
        server.serve([this, reply](Peer& peer, int) {
            if (!peer.greetAndLogin())
                return;
            for (;;) {
                const std::string command = peer.readCommand();
                if (command.empty())
                    return;
                const std::string tag = Peer::tagOf(command);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    commands.push_back(command);
                }
                if (command.find(" LOGOUT") != std::string::npos) {
                    peer.send(tag + " OK bye\r\n");
                    return;
                }
                peer.send(reply(command, tag));
            }
        });
    }

    int port() const { return server.port(); }
    void join() { server.join(); }

    // The recorded commands that contain word, without their tags.
    std::vector<std::string> with(const std::string& word)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const std::string& c : commands)
            if (c.find(word) != std::string::npos)
                out.push_back(c.substr(c.find(' ') + 1));
        return out;
    }

private:
    std::mutex mutex;
    std::vector<std::string> commands;
    // Last, so its thread is joined before what the thread writes goes.
    scripted::Server server;
};

bool has(const std::string& command, const std::string& text)
{
    return command.find(text) != std::string::npos;
}

// The answer of a source with the given folders of count messages each to
// LIST or STATUS; empty for any other command.
std::string listingAnswer(const std::vector<std::string>& folders, const std::string& count,
                          const std::string& command, const std::string& tag)
{
    if (has(command, " LIST ")) {
        std::string out;
        for (const std::string& f : folders)
            out += "* LIST () \"/\" \"" + f + "\"\r\n";
        return out + tag + " OK done\r\n";
    }
    if (has(command, " STATUS ")) {
        const std::size_t open = command.find('"');
        const std::string name = command.substr(open, command.find('"', open + 1) - open + 1);
        return "* STATUS " + name + " (MESSAGES " + count + ")\r\n" + tag + " OK done\r\n";
    }
    return std::string();
}

// A source with the given folders of one message each; SELECT of refused
// fails.
Responder::Reply sourceWith(std::vector<std::string> folders, std::string refused = "")
{
    return [folders, refused](const std::string& command, const std::string& tag) {
        const std::string listing = listingAnswer(folders, "1", command, tag);
        if (!listing.empty())
            return listing;
        if (has(command, " SELECT "))
            return tag + (!refused.empty() && has(command, "\"" + refused + "\"") ? " NO no such folder\r\n"
                                                                                  : " OK selected\r\n");
        if (has(command, "A FETCH 1:1 (INTERNALDATE FLAGS)"))
            return std::string("* 1 FETCH (INTERNALDATE \"1-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen))\r\nA OK done\r\n");
        if (has(command, "A FETCH 1:1 (BODY.PEEK[])"))
            return std::string("* 1 FETCH (BODY[] {4}\r\nbody)\r\nA OK done\r\n");
        return tag + " BAD unexpected\r\n";
    };
}

// A target on which no folder exists until it is created; it refuses to
// create refusedCreate and to store messages in refusedAppend.
Responder::Reply emptyTarget(std::string refusedCreate = "", std::string refusedAppend = "")
{
    auto created = std::make_shared<std::vector<std::string>>();
    return [created, refusedCreate, refusedAppend](const std::string& command, const std::string& tag) {
        const std::size_t open = command.find('"');
        const std::string name =
            open == std::string::npos ? "" : command.substr(open + 1, command.find('"', open + 1) - open - 1);
        if (has(command, " SELECT ")) {
            const bool exists = std::find(created->begin(), created->end(), name) != created->end();
            return tag + (exists ? " OK selected\r\n" : " NO Mailbox doesn't exist\r\n");
        }
        if (has(command, " CREATE ")) {
            if (name == refusedCreate)
                return tag + " NO cannot\r\n";
            created->push_back(name);
            return tag + " OK created\r\n";
        }
        if (has(command, " APPEND "))
            return tag + (name == refusedAppend ? " NO [OVERQUOTA] Quota exceeded\r\n" : " OK appended\r\n");
        return tag + " BAD unexpected\r\n";
    };
}

class ImapCopyistScripted : public ::testing::Test {
protected:
    ImapCopyistScripted() : log(nullptr) { log.setMode(true, false); }

    ConnectionConfiguration at(int port, bool cram) { return {"127.0.0.1", port, "jo@example.test", "pw", cram}; }

    std::string logText()
    {
        std::string s;
        log.getData(s);
        text += s;
        return text;
    }

    // Logs both sides in, copies every folder, logs out and waits for both
    // servers to finish; the copy's result.
    ImapCopyist::Result copyAll(ImapCopyist& copyist, Responder& source, Responder& target)
    {
        EXPECT_EQ(ImapCopyist::Ok, copyist.init());
        const ImapCopyist::Result result = copyist.copy();
        copyist.close();
        source.join();
        target.join();
        return result;
    }

    LogStream log;
    std::string text;
};

TEST_F(ImapCopyistScripted, AFolderThatCannotBeSelectedEndsTheCopy)
{
    Responder source(sourceWith({"One", "Two", "Three"}, "Two"));
    Responder target(emptyTarget());
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
    EXPECT_EQ(ImapCopyist::FolderFailed, copyAll(copyist, source, target));
    EXPECT_EQ(1u, copyist.folders);
    // Two and the Three never started count as failed, with their messages.
    EXPECT_EQ(2u, copyist.folderErrors);
    EXPECT_EQ(1u, copyist.messages);
    EXPECT_EQ(2u, copyist.messageErrors);
    EXPECT_EQ((std::vector<std::string>{"SELECT \"One\"\r\n", "SELECT \"Two\"\r\n"}), source.with("SELECT"));
    EXPECT_NE(std::string::npos, logText().find("ERROR: I am not able select source folder \"Two\".\n"));
}

// The listing's trace in debug mode, and its failure lines: a STATUS the
// source refuses fails the listing, and nothing is copied.
TEST_F(ImapCopyistScripted, ListingLinesWordForWord)
{
    struct Case {
        const char* name;
        bool refuseStatus;
        ImapCopyist::Result result;
        const char* debug;  // standard error
        const char* log;    // the console log, quiet: only errors
    } cases[] = {
        {"listed", false, ImapCopyist::Ok,
         "DEBUG: Loading folder ingformations ... DEBUG: OK\nDEBUG:  One [1 messages]\nDEBUG:  Two [1 messages]\n", ""},
        {"status refused", true, ImapCopyist::FolderFailed, "DEBUG: Loading folder ingformations ... DEBUG: Failed\n",
         "ERROR: I am not able read folder informations\n\nERROR: Unable list source folders\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Responder::Reply listing = sourceWith({"One", "Two"});
        const bool refuse = c.refuseStatus;
        Responder source([listing, refuse](const std::string& command, const std::string& tag) {
            return refuse && has(command, " STATUS ") ? tag + " NO cannot\r\n" : listing(command, tag);
        });
        Responder target(emptyTarget());
        LogStream quiet(nullptr);
        quiet.setMode(false, true);
        ImapCopyist copyist(at(source.port(), false), at(target.port(), false), quiet);
        std::ostringstream errors;
        std::streambuf* saved = std::cerr.rdbuf(errors.rdbuf());
        const ImapCopyist::Result result = copyAll(copyist, source, target);
        std::cerr.rdbuf(saved);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.debug, errors.str());
        std::string logged;
        quiet.getData(logged);
        EXPECT_EQ(std::string(c.log), logged);
    }
}

// A source that sends a name with a blank unquoted in its STATUS answer
// still gives the folder's count: the folder is copied, not passed as empty.
TEST_F(ImapCopyistScripted, AnUnquotedNameInTheStatusAnswerKeepsTheCount)
{
    Responder source([](const std::string& command, const std::string& tag) {
        if (has(command, " LIST "))
            return "* LIST () \"/\" \"Sent Messages\"\r\n" + tag + " OK done\r\n";
        if (has(command, " STATUS "))
            return "* STATUS Sent Messages (MESSAGES 11)\r\n" + tag + " OK done\r\n";
        if (has(command, " SELECT "))
            return "* 11 EXISTS\r\n" + tag + " OK selected\r\n";
        // Every request for dates and flags or for bodies is answered for
        // all eleven messages.
        std::string out;
        for (int n = 1; n <= 11 && has(command, "A FETCH "); ++n) {
            if (has(command, "(INTERNALDATE FLAGS)"))
                out += "* " + std::to_string(n) + " FETCH (INTERNALDATE \"1-Jan-2024 00:00:00 +0000\" FLAGS ())\r\n";
            else if (has(command, "(BODY.PEEK[])"))
                out += "* " + std::to_string(n) + " FETCH (BODY[] {4}\r\nbody)\r\n";
        }
        return out.empty() ? tag + " BAD unexpected\r\n" : out + "A OK done\r\n";
    });
    Responder target(emptyTarget());
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
    EXPECT_EQ(ImapCopyist::Ok, copyAll(copyist, source, target));
    EXPECT_EQ(1u, copyist.folders);
    EXPECT_EQ(11u, copyist.messages);
    EXPECT_EQ(0u, copyist.messageErrors);
    EXPECT_EQ(11u, target.with("APPEND").size());
    EXPECT_NE(std::string::npos, logText().find("Copying folder \"Sent Messages\" (11 messages) ... "));
}

// A listing that fails still accounts for what it listed: every listed
// folder counts as failed, with the messages counted before the failure.
TEST_F(ImapCopyistScripted, AFailedListingCountsWhatItListed)
{
    struct Case {
        const char* name;
        const char* refused; // the command the source refuses
        std::vector<std::string> folders;
        unsigned messageErrors;
    } cases[] = {
        {"LIST refused", " LIST ", {}, 0},
        {"STATUS of the second folder refused", " STATUS \"Two\"", {"One", "Two", "Three"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Responder::Reply listing = sourceWith({"One", "Two", "Three"});
        const std::string refused = c.refused;
        Responder source([listing, refused](const std::string& command, const std::string& tag) {
            return has(command, refused) ? tag + " NO cannot\r\n" : listing(command, tag);
        });
        Responder target(emptyTarget());
        ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
        EXPECT_EQ(ImapCopyist::FolderFailed, copyAll(copyist, source, target));
        const ImapCopyist::Outcome outcome = copyist.outcome();
        EXPECT_FALSE(outcome.listed);
        EXPECT_FALSE(outcome.complete());
        std::vector<std::string> names;
        for (const FolderOutcome& f : outcome.folders) {
            names.push_back(f.name);
            EXPECT_EQ(FolderOutcome::Failed, f.state) << f.name;
        }
        EXPECT_EQ(c.folders, names);
        EXPECT_EQ(0u, copyist.folders);
        EXPECT_EQ(0u, copyist.messages);
        EXPECT_EQ(c.folders.size(), copyist.folderErrors);
        EXPECT_EQ(c.messageErrors, copyist.messageErrors);
        EXPECT_TRUE(source.with("SELECT").empty());
    }
}

// A message that does not arrive fails its folder, whose line ends with
// that and with how many of its messages arrived; the copy goes on with the
// next folder, and the mailbox is not complete.
TEST_F(ImapCopyistScripted, AFolderWithAMessageThatDidNotArriveFails)
{
    Responder source(sourceWith({"One", "Two", "Three"}));
    Responder target(emptyTarget("", "Two"));
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
    EXPECT_EQ(ImapCopyist::Ok, copyAll(copyist, source, target));
    EXPECT_EQ(2u, copyist.folders);
    EXPECT_EQ(1u, copyist.folderErrors);
    EXPECT_EQ(2u, copyist.messages);
    EXPECT_EQ(1u, copyist.messageErrors);
    const ImapCopyist::Outcome outcome = copyist.outcome();
    ASSERT_EQ(3u, outcome.folders.size());
    EXPECT_EQ(FolderOutcome::Copied, outcome.folders[0].state);
    EXPECT_EQ(FolderOutcome::Failed, outcome.folders[1].state);
    EXPECT_EQ(0u, outcome.folders[1].copied);
    EXPECT_EQ(1u, outcome.folders[1].failed);
    EXPECT_EQ(FolderOutcome::Copied, outcome.folders[2].state);
    EXPECT_TRUE(outcome.listed);
    EXPECT_FALSE(outcome.complete());
    EXPECT_EQ(1u, target.with("APPEND \"Three\"").size());
    const std::string logged = logText();
    const std::size_t two = logged.find("Copying folder \"Two\" (1 messages) ... ");
    const std::size_t ending = logged.find("\nERROR: I am not able upload messages to target folder \"Two\".\n\n"
                                           "Copying folder \"Two\" ... Failed (0 of 1 messages copied)\n");
    const std::size_t three = logged.find("Copying folder \"Three\" (1 messages) ... ");
    EXPECT_LT(two, ending) << logged;
    EXPECT_LT(ending, three) << logged;
    EXPECT_NE(std::string::npos, logged.find("OK\n", three)) << logged;
}

TEST_F(ImapCopyistScripted, AHierarchyNameIsCreatedWithOneCreateOfExactlyThatName)
{
    Responder source(sourceWith({"Archive/2007"}));
    Responder target(emptyTarget());
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
    EXPECT_EQ(ImapCopyist::Ok, copyAll(copyist, source, target));
    EXPECT_EQ((std::vector<std::string>{"CREATE \"Archive/2007\"\r\n"}), target.with("CREATE"));
    // Selected again once it exists, so the messages go into an open folder.
    EXPECT_EQ((std::vector<std::string>{"SELECT \"Archive/2007\"\r\n", "SELECT \"Archive/2007\"\r\n"}),
              target.with("SELECT"));
    const auto appends = target.with("APPEND");
    ASSERT_EQ(1u, appends.size());
    EXPECT_EQ("APPEND \"Archive/2007\" (\\Seen) \"1-Jan-2024 00:00:00 +0000\" {4+}\r\nbody\r\n", appends[0]);
    EXPECT_EQ(1u, copyist.messages);
    EXPECT_EQ(1u, copyist.folders);
}

TEST_F(ImapCopyistScripted, ARefusedCreateEndsTheCopyWithAFolderError)
{
    Responder source(sourceWith({"Kept", "Refused", "Never"}));
    Responder target(emptyTarget("Refused"));
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
    EXPECT_EQ(ImapCopyist::FolderFailed, copyAll(copyist, source, target));
    EXPECT_EQ(1u, copyist.folders);
    EXPECT_EQ(2u, copyist.folderErrors);  // Refused, and Never left behind
    EXPECT_NE(std::string::npos, logText().find("ERROR: I am not able create target folder \"Refused\".\n"));
    EXPECT_TRUE(target.with("\"Never\"").empty());
}

// Once an interrupt has cut the connections (the sockets of the registry
// shut down), what fails after it is the cut's doing: no line blames a
// server, and a folder whose copy was cut ends its line with its result.
TEST_F(ImapCopyistScripted, ACutConnectionBlamesNoServer)
{
    struct Case {
        const char* name;
        bool onTarget;
        const char* word;  // the command the cut comes with; empty: before the logins
        ImapCopyist::Result init;
        ImapCopyist::Result copy;
        unsigned folderErrors;
        unsigned messageErrors;
        const char* ending;  // how the line of folder One ends, or empty
    } cases[] = {
        {"before the logins", false, "", ImapCopyist::ConnectionError, ImapCopyist::Ok, 0, 0, ""},
        {"source LIST", false, " LIST ", ImapCopyist::Ok, ImapCopyist::FolderFailed, 0, 0, ""},
        {"source STATUS", false, " STATUS ", ImapCopyist::Ok, ImapCopyist::FolderFailed, 2, 0, ""},
        {"source SELECT", false, " SELECT ", ImapCopyist::Ok, ImapCopyist::ConnectionError, 2, 2,
         "Copying folder \"One\" (1 messages) ... Failed (aborted after 0 of 1 messages)\n"},
        {"target CREATE", true, " CREATE ", ImapCopyist::Ok, ImapCopyist::ConnectionError, 2, 2,
         "Copying folder \"One\" (1 messages) ... Failed (aborted after 0 of 1 messages)\n"},
        {"source FETCH", false, "A FETCH", ImapCopyist::Ok, ImapCopyist::Ok, 2, 2,
         "Failed (aborted after 0 of 1 messages)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zelvo::utils::SocketRegistry registry;
        ImapCopyist* victim = nullptr;
        // What the second interrupt does: the abort, then the cut.
        auto cut = [&registry, &victim] {
            {
                zelvo::tiny::ZMutexGuard guard(&victim->mutex);
                victim->aborted = true;
            }
            victim->source.abort();
            registry.shutdownAll();
        };
        auto cutting = [cut, &c](Responder::Reply reply, bool side) -> Responder::Reply {
            return [cut, reply, side, &c](const std::string& command, const std::string& tag) {
                if (side == c.onTarget && *c.word != '\0' && has(command, c.word))
                    cut();
                return reply(command, tag);
            };
        };
        // Cut before the logins, the copier must not even connect: no server
        // waits for it (port 1 would refuse, with the same lines).
        std::unique_ptr<Responder> source, target;
        if (*c.word != '\0') {
            source.reset(new Responder(cutting(sourceWith({"One", "Two"}), false)));
            target.reset(new Responder(cutting(emptyTarget(), true)));
        }
        LogStream console(nullptr);
        ImapCopyist copyist(at(source ? source->port() : 1, false), at(target ? target->port() : 1, false), console);
        victim = &copyist;
        copyist.setSocketRegistry(&registry);
        if (!source)
            cut();
        ASSERT_EQ(c.init, copyist.init());
        if (c.init == ImapCopyist::Ok) {
            EXPECT_EQ(c.copy, copyist.copy());
        }
        copyist.close();
        if (source) {
            source->join();
            target->join();
        }
        EXPECT_EQ(0u, copyist.folders);
        EXPECT_EQ(c.folderErrors, copyist.folderErrors);
        EXPECT_EQ(c.messageErrors, copyist.messageErrors);
        std::string logged;
        console.getData(logged);
        EXPECT_EQ(std::string::npos, logged.find("ERROR: ")) << logged;
        if (*c.ending != '\0') {
            EXPECT_NE(std::string::npos, logged.find(c.ending)) << logged;
        }
    }
}

TEST_F(ImapCopyistScripted, TheTargetLoginRefusedStillLogsTheSourceOut)
{
    Responder source(sourceWith({}));
    scripted::Server target;
    target.serve([](Peer& peer, int) {
        peer.send("* OK ready\r\n");
        const std::string login = peer.readCommand();
        peer.send(Peer::tagOf(login) + " NO [AUTHENTICATIONFAILED] no\r\n");
        peer.readLine();
    });
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
    EXPECT_EQ(ImapCopyist::AuthenticationError, copyist.init());
    EXPECT_EQ(0, copyist.close());
    source.join();
    target.join();
    EXPECT_EQ(1u, source.with("LOGOUT").size());
    EXPECT_NE(std::string::npos,
              logText().find("ERROR: Unable connect to target server \"127.0.0.1\". Authentication Error.\n"));
}

TEST_F(ImapCopyistScripted, CreateFolderWithRootFoldersCreatesEachMissingLevel)
{
    Responder target(emptyTarget("x/refused"));
    ImapCopyist copyist(at(target.port(), false), at(target.port(), false), log);
    ASSERT_EQ(SimpleImapClient::ImapClientResult::Ok,
              copyist.target.connect("127.0.0.1", target.port(), "jo", "pw", false));
    EXPECT_EQ(0, copyist.createFolderWithRootFolders(copyist.target, "a/b/c"));
    EXPECT_EQ(0, copyist.createFolderWithRootFolders(copyist.target, "a/b/d"));
    EXPECT_EQ(1, copyist.createFolderWithRootFolders(copyist.target, "x/refused/y"));
    EXPECT_EQ(0, copyist.selectFolder(copyist.target, "a/b"));
    EXPECT_EQ(1, copyist.selectFolder(copyist.target, "nowhere"));
    copyist.close();
    target.join();
    EXPECT_EQ((std::vector<std::string>{"CREATE \"a\"\r\n", "CREATE \"a/b\"\r\n", "CREATE \"a/b/c\"\r\n",
                                        "CREATE \"a/b/d\"\r\n", "CREATE \"x\"\r\n", "CREATE \"x/refused\"\r\n"}),
              target.with("CREATE"));
}

TEST_F(ImapCopyistScripted, CopyMessageFetchesOneMessageAndAppendsIt)
{
    Responder source([](const std::string& command, const std::string& tag) {
        if (has(command, "FETCH 9 "))
            return tag + " NO no such message\r\n";
        if (has(command, "(INTERNALDATE FLAGS)"))
            return "* 4 FETCH (FLAGS (\\Answered) INTERNALDATE \"2-Feb-2007 08:00:00 +0100\")\r\n" + tag + " OK done\r\n";
        if (has(command, "BODY.PEEK[]"))
            return "* 4 FETCH (BODY[] {5}\r\nhello)\r\n" + tag + " OK done\r\n";
        return tag + " OK done\r\n";
    });
    Responder target(emptyTarget());
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), log);
    ASSERT_EQ(ImapCopyist::Ok, copyist.init());
    EXPECT_EQ(0, copyist.copyMessage(copyist.source, 4, copyist.target, "Sent"));
    EXPECT_EQ(1, copyist.copyMessage(copyist.source, 9, copyist.target, "Sent"));
    copyist.close();
    source.join();
    target.join();
    EXPECT_EQ((std::vector<std::string>{"APPEND \"Sent\" (\\Answered) \"2-Feb-2007 08:00:00 +0100\" {5+}\r\nhello\r\n"}),
              target.with("APPEND"));
    EXPECT_NE(std::string::npos,
              logText().find("ERROR: I am not able download message (id = 9) from source folder \"Sent\".\n"));
}

TEST_F(ImapCopyistScripted, ServerStringsNameTheCopiersOwnSides)
{
    ConnectionConfiguration a = at(1, true);
    ConnectionConfiguration b = at(2, false);
    ImapCopyist copyist(a, b, log);
    SimpleImapClient other;
    EXPECT_EQ("source ", copyist.getServerString(copyist.source));
    EXPECT_EQ("target ", copyist.getServerString(copyist.target));
    EXPECT_EQ("", copyist.getServerString(other));
    EXPECT_EQ("source ", copyist.getServerString(copyist.sourceCfg));
    EXPECT_EQ("target ", copyist.getServerString(copyist.targetCfg));
    EXPECT_EQ("", copyist.getServerString(a));
}

// One folder "INBOX" whose STATUS and SELECT answers are given, and whose
// answers to the dates-and-flags and body requests are items and bodies
// (each followed by the tagged OK unless it ends in a tagged line itself).
Responder::Reply oneFolder(std::string status, std::string select, std::string items, std::string bodies)
{
    auto withEnd = [](const std::string& response) {
        return response.find("\nA ") != std::string::npos || response.compare(0, 2, "A ") == 0
                   ? response
                   : response + "A OK done\r\n";
    };
    items = withEnd(items);
    bodies = withEnd(bodies);
    return [=](const std::string& command, const std::string& tag) {
        if (has(command, " LIST "))
            return "* LIST () \"/\" INBOX\r\n" + tag + " OK done\r\n";
        if (has(command, " STATUS "))
            return status + tag + " OK done\r\n";
        if (has(command, " SELECT "))
            return select + tag + " OK [READ-WRITE] selected\r\n";
        if (has(command, "A FETCH ") && has(command, "(INTERNALDATE FLAGS)"))
            return items;
        if (has(command, "A FETCH ") && has(command, "(BODY.PEEK[])"))
            return bodies;
        return tag + " BAD unexpected\r\n";
    };
}

std::string itemsOf(unsigned n)
{
    return "* " + std::to_string(n) + " FETCH (INTERNALDATE \"1-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen))\r\n";
}

std::string bodyOf(unsigned n)
{
    return "* " + std::to_string(n) + " FETCH (BODY[] {4}\r\nbody)\r\n";
}

// The copy works from the count SELECT reports when the folder's copy
// begins; the listing's STATUS count is only shown.
TEST_F(ImapCopyistScripted, TheCopyExpectsWhatSelectReports)
{
    struct Case {
        const char* name;
        const char* status;
        const char* select;
        unsigned messages;
        unsigned messageErrors;
        const char* line;  // in the log
    } cases[] = {
        {"a message delivered after the listing", "* STATUS INBOX (MESSAGES 0)\r\n", "* 1 EXISTS\r\n", 1, 0,
         "Copying folder \"INBOX\" (0 messages) ... "},
        {"a message deleted after the listing", "* STATUS INBOX (MESSAGES 2)\r\n", "* 1 EXISTS\r\n", 1, 0,
         "Copying folder \"INBOX\" (2 messages) ... "},
        {"a count above 2^31 in the listing", "* STATUS INBOX (MESSAGES 3000000000)\r\n", "* 1 EXISTS\r\n", 1, 0,
         "Copying folder \"INBOX\" (3000000000 messages) ... "},
        {"a SELECT without EXISTS", "* STATUS INBOX (MESSAGES 1)\r\n", "", 1, 0,
         "Copying folder \"INBOX\" (1 messages) ... "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Responder source(oneFolder(c.status, c.select, itemsOf(1), bodyOf(1)));
        Responder target(emptyTarget());
        LogStream out(nullptr);
        ImapCopyist copyist(at(source.port(), false), at(target.port(), false), out);
        EXPECT_EQ(ImapCopyist::Ok, copyAll(copyist, source, target));
        EXPECT_EQ(c.messages, copyist.messages);
        EXPECT_EQ(c.messageErrors, copyist.messageErrors);
        std::string logged;
        out.getData(logged);
        EXPECT_NE(std::string::npos, logged.find(c.line)) << logged;
        EXPECT_EQ(std::string::npos, logged.find("ERROR")) << logged;
    }
}

// Each failure is told on the side it happened: only a refused or broken
// APPEND blames the target. Mail deleted on the source meanwhile is told
// apart, in a line that is no error.
TEST_F(ImapCopyistScripted, EachFailureNamesItsSide)
{
    const std::string upload = "ERROR: I am not able upload messages to target folder \"INBOX\".\n";
    const std::string download = "ERROR: I am not able download messages from source folder \"INBOX\".\n";
    struct Case {
        const char* name;
        std::string items;
        std::string bodies;
        bool refuseAppend;
        unsigned messages;
        unsigned messageErrors;
        std::string line;  // the only line beyond the folder's
    } cases[] = {
        {"a message that came without flags", itemsOf(1), bodyOf(1) + bodyOf(2), false, 1, 1, download},
        {"a NIL body", itemsOf(1) + itemsOf(2), bodyOf(1) + "* 2 FETCH (BODY[] NIL)\r\n", false, 1, 1, download},
        {"a body that never came", itemsOf(1) + itemsOf(2), bodyOf(1), false, 1, 1, download},
        {"a number beyond the folder", itemsOf(1) + itemsOf(2), bodyOf(1) + bodyOf(2) + bodyOf(7), false, 2, 1,
         download},
        {"a message over the literal limit", itemsOf(1) + itemsOf(2), bodyOf(1) + "* 2 FETCH (BODY[] {2147483648}\r\n",
         false, 1, 1, download},
        {"a refused APPEND", itemsOf(1) + itemsOf(2), bodyOf(1) + bodyOf(2), true, 1, 1, upload},
        {"a message deleted on the source", itemsOf(1) + itemsOf(2),
         bodyOf(1) + "* 2 FETCH (BODY[] NIL)\r\nA OK [EXPUNGEISSUED] Some messages were expunged\r\n", false, 1, 0,
         "1 messages of folder \"INBOX\" were deleted on the source during its copy.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Responder source(oneFolder("* STATUS INBOX (MESSAGES 2)\r\n", "* 2 EXISTS\r\n", c.items, c.bodies));
        const Responder::Reply plain = emptyTarget();
        auto appends = std::make_shared<unsigned>(0);
        const bool refuse = c.refuseAppend;
        Responder target([plain, refuse, appends](const std::string& command, const std::string& tag) {
            if (has(command, " APPEND ") && refuse && ++*appends == 2)
                return tag + " NO [OVERQUOTA] Quota exceeded\r\n";
            return plain(command, tag);
        });
        LogStream out(nullptr);
        ImapCopyist copyist(at(source.port(), false), at(target.port(), false), out);
        copyAll(copyist, source, target);
        EXPECT_EQ(c.messages, copyist.messages);
        EXPECT_EQ(c.messageErrors, copyist.messageErrors);
        std::string logged;
        out.getData(logged);
        EXPECT_NE(std::string::npos, logged.find(c.line)) << logged;
        for (const std::string& other : {upload, download}) {
            if (other != c.line) {
                EXPECT_EQ(std::string::npos, logged.find(other)) << logged;
            }
        }
    }
}

TEST_F(ImapCopyistScripted, TheDebugLogTellsWhyTheSourceWasDropped)
{
    Responder source(oneFolder("* STATUS INBOX (MESSAGES 2)\r\n", "* 2 EXISTS\r\n", itemsOf(1) + itemsOf(2),
                               bodyOf(1) + "* 2 FETCH (BODY[] {2147483648}\r\n"));
    Responder target(emptyTarget());
    LogStream out(nullptr);
    out.setMode(false, true);
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), out);
    std::ostringstream errors;
    std::streambuf* saved = std::cerr.rdbuf(errors.rdbuf());
    copyAll(copyist, source, target);
    std::cerr.rdbuf(saved);
    EXPECT_NE(std::string::npos, errors.str().find("DEBUG: The copy of folder \"INBOX\" dropped the source "
                                                   "connection: a FETCH response that cannot be read\n"))
        << errors.str();
}

} // namespace

namespace {

std::string itemsFrom(unsigned first, unsigned last)
{
    std::string out;
    for (unsigned n = first; n <= last; ++n)
        out += itemsOf(n);
    return out;
}

std::string bodiesFrom(unsigned first, unsigned last)
{
    std::string out;
    for (unsigned n = first; n <= last; ++n)
        out += bodyOf(n);
    return out;
}

// Folders whose STATUS and SELECT both report count, whose FETCH requests
// are answered from fetches by what follows "A FETCH " ("1:2 (BODY.PEEK[])"),
// each answer ended by "A OK"; a request not in fetches gets only that.
// onFetch sees every request first.
Responder::Reply folders(std::vector<std::string> names, std::string count,
                         std::map<std::string, std::string> fetches,
                         std::function<void(const std::string&)> onFetch = nullptr)
{
    return [=](const std::string& command, const std::string& tag) {
        const std::string listing = listingAnswer(names, count, command, tag);
        if (!listing.empty())
            return listing;
        if (has(command, " SELECT "))
            return "* " + count + " EXISTS\r\n" + tag + " OK [READ-WRITE] selected\r\n";
        if (command.compare(0, 8, "A FETCH ") == 0) {
            const std::string request = command.substr(8, command.find("\r\n") - 8);
            if (onFetch)
                onFetch(request);
            const auto answer = fetches.find(request);
            return (answer == fetches.end() ? std::string() : answer->second) + "A OK done\r\n";
        }
        return tag + " BAD unexpected\r\n";
    };
}

} // namespace

// A folder's line and outcome count against every message the source
// announced during its copy, less those it deleted: mail that arrives while
// the folder is copied and is left undone fails it, also when an interrupt
// left it undone, which cuts the folder.
TEST_F(ImapCopyistScripted, TheFolderCountsEveryMessageTheSourceAnnounced)
{
    const std::string items = "(INTERNALDATE FLAGS)";
    const std::string bodies = "(BODY.PEEK[])";
    struct Case {
        const char* name;
        const char* count; // STATUS and SELECT
        std::map<std::string, std::string> fetches;
        std::string abortAt; // the request the interrupt comes with, or empty
        const char* ending;  // of the folder's line
        FolderOutcome::State state;
        unsigned long long copied, failed, deleted;
    } cases[] = {
        {"an interrupt while the first body streams, a second message announced",
         "1",
         {{"1:1 " + items, itemsOf(1)}, {"1:1 " + bodies, "* 2 EXISTS\r\n" + bodyOf(1)}},
         "1:1 " + bodies,
         "Failed (aborted after 1 of 2 messages)\n",
         FolderOutcome::Cut,
         1, 1, 0},
        {"an interrupt after growth and a deletion",
         "3",
         {{"1:3 " + items, itemsFrom(1, 3)}, {"1:3 " + bodies, "* 3 EXPUNGE\r\n* 4 EXISTS\r\n" + bodyOf(1)}},
         "1:3 " + bodies,
         "Failed (aborted after 1 of 4 messages)\n",
         FolderOutcome::Cut,
         1, 3, 1},
        {"an interrupt during the last message announced",
         "1",
         {{"1:1 " + items, itemsOf(1)}, {"1:1 " + bodies, bodyOf(1)}},
         "1:1 " + bodies,
         "OK\n",
         FolderOutcome::Copied,
         1, 0, 0},
        {"a body announced during the copy that never came",
         "1",
         {{"1:1 " + items, itemsOf(1)}, {"1:1 " + bodies, "* 2 EXISTS\r\n" + bodyOf(1)}, {"2:2 " + items, itemsOf(2)}},
         "",
         "Failed (1 of 2 messages copied)\n",
         FolderOutcome::Failed,
         1, 1, 0},
        {"a folder that grows from 40 to 49, of which 48 arrive",
         "40",
         {{"1:40 " + items, itemsFrom(1, 40)},
          {"1:40 " + bodies, "* 49 EXISTS\r\n" + bodiesFrom(1, 40)},
          {"41:49 " + items, itemsFrom(41, 49)},
          {"41:49 " + bodies, bodiesFrom(41, 48)}},
         "",
         "Failed (48 of 49 messages copied)\n",
         FolderOutcome::Failed,
         48, 1, 0},
        {"a message deleted and one that never came",
         "3",
         {{"1:3 " + items, itemsFrom(1, 3)}, {"1:3 " + bodies, "* 3 EXPUNGE\r\n" + bodyOf(1)}},
         "",
         "Failed (1 of 2 messages copied)\n",
         FolderOutcome::Failed,
         1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImapCopyist* victim = nullptr;
        const std::string abortAt = c.abortAt;
        Responder source(folders({"INBOX"}, c.count, c.fetches, [&victim, abortAt](const std::string& request) {
            if (request == abortAt)
                victim->abort();
        }));
        Responder target(emptyTarget());
        LogStream out(nullptr);
        ImapCopyist copyist(at(source.port(), false), at(target.port(), false), out);
        victim = &copyist;
        EXPECT_EQ(ImapCopyist::Ok, copyAll(copyist, source, target));
        const ImapCopyist::Outcome outcome = copyist.outcome();
        ASSERT_EQ(1u, outcome.folders.size());
        const FolderOutcome& folder = outcome.folders[0];
        EXPECT_EQ(c.state, folder.state);
        EXPECT_EQ(c.copied, folder.copied);
        EXPECT_EQ(c.failed, folder.failed);
        EXPECT_EQ(c.deleted, folder.deleted);
        EXPECT_EQ(c.copied, target.with("APPEND").size());
        std::string logged;
        out.getData(logged);
        const std::size_t begin = logged.find("Copying folder \"INBOX\" (" + std::string(c.count) + " messages) ... ");
        EXPECT_NE(std::string::npos, begin) << logged;
        EXPECT_NE(std::string::npos, logged.find(c.ending, begin)) << logged;
        const std::string deletedLine = std::to_string(c.deleted) + " messages of folder \"INBOX\" were deleted";
        EXPECT_EQ(c.deleted > 0, logged.find(deletedLine) != std::string::npos) << logged;
    }
}

// Counts past 2^32 (a source that claims more messages than it has) are
// kept whole, in each folder and in their sums.
TEST_F(ImapCopyistScripted, CountsPastTwoToThe32DoNotWrap)
{
    Responder source(folders({"One", "Two"}, "3000000000",
                             {{"1:3000000000 (INTERNALDATE FLAGS)", itemsOf(1)},
                              {"1:3000000000 (BODY.PEEK[])", bodyOf(1)}}));
    Responder target(emptyTarget());
    LogStream out(nullptr);
    ImapCopyist copyist(at(source.port(), false), at(target.port(), false), out);
    EXPECT_EQ(ImapCopyist::Ok, copyAll(copyist, source, target));
    const ImapCopyist::Outcome outcome = copyist.outcome();
    EXPECT_EQ(2u, outcome.messagesCopied());
    EXPECT_EQ(5999999998ull, outcome.messagesFailed());
    EXPECT_EQ(2u, copyist.messages);
    EXPECT_EQ(5999999998ull, copyist.messageErrors);
    EXPECT_EQ(2u, copyist.folderErrors);
    std::string logged;
    out.getData(logged);
    for (const char* name : {"One", "Two"}) {
        EXPECT_NE(std::string::npos, logged.find(std::string("Copying folder \"") + name +
                                                 "\" ... Failed (1 of 3000000000 messages copied)\n"))
            << logged;
    }
}
