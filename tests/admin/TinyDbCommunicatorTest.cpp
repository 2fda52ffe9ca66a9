#include "admin/TinyDbCommunicator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <memory>

#include "migration/LogStream.h"
#include "tests/admin/StandIn.h"
#include "tests/support/Dovecot.h"
#include "tests/support/TestSupport.h"

using admintest::StandIn;
using Row = std::vector<std::pair<std::string, std::string>>;

namespace {

const char selectBindings[] = "select Port, IPAddress from ServicePorts where Service='IMAP'";
const char selectStatus[] = "select Running, AutoStart from service-imap";
const char stopImap[] = "select stop_service('IMAP')";
const char startImap[] = "select start_service('IMAP')";
const char deleteImap[] = "delete from ServicePorts where Service='IMAP'";

std::string insertBinding(const std::string& ip, int port)
{
    return "insert ServicePorts set Service='IMAP', IPAddress='" + ip + "', Port='" + std::to_string(port) + "'";
}

Row binding(const std::string& service, const std::string& ip, int port)
{
    return {{"Service", service}, {"IPAddress", ip}, {"Port", std::to_string(port)}};
}

// The stand-in's rows after a restore of its initial IMAP bindings: they
// come back after the other rows.
std::vector<Row> restoredBindings()
{
    return {binding("SMTP", "0.0.0.0", 25), binding("IMAP", "0.0.0.0", 143), binding("IMAP", "127.0.0.1", 1143)};
}

boost::shared_ptr<WebStarPostOffice> postOffice(const std::string& name, const std::string& displayName,
                                                const std::vector<std::string>& domains)
{
    auto po = boost::make_shared<WebStarPostOffice>();
    po->name = name;
    po->displayName = displayName;
    po->smtpDomains = domains;
    return po;
}

boost::shared_ptr<WebStarUser> webUser(const std::string& domain, const std::string& name,
                                       const std::string& password, const std::string& fullName)
{
    auto u = boost::make_shared<WebStarUser>();
    u->domain = domain;
    u->name = name;
    u->password = password;
    u->fullName = fullName;
    return u;
}

// True when something accepts TCP connections on 127.0.0.1:port.
bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string greeting(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string line;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        char c;
        while (::read(fd, &c, 1) == 1 && c != '\n')
            line += c;
    }
    ::close(fd);
    return line;
}

// The tagged answer to a LOGIN on 127.0.0.1:port.
std::string imapLogin(int port, const std::string& login, const std::string& password)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string command = "a LOGIN \"" + login + "\" \"" + password + "\"\r\n";
        std::string line;
        char c;
        while (answer.empty() && ::read(fd, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.compare(0, 4, "* OK") == 0 && line.find("ready") != std::string::npos)
                (void)!::write(fd, command.data(), command.size());
            else if (line.compare(0, 2, "a ") == 0)
                answer = line;
            line.clear();
        }
    }
    ::close(fd);
    return answer;
}

class Communicator : public ::testing::Test {
protected:

    // Writes initial tables for the stand-in and returns its options.
    std::vector<std::string> tables(const std::string& json)
    {
        const std::string path = home.file("tables.json");
        testsupport::writeFile(path, json);
        return {"--tables", path};
    }
    // Stand-in options: the administrator's credentials, then knobs.
    static std::vector<std::string> withAdmin(const std::vector<std::string>& knobs)
    {
        std::vector<std::string> args = {"--admin", "admin:secret"};
        args.insert(args.end(), knobs.begin(), knobs.end());
        return args;
    }
    std::unique_ptr<TinyDbCommunicator> connected(const StandIn& server)
    {
        auto c = std::make_unique<TinyDbCommunicator>("admin", "secret", server.host(), log, server.port());
        EXPECT_EQ(TinyDbResult::Ok, c->connect(true));
        return c;
    }

    testsupport::TempDir home{"chome"};
    testsupport::ScopedEnv homeVariable{"HOME", home.path()};
    std::ostringstream out;
    LogStream log{&out};
};

}  // namespace

