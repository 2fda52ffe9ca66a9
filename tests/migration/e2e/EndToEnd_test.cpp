// End-to-end runs of the built 4d2zev against a source Dovecot, the
// stand-in administration service and a target Dovecot.
#include "tests/migration/e2e/MigrationEnv.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

using e2e::Account;
using e2e::MigrationEnv;
using e2e::ToolRun;
using e2e::contains;
using e2e::waitForOutput;
using e2e::waitDelivered;
using testsupport::readFile;
using testsupport::sourcePath;

namespace {

const std::string kGolden = sourcePath("tests/migration/e2e/golden");
const std::vector<Account> kGoldenAccounts = {
    {"anna@acme.test", "anna-pw"}, {"ben@acme.test", "ben pw"}, {"cleo@beta.test", "cleo&pw"}};

// The server lists folders in the order of its directory reads: runs of
// "Copying folder" lines are put in a fixed order before comparing.
std::string sortFolderRuns(const std::string& out) {
    std::istringstream in(out);
    std::string result;
    std::vector<std::string> run;
    auto flush = [&] {
        std::sort(run.begin(), run.end());
        for (const auto& l : run) result += l + "\n";
        run.clear();
    };
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Copying folder ", 0) == 0) {
            run.push_back(line);
            continue;
        }
        flush();
        result += line + "\n";
    }
    flush();
    if (!out.empty() && out.back() != '\n' && !result.empty()) result.pop_back();
    return result;
}

// The successes and errors of one row of the run's summary ("Users",
// "Folders", ...); {-1, -1} when the summary has no such row.
std::pair<int, int> summaryRow(const std::string& out, const std::string& word) {
    const size_t summary = out.find("\nMigration summary:\n");
    if (summary == std::string::npos) return {-1, -1};
    std::istringstream in(out.substr(summary));
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        int ok = 0, failed = 0;
        std::string first, second;
        if (row >> ok >> first >> failed >> second && first == word && second == word) return {ok, failed};
    }
    return {-1, -1};
}

// The golden world: two post offices, one with an alias domain, three users.
void prepareGolden(MigrationEnv& env) {
    for (const auto& a : kGoldenAccounts) env.addAccount(a);
    env.startSource();
    for (const auto& a : kGoldenAccounts) env.seedMailbox(a.login);
}

}  // namespace

TEST(EndToEnd, GoldenRun) {
    MigrationEnv env;
    prepareGolden(env);
    env.startStandIn();
    const std::string imapRows = "[r for r in s['tables']['ServicePorts'] if r['Service'] == 'IMAP']";
    const std::string otherRows = "[r for r in s['tables']['ServicePorts'] if r['Service'] != 'IMAP']";
    const std::string imapBefore = env.standIn(imapRows);
    const std::string otherBefore = env.standIn(otherRows);

    ToolRun run = env.runTool(env.toolArgs(kGolden));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::string golden = sourcePath("tests/migration/e2e/golden.stdout");
    const std::string masked = sortFolderRuns(e2e::maskTimes(run.out));
    if (std::getenv("ZELVO_UPDATE_GOLDEN")) testsupport::writeFile(golden, masked);
    EXPECT_EQ(masked, readFile(golden));
    EXPECT_EQ(run.err, "");

    // Domains with the alias, users with their passwords, one contact each.
    EXPECT_EQ(env.standIn("sorted((d['Domain'], d['Type'], d.get('Alias', '')) for d in s['tables']['Domain'])"),
              "[('acme-mail.test', '2', 'acme.test'), ('acme.test', '1', ''), ('beta.test', '1', '')]");
    EXPECT_EQ(env.standIn("sorted((u['Name'], u['Domain'], u['Password'], u['Fullname']) for u in s['tables']['User'])"),
              "[('anna', 'acme.test', 'NUL.DE3:anna-pw', 'Anna Berg'), ('ben', 'acme.test', 'NUL.DE3:ben pw', "
              "'Ben Cole'), ('cleo', 'beta.test', 'NUL.DE3:cleo&pw', 'Cleo')]");
    EXPECT_EQ(env.standIn("sorted(c['Email'] for c in s['tables']['Contacts'])"),
              "['anna@acme.test', 'ben@acme.test', 'cleo@beta.test']");
    EXPECT_EQ(env.standIn("s['tables']['Misc'][0]['PublicFoldersPerDomain']"), "0");

    // Every statement of the run, in order, word for word.
    const std::string home = std::to_string(env.targetPort());
    auto user = [](const std::string& name, const std::string& domain, const std::string& password,
                   const std::string& fullName) {
        return std::vector<std::string>{
            "select Name from User where Name='" + name + "' and Domain='" + domain + "'",
            "insert User set Name='" + name + "', Domain='" + domain +
                "', Account_enabled='1', Auth_type='0', Password='NUL.DE3:" + password +
                "', Rights='0', ForwardMode='0', Qstorage='0', Qmessage='0', MaxOutgoingMessageSize='0', "
                "DefSpamFilter='1', Fullname='" + fullName + "', Description='' controls ProviderID=0",
            "select AddressBookAdd(\"#public/Contacts\", \"" + fullName + "\",\"" + name + "@" + domain + "\")"};
    };
    const std::vector<std::string> restore = {
        "select stop_service('IMAP')", "delete from ServicePorts where Service='IMAP'",
        "insert ServicePorts set Service='IMAP', IPAddress='0.0.0.0', Port='" + home + "'",
        "select start_service('IMAP')"};
    const std::vector<std::vector<std::string>> steps = {
        {"select Port, IPAddress from ServicePorts where Service='IMAP'",
         "select Running, AutoStart from service-imap", "select stop_service('IMAP')",
         "delete from ServicePorts where Service='IMAP'",
         "insert ServicePorts set Service='IMAP', IPAddress='0.0.0.0', Port='8143'", "select start_service('IMAP')"},
        {"update Misc set PublicFoldersPerDomain='0'"},
        {"select Domain from Domain where Domain='acme.test'", "select Domain from Domain where Domain='acme-mail.test'",
         "insert Domain set Domain='acme.test', Type='1', BindIp='0.0.0.0', FwOffline='0', Description='Acme', "
         "FwMode='0', FwAliasMode='0', MaxOutgoingMessageSize='0',  DeletedMsgExpiration='0', MaxUserCount='0'",
         "insert Domain set Domain='acme-mail.test', Type='2', Alias='acme.test'"},
        user("anna", "acme.test", "anna-pw", "Anna Berg"),
        user("ben", "acme.test", "ben pw", "Ben Cole"),
        {"select Domain from Domain where Domain='beta.test'",
         "insert Domain set Domain='beta.test', Type='1', BindIp='0.0.0.0', FwOffline='0', Description='Beta', "
         "FwMode='0', FwAliasMode='0', MaxOutgoingMessageSize='0',  DeletedMsgExpiration='0', MaxUserCount='0'"},
        user("cleo", "beta.test", "cleo&pw", "Cleo"),
        restore,  // at the end of the run, and not repeated at exit
    };
    std::string expected;
    for (const auto& step : steps)
        for (const auto& statement : step) expected += statement + "\n";
    EXPECT_EQ(env.standIn("''.join(e['statement'] + '\\n' for e in s['log'] if 'statement' in e)") + "\n", expected);

    // The bindings are back as they were, with the service running again:
    // restored once, at the end of the run.
    EXPECT_EQ(env.standIn(imapRows), imapBefore);
    EXPECT_EQ(env.standIn(otherRows), otherBefore);
    EXPECT_EQ(env.standIn("s['imap']['running']"), "True");
    EXPECT_EQ(env.standIn("s['imap']['listening']"), "[" + std::to_string(env.targetPort()) + "]");
    EXPECT_EQ(env.standIn("[h.get('start') for h in s['imap']['history']]"),
              "[None, [8143], None, [" + home + "]]");

    std::string report;
    EXPECT_EQ(env.compareMailboxes(kGoldenAccounts, report), 0) << report;
    EXPECT_TRUE(contains(report, "21 messages compared: all identical")) << report;
}

