// The driver's lines for every failure it reports, word for word, through
// the built 4d2zev: the stand-in's knobs refuse chosen statements or hold the
// preparation while the post-office file changes between the check and the
// migration, and a scripted source fails its listing or its connection.
#include "tests/imap/ScriptedServer.h"
#include "tests/migration/e2e/MigrationEnv.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

using e2e::contains;
using e2e::MigrationEnv;
using e2e::waitForOutput;
using testsupport::readFile;
using testsupport::shellQuote;

namespace {

const std::string kGolden = testsupport::sourcePath("tests/migration/e2e/golden");
const std::vector<e2e::Account> kAccounts = {
    {"anna@acme.test", "anna-pw"}, {"ben@acme.test", "ben pw"}, {"cleo@beta.test", "cleo&pw"}};

const std::string kRestored = "Restoring Zelvo MailServer IMAP service configuration ... OK\n";

std::string summary(unsigned long long domainsOk, unsigned long long domainsFailed, unsigned long long usersOk,
                    unsigned long long usersFailed, unsigned long long foldersOk, unsigned long long foldersFailed,
                    unsigned long long messagesOk, unsigned long long messagesFailed) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "\nMigration summary:\nSuccesses:             Errors:\n%6llu Domains         %6llu Domains\n"
                  "%6llu Users           %6llu Users\n%6llu Folders         %6llu Folders\n"
                  "%6llu Messages        %6llu Messages\n\n",
                  domainsOk, domainsFailed, usersOk, usersFailed, foldersOk, foldersFailed, messagesOk,
                  messagesFailed);
    return text;
}

// A source server for every connection of a run (the probe, then one per
// user): greets as the old server, takes any CRAM-MD5 answer, and answers
// each further command with answer(command, tag); after "* BYE" it closes.
class ScriptedSource {
public:
    using Answer = std::function<std::string(const std::string& command, const std::string& tag)>;
    ScriptedSource(Answer answer, int connections) {
        server.serve(
            [answer](scripted::Peer& peer, int) {
                if (!peer.send("* OK 4D Mail IMAP ready\r\n")) return;
                for (;;) {
                    const std::string command = peer.readCommand();
                    if (command.empty()) return;
                    const std::string tag = scripted::Peer::tagOf(command);
                    if (contains(command, " AUTHENTICATE ")) {
                        peer.send("+ PDEuMUBzb3VyY2U+\r\n");
                        peer.readLine();
                        peer.send(tag + " OK logged in\r\n");
                        continue;
                    }
                    if (contains(command, " LOGOUT")) {
                        peer.send("* BYE bye\r\n" + tag + " OK done\r\n");
                        return;
                    }
                    const std::string reply = answer(command, tag);
                    if (!peer.send(reply) || reply.rfind("* BYE", 0) == 0) return;
                }
            },
            connections);
    }
    int port() const { return server.port(); }

private:
    scripted::Server server;
};

// One folder "INBOX" of one message; SELECT is answered with BYE.
std::string byeAtSelect(const std::string& command, const std::string& tag) {
    if (contains(command, " LIST ")) return "* LIST () \"/\" \"INBOX\"\r\n" + tag + " OK done\r\n";
    if (contains(command, " STATUS ")) return "* STATUS \"INBOX\" (MESSAGES 1)\r\n" + tag + " OK done\r\n";
    if (contains(command, " SELECT ")) return "* BYE going away\r\n";
    return tag + " OK done\r\n";
}

// Three folders of one message each; SELECT of the first is refused.
std::string firstFolderRefused(const std::string& command, const std::string& tag) {
    if (contains(command, " LIST "))
        return "* LIST () \"/\" \"One\"\r\n* LIST () \"/\" \"Two\"\r\n* LIST () \"/\" \"Three\"\r\n" + tag +
               " OK done\r\n";
    if (contains(command, " STATUS ")) {
        const size_t open = command.find('"');
        return "* STATUS " + command.substr(open, command.find('"', open + 1) - open + 1) + " (MESSAGES 1)\r\n" + tag +
               " OK done\r\n";
    }
    if (contains(command, " SELECT \"One\"")) return tag + " NO cannot open\r\n";
    return tag + " OK done\r\n";
}

