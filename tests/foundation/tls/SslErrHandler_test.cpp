#include "foundation/tls/SslErrHandler.h"

#include <thread>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

using zelvo::ssl::SslErrHandler;
using zelvo::ssl::errHandler;

namespace {

unsigned long raise(int reason)
{
    ERR_raise(ERR_LIB_SSL, reason);
    return ERR_peek_last_error();
}

std::string textOf(unsigned long code)
{
    char buffer[512];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

class SslErrHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SslErrHandler::emptyErrorQueue();
        std::string ignored;
        errHandler->getLastError(ignored);
    }
};

TEST_F(SslErrHandlerTest, NothingRecordedGivesEmptyTextAndZero)
{
    std::string text = "left over";
    EXPECT_EQ(0u, errHandler->getLastError(text));
    EXPECT_EQ("", text);
}

TEST_F(SslErrHandlerTest, RecordedCodesComeBackInOrderOnce)
{
    unsigned long first = raise(SSL_R_UNSUPPORTED_PROTOCOL);
    unsigned long second = raise(SSL_R_NO_CIPHERS_AVAILABLE);
    errHandler->checkForError();
    EXPECT_EQ(0u, ERR_peek_error()) << "the queue was moved, not copied";

    std::string text = "before:";
    EXPECT_EQ(second, errHandler->getLastError(text));
    EXPECT_EQ("before:" + textOf(first) + "\n" + textOf(second) + "\n", text);

    std::string again = "x";
    EXPECT_EQ(0u, errHandler->getLastError(again));
    EXPECT_EQ("", again);
}

TEST_F(SslErrHandlerTest, CheckingAnEmptyQueueRecordsNothing)
{
    errHandler->checkForError();
    std::string text = "kept?";
    EXPECT_EQ(0u, errHandler->getLastError(text));
    EXPECT_EQ("", text);
}

TEST_F(SslErrHandlerTest, ListsAreKeptPerThread)
{
    unsigned long mine = raise(SSL_R_UNSUPPORTED_PROTOCOL);
    errHandler->checkForError();

    unsigned long theirs = 0;
    unsigned long theirsRead = 0;
    std::string theirText;
    std::thread other([&] {
        std::string before;
        EXPECT_EQ(0u, errHandler->getLastError(before)) << "sees no codes of another thread";
        theirs = raise(SSL_R_NO_CIPHERS_AVAILABLE);
        errHandler->checkForError();
        theirsRead = errHandler->getLastError(theirText);
    });
    other.join();

    EXPECT_EQ(theirs, theirsRead);
    EXPECT_EQ(textOf(theirs) + "\n", theirText);
    std::string text;
    EXPECT_EQ(mine, errHandler->getLastError(text));
    EXPECT_EQ(textOf(mine) + "\n", text);
}

TEST_F(SslErrHandlerTest, EmptyErrorQueueDiscards)
{
    raise(SSL_R_UNSUPPORTED_PROTOCOL);
    SslErrHandler::emptyErrorQueue();
    EXPECT_EQ(0u, ERR_peek_error());
    errHandler->checkForError();
    std::string text;
    EXPECT_EQ(0u, errHandler->getLastError(text));
}

TEST_F(SslErrHandlerTest, RecordKeepsAZeroCode)
{
    errHandler->record(0);
    std::string text = "prefix";
    EXPECT_EQ(0u, errHandler->getLastError(text));
    EXPECT_EQ("prefix" + textOf(0) + "\n", text) << "an entry with a 0 code is still an entry";
}

}  // namespace