TEST(EndToEnd, ServiceThatWasStoppedStaysStopped) {
    MigrationEnv env;
    prepareGolden(env);
    env.startStandIn({}, false);
    ToolRun run = env.runTool(env.toolArgs(kGolden));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(env.standIn("s['imap']['running']"), "False");
    EXPECT_EQ(env.standIn("s['tables']['service-imap'][0]['Running']"), "0");
    EXPECT_TRUE(contains(run.out, "Restoring Zelvo MailServer IMAP service configuration ... OK\n")) << run.out;
}

// --quiet keeps standard output to the banner; --debug shows both
// connection settings of each user on standard error.
TEST(EndToEnd, QuietRunWithDebugLines) {
    MigrationEnv env;
    prepareGolden(env);
    env.startStandIn();
    std::vector<std::string> args = env.toolArgs(kGolden);
    args.push_back("--quiet");
    args.push_back("--debug");
    ToolRun run = env.runTool(args);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "Zelvo 4D Migration Tool 6.7.3. (7892)\nCopyright (c) Zelvo Software. All rights reserved.\n");
    EXPECT_TRUE(contains(run.err, "DEBUG: ImapCopyist: source configuration [address=localhost, port=" +
                                      std::to_string(env.source().port()) +
                                      ", user=anna@acme.test, password=anna-pw, cramMD5=T]\n"))
        << run.err;
    EXPECT_TRUE(contains(run.err, "DEBUG: ImapCopyist: target configuration [address=127.0.0.1, port=8143, "
                                  "user=cleo@beta.test, password=cleo&pw, cramMD5=F]\n"))
        << run.err;
    std::string report;
    EXPECT_EQ(env.compareMailboxes(kGoldenAccounts, report), 0) << report;
}

// A user file that goes away after the configuration check: its post office
// is a failed domain (the domain was created, none of its users migrated).
TEST(EndToEnd, UserFileGoneDuringTheRun) {
    MigrationEnv env;
    prepareGolden(env);
    env.startStandIn();
    const std::string copy = env.work("installation");
    ASSERT_EQ(testsupport::runShell("cp -r " + testsupport::shellQuote(kGolden) + " " + testsupport::shellQuote(copy)), 0);
    env.spawnTool(env.toolArgs(copy));
    ASSERT_TRUE(waitForOutput(env, "Users found: 3\n"));
    ASSERT_EQ(::rename((copy + "/beta/RecipientDB_Beta.prefs.xml").c_str(), (copy + "/beta/gone.xml").c_str()), 0);
    const int status = env.tool().wait(120000);
    const std::string out = readFile(env.outPath());
    EXPECT_EQ(status, 1) << out;
    EXPECT_TRUE(contains(out, "Creating domain \"beta.test\" ... OK\nERROR: Unable to open file ")) << out;
    EXPECT_TRUE(contains(out, "ERROR: Cannot load informations about users for post offices \"po-beta\"\n")) << out;
    EXPECT_FALSE(contains(out, "Domain \"beta.test\" was migrated")) << out;
    EXPECT_TRUE(contains(out, "     1 Domains              1 Domains\n")) << out;
}

// A preference file that holds no document (nothing, or only the XML
// declaration) is no installation: the configuration check fails before the
// target is touched, naming the file.
TEST(EndToEnd, PreferenceFileWithoutADocument) {
    struct Case {
        const char* name;
        const char* file;  // inside the installation
        const char* content;
    };
    const char* const declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const Case cases[] = {
        {"empty post-office file", "WSMailboxServer.prefs.xml", ""},
        {"post-office file with only the declaration", "WSMailboxServer.prefs.xml", declaration},
        {"empty user file", "beta/RecipientDB_Beta.prefs.xml", ""},
        {"user file with only the declaration", "acme/RecipientDB_Acme.prefs.xml", declaration},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MigrationEnv env;
        prepareGolden(env);
        const std::string install = env.work("installation");
        ASSERT_EQ(testsupport::runShell("cp -r " + testsupport::shellQuote(kGolden) + " " +
                                        testsupport::shellQuote(install)),
                  0);
        const std::string file = install + "/" + c.file;
        testsupport::writeFile(file, c.content);
        env.startStandIn();
        ToolRun run = env.runTool(env.toolArgs(install));
        EXPECT_EQ(run.status, 2) << run.out << run.err;
        EXPECT_TRUE(contains(run.out, "Load 4D configuration ... Failed\n")) << run.out;
        EXPECT_FALSE(contains(run.out, "Domains found")) << run.out;
        EXPECT_TRUE(contains(run.err, "ERROR: Parsing file " + file + " failed\nDocument has no root element\n"))
            << run.err;
        EXPECT_EQ(env.standIn("len(s['log'])"), "0");
    }
}