// Folders "One" and "Two" of one message each; the body of the message in
// Two cannot be fetched.
ScriptedSource::Answer bodyRefusedInTwo() {
    auto selected = std::make_shared<std::string>();
    return [selected](const std::string& command, const std::string& tag) -> std::string {
        if (contains(command, " LIST ")) return "* LIST () \"/\" \"One\"\r\n* LIST () \"/\" \"Two\"\r\n" + tag + " OK done\r\n";
        if (contains(command, " STATUS ")) {
            const size_t open = command.find('"');
            return "* STATUS " + command.substr(open, command.find('"', open + 1) - open + 1) + " (MESSAGES 1)\r\n" +
                   tag + " OK done\r\n";
        }
        if (contains(command, " SELECT ")) {
            *selected = contains(command, "\"Two\"") ? "Two" : "One";
            return tag + " OK selected\r\n";
        }
        if (contains(command, "A FETCH 1:1 (INTERNALDATE FLAGS)"))
            return "* 1 FETCH (INTERNALDATE \"1-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen))\r\nA OK done\r\n";
        if (contains(command, "A FETCH 1:1 (BODY.PEEK[])")) {
            if (*selected == "Two") return "A NO cannot read the message\r\n";
            return "* 1 FETCH (BODY[] {6}\r\nbody\r\n)\r\nA OK done\r\n";
        }
        return tag + " OK done\r\n";
    };
}

std::string listRefused(const std::string& command, const std::string& tag) {
    if (contains(command, " LIST ")) return tag + " NO cannot list\r\n";
    return tag + " OK done\r\n";
}

// The world of one case: the golden installation copied (so its files can be
// changed), its accounts on the target, the source Dovecot or a scripted one.
struct World {
    MigrationEnv env;
    std::string install;
    std::vector<std::string> args;
    std::unique_ptr<ScriptedSource> scripted;
    // A scripted source that holds a reply sets held and waits for released.
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
};

// Each user one folder "INBOX" of one message; the body of the third user's
// (the last one's) is held until the test releases it, and comes after
// announced.
ScriptedSource::Answer lastBodyHeld(World& w, std::string announced = "") {
    auto bodies = std::make_shared<int>(0);
    return [&w, bodies, announced](const std::string& command, const std::string& tag) -> std::string {
        if (contains(command, " LIST ")) return "* LIST () \"/\" \"INBOX\"\r\n" + tag + " OK done\r\n";
        if (contains(command, " STATUS ")) return "* STATUS \"INBOX\" (MESSAGES 1)\r\n" + tag + " OK done\r\n";
        if (contains(command, "A FETCH 1:1 (INTERNALDATE FLAGS)"))
            return "* 1 FETCH (INTERNALDATE \"1-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen))\r\nA OK done\r\n";
        if (contains(command, "A FETCH 1:1 (BODY.PEEK[])")) {
            if (++*bodies == 3) {
                w.held = true;
                for (int waited = 0; !w.released && waited < 60000; waited += 10)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return announced + "* 1 FETCH (BODY[] {6}\r\nbody\r\n)\r\nA OK done\r\n";
            }
            return "* 1 FETCH (BODY[] {6}\r\nbody\r\n)\r\nA OK done\r\n";
        }
        return tag + " OK done\r\n";
    };
}

// Each user one folder "INBOX" whose STATUS and SELECT report count, of which
// only message 1 comes; its body comes after announced.
ScriptedSource::Answer claimingFolder(std::string count, std::string announced = "") {
    return [count, announced](const std::string& command, const std::string& tag) -> std::string {
        if (contains(command, " LIST ")) return "* LIST () \"/\" \"INBOX\"\r\n" + tag + " OK done\r\n";
        if (contains(command, " STATUS ")) return "* STATUS \"INBOX\" (MESSAGES " + count + ")\r\n" + tag + " OK done\r\n";
        if (contains(command, " SELECT ")) return "* " + count + " EXISTS\r\n" + tag + " OK selected\r\n";
        if (contains(command, "A FETCH 1:" + count + " (INTERNALDATE FLAGS)"))
            return "* 1 FETCH (INTERNALDATE \"1-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen))\r\nA OK done\r\n";
        if (contains(command, "A FETCH 1:" + count + " (BODY.PEEK[])"))
            return announced + "* 1 FETCH (BODY[] {6}\r\nbody\r\n)\r\nA OK done\r\n";
        if (contains(command, "A FETCH ")) return "A OK done\r\n";
        return tag + " OK done\r\n";
    };
}

// While the reply is held: SIGINT, and the reply once the signal is taken.
bool interruptTheHeldReply(World& w) {
    for (int waited = 0; !w.held && waited < 60000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!w.held) return false;
    w.env.tool().signal(SIGINT);
    const bool delivered = e2e::waitDelivered(w.env.tool().pid(), SIGINT);
    w.released = true;
    return delivered;
}