TEST_F(Communicator, SaveSwitchAndRestore)
{
    StandIn server({"--admin", "admin:secret"});
    auto c = connected(server);
    ASSERT_TRUE(c->isConnected());
    EXPECT_EQ(8143, c->getImapPort());
    ASSERT_EQ(TinyDbResult::Ok, c->saveAndChangeImapStatus());
    EXPECT_EQ(8143, c->getImapPort());
    EXPECT_TRUE(c->isStatusSaved());
    EXPECT_EQ((std::vector<std::string>{selectBindings, selectStatus, stopImap, deleteImap,
                                        insertBinding("0.0.0.0", 8143), startImap}),
              server.statements());
    ASSERT_EQ(2u, c->getSavedBindings().size());
    EXPECT_EQ(143, c->getSavedBindings()[0].port);
    EXPECT_EQ(1143, c->getSavedBindings()[1].port);
    EXPECT_EQ(0, std::memcmp("\x7f\x00\x00\x01", &c->getSavedBindings()[1].ip, 4));
    EXPECT_EQ((std::vector<Row>{binding("SMTP", "0.0.0.0", 25), binding("IMAP", "0.0.0.0", 8143)}),
              server.table("ServicePorts"));
    EXPECT_EQ("true", server.state().get<std::string>("imap.running"));

    ASSERT_EQ(TinyDbResult::Ok, c->setGlobalPublicFolders());
    EXPECT_EQ((std::vector<Row>{{{"PublicFoldersPerDomain", "0"}}}), server.table("Misc"));

    // A second save reads nothing: the bindings of the first one stay.
    EXPECT_EQ(TinyDbResult::Ok, c->saveImapServiceStatus());
    const size_t before = server.statements().size();
    ASSERT_EQ(TinyDbResult::Ok, c->restoreImapStatus());
    const std::vector<std::string> afterRestore = server.statements();
    std::vector<std::string> restore(afterRestore.begin() + before, afterRestore.end());
    const std::vector<std::string> restoreStatements = {stopImap, deleteImap, insertBinding("0.0.0.0", 143),
                                                        insertBinding("127.0.0.1", 1143), startImap};
    EXPECT_EQ(restoreStatements, restore);
    EXPECT_EQ((std::vector<Row>{binding("SMTP", "0.0.0.0", 25), binding("IMAP", "0.0.0.0", 143),
                                binding("IMAP", "127.0.0.1", 1143)}),
              server.table("ServicePorts"));
    EXPECT_EQ("true", server.state().get<std::string>("imap.running"));

    // A completed restore is not repeated when the object goes: that would
    // only cut the target's IMAP clients once more.
    EXPECT_FALSE(c->needsRestore());
    const size_t beforeDestruction = server.statements().size();
    c.reset();
    EXPECT_EQ(beforeDestruction, server.statements().size());
    EXPECT_EQ("", out.str());
}

// What is left to put back after a switch that did not go through: a stop
// the server refused changed nothing; a stop that went through (or whose
// fate is unknown) leaves a restore to do.
TEST_F(Communicator, SwitchThatFailedLeavesARestoreOnlyWhenItChangedTheTarget)
{
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
        bool needsRestore;
        int stops;  // in all, destruction included
    } cases[] = {
        {"stop refused", {"--fail", "stop_service=3:1"}, false, 1},
        {"session dropped after the stop", {"--cut-after", "stop_service=1"}, true, 2},
        {"start refused on both ports", {"--refuse-imap-port", "8143", "--refuse-imap-port", "8144"}, true, 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        StandIn server(k.knobs);
        auto c = connected(server);
        EXPECT_NE(TinyDbResult::Ok, c->saveAndChangeImapStatus());
        EXPECT_EQ(k.needsRestore, c->needsRestore());
        c.reset();
        const std::vector<std::string> all = server.statements();
        EXPECT_EQ(k.stops, std::count(all.begin(), all.end(), std::string(stopImap)));
    }
}

// The restore at destruction runs once more on the same session; only when
// that session broke does it open a fresh one. A refusal on a sound session
// (a start the target refuses, a statement it refuses) is not repeated on a
// second session.
TEST_F(Communicator, RestoreAtExitReconnectsOnlyAfterABrokenSession)
{
    const std::vector<Row> restored = restoredBindings();
    // A start answered with the value 0: the service did not start.
    const std::string notStarted = "00000000" "00000025" "00000000" "00000000"
                                   "0073" "0001" "00000001" "00000000" "00000000" "00000000"
                                   "000200" "00000002" "6e00"
                                   "00000004" "00000000";
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
        int change;     // the result of the switch
        int restore;    // the result of the restore before destruction
        int sessions;   // logins in all
        std::vector<Row> bindings;
        const char* running;
    } cases[] = {
        {"session dropped inside the restore", {"--raw-once", "Port='143'=close"}, TinyDbResult::Ok,
         TinyDbResult::QueryFailed, 2, restored, "true"},
        {"start refused", {"--raw", "start_service=" + notStarted}, TinyDbResult::Failed, TinyDbResult::Failed, 1,
         restored, "false"},
        {"statement refused", {"--fail", "IPAddress='127.0.0.1'=3:1"}, TinyDbResult::Ok, TinyDbResult::QueryFailed,
         1, {binding("SMTP", "0.0.0.0", 25), binding("IMAP", "0.0.0.0", 143)}, "false"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        StandIn server(withAdmin(k.knobs));
        auto c = connected(server);
        ASSERT_EQ(k.change, c->saveAndChangeImapStatus());
        EXPECT_EQ(k.restore, c->restoreImapStatus());
        c.reset();
        EXPECT_EQ(k.sessions, server.state().get<int>("sessions"));
        const std::vector<std::string> all = server.statements();
        // The switch, the restore, and one restore at destruction.
        EXPECT_EQ(3, std::count(all.begin(), all.end(), std::string(stopImap)));
        EXPECT_EQ(k.bindings, server.table("ServicePorts"));
        EXPECT_EQ(k.running, server.state().get<std::string>("imap.running"));
    }
}