// Each failure before the target is touched: its lines, and its exit status.
TEST(EndToEnd, EarlyFailures) {
    struct Case {
        const char* name;
        int status;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"missing preference file", 2, {"Load 4D configuration ... Failed\n"}},
        {"greeting without 4D Mail", 3,
         {"Connecting 4D Imap server ... Failed\n", "ERROR: No IMAP server found on localhost: "}},
        {"target greeting on the source port", 3,
         {"Connecting 4D Imap server ... Failed\n", "ERROR: Target Zelvo MailServer found on localhost: "}},
        {"administration service unreachable", 4,
         {"Connecting Zelvo MailServer ... Failed\n", "ERROR: Unable connect to Zelvo MailServer.\n"}},
        {"administration login refused", 4,
         {"Connecting Zelvo MailServer ... Failed\n", "ERROR: Authentication to Zelvo MailServer failed.\n"}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        MigrationEnv env;
        prepareGolden(env);
        std::vector<std::string> args = env.toolArgs(kGolden);
        std::unique_ptr<e2e::GreetingServer> fake;
        std::unique_ptr<testsupport::Dovecot> other;
        switch (i) {
        case 0:
            args[7] = env.work("no-such-installation");
            break;
        case 1:
            other.reset(new testsupport::Dovecot(testsupport::Dovecot::Target));
            other->start();
            args[9] = std::to_string(other->port());
            break;
        case 2:
            fake.reset(new e2e::GreetingServer("* OK Zelvo MailServer IMAP4rev1 ready\r\n"));
            args[9] = std::to_string(fake->port());
            break;
        case 3:
            break;
        case 4:
            env.startStandIn({"--refuse-login"});
            break;
        }
        ToolRun run = env.runTool(args);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        for (const auto& line : c.lines) EXPECT_TRUE(contains(run.out, line)) << run.out;
        if (i == 1 || i == 2) {
            EXPECT_TRUE(contains(run.out, c.lines[1] + args[9] + "\n\n")) << run.out;
        }
        EXPECT_FALSE(contains(run.out, "Migration started")) << run.out;
        if (i == 0) {
            EXPECT_TRUE(contains(run.err, "ERROR: ")) << run.err;
        }
        if (i == 4) {
            EXPECT_EQ(env.standIn("len(s['tables']['Domain'])"), "0");
        }
    }
}