struct Case {
    const char* name;
    std::vector<std::string> knobs;             // stand-in options
    std::function<void(World&)> prepare;        // before the tool starts
    std::function<bool(World&)> during;         // while the tool runs; false fails the case
    int status;
    std::vector<std::string> lines;             // in this order, word for word ("<TIME>" for the times)
    std::vector<std::string> absent;
    std::function<void(World&)> after = nullptr;  // checks of the target once the tool ended
};

const std::string kPostOffices = "WSMailboxServer.prefs.xml";
// The stand-in holds the switch of public folders (the last statement of the
// preparation) until the file "release" of the run's world exists.
const std::vector<std::string> kHoldPreparation = {"--hold", "update Misc=<RELEASE>"};

// While the preparation is held (after the configuration check, before the
// migration reads the post offices), runs meanwhile, then releases it.
bool whileThePreparationIsHeld(World& w, const std::function<void()>& meanwhile) {
    const bool held = waitForOutput(w.env, "Switching public folders location ... ");
    if (held) meanwhile();
    testsupport::writeFile(w.env.work("release"), "");
    return held;
}

// Once the stand-in holds a statement of a "--hold TEXT=<RELEASE>" knob:
// SIGINT, and the statement's release once the signal is taken.
bool interruptTheHeldStatement(World& w) {
    const std::string release = w.env.work("release");
    bool held = false;
    for (int waited = 0; !(held = ::access((release + ".held").c_str(), F_OK) == 0) && waited < 60000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool delivered = false;
    if (held) {
        w.env.tool().signal(SIGINT);
        delivered = e2e::waitDelivered(w.env.tool().pid(), SIGINT);
    }
    testsupport::writeFile(release, "");
    return held && delivered;
}

// The post-office file changes between the check and the migration.
bool changePostOffices(World& w, const std::string& second) {
    return whileThePreparationIsHeld(w, [&] {
        const std::string path = w.install + "/" + kPostOffices;
        testsupport::writeFile(path + ".new", second);
        ::rename((path + ".new").c_str(), path.c_str());
    });
}

}  // namespace