// On its fresh session the restore at exit first reads the target's IMAP
// bindings and service state: when they are the saved ones (a restore
// carried out whose last answer was lost, a stop never carried out), it is
// done without a statement that would cut the service's clients again.
TEST_F(Communicator, RestoreAtExitLooksBeforeItSpeaks)
{
    const std::vector<Row> asFound = {binding("IMAP", "0.0.0.0", 143), binding("SMTP", "0.0.0.0", 25),
                                      binding("IMAP", "127.0.0.1", 1143)};
    const std::vector<Row> putBack = restoredBindings();
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
        int change;         // the result of the switch
        bool runRestore;    // the run's own restore is tried (and fails)
        int stops;          // in all
        std::vector<Row> bindings;
    } cases[] = {
        {"the run's restore carried out, its last answer lost", {"--cut-after", "start_service=2"},
         TinyDbResult::Ok, true, 2, putBack},
        {"the same, and every later start lost too", {"--cut-after", "start_service=2+"}, TinyDbResult::Ok, true,
         2, putBack},
        {"the switch's stop never carried out", {"--raw", "stop_service=close"}, TinyDbResult::QueryFailed, false,
         1, asFound},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        StandIn server(withAdmin(k.knobs));
        auto c = connected(server);
        ASSERT_EQ(k.change, c->saveAndChangeImapStatus());
        ASSERT_TRUE(c->needsRestore());
        if (k.runRestore) {
            ASSERT_EQ(TinyDbResult::QueryFailed, c->restoreImapStatus());
        }
        const size_t before = server.statements().size();
        EXPECT_EQ(TinyDbResult::Ok, c->restoreAtExit());
        EXPECT_FALSE(c->needsRestore());
        const std::vector<std::string> all = server.statements();
        EXPECT_EQ((std::vector<std::string>{selectBindings, selectStatus}),
                  std::vector<std::string>(all.begin() + before, all.end()));
        c.reset();
        EXPECT_EQ(2, server.state().get<int>("sessions"));
        const std::vector<std::string> last = server.statements();
        EXPECT_EQ(k.stops, std::count(last.begin(), last.end(), std::string(stopImap)));
        EXPECT_EQ(k.bindings, server.table("ServicePorts"));
        EXPECT_EQ("true", server.state().get<std::string>("imap.running"));
    }
}