// A known-hosts file that cannot be read, created or written stops the run
// before the target is touched, with a line that names the file and the
// system's reason; nothing is left to trust by a later run.
TEST(EndToEnd, KnownHostsFileThatCannotBeUsedStopsTheRun) {
    struct Case {
        const char* name;
        const char* action;
        int error;
        void (*prepare)(const std::string& home);
        const char* immutable;  // below HOME, or ""
    } cases[] = {
        {"a file where the directory must go", "read", ENOTDIR,
         [](const std::string& home) { testsupport::writeFile(home + "/.zelvo", "not a directory\n"); }, ""},
        {"a directory that cannot be made", "create", EPERM,
         [](const std::string& home) { ASSERT_EQ(::mkdir((home + "/.zelvo").c_str(), 0700), 0); }, "/.zelvo"},
        {"a file that cannot be written", "write", EPERM,
         [](const std::string& home) {
             ASSERT_EQ(testsupport::runShell("mkdir -p " + testsupport::shellQuote(home + "/.zelvo/admin") +
                                             " && touch " + testsupport::shellQuote(home + "/.zelvo/admin/known_hosts.cfg")),
                       0);
         },
         "/.zelvo/admin/known_hosts.cfg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MigrationEnv env;
        prepareGolden(env);
        env.startStandIn();
        ASSERT_NO_FATAL_FAILURE(c.prepare(env.home()));
        std::unique_ptr<testsupport::Immutable> fixed;
        if (*c.immutable) {
            fixed.reset(new testsupport::Immutable(env.home() + c.immutable));
            if (!fixed->ok()) GTEST_SKIP() << "no immutable attribute on this file system";
        }
        ToolRun run = env.runTool(env.toolArgs(kGolden));
        fixed.reset();
        EXPECT_EQ(run.status, 4) << run.out << run.err;
        const std::string line = "Connecting Zelvo MailServer ... Failed\nERROR: Cannot " + std::string(c.action) +
                                 " the known-hosts file " + env.home() + "/.zelvo/admin/known_hosts.cfg: " +
                                 std::strerror(c.error) + ".\n\n";
        EXPECT_TRUE(contains(run.out, line)) << "missing:\n" << line << "\nin:\n" << run.out;
        EXPECT_FALSE(contains(run.out, "Unable connect")) << run.out;
        EXPECT_FALSE(contains(run.out, "Preparing Zelvo MailServer")) << run.out;
        EXPECT_EQ(env.standIn("s['sessions']"), "0");
        EXPECT_EQ(env.standIn("len([e for e in s['log'] if 'statement' in e])"), "0");
    }
}

// A known-hosts file that is no file to read (a FIFO, a link to a device),
// larger than 1 MiB, or that the user may not read (the file or its folder
// at mode 000) stops the run at once with a line that names it and says
// why, before the target is touched; only a lock held by another process is
// waited for. Root reads any file, so those rows run the tool as an
// unprivileged user. Each run is bounded: one that waits fails.
TEST(EndToEnd, KnownHostsFileThatCannotBeReadStopsTheRunAtOnce) {
    struct Case {
        const char* name;
        std::string shell;  // makes $F
        std::string reason;
        bool unprivileged;  // the tool runs as a user that root is not
    } cases[] = {
        {"a FIFO", "mkfifo \"$F\"", "it is a FIFO, not a regular file", false},
        {"a link to /dev/zero", "ln -s /dev/zero \"$F\"", "it is a character device, not a regular file", false},
        {"a file of 1 MiB and one byte", "head -c 1048577 /dev/zero | tr '\\0' '\\n' > \"$F\"",
         "it is larger than 1 MiB", false},
        {"a file at mode 000", "touch \"$F\" && chmod 000 \"$F\"", std::strerror(EACCES), true},
        {"a file in a folder at mode 000", "touch \"$F\" && chmod 000 \"$(dirname \"$F\")\"", std::strerror(EACCES),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> runner;
        if (c.unprivileged && ::geteuid() == 0) {
            if (testsupport::runShell("id -u nobody >/dev/null 2>&1 && command -v setpriv >/dev/null") != 0)
                GTEST_SKIP() << "root without a user nobody or setpriv: no unprivileged user to run the tool as";
            runner = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
        }
        MigrationEnv env;
        e2e::GreetingServer source("* OK 4D Mail IMAP ready\r\n");
        env.startStandIn();
        const std::string path = env.home() + "/.zelvo/admin/known_hosts.cfg";
        ASSERT_EQ(testsupport::runShell("mkdir -p " + testsupport::shellQuote(env.home() + "/.zelvo/admin") +
                                        " && F=" + testsupport::shellQuote(path) + " && " + c.shell),
                  0);
        // The user owns its home and reaches it, and a copy of the
        // installation (the checkout may lie where it may not look), through
        // a search-only work folder.
        std::string installation = kGolden;
        if (!runner.empty()) {
            installation = env.work("installation");
            ASSERT_EQ(testsupport::runShell("cp -r " + testsupport::shellQuote(kGolden) + " " +
                                            testsupport::shellQuote(installation) + " && chmod -R a+rX " +
                                            testsupport::shellQuote(installation) + " && chmod 711 " +
                                            testsupport::shellQuote(env.work("")) + " && chown -R nobody:nogroup " +
                                            testsupport::shellQuote(env.home())),
                      0);
        }
        std::vector<std::string> args = env.toolArgs(installation);
        args[9] = std::to_string(source.port());
        env.spawnTool(args, {}, runner);
        const int status = env.tool().wait(10000);
        const std::string out = readFile(env.outPath());
        EXPECT_EQ(status, 4) << "(-1: still running after 10 s)\n" << out << readFile(env.errPath());
        const std::string line = "Connecting Zelvo MailServer ... Failed\nERROR: Cannot read the known-hosts file " +
                                 path + ": " + c.reason + ".\n\n";
        EXPECT_TRUE(contains(out, line)) << "missing:\n" << line << "\nin:\n" << out;
        EXPECT_FALSE(contains(out, "Preparing Zelvo MailServer")) << out;
        EXPECT_EQ(env.standIn("len([e for e in s['log'] if 'statement' in e])"), "0");
    }
}

// One run through every failure the loops count and go past.
TEST(EndToEnd, FailuresInsideTheLoops) {
    MigrationEnv env;
    const std::string loops = sourcePath("tests/migration/e2e/loops");
    // eve is unknown to the source, fay to the target; gus's target store
    // cannot take new folders; hal has one message over the target's limit.
    for (const char* u : {"anna", "ben", "gus", "hal"}) env.addAccount({std::string(u) + "@acme.test", std::string(u) + "-pw"});
    env.addAccount({"fay@acme.test", "fay-pw"}, true);
    env.target().addUser("eve@acme.test", "eve-pw");
    env.addAccount({"ivy@dup.test", "ivy-pw"});
    env.startSource();
    for (const char* u : {"anna", "fay", "gus", "hal", "ivy"})
        env.seedMailbox(std::string(u) + (std::string(u) == "ivy" ? "@dup.test" : "@acme.test"));
    env.source().putMessage("hal@acme.test", "INBOX", "Subject: big\r\n\r\n" + std::string(20000, 'b') + "\r\n", "S",
                            1300000000);
    env.source().index("hal@acme.test");
    testsupport::writeFile(env.target().dir() + "/extra.conf",
                           "mail_plugins = $mail_plugins quota\nplugin {\n  quota = count:User quota\n"
                           "  quota_vsizes = yes\n  quota_max_mail_size = 10k\n}\n");
    ASSERT_EQ(testsupport::runShell("chmod 0555 " + testsupport::shellQuote(env.target().dir() +
                                                                            "/home/gus@acme.test/Maildir")),
              0);
    env.startStandIn({}, true, "\"Domain\": [{\"Domain\": \"dup-alias.test\", \"Type\": \"2\", \"Alias\": \"x.test\"}], "
                               "\"User\": [{\"Name\": \"ben\", \"Domain\": \"acme.test\"}]");

    ToolRun run = env.runTool(env.toolArgs(loops));
    const std::string& out = run.out;
    EXPECT_EQ(run.status, 1) << out << run.err;
    const char* expected[] = {
        "Creating domain \"acme.test\" ... OK\n",
        "Creating user (1/7) \"anna\" [\"Anna Ok\"] ... OK\n",
        "User \"anna\" was migrated (7 messages, 5 folders, 0 errors)\n",
        "Creating user (2/7) \"ben\" [\"Ben Exists\"] ... \nERROR: User already exists, skipping.\n",
        "Creating user (3/7) \"dora\" [\"Dora Nopass\"] ... Failed\nERROR: Unabled to migrate user dora. Password is empty.\n",
        "Creating user (4/7) \"eve\" [\"Eve Nosource\"] ... OK\nERROR: Unable connect to source server \"localhost\". "
        "Authentication Error.\n",
        "Creating user (5/7) \"fay\" [\"Fay Notarget\"] ... OK\nERROR: Unable connect to target server \"127.0.0.1\". "
        "Authentication Error.\n",
        "ERROR: I am not able create target folder \"",
        "ERROR: I am not able upload message",
        "Domain \"acme.test\" was migrated (",
        "Creating domain \"dup.test\" ... domain already exists\n",
        "User \"ivy\" was migrated (7 messages, 5 folders, 0 errors)\n",
        "Migration finished - ",
        "Restoring Zelvo MailServer IMAP service configuration ... OK\n",
    };
    size_t at = 0;
    for (const char* line : expected) {
        size_t found = out.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << out;
        if (found != std::string::npos) at = found;
    }
    // Nothing of the existing or refused accounts was inserted; the rest was.
    EXPECT_EQ(env.standIn("sorted(u['Name'] for u in s['tables']['User'])"),
              "['anna', 'ben', 'eve', 'fay', 'gus', 'hal', 'ivy']");
    EXPECT_EQ(env.standIn("sorted(d['Domain'] for d in s['tables']['Domain'])"),
              "['acme.test', 'dup-alias.test']");
    // The summary accounts for every user the reader found (eight) and for
    // every folder and message of the four listings (anna, gus, hal, ivy:
    // five folders each, 7 + 7 + 8 + 7 messages), gus's uncopied folders too.
    const auto users = summaryRow(out, "Users");
    const auto folders = summaryRow(out, "Folders");
    const auto messages = summaryRow(out, "Messages");
    EXPECT_EQ(users.first + users.second, 8) << out;
    EXPECT_EQ(folders.first + folders.second, 20) << out;
    EXPECT_EQ(messages.first + messages.second, 29) << out;
    std::string report;
    EXPECT_EQ(env.compareMailboxes({{"anna@acme.test", "anna-pw"}, {"ivy@dup.test", "ivy-pw"}}, report), 0) << report;
    // hal: every message but the refused one arrived.
    auto halTarget = env.target().messages("hal@acme.test", "hal-pw", "INBOX");
    EXPECT_EQ(halTarget.size(), 3u);
}

namespace {

constexpr int kBulk = 1000;

// A source folder large enough that a copy is still running when a signal comes.
void seedLargeFolder(MigrationEnv& env, const std::string& login, int count) {
    for (int i = 0; i < count; ++i)
        env.source().putMessage(login, "Bulk", "Subject: bulk " + std::to_string(i) + "\r\n\r\n" +
                                                   std::string(60000, static_cast<char>('a' + i % 26)) + "\r\n",
                                "S", 1300000000 + i);
    env.source().index(login);
}

// Every message on the target's folder is whole and in the source's order.
void expectPrefixOfSource(MigrationEnv& env, const Account& a, const std::string& folder) {
    auto src = env.source().messages(a.login, a.password, folder);
    auto dst = env.target().messages(a.login, a.password, folder);
    ASSERT_LE(dst.size(), src.size());
    for (size_t i = 0; i < dst.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(dst[i].body, src[i].body);
        EXPECT_EQ(dst[i].flags, src[i].flags);
        EXPECT_EQ(dst[i].internalDate, src[i].internalDate);
    }
}

// Starts the golden run with a large folder for anna and returns once the
// copy of that folder is under way. A message costs at least one round trip
// to the target, so 1000 of them keep the copy running for a while.
void startUntilTheLargeFolder(MigrationEnv& env) {
    prepareGolden(env);
    seedLargeFolder(env, "anna@acme.test", kBulk);
    env.startStandIn();
    env.spawnTool(env.toolArgs(kGolden));
    ASSERT_TRUE(waitForOutput(env, "Copying folder \"Bulk\" (" + std::to_string(kBulk) + " messages) ...   "));
}

// After a run that stopped inside the large folder: the target's bindings
// are back and the folder holds only whole messages in the source's order.
void expectRestoredWithWholeMessages(MigrationEnv& env, const std::string& out) {
    EXPECT_TRUE(contains(out, "Restoring Zelvo MailServer IMAP service configuration ... OK\n")) << out;
    EXPECT_EQ(env.standIn("s['imap']['listening']"), "[" + std::to_string(env.targetPort()) + "]");
    expectPrefixOfSource(env, kGoldenAccounts[0], "Bulk");
}

}  // namespace

// SIGINT during a copy, once and twice: the copy stops after the message in
// transfer, the loops stop, the summary and the restore still run.
TEST(EndToEnd, InterruptDuringACopy) {
    for (int signals : {1, 2}) {
        SCOPED_TRACE(signals);
        MigrationEnv env;
        ASSERT_NO_FATAL_FAILURE(startUntilTheLargeFolder(env));
        env.tool().signal(SIGINT);
        // A second SIGINT while the run winds down (summary, restore) aborts again.
        if (signals == 2 && waitForOutput(env, "\nABORTED\n")) env.tool().signal(SIGINT);
        const int status = env.tool().wait(120000);
        const std::string out = readFile(env.outPath());
        EXPECT_EQ(status, 130) << out;
        size_t aborts = 0;
        for (size_t at = out.find("\nABORTED\n"); at != std::string::npos; at = out.find("\nABORTED\n", at + 1)) ++aborts;
        EXPECT_EQ(aborts, static_cast<size_t>(signals)) << out;
        // The abort line closes the folder's progress line, before anna's user line.
        const size_t bulk = out.find("Copying folder \"Bulk\"");
        const size_t abortLine = out.find("\nABORTED\n");
        EXPECT_LT(bulk, abortLine) << out;
        EXPECT_LT(abortLine, out.find("User \"anna\" was migrated (")) << out;
        EXPECT_EQ(out.find("OK\n", bulk), out.find("OK\n", abortLine)) << out;
        // The cut folder ends with its result, after the abort line, and
        // counts as failed; so do anna's folders never started, and anna.
        const size_t cutLine = out.find("Copying folder \"Bulk\" ... Failed (aborted after ");
        EXPECT_LT(abortLine, cutLine) << out;
        EXPECT_LT(cutLine, out.find("User \"anna\" was migrated (")) << out;
        const auto folders = summaryRow(out, "Folders");
        EXPECT_EQ(folders.first + folders.second, 6) << out;
        EXPECT_GE(folders.second, 1) << out;
        EXPECT_EQ(summaryRow(out, "Users"), std::make_pair(0, 1)) << out;
        const auto messages = summaryRow(out, "Messages");
        EXPECT_EQ(messages.first + messages.second, 7 + kBulk) << out;
        EXPECT_TRUE(contains(out, "Migration was aborted - ")) << out;
        EXPECT_TRUE(contains(out, "\nMigration summary:\n")) << out;
        EXPECT_FALSE(contains(out, "Creating user (2/2)")) << out;
        EXPECT_FALSE(contains(out, "Post office: \"po-beta\"")) << out;
        expectRestoredWithWholeMessages(env, out);
        auto copied = env.target().messages(kGoldenAccounts[0].login, kGoldenAccounts[0].password, "Bulk");
        EXPECT_LT(copied.size(), static_cast<size_t>(kBulk));
    }
}

// A closed terminal (SIGHUP) or a plain kill (SIGTERM) during a copy stops
// the run like SIGINT: the target gets its IMAP bindings back.
TEST(EndToEnd, HangupOrTerminateDuringACopyStillRestores) {
    for (int sig : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        MigrationEnv env;
        ASSERT_NO_FATAL_FAILURE(startUntilTheLargeFolder(env));
        env.tool().signal(sig);
        const int status = env.tool().wait(120000);
        const std::string out = readFile(env.outPath());
        EXPECT_EQ(status, 130) << out;
        EXPECT_TRUE(contains(out, "Migration was aborted - ")) << out;
        expectRestoredWithWholeMessages(env, out);
    }
}

// A user signal or a resource limit stops the run as SIGTERM does (here
// while the switch of public folders is held, so the target has been
// changed): the loops stop, the summary and the restore run. One ignored
// when the tool started stays ignored. (Interrupt_test covers every signal.)
TEST(EndToEnd, EveryCatchableEndingSignalStopsTheRunAndRestores) {
    struct Case {
        const char* name;
        int sig;
        bool ignoredAtStart;
    } cases[] = {
        {"USR1", SIGUSR1, false},
        {"XFSZ", SIGXFSZ, false},
        {"USR1", SIGUSR1, true},
        {"INT", SIGINT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.ignoredAtStart ? " ignored at start" : ""));
        MigrationEnv env;
        prepareGolden(env);
        const std::string home = std::to_string(env.targetPort());
        const std::string release = env.work("release-misc");
        env.startStandIn({"--hold", "update Misc=" + release});
        std::vector<std::string> envOptions;
        if (c.ignoredAtStart) envOptions.push_back(std::string("--ignore-signal=") + std::to_string(c.sig));
        env.spawnTool(env.toolArgs(kGolden), envOptions);
        const bool held = waitForOutput(env, "Switching public folders location ... ");
        env.tool().signal(c.sig);
        const bool delivered = waitDelivered(env.tool().pid(), c.sig);
        testsupport::writeFile(release, "");
        ASSERT_TRUE(held);
        // A signal that ended the tool is never seen as delivered.
        EXPECT_TRUE(delivered);
        const int status = env.tool().wait(120000);
        const std::string out = readFile(env.outPath());
        if (c.ignoredAtStart) {
            EXPECT_EQ(status, 0) << out;
            EXPECT_FALSE(contains(out, "ABORTED")) << out;
            EXPECT_TRUE(contains(out, "Migration finished - ")) << out;
        } else {
            EXPECT_EQ(status, 130) << out;
            EXPECT_TRUE(contains(out, "Switching public folders location ... OK\n\nABORTED\nMigration started - "))
                << out;
            EXPECT_TRUE(contains(out, "ABORTED BY USER\n\nMigration summary:\n")) << out;
            EXPECT_TRUE(contains(out, "Migration was aborted - ")) << out;
            EXPECT_FALSE(contains(out, "Creating domain")) << out;
        }
        EXPECT_TRUE(contains(out, "Restoring Zelvo MailServer IMAP service configuration ... OK\n")) << out;
        EXPECT_EQ(env.standIn("s['imap']['listening']"), "[" + home + "]");
    }
}

// Ctrl-\ (SIGQUIT) is a hard kill like SIGKILL: the run ends at once, with
// no summary and no restore, and the target's IMAP service stays on the
// temporary port.
TEST(EndToEnd, QuitSignalIsAHardKill) {
    // No core file from the tool, whatever the machine's limit.
    const rlimit noCore = {0, 0};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &noCore), 0);
    MigrationEnv env;
    ASSERT_NO_FATAL_FAILURE(startUntilTheLargeFolder(env));
    env.tool().signal(SIGQUIT);
    const int status = env.tool().wait(120000);
    const std::string out = readFile(env.outPath());
    EXPECT_EQ(status, 128 + SIGQUIT) << out;
    EXPECT_FALSE(contains(out, "Migration summary")) << out;
    EXPECT_FALSE(contains(out, "Restoring Zelvo MailServer")) << out;
    EXPECT_EQ(env.standIn("s['imap']['listening']"), "[8143]");
}

