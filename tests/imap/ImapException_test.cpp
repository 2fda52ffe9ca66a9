#include "imap/ImapException.h"

#include <memory>

#include <gtest/gtest.h>

#include "imap/SimpleImapClient.h"

using Result = SimpleImapClient::ImapClientResult;

TEST(ImapException, CodesAndMappingByType)
{
    struct Case {
        std::shared_ptr<ImapException> e;
        long code;
        Result mapped; // with the fallback ListFailed
    };
    const Case cases[] = {
        {std::make_shared<ImapTimeoutException>(""), 3, Result::ConnectionFailed},
        {std::make_shared<ImapConnectionFailed>(""), 3, Result::ConnectionFailed},
        {std::make_shared<ImapConnectionFailed>("recvLine failed"), 3, Result::ConnectionFailed},
        {std::make_shared<AuthenticateFailedException>("Authentication failed - Login"), 0,
         Result::AuthenticationFailed},
        {std::make_shared<ImapServerBrokeConnection>(""), 3, Result::ConnectionFailed},
        // Built around a connection failure, it keeps only the text.
        {std::make_shared<IMessageLoadFailedException>(ImapConnectionFailed("Send failed").what()), 9,
         Result::MessageLoadFailed},
        {std::make_shared<ImapParserException>("Character not found"), 0, Result::ListFailed},
        {std::make_shared<ImapException>("plain", 3), 3, Result::ListFailed},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        ImapException& e = *cases[i].e;
        EXPECT_EQ(cases[i].code, e.errorCode());
        EXPECT_EQ(cases[i].code != 0, e.hasErrorCode());
        EXPECT_EQ(cases[i].code != 0 ? cases[i].code : 7, e.errorCode(7));
        EXPECT_EQ(cases[i].mapped, handleImapException(e, Result::ListFailed));
    }
    ImapParserException parse("x");
    EXPECT_EQ(Result::AuthenticationFailed, handleImapException(parse, Result::AuthenticationFailed));
    IMessageLoadFailedException load("Send failed");
    EXPECT_STREQ("Send failed", load.what());
    // The family is caught as std::runtime_error around an upload.
    const std::runtime_error& base = load;
    EXPECT_STREQ("Send failed", base.what());
}