TEST(EndToEndTexts, EveryFailureLine) {
    const std::string prefix = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<preferences version=\"5.3\">\n"
                               "  <group name=\"MDG\">\n";
    const std::string suffix = "  </group>\n</preferences>\n";
    const Case cases[] = {
        {"IMAP switch refused",
         {"--fail", "stop_service=3:1"},
         nullptr,
         nullptr,
         4,
         {"Connecting Zelvo MailServer ... OK\n"
          "Preparing Zelvo MailServer IMAP service for migration ... Failed\n"
          "ERROR: Unable to change Zelvo MailServer configuration.\n\n"},
         // The refused stop changed nothing on the target: nothing to restore.
         {"Migration started", "Restoring"}},
        // A stop never carried out (the connection dropped instead) left the
        // target as it was: the restore before exit reads that on its fresh
        // session and changes nothing.
        {"IMAP switch dropped at its stop",
         {"--raw", "stop_service=close"},
         nullptr,
         nullptr,
         4,
         {"Preparing Zelvo MailServer IMAP service for migration ... Failed\n"
          "ERROR: Unable to change Zelvo MailServer configuration.\n\n"
          "Restoring Zelvo MailServer IMAP service configuration before exit ... OK\n"},
         {"Migration started", "left unrestored"},
         [](World& w) {
             EXPECT_EQ(w.env.standIn("[e['statement'] for e in s['log'] if "
                                     "e.get('statement', '').startswith(('delete', 'insert', 'update'))]"),
                       "[]");
             EXPECT_EQ(w.env.standIn("s['sessions']"), "2");
             EXPECT_EQ(w.env.standIn("s['imap']['listening']"), "[" + std::to_string(w.env.targetPort()) + "]");
         }},
        {"public folders refused",
         {"--fail", "update Misc=3:1"},
         nullptr,
         nullptr,
         4,
         {"Preparing Zelvo MailServer IMAP service for migration ... OK\n"
          "Switching public folders location ... Failed\n"
          "ERROR: Unable to change public folders location.\n\n"
          "Restoring Zelvo MailServer IMAP service configuration before exit ... OK\n"},
         {"Migration started"}},
        {"post-office list unreadable at the migration",
         kHoldPreparation,
         nullptr,
         [&](World& w) { return changePostOffices(w, prefix + "    <group><pref name=\"root\">x</pref></group>\n" + suffix); },
         5,
         {"Migration started - <TIME>\n"
          "ERROR: Parsing file <INSTALL>/WSMailboxServer.prefs.xml failed\n\n"
          "ERROR: Cannot load informations about post offices (path = \"<INSTALL>\")\n\n"
          "Migration failed - <TIME>\n" +
          kRestored},
         {"Migration summary"}},
        {"post office without SMTP domain at the migration",
         kHoldPreparation,
         nullptr,
         [&](World& w) {
             return changePostOffices(w, prefix + "    <group name=\"po-acme\"><pref name=\"displayname\">Acme</pref>"
                                                 "<pref name=\"root\">acme/</pref></group>\n" + suffix);
         },
         1,
         {"Migration started - <TIME>\nERROR: Post office \"po-acme\" hasn't smtp domain\n\n" +
          summary(0, 1, 0, 0, 0, 0, 0, 0) + "Migration finished - <TIME>\n" + kRestored},
         {"Creating domain"}},
        // After the switch of the IMAP service: the run goes on to its
        // summary and the restore.
        {"interrupt before the first post office",
         kHoldPreparation,
         nullptr,
         [&](World& w) {
             bool delivered = false;
             const bool held = whileThePreparationIsHeld(w, [&w, &delivered] {
                 w.env.tool().signal(SIGINT);
                 delivered = e2e::waitDelivered(w.env.tool().pid(), SIGINT);
             });
             return held && delivered;
         },
         130,
         {"Switching public folders location ... OK\n\nABORTED\nMigration started - <TIME>\nABORTED BY USER\n" +
          summary(0, 0, 0, 0, 0, 0, 0, 0) + "Migration was aborted - <TIME>\n" + kRestored},
         {"Post office:"}},
        {"domain refused",
         {"--fail", "insert Domain=3:1"},
         [](World& w) {
             const std::string path = w.install + "/" + kPostOffices;
             std::string text = readFile(path);
             const std::string alias = "<item>acme-mail.test</item>";
             text.replace(text.find(alias), alias.size(), alias + "<item>acme-three.test</item>");
             testsupport::writeFile(path, text);
         },
         nullptr,
         1,
         {"Domain \"acme.test\" will be created on target Zelvo MailServer with aliases: acme-mail.test, "
          "acme-three.test\n"
          "Creating domain \"acme.test\" ... Failed\n"
          "Domain \"acme.test\" was not created, none of its 2 users was migrated\n"
          "\nPost office: \"po-beta\" migration started\n",
          "Creating domain \"beta.test\" ... Failed\n"
          "Domain \"beta.test\" was not created, none of its 1 users was migrated\n" +
              summary(0, 2, 0, 3, 0, 0, 0, 0)},
         {"Creating user"}},
        {"user refused",
         {"--fail", "insert User=3:1"},
         nullptr,
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... Failed\n"
          "Creating user (2/2) \"ben\" [\"Ben Cole\"] ... Failed\n"
          "Domain \"acme.test\" was migrated (0 users, 0 folders, 0 messages, 2 errors)\n"},
         {"User \"anna\" was migrated"}},
        // An account or domain that exists never gets "Failed": what it
        // lacks is named, and it counts as failed.
        {"contact refused",
         {"--fail", "AddressBookAdd=3:1"},
         [](World& w) { w.env.seedMailbox("anna@acme.test"); },
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n"
          "ERROR: The public contact of user \"anna\" was not created.\n\n",
          "User \"anna\" was migrated (7 messages, 5 folders, 0 errors)\n",
          "Domain \"acme.test\" was migrated (0 users, 6 folders, 7 messages, 2 errors)\n",
          summary(2, 0, 0, 3, 7, 0, 7, 0)},
         {"Failed", "was lost"}},
        {"contact dropped after it was carried out",
         {"--cut-after", "AddressBookAdd=1"},
         [](World& w) { w.env.seedMailbox("anna@acme.test"); },
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n"
          "ERROR: The connection to Zelvo MailServer was lost: no more domains or users can be created.\n\n"
          "ERROR: The public contact of user \"anna\" may exist on the target: the answer to its creation was "
          "lost.\n\n",
          "User \"anna\" was migrated (7 messages, 5 folders, 0 errors)\n"
          "Creating user (2/2) \"ben\" [\"Ben Cole\"] ... Failed\n"
          "Domain \"acme.test\" was migrated (0 users, 5 folders, 7 messages, 2 errors)\n",
          "Creating domain \"beta.test\" ... Failed\n"
          "Domain \"beta.test\" was not created, none of its 1 users was migrated\n" +
              summary(1, 1, 0, 3, 5, 0, 7, 0)},
         {"contact of user \"anna\" was not created"}},
        {"alias insert whose answer was lost",
         {"--cut-after", "Type='2'=1"},
         nullptr,
         nullptr,
         1,
         {"Creating domain \"acme.test\" ... OK\n"
          "ERROR: The connection to Zelvo MailServer was lost: no more domains or users can be created.\n\n"
          "ERROR: Alias \"acme-mail.test\" of domain \"acme.test\" may exist on the target: the answer to its "
          "creation was lost.\n\n"
          "Creating user (1/2) \"anna\" [\"Anna Berg\"] ... Failed\n",
          "Domain \"acme.test\" was migrated (0 users, 0 folders, 0 messages, 2 errors)\n",
          "Creating domain \"beta.test\" ... Failed\n"
          "Domain \"beta.test\" was not created, none of its 1 users was migrated\n" +
              summary(0, 2, 0, 3, 0, 0, 0, 0)},
         {"of domain \"acme.test\" was not created"}},
        {"user insert whose answer was lost",
         {"--cut-after", "insert User=1"},
         nullptr,
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... Failed\n"
          "ERROR: The connection to Zelvo MailServer was lost: no more domains or users can be created.\n\n"
          "ERROR: User \"anna\" may exist on the target: the answer to its creation was lost.\n\n"
          "Creating user (2/2) \"ben\" [\"Ben Cole\"] ... Failed\n"
          "Domain \"acme.test\" was migrated (0 users, 0 folders, 0 messages, 2 errors)\n",
          "Creating domain \"beta.test\" ... Failed\n"
          "Domain \"beta.test\" was not created, none of its 1 users was migrated\n" +
              summary(1, 1, 0, 3, 0, 0, 0, 0)},
         {"User \"anna\" was migrated"}},
        {"alias refused",
         {"--fail", "Type='2'=3:1"},
         nullptr,
         nullptr,
         1,
         {"Creating domain \"acme.test\" ... OK\n"
          "ERROR: Alias \"acme-mail.test\" of domain \"acme.test\" was not created.\n\n"
          "Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n",
          "Domain \"acme.test\" was migrated (2 users, 2 folders, 0 messages, 0 errors)\n",
          summary(1, 1, 3, 0, 3, 0, 0, 0)},
         {"Failed", "was not created, none"}},
        {"domain insert whose answer was lost",
         {"--cut-after", "Type='1'=1"},
         nullptr,
         nullptr,
         1,
         {"Creating domain \"acme.test\" ... Failed\n"
          "ERROR: The connection to Zelvo MailServer was lost: no more domains or users can be created.\n\n"
          "ERROR: Domain \"acme.test\" may exist on the target: the answer to its creation was lost.\n\n"
          "None of the 2 users of domain \"acme.test\" was migrated\n",
          "Creating domain \"beta.test\" ... Failed\n"
          "Domain \"beta.test\" was not created, none of its 1 users was migrated\n" +
              summary(0, 2, 0, 3, 0, 0, 0, 0)},
         {"Creating user", "Domain \"acme.test\" was not created"}},
        // After the IMAP service was moved, an interrupt lets nothing more
        // change the target than the restore puts back.
        {"interrupt during the IMAP switch",
         {"--hold", "delete from ServicePorts=<RELEASE>"},
         nullptr,
         interruptTheHeldStatement,
         130,
         {"Preparing Zelvo MailServer IMAP service for migration ... OK\n\nABORTED\n"
          "Migration was aborted - <TIME>\n" + kRestored},
         {"Switching public folders", "Migration started", "ERROR"},
         [](World& w) {
             EXPECT_EQ(w.env.standIn("[e['statement'] for e in s['log'] if 'Misc' in e.get('statement', '')]"), "[]");
             EXPECT_EQ(w.env.standIn("[r['PublicFoldersPerDomain'] for r in s['tables']['Misc']]"), "['1']");
             EXPECT_EQ(w.env.standIn("s['imap']['listening']"), "[" + std::to_string(w.env.targetPort()) + "]");
         }},
        // A domain whose users an interrupt left all undone is not migrated.
        {"interrupt during the creation of a domain",
         {"--hold", "Domain='beta.test'=<RELEASE>"},
         nullptr,
         interruptTheHeldStatement,
         130,
         {"Domain \"acme.test\" was migrated (2 users, 2 folders, 0 messages, 0 errors)\n",
          "Creating domain \"beta.test\" ... OK\n\nABORTED\n"
          "Domain \"beta.test\" exists on the target, but the migration was aborted before any of its users was "
          "migrated (0 users, 0 folders, 0 messages, 0 errors)\n" +
              summary(1, 1, 2, 0, 2, 0, 0, 0) + "Migration was aborted - <TIME>\n" + kRestored},
         {"Domain \"beta.test\" was migrated", "Creating user (1/1) \"cleo\""}},
        // Nothing is left undone by an interrupt during the last message of
        // the last user: the folder's line ends with its result and the run
        // closes as finished.
        {"interrupt during the last message",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(lastBodyHeld(w), 4)); },
         interruptTheHeldReply,
         0,
         {"Creating user (1/1) \"cleo\"",
          // The progress may go on after the abort line, which closed the
          // folder's line: the result is told on a line of its own.
          "\nABORTED\n", "Copying folder \"INBOX\" ... OK\n"
          "User \"cleo\" was migrated (1 messages, 1 folders, 0 errors)\n",
          summary(2, 0, 3, 0, 3, 0, 3, 0) + "Migration finished - <TIME>\n" + kRestored},
         {"Migration was aborted", "ABORTED BY USER", "ERROR"}},
        // Mail announced during the copy and left undone by the interrupt:
        // the folder was cut, so the run was aborted.
        {"interrupt that leaves announced mail undone",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(lastBodyHeld(w, "* 2 EXISTS\r\n"), 4)); },
         interruptTheHeldReply,
         130,
         {"Creating user (1/1) \"cleo\"", "\nABORTED\n",
          "Copying folder \"INBOX\" ... Failed (aborted after 1 of 2 messages)\n"
          "User \"cleo\" was migrated (1 messages, 0 folders, 2 errors)\n"
          "Domain \"beta.test\" exists on the target, but the migration was aborted before any of its users was "
          "migrated (0 users, 0 folders, 1 messages, 3 errors)\n",
          summary(1, 1, 2, 1, 2, 1, 3, 1) + "Migration was aborted - <TIME>\n" + kRestored},
         {"Migration finished", "ABORTED BY USER", "ERROR"}},
        // Counts a source claims beyond 2^32 in all, and beyond 2^31 in one
        // folder, are printed whole.
        {"folders that claim 3000000000 messages",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(claimingFolder("3000000000"), 4)); },
         nullptr,
         1,
         {"Copying folder \"INBOX\" ... Failed (1 of 3000000000 messages copied)\n"
          "User \"anna\" was migrated (1 messages, 0 folders, 3000000000 errors)\n",
          "Domain \"acme.test\" was migrated (0 users, 0 folders, 2 messages, 6000000002 errors)\n",
          "User \"cleo\" was migrated (1 messages, 0 folders, 3000000000 errors)\n"
          "Domain \"beta.test\" was migrated (0 users, 0 folders, 1 messages, 3000000001 errors)\n" +
              summary(2, 0, 0, 3, 0, 3, 3, 8999999997)},
         {}},
        {"a one-message folder that announces 4294967295",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(claimingFolder("1", "* 4294967295 EXISTS\r\n"), 4)); },
         nullptr,
         1,
         {"Copying folder \"INBOX\" ... Failed (1 of 4294967295 messages copied)\n"
          "User \"anna\" was migrated (1 messages, 0 folders, 4294967295 errors)\n",
          "Domain \"acme.test\" was migrated (0 users, 0 folders, 2 messages, 8589934592 errors)\n",
          summary(2, 0, 0, 3, 0, 3, 3, 12884901882)},
         {}},
        {"user without name and password",
         {},
         [](World& w) {
             testsupport::writeFile(w.install + "/beta/RecipientDB_Beta.prefs.xml",
                                    "<preferences>\n  <group name=\"RecipientDB\">\n    <group name=\"Default\">\n"
                                    "      <group name=\"\"><pref name=\"firstname\">Nobody</pref></group>\n"
                                    "    </group>\n  </group>\n</preferences>\n");
         },
         nullptr,
         1,
         {"Creating user (1/1) \"\" [\"Nobody\"] ... Failed\n"
          "ERROR: Unabled to migrate user EMPTY USERNAME. Password is empty.\n\n"
          "Domain \"beta.test\" was migrated (0 users, 0 folders, 0 messages, 1 errors)\n"},
         {}},
        // A STATUS the source refuses (a folder its server cannot open): the
        // user gets no "was migrated" line and counts as failed.
        {"source folders that cannot be listed",
         {},
         [](World& w) {
             w.env.seedMailbox("ben@acme.test");
             std::string folder;
             ASSERT_EQ(testsupport::runShell(w.env.source().script() + " maildir " + shellQuote(w.env.source().dir()) +
                                                 " ben@acme.test 'Sent Items'",
                                             &folder),
                       0);
             while (!folder.empty() && folder.back() == '\n') folder.pop_back();
             ASSERT_EQ(::chmod(folder.c_str(), 0), 0);
         },
         nullptr,
         1,
         {"Creating user (2/2) \"ben\" [\"Ben Cole\"] ... OK\n"
          "ERROR: I am not able read folder informations\n\n"
          "ERROR: Unable list source folders\n\n"
          // Ben's five folders count as failed, with the messages counted
          // before Sent Items (how many depends on the listing's order).
          "Domain \"acme.test\" was migrated (1 users, 1 folders, 0 messages, ",
          "\nMigration summary:\nSuccesses:             Errors:\n     2 Domains              0 Domains\n"
          "     2 Users                1 Users\n     2 Folders              5 Folders\n"},
         {"User \"ben\" was migrated"}},
        // A message that cannot be fetched fails its folder and its user,
        // whose line keeps its counts; the copy goes on.
        {"a message that cannot be fetched",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(bodyRefusedInTwo(), 4)); },
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n",
          "\nERROR: I am not able download messages from source folder \"Two\".\n\n"
          "Copying folder \"Two\" ... Failed (0 of 1 messages copied)\n"
          "User \"anna\" was migrated (1 messages, 1 folders, 2 errors)\n",
          "Domain \"acme.test\" was migrated (0 users, 2 folders, 2 messages, 6 errors)\n",
          summary(2, 0, 0, 3, 3, 3, 3, 3)},
         {}},
        {"source STATUS refused",
         {},
         [](World& w) {
             w.scripted.reset(new ScriptedSource(
                 [](const std::string& command, const std::string& tag) {
                     if (contains(command, " STATUS \"Two\"")) return tag + " NO cannot\r\n";
                     return firstFolderRefused(command, tag);
                 },
                 4));
         },
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n"
          "ERROR: I am not able read folder informations\n\n"
          "ERROR: Unable list source folders\n\n"
          "Creating user (2/2) \"ben\" [\"Ben Cole\"] ... OK\n",
          "Domain \"acme.test\" was migrated (0 users, 0 folders, 0 messages, 10 errors)\n",
          summary(2, 0, 0, 3, 0, 9, 0, 3)},
         {"User \"anna\" was migrated", "Copying folder"}},
        {"source LIST refused",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(listRefused, 4)); },
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n"
          "ERROR: I am not able read folder informations\n\n"
          "ERROR: Unable list source folders\n\n"
          "Creating user (2/2) \"ben\" [\"Ben Cole\"] ... OK\n",
          summary(2, 0, 0, 3, 0, 0, 0, 0)},
         {"User \"anna\" was migrated", "User \"ben\" was migrated", "User \"cleo\" was migrated"}},
        // The folders after the refused one are not copied: they count as
        // failed with their messages, so the columns add up to the listing.
        {"source folder that cannot be selected",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(firstFolderRefused, 4)); },
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n"
          "Copying folder \"One\" (1 messages) ... \n"
          "ERROR: I am not able select source folder \"One\".\n\n"
          "User \"anna\" was migrated (0 messages, 0 folders, 6 errors)\n",
          summary(2, 0, 0, 3, 0, 9, 0, 9)},
         {"Copying folder \"Two\""}},
        {"source connection broken",
         {},
         [](World& w) { w.scripted.reset(new ScriptedSource(byeAtSelect, 4)); },
         nullptr,
         1,
         {"Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n"
          "Copying folder \"INBOX\" (1 messages) ... \n"
          "ERROR: I am not able select source folder \"INBOX\".\n\n"
          "ERROR: Connection error.\n\n"
          "User \"anna\" was migrated (0 messages, 0 folders, 2 errors)\n",
          summary(2, 0, 0, 3, 0, 3, 0, 3)},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        for (const auto& a : kAccounts) w.env.addAccount(a);
        w.env.startSource();
        w.install = w.env.work("install");
        ASSERT_EQ(testsupport::runShell("cp -r " + shellQuote(kGolden) + " " + shellQuote(w.install)), 0);
        if (c.prepare) {
            ASSERT_NO_FATAL_FAILURE(c.prepare(w));
        }
        w.args = w.env.toolArgs(w.install);
        if (w.scripted) w.args[9] = std::to_string(w.scripted->port());
        std::vector<std::string> knobs = c.knobs;
        for (std::string& k : knobs)
            if (k.find("<RELEASE>") != std::string::npos) k.replace(k.find("<RELEASE>"), 9, w.env.work("release"));
        w.env.startStandIn(knobs);
        w.env.spawnTool(w.args);
        if (c.during) {
            EXPECT_TRUE(c.during(w));
        }
        const int status = w.env.tool().wait(120000);
        std::string out = e2e::maskTimes(readFile(w.env.outPath()));
        for (size_t at = out.find(w.install); at != std::string::npos; at = out.find(w.install, at))
            out.replace(at, w.install.size(), "<INSTALL>");
        EXPECT_EQ(status, c.status) << out;
        size_t at = 0;
        for (const std::string& line : c.lines) {
            const size_t found = out.find(line, at);
            EXPECT_NE(found, std::string::npos) << "missing, or out of order:\n" << line << "\nin:\n" << out;
            if (found != std::string::npos) at = found + line.size();
        }
        for (const std::string& line : c.absent) EXPECT_FALSE(contains(out, line)) << line << "\nin:\n" << out;
        if (c.after) c.after(w);
    }
}

