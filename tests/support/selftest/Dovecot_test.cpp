#include "tests/support/Dovecot.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::Dovecot;

// The harness every IMAP test stands on: what is put into the Maildir comes
// back over IMAP with its bytes, flags and internal date.
TEST(DovecotHarness, PutMessagesComeBackOverImap) {
    Dovecot d(Dovecot::Target);
    d.addUser("ann@example.test", "pw");
    d.start();
    EXPECT_TRUE(d.running());
    const std::string binary("a\r\nb\0c\r\n", 8);
    d.putMessage("ann@example.test", "INBOX", "Subject: one\r\n\r\nx\r\n", "FS", 1110000000);
    d.putMessage("ann@example.test", "Entwürfe/Sub", "Subject: two\r\n\r\n" + binary, "", 1200000000);
    d.createFolder("ann@example.test", "Empty");
    d.index("ann@example.test");

    auto inbox = d.messages("ann@example.test", "pw", "INBOX");
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(inbox[0].body, "Subject: one\r\n\r\nx\r\n");
    EXPECT_EQ(inbox[0].flags, (std::vector<std::string>{"\\Flagged", "\\Seen"}));
    EXPECT_EQ(inbox[0].internalDate, "05-Mar-2005 05:20:00 +0000");

    auto sub = d.messages("ann@example.test", "pw", "Entwürfe/Sub");
    ASSERT_EQ(sub.size(), 1u);
    EXPECT_TRUE(sub[0].flags.empty());
    EXPECT_EQ(d.messages("ann@example.test", "pw", "Empty").size(), 0u);

    auto folders = d.folders("ann@example.test");
    EXPECT_NE(std::find(folders.begin(), folders.end(), "Entwürfe/Sub"), folders.end());
    d.stop();
    EXPECT_FALSE(d.running());
}

TEST(DovecotHarness, SourceGreetsAsTheOldServer) {
    Dovecot d(Dovecot::Source);
    d.start();
    std::string out;
    ASSERT_EQ(testsupport::runShell("bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(d.port()) +
                                        "; read -r -t 10 line <&3; echo \"$line\"'",
                                    &out),
              0);
    EXPECT_NE(out.find("4D Mail"), std::string::npos) << out;
    EXPECT_NE(out.find("AUTH=CRAM-MD5"), std::string::npos) << out;
}

// A second session's changes are what the tests of a changing source stand
// on: the message appended has its flags and date, the one expunged is gone.
TEST(DovecotHarness, ASecondSessionAppendsAndExpunges) {
    Dovecot d(Dovecot::Source);
    d.addUser("ann@example.test", "pw");
    d.start();
    d.putMessage("ann@example.test", "INBOX", "Subject: one\r\n\r\n1\r\n", "S", 1110000000);
    d.putMessage("ann@example.test", "INBOX", "Subject: two\r\n\r\n2\r\n", "", 1110000100);
    d.index("ann@example.test");
    EXPECT_EQ(d.appendOverImap("ann@example.test", "pw", "INBOX", "Subject: three\r\n\r\n3\r\n",
                               "\\Flagged \\Answered", "2-Feb-2007 08:00:00 +0000"),
              "INBOX (MESSAGES 3)");
    auto inbox = d.messages("ann@example.test", "pw", "INBOX");
    ASSERT_EQ(inbox.size(), 3u);
    EXPECT_EQ(inbox[2].body, "Subject: three\r\n\r\n3\r\n");
    EXPECT_EQ(inbox[2].flags, (std::vector<std::string>{"\\Answered", "\\Flagged"}));
    EXPECT_EQ(inbox[2].internalDate, "02-Feb-2007 08:00:00 +0000");

    EXPECT_EQ(d.expungeOverImap("ann@example.test", "pw", "INBOX", 1), "INBOX (MESSAGES 2)");
    inbox = d.messages("ann@example.test", "pw", "INBOX");
    ASSERT_EQ(inbox.size(), 2u);
    EXPECT_EQ(inbox[0].body, "Subject: two\r\n\r\n2\r\n");
    EXPECT_THROW(d.expungeOverImap("ann@example.test", "pw", "Nowhere", 1), std::runtime_error);
}
