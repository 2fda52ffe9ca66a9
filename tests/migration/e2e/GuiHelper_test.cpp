// The three probes, against real servers (the administration probe needs the
// fixed port 44337, hence its place among the end-to-end tests).
#include "migration/GuiHelper.h"
#include "migration/LogStream.h"
#include "tests/migration/e2e/MigrationEnv.h"

#include <gtest/gtest.h>

#include <sstream>

TEST(GuiHelperProbe, SourceImapByItsGreeting) {
    struct Case {
        const char* greeting;
        int result;
    };
    const Case cases[] = {
        {"* OK 4D Mail IMAP ready\r\n", GuiHelper::WebStarImapFound},
        {"* OK 4d mail server\r\n", GuiHelper::WebStarImapFound},
        {"* OK Zelvo MailServer ready\r\n", GuiHelper::ZevImapFound},
        {"* OK ZELVO and 4D MAIL together\r\n", GuiHelper::WebStarImapFound},
        {"* OK Some other server\r\n", GuiHelper::NoImapFound},
        {"* BYE 4D Mail is shutting down\r\n", GuiHelper::NoImapFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.greeting);
        e2e::GreetingServer server(c.greeting);
        EXPECT_EQ(GuiHelper::test4DImap(static_cast<unsigned>(server.port())), c.result);
    }
    EXPECT_EQ(GuiHelper::test4DImap(static_cast<unsigned>(testsupport::freeLoopbackPort())), GuiHelper::NoImapFound);
}

TEST(GuiHelperProbe, SourceConfigurationCounts) {
    unsigned domains = 9, users = 9;
    EXPECT_EQ(GuiHelper::test4DCfg(testsupport::sourcePath("tests/migration/e2e/golden"), domains, users, nullptr),
              GuiHelper::Success);
    EXPECT_EQ(domains, 2u);
    EXPECT_EQ(users, 3u);

    // A given log gets the reader's error lines and stays enabled.
    std::ostringstream out;
    LogStream log(&out);
    log.setMode(false, true);
    EXPECT_EQ(GuiHelper::test4DCfg("/nonexistent/installation", domains, users, &log), GuiHelper::Failure);
    EXPECT_EQ(domains, 0u);
    EXPECT_EQ(users, 0u);
    EXPECT_TRUE(log.enabled);
    EXPECT_FALSE(log.debug);
    EXPECT_NE(out.str().find("ERROR: "), std::string::npos) << out.str();
}

TEST(GuiHelperProbe, TargetAdministrationService) {
    e2e::MigrationEnv env;
    testsupport::ScopedEnv homeVariable("HOME", env.home());
    EXPECT_EQ(GuiHelper::testZEV("127.0.0.1", nullptr), GuiHelper::NoConnection);
    env.startStandIn();
    EXPECT_EQ(GuiHelper::testZEV("127.0.0.1", nullptr), GuiHelper::Success);
    EXPECT_EQ(GuiHelper::testZEV("127.0.0.1", e2e::MigrationEnv::kAdminUser, e2e::MigrationEnv::kAdminPass, nullptr),
              GuiHelper::Success);
    EXPECT_EQ(GuiHelper::testZEV("127.0.0.1", e2e::MigrationEnv::kAdminUser, "wrong", nullptr),
              GuiHelper::LoginRefused);
    // The server's fingerprint was recorded on first use.
    const std::string knownHosts = testsupport::readFile(env.home() + "/.zelvo/admin/known_hosts.cfg");
    EXPECT_NE(knownHosts.find(": " + env.standIn("s['fingerprint']")), std::string::npos) << knownHosts;
}