namespace {

// A source that greets as the old server, takes any CRAM-MD5 login, lists
// one folder of two messages and, asked for them, sends the first part of
// the first body and then nothing, holding the connection open until the
// client closes it. Given another command word, it goes silent at the first
// command holding that word instead.
class StallingSource {
public:
    explicit StallingSource(const char* stallAt = "A FETCH 1:2")
        : stallAt_(stallAt), fetchStall_(std::string(stallAt) == "A FETCH 1:2") {
        listenFd_ = testsupport::listenOnLoopback(port_);
        if (::pipe(stopPipe_) != 0) {
            ::close(listenFd_);
            throw std::runtime_error("stalling source: no pipe");
        }
        thread_ = std::thread([this] {
            for (;;) {
                if (!waitReadable(listenFd_)) return;
                const int fd = ::accept(listenFd_, nullptr, nullptr);
                if (fd < 0) return;
                serve(fd);
                ::close(fd);
            }
        });
    }
    ~StallingSource() {
        const char stop = 's';
        (void)!::write(stopPipe_[1], &stop, 1);
        thread_.join();
        for (int fd : {listenFd_, stopPipe_[0], stopPipe_[1]}) ::close(fd);
    }
    StallingSource(const StallingSource&) = delete;
    StallingSource& operator=(const StallingSource&) = delete;

