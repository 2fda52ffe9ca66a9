#include "imap/CommandAuthCramMD5.h"
#include "imap/CommandXMasterAuth.h"

#include <openssl/hmac.h>

#include <gtest/gtest.h>

#include "foundation/crypto/Base64.h"
#include "foundation/crypto/StreamDigest.h"
#include "foundation/text/Hex.h"
#include "imap/ConnectionInternal.h"
#include "imap/ImapException.h"
#include "tests/imap/FakeImapServer.h"

using imaptest::FakeImapServer;
using imaptest::Peer;
using imaptest::tagOf;
using State = ConnectionInternal::State;

namespace {

std::string base64(const std::string& bytes)
{
    std::string out;
    zelvo::utils::encodeBase64(bytes, out, false, 79, true);
    return out;
}

std::string unbase64(const std::string& text)
{
    std::string out;
    zelvo::utils::decodeBase64(text, out);
    return out;
}

// HMAC-MD5 from OpenSSL itself, as the independent reference.
std::string referenceHmac(const std::string& key, const std::string& data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), md, &len);
    return zelvo::utils::stringToHex(std::string(reinterpret_cast<char*>(md), len));
}

} // namespace

TEST(CramMD5, Rfc2195Example)
{
    ConnectionInternal c;
    CommandAuthCramMD5 auth(c, "tim", "tanstaaftanstaaf");
    const std::string answer = auth.makeCramMD5Response(" PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n");
    EXPECT_EQ("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", answer);
}

TEST(CramMD5, KeysOfEveryLength)
{
    const std::string challenge = "<12345.67890@source.example>";
    const std::string keys[] = {
        "",
        "6666\\\\\\\\",                // bytes 0x36 and 0x5c, which xor to zero in a pad
        std::string(64, 'k'),           // exactly one block: used as it is
        std::string(65, 'k'),           // longer: replaced by its MD5
        std::string(80, '\xaa'),
        std::string("nul\0inside", 10),
    };
    for (std::size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i) {
        SCOPED_TRACE(i);
        ConnectionInternal c;
        CommandAuthCramMD5 auth(c, "user@example.test", keys[i]);
        const std::string answer = auth.makeCramMD5Response(" " + base64(challenge) + "\r\n");
        EXPECT_EQ(std::string::npos, answer.find_first_of("\r\n"));
        EXPECT_EQ("user@example.test " + referenceHmac(keys[i], challenge), unbase64(answer));
    }
    // RFC 2202, test case 6: a key longer than a block.
    ConnectionInternal c;
    CommandAuthCramMD5 auth(c, "u", std::string(80, '\xaa'));
    EXPECT_EQ("u 6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
              unbase64(auth.makeCramMD5Response(base64("Test Using Larger Than Block-Size Key - Hash Key First"))));
}