namespace {

// A source that greets as the old server only once released: the probe of
// the source waits in its read of the greeting until then.
class HeldGreeting {
public:
    HeldGreeting() {
        fd_ = testsupport::listenOnLoopback(port_);
        thread_ = std::thread([this] {
            for (;;) {
                const int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                while (!released_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                const std::string greeting = "* OK 4D Mail IMAP ready\r\n";
                ::send(c, greeting.data(), greeting.size(), MSG_NOSIGNAL);
                ::close(c);
                if (stop_) return;
            }
        });
    }
    ~HeldGreeting() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    void release() { released_ = true; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> released_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

// An interrupt that comes before the first statement that changes the target
// (the source probe, the reads of the target's IMAP state) ends the run
// there: "Migration was aborted", exit status 130, and nothing that changes
// the target is sent, so its IMAP clients are not cut.
TEST(EndToEndTexts, InterruptBeforeTheTargetChangesLeavesItUntouched) {
    struct Case {
        const char* name;
        const char* heldStatement;  // held by the stand-in; null: the source probe is held
        std::string before;         // the output when the interrupt comes
        int sessions;               // administration logins
    } cases[] = {
        {"the source probe", nullptr, "Connecting 4D Imap server ... ", 0},
        {"the read of the IMAP bindings", "select Port, IPAddress",
         "Preparing Zelvo MailServer IMAP service for migration ... ", 1},
        {"the read of the IMAP service state", "select Running, AutoStart",
         "Preparing Zelvo MailServer IMAP service for migration ... ", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MigrationEnv env;
        for (const auto& a : kAccounts) env.addAccount(a);
        env.startSource();
        const std::string release = env.work("release");
        std::vector<std::string> knobs;
        if (c.heldStatement) knobs = {"--hold", std::string(c.heldStatement) + "=" + release};
        env.startStandIn(knobs);
        std::vector<std::string> args = env.toolArgs(kGolden);
        HeldGreeting held;
        if (!c.heldStatement) args[9] = std::to_string(held.port());
        env.spawnTool(args);
        // The tool waits for the probe's greeting or the statement's answer.
        const bool waiting = waitForOutput(env, c.before);
        env.tool().signal(SIGINT);
        const bool delivered = e2e::waitDelivered(env.tool().pid(), SIGINT);
        held.release();
        testsupport::writeFile(release, "");
        ASSERT_TRUE(waiting);
        ASSERT_TRUE(delivered);
        const int status = env.tool().wait(120000);
        const std::string out = e2e::maskTimes(readFile(env.outPath()));
        EXPECT_EQ(status, 130) << out;
        EXPECT_TRUE(contains(out, c.before)) << out;
        EXPECT_TRUE(contains(out, "\nABORTED\nMigration was aborted - <TIME>\n")) << out;
        for (const char* absent : {"Migration started", "Switching public folders", "Restoring", "ERROR"})
            EXPECT_FALSE(contains(out, absent)) << absent << "\n" << out;
        EXPECT_EQ(env.standIn("s['sessions']"), std::to_string(c.sessions));
        EXPECT_EQ(env.standIn("[e['statement'] for e in s['log'] if 'statement' in e and not "
                              "e['statement'].startswith('select Port, IPAddress from ServicePorts') and not "
                              "e['statement'].startswith('select Running, AutoStart from service-imap')]"),
                  "[]");
        EXPECT_EQ(env.standIn("s['imap']['history']"), "[]");
        EXPECT_EQ(env.standIn("s['imap']['listening']"), "[" + std::to_string(env.targetPort()) + "]");
    }
}