// What the fresh session reads decides: bindings or a service state other
// than the saved ones are put back.
TEST_F(Communicator, RestoreAtExitPutsBackWhatDiffers)
{
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
    } cases[] = {
        {"the run's restore cut after its delete", {"--cut-after", "delete from ServicePorts=2"}},
        {"the run's restore cut after its stop", {"--cut-after", "stop_service=2"}},
        {"the run's restore dropped at its first insert", {"--raw-once", "Port='143'=close"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        StandIn server(withAdmin(k.knobs));
        auto c = connected(server);
        ASSERT_EQ(TinyDbResult::Ok, c->saveAndChangeImapStatus());
        ASSERT_NE(TinyDbResult::Ok, c->restoreImapStatus());
        EXPECT_EQ(TinyDbResult::Ok, c->restoreAtExit());
        c.reset();
        const std::vector<std::string> all = server.statements();
        EXPECT_EQ(3, std::count(all.begin(), all.end(), std::string(stopImap)));
        EXPECT_EQ(restoredBindings(), server.table("ServicePorts"));
        EXPECT_EQ("true", server.state().get<std::string>("imap.running"));
    }
}

// A restore at exit that lost its session where it cannot know what the
// target did (at its first look, at the answer to its last start) looks once
// more on a new session before it says either; when no look can be made,
// or the reconnection is refused, it says it cannot know.
TEST_F(Communicator, RestoreAtExitThatCannotKnowLooksOnceMore)
{
    const std::string deletes = "delete from ServicePorts";
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
        int rc;          // of restoreAtExit
        int sessions;    // logins in all
        bool back;       // the saved bindings are back and the service runs
    } cases[] = {
        {"its first look cut", {"--cut-after", "start_service=2", "--cut-after", std::string(selectBindings) + "=2"},
         TinyDbResult::Ok, 3, true},
        {"its last start carried out, unanswered",
         {"--cut-after", deletes + "=2", "--cut-after", "start_service=2"}, TinyDbResult::Ok, 3, true},
        {"every look cut", {"--cut-after", "start_service=2", "--cut-after", std::string(selectBindings) + "=2+"},
         TinyDbResult::AnswerLost, 3, true},
        // The last look shows the bindings gone: that much is known.
        {"every restore cut", {"--cut-after", deletes + "=2+"}, TinyDbResult::Failed, 3, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        StandIn server(withAdmin(k.knobs));
        auto c = connected(server);
        ASSERT_EQ(TinyDbResult::Ok, c->saveAndChangeImapStatus());
        ASSERT_EQ(TinyDbResult::QueryFailed, c->restoreImapStatus());
        EXPECT_EQ(k.rc, c->restoreAtExit());
        EXPECT_EQ(k.rc != TinyDbResult::Ok, c->needsRestore());
        c.reset();
        EXPECT_EQ(k.sessions, server.state().get<int>("sessions"));
        if (k.back)
            EXPECT_EQ(restoredBindings(), server.table("ServicePorts"));
        else
            EXPECT_NE(restoredBindings(), server.table("ServicePorts"));
        EXPECT_EQ(k.back ? "true" : "false", server.state().get<std::string>("imap.running"));
    }
    {
        SCOPED_TRACE("the reconnection refused");
        auto server = std::make_unique<StandIn>(withAdmin({"--cut-after", "start_service=2"}));
        auto c = connected(*server);
        ASSERT_EQ(TinyDbResult::Ok, c->saveAndChangeImapStatus());
        ASSERT_EQ(TinyDbResult::QueryFailed, c->restoreImapStatus());
        server.reset();
        EXPECT_EQ(TinyDbResult::AnswerLost, c->restoreAtExit());
        EXPECT_TRUE(c->needsRestore());
    }
}

TEST_F(Communicator, RefusedStartsMoveThePort)
{
    {
        StandIn server({"--refuse-imap-port", "8143"});
        auto c = connected(server);
        EXPECT_EQ(TinyDbResult::Ok, c->saveAndChangeImapStatus());
        EXPECT_EQ(8144, c->getImapPort());
        const std::vector<std::string> s = server.statements();
        ASSERT_EQ(9u, s.size());
        EXPECT_EQ(insertBinding("0.0.0.0", 8143), s[4]);
        EXPECT_EQ(deleteImap, s[6]);
        EXPECT_EQ(insertBinding("0.0.0.0", 8144), s[7]);
        EXPECT_EQ(startImap, s[8]);
        EXPECT_EQ("true", server.state().get<std::string>("imap.running"));
    }
    {
        StandIn server({"--refuse-imap-port", "8143", "--refuse-imap-port", "8144"});
        auto c = connected(server);
        EXPECT_EQ(TinyDbResult::Failed, c->saveAndChangeImapStatus());
        EXPECT_EQ(8145, c->getImapPort());
        EXPECT_EQ("false", server.state().get<std::string>("imap.running"));
        EXPECT_EQ((std::vector<Row>{binding("SMTP", "0.0.0.0", 25), binding("IMAP", "0.0.0.0", 8144)}),
                  server.table("ServicePorts"));
        // The saved bindings still come back when the object goes.
        c.reset();
        EXPECT_EQ((std::vector<Row>{binding("SMTP", "0.0.0.0", 25), binding("IMAP", "0.0.0.0", 143),
                                    binding("IMAP", "127.0.0.1", 1143)}),
                  server.table("ServicePorts"));
        EXPECT_EQ("true", server.state().get<std::string>("imap.running"));
    }
}

TEST_F(Communicator, StoppedServiceAndNoBindings)
{
    StandIn server(tables(R"({"ServicePorts": [{"Service": "POP3", "IPAddress": "0.0.0.0", "Port": "110"}],
                              "service-imap": [{"Running": "0", "AutoStart": "1"}]})"));
    auto c = connected(server);
    ASSERT_EQ(TinyDbResult::Ok, c->saveAndChangeImapStatus());
    EXPECT_TRUE(c->getSavedBindings().empty());
    const size_t before = server.statements().size();
    ASSERT_EQ(TinyDbResult::Ok, c->restoreImapStatus());
    const std::vector<std::string> all = server.statements();
    // Nothing to insert, and a service that was stopped stays stopped.
    EXPECT_EQ((std::vector<std::string>{stopImap, deleteImap}), std::vector<std::string>(all.begin() + before, all.end()));
    EXPECT_EQ((std::vector<Row>{binding("POP3", "0.0.0.0", 110)}), server.table("ServicePorts"));
    EXPECT_EQ("false", server.state().get<std::string>("imap.running"));
}

TEST_F(Communicator, StatusAnswerMustHoldOneRow)
{
    for (const char* shape : {"norow", "tworows"}) {
        SCOPED_TRACE(shape);
        StandIn server({"--shape", std::string("service-imap=") + shape});
        auto c = connected(server);
        EXPECT_EQ(TinyDbResult::QueryFailed, c->saveAndChangeImapStatus());
        EXPECT_FALSE(c->isStatusSaved());
        c.reset();
        EXPECT_EQ((std::vector<std::string>{selectBindings, selectStatus}), server.statements());
    }
}

TEST_F(Communicator, BindingsAnswerThatCannotBeRestoredStopsTheSwitch)
{
    // Saved wrongly, the bindings would come back as something else (or not
    // at all) at the restore: the switch must not begin.
    const std::string header = "5a455601";
    const std::string columns = "0073000200000001000000000000000000000000"
                                "00070000000005506f727400"
                                "0004000000000a49504164647265737300";
    struct Case {
        const char* what;
        std::string reply;
    } cases[] = {
        {"not a row set", header + "0000000c" + "0000000000000000" + "007500000000000000000000"},
        {"4-byte port", header + "00000041" + "0000000000000000" + columns + "000000040000008f" + "000000047f000001"},
        {"8-byte address", header + "00000043" + "0000000000000000" + columns + "00000002008f" +
                               "00000008302e302e302e3000"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        StandIn server({"--raw-once", "select Port=" + k.reply});
        auto c = connected(server);
        EXPECT_EQ(TinyDbResult::QueryFailed, c->saveAndChangeImapStatus());
        EXPECT_FALSE(c->isStatusSaved());
        c.reset();
        EXPECT_EQ((std::vector<std::string>{selectBindings}), server.statements());
        EXPECT_EQ(3u, server.table("ServicePorts").size());
    }
}

TEST_F(Communicator, FailedStatementsEndTheOperation)
{
    struct Case {
        const char* fail;
        int rc;
        size_t statements;
    } cases[] = {
        {"ServicePorts where=3:1", TinyDbResult::QueryFailed, 1},
        {"stop_service=3:1", TinyDbResult::QueryFailed, 3},
        {"insert ServicePorts=3:1", TinyDbResult::QueryFailed, 5},
        {"start_service=3:1", TinyDbResult::QueryFailed, 6},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.fail);
        StandIn server({"--fail", k.fail});
        auto c = connected(server);
        EXPECT_EQ(k.rc, c->saveAndChangeImapStatus());
        EXPECT_EQ(k.statements, server.statements().size());
    }
    // A start whose answer carries no 32-bit value is not taken as a start.
    StandIn server({"--raw", "start_service=" + std::string("00000000000000100000000000000000") +
                                 "0073" + std::string(28, '0')});
    auto c = connected(server);
    EXPECT_EQ(TinyDbResult::QueryFailed, c->saveAndChangeImapStatus());
}

TEST_F(Communicator, NotConnected)
{
    StandIn server({"--refuse-login"});
    TinyDbCommunicator c("admin", "secret", server.host(), log, server.port());
    auto po = postOffice("po", "PO", {"a.test"});
    auto u = webUser("a.test", "u", "p", "");
    EXPECT_EQ(TinyDbResult::NotConnected, c.saveAndChangeImapStatus());
    EXPECT_EQ(TinyDbResult::NotConnected, c.setGlobalPublicFolders());
    EXPECT_EQ(TinyDbResult::NotConnected, c.createDomain(po));
    EXPECT_EQ(TinyDbResult::NotConnected, c.createUser(u, true));
    EXPECT_EQ(TinyDbResult::NotConnected, c.restoreImapStatus());
    EXPECT_EQ(TinyDbResult::NotConnected, c.stopImapService());
    EXPECT_EQ(TinyDbResult::NotConnected, c.startImapService());

    EXPECT_EQ(TinyDbResult::Ok, c.connect(false));
    EXPECT_FALSE(c.isConnected());
    EXPECT_EQ(TinyDbResult::NotConnected, c.createDomain(po));
    EXPECT_EQ(TinyDbResult::NotConnected, c.connect(true));
    EXPECT_FALSE(c.isConnected());
    EXPECT_EQ(TinyDbResult::NotConnected, c.saveAndChangeImapStatus());
    c.close();
    EXPECT_TRUE(server.statements().empty());

    TinyDbCommunicator nowhere("admin", "secret", "127.0.0.1", log, testsupport::freeLoopbackPort());
    EXPECT_EQ(TinyDbResult::OpenFailed, nowhere.connect(true));
}

TEST_F(Communicator, DomainWithTwoAliases)
{
    StandIn server;
    auto c = connected(server);
    auto po = postOffice("main", "Main Office", {"a.test", "b.test", "c.test"});
    ASSERT_EQ(TinyDbResult::Ok, c->createDomain(po));
    EXPECT_EQ((std::vector<std::string>{
                  "select Domain from Domain where Domain='a.test'",
                  "select Domain from Domain where Domain='b.test'",
                  "select Domain from Domain where Domain='c.test'",
                  "insert Domain set Domain='a.test', Type='1', BindIp='0.0.0.0', FwOffline='0', "
                  "Description='Main Office', FwMode='0', FwAliasMode='0', MaxOutgoingMessageSize='0',  "
                  "DeletedMsgExpiration='0', MaxUserCount='0'",
                  "insert Domain set Domain='b.test', Type='2', Alias='a.test'",
                  "insert Domain set Domain='c.test', Type='2', Alias='a.test'",
              }),
              server.statements());
    const auto domains = server.table("Domain");
    ASSERT_EQ(3u, domains.size());
    EXPECT_EQ((Row{{"Domain", "a.test"},
                   {"Type", "1"},
                   {"BindIp", "0.0.0.0"},
                   {"FwOffline", "0"},
                   {"Description", "Main Office"},
                   {"FwMode", "0"},
                   {"FwAliasMode", "0"},
                   {"MaxOutgoingMessageSize", "0"},
                   {"DeletedMsgExpiration", "0"},
                   {"MaxUserCount", "0"}}),
              domains[0]);
    EXPECT_EQ((Row{{"Domain", "c.test"}, {"Type", "2"}, {"Alias", "a.test"}}), domains[2]);

    EXPECT_EQ(TinyDbResult::DomainExists, c->createDomain(po));
    EXPECT_EQ(3u, server.table("Domain").size());
}

TEST_F(Communicator, DomainWhoseAliasExists)
{
    StandIn server(tables(R"({"Domain": [{"Domain": "b.test", "Type": "1"}]})"));
    auto c = connected(server);
    EXPECT_EQ(TinyDbResult::DomainExists, c->createDomain(postOffice("po", "PO", {"a.test", "b.test"})));
    EXPECT_EQ(1u, server.table("Domain").size());
    EXPECT_EQ(2u, server.statements().size());

    EXPECT_EQ(TinyDbResult::Failed, c->createDomain(postOffice("empty", "Empty", {})));
    EXPECT_EQ("ERROR: There is no domain name for domain empty\n", out.str());
}

TEST_F(Communicator, UserWithContact)
{
    StandIn server;
    auto c = connected(server);
    ASSERT_EQ(TinyDbResult::Ok, c->createUser(webUser("a.test", "jdoe", "s3cret", "John Doe"), true));
    EXPECT_EQ((std::vector<std::string>{
                  "select Name from User where Name='jdoe' and Domain='a.test'",
                  "insert User set Name='jdoe', Domain='a.test', Account_enabled='1', Auth_type='0', "
                  "Password='NUL.DE3:s3cret', Rights='0', ForwardMode='0', Qstorage='0', Qmessage='0', "
                  "MaxOutgoingMessageSize='0', DefSpamFilter='1', Fullname='John Doe', Description='' "
                  "controls ProviderID=0",
                  "select AddressBookAdd(\"#public/Contacts\", \"John Doe\",\"jdoe@a.test\")",
              }),
              server.statements());
    const auto users = server.table("User");
    ASSERT_EQ(1u, users.size());
    EXPECT_EQ((std::pair<std::string, std::string>("Password", "NUL.DE3:s3cret")), users[0][4]);
    EXPECT_EQ((std::vector<Row>{{{"Folder", "#public/Contacts"}, {"Name", "John Doe"}, {"Email", "jdoe@a.test"}}}),
              server.table("Contacts"));

    EXPECT_EQ(TinyDbResult::UserExists, c->createUser(webUser("a.test", "jdoe", "other", ""), true));
    EXPECT_EQ(1u, server.table("User").size());

    // Without a full name the contact shows the user name; without publish no contact.
    ASSERT_EQ(TinyDbResult::Ok, c->createUser(webUser("a.test", "nofull", "p", ""), true));
    EXPECT_EQ("select AddressBookAdd(\"#public/Contacts\", \"nofull\",\"nofull@a.test\")", server.statements().back());
    ASSERT_EQ(TinyDbResult::Ok, c->createUser(webUser("a.test", "private", "p", "P"), false));
    EXPECT_EQ(2u, server.table("Contacts").size());
    EXPECT_EQ(3u, server.table("User").size());
}

// An insert that was carried out is never reported as a plain failure: a
// domain or user created without its alias or contact says so, and an
// insert whose answer went with the connection may have been carried out.
// Once the session is lost, later inserts were never sent.
TEST_F(Communicator, InsertsThatFailAfterTheirRecordExists)
{
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
        bool domain; // createDomain of a.test with aliases b.test and c.test, else createUser
        int rc;
        std::size_t rows; // rows of Domain, or of User
        std::vector<std::string> aliasesNotCreated;
        std::vector<std::string> aliasesThatMayExist; // their insert was sent, its answer lost
        bool lost;
    } cases[] = {
        {"alias refused", {"--fail", "Domain='b.test', Type='2'=3:1"}, true, TinyDbResult::AliasFailed, 2, {"b.test"},
         {}, false},
        // b.test was carried out; c.test was never sent on the lost session.
        {"alias answer lost", {"--cut-after", "Domain='b.test', Type='2'=1"}, true, TinyDbResult::AliasFailed, 2,
         {"c.test"}, {"b.test"}, true},
        {"domain answer lost", {"--cut-after", "Type='1'=1"}, true, TinyDbResult::AnswerLost, 1, {}, {}, true},
        {"domain dropped unsent", {"--raw", "Type='1'=close"}, true, TinyDbResult::AnswerLost, 0, {}, {}, true},
        {"domain refused", {"--fail", "Type='1'=3:1"}, true, TinyDbResult::QueryFailed, 0, {}, {}, false},
        {"contact refused", {"--fail", "AddressBookAdd=3:1"}, false, TinyDbResult::ContactFailed, 1, {}, {}, false},
        {"contact answer lost", {"--cut-after", "AddressBookAdd=1"}, false, TinyDbResult::ContactAnswerLost, 1, {},
         {}, true},
        {"user answer lost", {"--cut-after", "insert User=1"}, false, TinyDbResult::AnswerLost, 1, {}, {}, true},
        {"user refused", {"--fail", "insert User=3:1"}, false, TinyDbResult::QueryFailed, 0, {}, {}, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        StandIn server(k.knobs);
        auto c = connected(server);
        if (k.domain) {
            EXPECT_EQ(k.rc, c->createDomain(postOffice("main", "Main Office", {"a.test", "b.test", "c.test"})));
            EXPECT_EQ(k.rows, server.table("Domain").size());
            EXPECT_EQ(k.aliasesNotCreated, c->aliasesNotCreated());
            EXPECT_EQ(k.aliasesThatMayExist, c->aliasesThatMayExist());
        } else {
            EXPECT_EQ(k.rc, c->createUser(webUser("a.test", "jdoe", "s3cret", "John Doe"), true));
            EXPECT_EQ(k.rows, server.table("User").size());
        }
        EXPECT_EQ(k.lost, c->sessionLost());
        // A lost session sends nothing more: the next insert fails plainly.
        const std::size_t sent = server.statements().size();
        const int next = c->createUser(webUser("a.test", "other", "pw", ""), true);
        if (k.lost) {
            EXPECT_EQ(TinyDbResult::QueryFailed, next);
            EXPECT_EQ(sent, server.statements().size());
        }
    }
}

TEST_F(Communicator, ValuesThatCannotBeQuotedAreNeverSent)
{
    StandIn server;
    auto c = connected(server);
    struct Case {
        boost::shared_ptr<WebStarPostOffice> po;
        boost::shared_ptr<WebStarUser> user;
        const char* message;
    } cases[] = {
        {postOffice("po", "Bob's Office", {"a.test"}), nullptr,
         "ERROR: Cannot create domain \"a.test\": its display name \"Bob's Office\" holds a quote, a backslash "
         "or a control character\n"},
        {postOffice("po", "PO", {"a.test", "b'.test"}), nullptr,
         "ERROR: Cannot create domain \"a.test\": its SMTP domain \"b'.test\" holds"},
        {nullptr, webUser("a.test", "bob", "pa'ss", "Bob"),
         "ERROR: Cannot create user \"bob@a.test\": its password holds a quote, a backslash or a control character\n"},
        {nullptr, webUser("a.test", "bob", "pass", "Bob \"B\" Smith"), "its full name \"Bob \"B\" Smith\""},
        {nullptr, webUser("a.test", "bob", "pass", "Back\\slash"), "its full name"},
        {nullptr, webUser("a.test", "b\nob", "pass", "Bob"), "ERROR: Cannot create user \"b\\x0Aob@a.test\": its name"},
        {nullptr, webUser("a'.test", "bob", "pass", "Bob"), "its domain"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        out.str("");
        const int rc = cases[i].po ? c->createDomain(cases[i].po) : c->createUser(cases[i].user, true);
        EXPECT_EQ(TinyDbResult::QueryFailed, rc);
        EXPECT_NE(std::string::npos, out.str().find(cases[i].message)) << out.str();
    }
    EXPECT_TRUE(server.statements().empty());
    // Non-ASCII text is not a reason to refuse.
    EXPECT_EQ(TinyDbResult::Ok, c->createUser(webUser("a.test", "jose", "p", "Jos\xc3\xa9"), true));
}

TEST_F(Communicator, ChangedCertificateOfARemoteServerIsRefused)
{
    // 127.0.0.2 is loopback, but not the address the local-machine rule knows.
    StandIn server({}, "127.0.0.2");
    const std::string cfg = home.path() + "/.zelvo/admin/known_hosts.cfg";
    const std::string key = "127.0.0.2:" + server.portText() + ": ";
    {
        auto first = connected(server);
        EXPECT_EQ(key + server.fingerprint() + "\n", testsupport::readFile(cfg));
    }
    {
        auto same = connected(server);
        EXPECT_TRUE(same->isConnected());
    }
    const size_t logins = server.log().size();
    ASSERT_EQ(2u, logins);

    const std::string recorded = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33";
    testsupport::writeFile(cfg, key + recorded + "\n");
    TinyDbCommunicator c("admin", "secret", "127.0.0.2", log, server.port());
    EXPECT_EQ(TinyDbResult::OpenFailed, c.connect(true));
    const std::string text = out.str();
    EXPECT_EQ(0u, text.find("ERROR: The certificate of 127.0.0.2 has changed")) << text;
    EXPECT_NE(std::string::npos, text.find("Known fingerprint:     " + recorded + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Presented fingerprint: " + server.fingerprint() + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find(cfg)) << text;
    // Neither did the password go out nor did the file change.
    EXPECT_EQ(logins, server.log().size());
    EXPECT_EQ(key + recorded + "\n", testsupport::readFile(cfg));
}

TEST_F(Communicator, SwitchMovesARealImapService)
{
    testsupport::Dovecot target(testsupport::Dovecot::Target);
    // Three different free ports stand for the target's 143, 1143 and 8143.
    std::vector<int> ports;
    while (ports.size() < 3) {
        const int p = testsupport::freeLoopbackPort();
        if (std::find(ports.begin(), ports.end(), p) == ports.end())
            ports.push_back(p);
    }
    const int p143 = ports[0];
    const int p1143 = ports[1];
    const int p8143 = ports[2];
    StandIn server({"--imap-dir", target.dir(), "--add-logins", "--imap-port-map", "143=" + std::to_string(p143),
                    "--imap-port-map", "1143=" + std::to_string(p1143), "--imap-port-map",
                    "8143=" + std::to_string(p8143)});
    ASSERT_TRUE(accepts(p143)) << server.output();
    ASSERT_TRUE(accepts(p1143));
    EXPECT_FALSE(accepts(p8143));

    auto c = connected(server);
    ASSERT_EQ(TinyDbResult::Ok, c->saveAndChangeImapStatus());
    EXPECT_EQ(0u, greeting(p8143).find("* OK")) << greeting(p8143);
    EXPECT_FALSE(accepts(p143));
    EXPECT_FALSE(accepts(p1143));

    // A created user logs in to the moved service with its own password.
    ASSERT_EQ(TinyDbResult::Ok, c->createDomain(postOffice("po", "PO", {"a.test"})));
    ASSERT_EQ(TinyDbResult::Ok, c->createUser(webUser("a.test", "mover", "m0ve", "Mo Ver"), true));
    EXPECT_EQ("a OK", imapLogin(p8143, "mover@a.test", "m0ve").substr(0, 4));
    EXPECT_EQ("a NO", imapLogin(p8143, "mover@a.test", "wrong").substr(0, 4));

    ASSERT_EQ(TinyDbResult::Ok, c->restoreImapStatus());
    EXPECT_TRUE(accepts(p143));
    EXPECT_TRUE(accepts(p1143));
    EXPECT_FALSE(accepts(p8143));
}