TEST(CramMD5, ExchangeOverTheWire)
{
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    FakeImapServer server({[&](Peer& p) {
        p.send("* OK 4D Mail IMAP ready\r\n");
        const std::string line = p.readLine();
        p.send("+ " + base64(challenge) + "\r\n");
        const std::string answer = p.readLine();
        if (answer == "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n")
            p.send("* CAPABILITY IMAP4rev1\r\n" + tagOf(line) + " OK Logged in\r\n");
        else
            p.send(tagOf(line) + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
        p.waitForClose();
    }});
    ConnectionInternal c;
    c.initialize("127.0.0.1", server.port(), "tim", "tanstaaftanstaaf", true, 5, false);
    c.init(true);
    EXPECT_EQ(State::Authenticated, c.getState());
    c.close();
    const std::vector<std::string> lines = server.received();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Z0 AUTHENTICATE CRAM-MD5\r\n", lines[0]);
}

TEST(CramMD5, RefusedAndBrokenExchanges)
{
    struct Case {
        const char* name;
        std::function<void(Peer&)> script;
        std::string kind;
        std::string message;
    };
    const Case cases[] = {
        {"wrong password",
         [](Peer& p) {
             p.send("* OK hi\r\n");
             const std::string line = p.readLine();
             p.send("+ " + base64("<1.2@x>") + "\r\n");
             p.readLine();
             p.send(tagOf(line) + " NO Authentication failed.\r\n");
             p.waitForClose();
         },
         "auth", "Authentication failed - Authentication CRAM-MD5"},
        {"untagged line before the continuation",
         [](Peer& p) {
             p.send("* OK hi\r\n");
             p.readLine();
             p.send("* OK still thinking\r\n+ " + base64("<1.2@x>") + "\r\n");
             p.waitForClose();
         },
         "auth", "Authentication failed - Authentication CRAM-MD5"},
        {"mechanism refused",
         [](Peer& p) {
             p.send("* OK hi\r\n");
             const std::string line = p.readLine();
             p.send(tagOf(line) + " BAD Unsupported mechanism\r\n");
             p.waitForClose();
         },
         "auth", "Authentication failed - Authentication CRAM-MD5"},
        {"bye after the answer",
         [](Peer& p) {
             p.send("* OK hi\r\n");
             p.readLine();
             p.send("+ " + base64("<1.2@x>") + "\r\n");
             p.readLine();
             p.send("* BYE go away\r\n");
             p.waitForClose();
         },
         "bye", ""},
        {"silence instead of a challenge",
         [](Peer& p) {
             p.send("* OK hi\r\n");
             p.readLine();
             p.waitForClose();
         },
         "timeout", ""},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        FakeImapServer server({cs.script});
        ConnectionInternal c;
        c.initialize("127.0.0.1", server.port(), "u", "p", true, 1, false);
        std::string kind = "none";
        std::string message;
        try {
            c.init(true);
        } catch (const AuthenticateFailedException& e) {
            kind = "auth";
            message = e.what();
        } catch (const ImapServerBrokeConnection& e) {
            kind = "bye";
            message = e.what();
        } catch (const ImapTimeoutException& e) {
            kind = "timeout";
            message = e.what();
        }
        EXPECT_EQ(cs.kind, kind);
        EXPECT_EQ(cs.message, message);
        EXPECT_EQ(State::Disconnected, c.getState());
    }
}

TEST(XMasterAuth, DigestOfChallengeAndSecret)
{
    ConnectionInternal c;
    CommandXMasterAuth auth(c, "s3cret");
    zelvo::crypto::StreamDigestMD5 md5;
    md5 << "<4711.1@target>" << "s3cret";
    const std::string expected = md5.getAsciiDigest();
    EXPECT_EQ(expected, auth.makeResponse("+ Master <4711.1@target> please\r\n"));
    EXPECT_EQ(32u, expected.size());
    EXPECT_EQ(std::string::npos, expected.find_first_of("ABCDEF"));

    // Without ">" the challenge runs to the end of the line.
    zelvo::crypto::StreamDigestMD5 open;
    open << "<4711.1@target\r\n" << "s3cret";
    EXPECT_EQ(open.getAsciiDigest(), auth.makeResponse("+ <4711.1@target\r\n"));
}

TEST(XMasterAuth, ExchangeOverTheWire)
{
    for (bool withChallenge : {true, false}) {
        SCOPED_TRACE(withChallenge);
        FakeImapServer server({[&](Peer& p) {
            p.send("* OK target\r\n");
            const std::string line = p.readLine();
            p.send(withChallenge ? "+ <99.1@t>\r\n" : "+ no challenge here\r\n");
            const std::string answer = p.readLine();
            p.send(tagOf(line) + (answer == "*\r\n" ? " BAD cancelled\r\n" : " OK master\r\n"));
            p.waitForClose();
        }});
        ConnectionInternal c;
        c.initialize("127.0.0.1", server.port(), "secret", 5, false);
        if (withChallenge) {
            c.init(true);
            EXPECT_EQ(State::Authenticated, c.getState());
        } else {
            try {
                c.init(true);
                ADD_FAILURE();
            } catch (const AuthenticateFailedException& e) {
                EXPECT_STREQ("Authentication failed - Master Authentication", e.what());
            }
        }
        c.close();
        const std::vector<std::string> lines = server.received();
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ("Z0 X-MASTERAUTH\r\n", lines[0]);
        if (withChallenge) {
            zelvo::crypto::StreamDigestMD5 md5;
            md5 << "<99.1@t>" << "secret";
            EXPECT_EQ(md5.getAsciiDigest() + "\r\n", lines[1]);
        } else {
            EXPECT_EQ("*\r\n", lines[1]);
        }
    }
}