    int port() const { return port_; }
    // True once the body was cut off in the middle.
    bool stalled() const { return stalled_; }

private:
    // False when the server is being stopped.
    bool waitReadable(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        while (::poll(p, 2, -1) < 0)
            if (errno != EINTR) return false;
        return (p[1].revents & POLLIN) == 0;
    }
    bool send(int fd, const std::string& bytes) {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // One line, or empty when the client closed or the server stops.
    std::string readLine(int fd) {
        std::string line;
        char c = 0;
        while (c != '\n') {
            if (!waitReadable(fd) || ::recv(fd, &c, 1, 0) != 1) return std::string();
            line += c;
        }
        return line;
    }
    void serve(int fd) {
        if (!send(fd, "* OK 4D Mail IMAP ready\r\n")) return;
        for (std::string line; !(line = readLine(fd)).empty();) {
            const std::string tag = line.substr(0, line.find(' '));
            auto has = [&](const char* word) { return line.find(word) != std::string::npos; };
            std::string reply;
            if (!fetchStall_ && has(stallAt_)) {
                stalled_ = true;
                while (!readLine(fd).empty()) {
                }
                return;
            }
            if (has(" AUTHENTICATE ")) {
                send(fd, "+ PDEyMzQ1QGxvY2FsaG9zdD4=\r\n");
                if (readLine(fd).empty()) return;
                reply = tag + " OK logged in\r\n";
            } else if (has(" LIST ")) {
                reply = "* LIST () \"/\" \"INBOX\"\r\n" + tag + " OK done\r\n";
            } else if (has(" STATUS ")) {
                reply = "* STATUS \"INBOX\" (MESSAGES 2)\r\n" + tag + " OK done\r\n";
            } else if (has(" SELECT ")) {
                reply = "* 2 EXISTS\r\n" + tag + " OK [READ-WRITE] selected\r\n";
            } else if (has("A FETCH 1:2 (INTERNALDATE FLAGS)")) {
                reply = "* 1 FETCH (INTERNALDATE \"01-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen))\r\n"
                        "* 2 FETCH (INTERNALDATE \"01-Jan-2024 00:00:00 +0000\" FLAGS ())\r\nA OK done\r\n";
            } else if (has("A FETCH 1:2")) {
                send(fd, "* 1 FETCH (INTERNALDATE \"01-Jan-2024 00:00:00 +0000\" FLAGS (\\Seen) BODY[] {100000}\r\n" +
                             std::string(30000, 'm'));
                stalled_ = true;
                // Silent from here on; whatever the client still sends is read and left unanswered.
                while (!readLine(fd).empty()) {
                }
                return;
            } else if (has(" LOGOUT")) {
                send(fd, "* BYE bye\r\n" + tag + " OK done\r\n");
                return;
            } else {
                reply = tag + " BAD unexpected\r\n";
            }
            if (!send(fd, reply)) return;
        }
    }

    const char* stallAt_;
    bool fetchStall_;  // the stall of the body; else silence at stallAt_
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<bool> stalled_{false};
    std::thread thread_;
};

}  // namespace

// Two interrupts while a copy waits on a source that went silent (in the
// middle of a body, at the login, at the listing): the second one cuts the
// IMAP connections, so the run goes straight to the summary and the restore
// instead of waiting out the read time-out; the message in transfer fails and
// nothing of it is stored. What the cut broke is told as the interrupt's
// doing: no line blames the server, the cut folder's line ends with its
// result, and the user whose mail did not move is named and counted failed.
TEST(EndToEnd, SecondInterruptCutsABlockedCopy) {
    const std::string notCopied = "ERROR: User \"anna\" was created, but its mail was not copied.\n\n";
    struct Case {
        const char* stallAt;
        const char* before;  // the output that precedes the stall
        std::string lines;
        std::pair<int, int> folders;
        std::pair<int, int> messages;
    };
    const Case cases[] = {
        {"A FETCH 1:2", "Copying folder \"INBOX\" (2 messages) ... ",
         "Copying folder \"INBOX\" ... Failed (aborted after 0 of 2 messages)\n" + notCopied, {0, 1}, {0, 2}},
        {" AUTHENTICATE ", "Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n", notCopied, {0, 0}, {0, 0}},
        {" LIST ", "Creating user (1/2) \"anna\" [\"Anna Berg\"] ... OK\n", notCopied, {0, 0}, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stallAt);
        MigrationEnv env;
        for (const auto& a : kGoldenAccounts) env.addAccount(a);
        env.startStandIn();
        StallingSource source(c.stallAt);
        std::vector<std::string> args = env.toolArgs(kGolden);
        args[9] = std::to_string(source.port());
        env.spawnTool(args);
        ASSERT_TRUE(waitForOutput(env, c.before));
        for (int i = 0; i < 6000 && !source.stalled(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(source.stalled());

        env.tool().signal(SIGINT);
        ASSERT_TRUE(waitDelivered(env.tool().pid(), SIGINT));
        env.tool().signal(SIGINT);
        // The read time-out is 180 s; a cut connection ends the wait at once.
        const int status = env.tool().wait(30000);
        const std::string out = readFile(env.outPath());
        ASSERT_NE(status, -1) << "still waiting after two interrupts\n" << out;
        EXPECT_EQ(status, 130) << out;
        size_t aborts = 0;
        for (size_t at = out.find("\nABORTED\n"); at != std::string::npos; at = out.find("\nABORTED\n", at + 1)) ++aborts;
        EXPECT_EQ(aborts, 2u) << out;
        // Told after both abort lines.
        EXPECT_LT(out.rfind("\nABORTED\n"), out.find(c.lines)) << out;
        EXPECT_TRUE(contains(out, c.lines)) << out;
        for (const char* blame : {"Unable connect to", "I am not able", "Unable list source folders", "Connection error."})
            EXPECT_FALSE(contains(out, blame)) << blame << "\n" << out;
        EXPECT_TRUE(contains(out, "Migration was aborted - ")) << out;
        EXPECT_EQ(summaryRow(out, "Users"), std::make_pair(0, 1)) << out;
        EXPECT_EQ(summaryRow(out, "Folders"), c.folders) << out;
        EXPECT_EQ(summaryRow(out, "Messages"), c.messages) << out;
        EXPECT_FALSE(contains(out, "Creating user (2/2)")) << out;
        EXPECT_TRUE(contains(out, "Restoring Zelvo MailServer IMAP service configuration ... OK\n")) << out;
        EXPECT_EQ(env.standIn("s['imap']['listening']"), "[" + std::to_string(env.targetPort()) + "]");
        EXPECT_TRUE(env.target().messages(kGoldenAccounts[0].login, kGoldenAccounts[0].password, "INBOX").empty());
    }
}

// An interrupt while a user is being created (the stand-in holds the
// statement until the signal was delivered) lets the creation finish and
// copies nothing more: the user exists on the target without mail, so he is
// named in a line of his own and counted failed (a later run would skip him
// as existing).
TEST(EndToEnd, UserCreatedJustBeforeAnInterrupt) {
    MigrationEnv env;
    prepareGolden(env);
    const std::string release = env.work("release-ben");
    env.startStandIn({"--hold", "insert User set Name='ben'=" + release});
    env.spawnTool(env.toolArgs(kGolden));
    ASSERT_TRUE(waitForOutput(env, "Creating user (2/2) \"ben\" [\"Ben Cole\"] ... "));
    env.tool().signal(SIGINT);
    const bool delivered = waitDelivered(env.tool().pid(), SIGINT);
    testsupport::writeFile(release, "");
    ASSERT_TRUE(delivered);
    const int status = env.tool().wait(120000);
    const std::string out = readFile(env.outPath());
    EXPECT_EQ(status, 130) << out;
    EXPECT_TRUE(contains(out, "Creating user (2/2) \"ben\" [\"Ben Cole\"] ... OK\n\nABORTED\n"
                              "ERROR: User \"ben\" was created, but its mail was not copied.\n\n"
                              "Domain \"acme.test\" was migrated (1 users, 5 folders, 7 messages, 1 errors)\n"))
        << out;
    EXPECT_EQ(summaryRow(out, "Users"), std::make_pair(1, 1)) << out;
    EXPECT_EQ(env.standIn("sorted(u['Name'] for u in s['tables']['User'])"), "['anna', 'ben']");
    EXPECT_TRUE(env.target().messages("ben@acme.test", "ben pw", "INBOX").empty());
}

// An interrupt that comes once the migration loop has ended (here inside the
// final restore, held by the stand-in until the signal was delivered) left no
// work undone: the closing line and the exit status stay those of the
// finished run, and the restore completes.
TEST(EndToEnd, InterruptDuringTheFinalRestoreKeepsTheOutcome) {
    MigrationEnv env;
    prepareGolden(env);
    const std::string home = std::to_string(env.targetPort());
    const std::string release = env.work("release-restore");
    env.startStandIn({"--hold", "Port='" + home + "'=" + release});
    env.spawnTool(env.toolArgs(kGolden));
    ASSERT_TRUE(waitForOutput(env, "Restoring Zelvo MailServer IMAP service configuration ... "));
    env.tool().signal(SIGINT);
    const bool delivered = waitDelivered(env.tool().pid(), SIGINT);
    testsupport::writeFile(release, "");
    ASSERT_TRUE(delivered);
    const int status = env.tool().wait(120000);
    const std::string out = readFile(env.outPath());
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(contains(out, "Migration finished - ")) << out;
    EXPECT_FALSE(contains(out, "Migration was aborted")) << out;
    EXPECT_TRUE(contains(out, "Restoring Zelvo MailServer IMAP service configuration ... OK\n")) << out;
    EXPECT_EQ(env.standIn("s['imap']['listening']"), "[" + home + "]");
    std::string report;
    EXPECT_EQ(env.compareMailboxes(kGoldenAccounts, report), 0) << report;
}

// The target's IMAP service goes away in the middle of a user: that user
// fails, the run goes on, and the bindings are restored.
TEST(EndToEnd, TargetImapDropsDuringAUser) {
    MigrationEnv env;
    ASSERT_NO_FATAL_FAILURE(startUntilTheLargeFolder(env));
    env.target().stop();
    const int status = env.tool().wait(300000);
    const std::string out = readFile(env.outPath());
    EXPECT_EQ(status, 1) << out;
    EXPECT_TRUE(contains(out, "Creating user (2/2) \"ben\"")) << out;
    EXPECT_TRUE(contains(out, "Creating user (1/1) \"cleo\"")) << out;
    expectRestoredWithWholeMessages(env, out);
}

// The last word on the restore is the target's state at the end. A restore
// that completed is not repeated; one that did not is tried once more before
// the tool exits (on a fresh session when the old one broke), with a line of
// its own, and exit status 10 means the IMAP service is not back.
TEST(EndToEnd, AdministrationDropsAroundTheRestore) {
    const std::string restored = "Restoring Zelvo MailServer IMAP service configuration ... OK\n";
    const std::string failed = "Restoring Zelvo MailServer IMAP service configuration ... Failed\n"
                               "ERROR: Unable to restore Zelvo MailServer configuration.\n\n";
    const std::string again = "Restoring Zelvo MailServer IMAP service configuration before exit ... ";
    const std::string deletes = "delete from ServicePorts";
    struct Case {
        const char* name;
        std::vector<std::string> knobs;  // a "<HOME>" stands for the target's own IMAP port
        int status;
        std::string tail;                // how the output ends
        bool back;                       // the service listens on its own port again
        int restores;                    // deletes of the IMAP bindings after the switch's
    } cases[] = {
        {"a restore at exit after the run's own would be cut", {"--cut-after", deletes + "=3+"}, 0, restored, true, 1},
        // The target is back, but the run wrote an ERROR line: not a clean run.
        {"the run's restore cut after its delete", {"--cut-after", deletes + "=2"}, 1, failed + again + "OK\n", true,
         2},
        {"the run's restore dropped at its insert", {"--raw-once", "Port='<HOME>'=close"}, 1,
         failed + again + "OK\n", true, 2},
        // The target is back as it was found: the restore before exit reads
        // that and sends nothing more (the ERROR line still makes it 1).
        {"the run's restore carried out, its last answer lost", {"--cut-after", "start_service=2"}, 1,
         failed + again + "OK\n", true, 1},
        {"the same, and every later start lost too", {"--cut-after", "start_service=2+"}, 1,
         failed + again + "OK\n", true, 1},
        {"both restores cut", {"--cut-after", deletes + "=2+"}, 10,
         failed + again + "Failed\nERROR: Zelvo MailServer IMAP service was left unrestored: put back its bindings "
                          "(0.0.0.0:<HOME>); it was running before the run.\n\n",
         false, 2},
        // Where the restore at exit cannot know what the target did, it
        // looks once more on a new connection before it says either.
        {"the run's restore carried out, the first look at exit cut",
         {"--cut-after", "start_service=2", "--cut-after", "select Port, IPAddress=2"}, 1, failed + again + "OK\n",
         true, 1},
        {"the restore at exit carried out, its start's answer lost",
         {"--cut-after", deletes + "=2", "--cut-after", "start_service=2"}, 1, failed + again + "OK\n", true, 2},
        {"the run's restore carried out, every look at exit cut",
         {"--cut-after", "start_service=2", "--cut-after", "select Port, IPAddress=2+"}, 10,
         failed + again + "Failed\nERROR: Zelvo MailServer IMAP service may have been left unrestored (the "
                          "connection to it was lost): its bindings must be (0.0.0.0:<HOME>); it was running before "
                          "the run.\n\n",
         true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MigrationEnv env;
        prepareGolden(env);
        const std::string home = std::to_string(env.targetPort());
        auto withHome = [&home](std::string text) {
            for (size_t at = text.find("<HOME>"); at != std::string::npos; at = text.find("<HOME>", at))
                text.replace(at, 6, home);
            return text;
        };
        std::vector<std::string> knobs;
        for (const auto& k : c.knobs) knobs.push_back(withHome(k));
        env.startStandIn(knobs);
        ToolRun run = env.runTool(env.toolArgs(kGolden));
        const std::string tail = withHome(c.tail);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_TRUE(contains(run.out, "Migration finished - ")) << run.out;
        EXPECT_TRUE(run.out.size() >= tail.size() && run.out.compare(run.out.size() - tail.size(), tail.size(), tail) == 0)
            << "expected the output to end with:\n" << tail << "\nin:\n" << run.out;
        EXPECT_EQ(env.standIn("s['imap']['running']"), c.back ? "True" : "False");
        EXPECT_EQ(env.standIn("s['imap']['listening']"), c.back ? "[" + home + "]" : "[]");
        if (c.back) {
            EXPECT_EQ(env.standIn("[r['Port'] for r in s['tables']['ServicePorts'] if r['Service'] == 'IMAP']"),
                      "['" + home + "']");
        }
        EXPECT_EQ(env.standIn("len([e for e in s['log'] if e.get('statement', '').startswith('" + deletes + "')])"),
                  std::to_string(1 + c.restores));
    }
}
