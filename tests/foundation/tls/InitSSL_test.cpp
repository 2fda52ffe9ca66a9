#include "foundation/tls/InitSSL.h"

#include <thread>

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "foundation/system/SingletonFactory.h"
#include "foundation/system/Thread.h"
#include "foundation/tls/SSLContext.h"

using zelvo::crypto::InitCrypto;
using zelvo::ssl::InitSSL;
using Factory = zelvo::utils::SingletonFactory<InitSSL, zelvo::utils::DestroyAtExit>;

namespace {

bool heldElsewhere(InitSSL& init, int n)
{
    bool free = false;
    std::thread other([&] {
        zelvo::tiny::ZMutex* m = init.lockFor(n);
        free = m->tryLock();
        if (free)
            m->unlock();
    });
    other.join();
    return !free;
}

TEST(InitSSLTest, StartsTheLibraryWithOneMutexPerLock)
{
    InitSSL* init = Factory::getInstance();
    ASSERT_TRUE(init->isInitialized());
    EXPECT_EQ(CRYPTO_num_locks(), init->getLockCount());
    EXPECT_EQ(init, Factory::getInstance());
    EXPECT_TRUE(InitSSL::exists());
}

TEST(InitSSLTest, LockingCallbackLocksAndUnlocksTheNumberedMutex)
{
    InitSSL* init = Factory::getInstance();
    ASSERT_GT(init->getLockCount(), 0);
    InitSSL::lockingCallback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
    EXPECT_TRUE(heldElsewhere(*init, 0));
    InitSSL::lockingCallback(CRYPTO_UNLOCK, 0, __FILE__, __LINE__);
    EXPECT_FALSE(heldElsewhere(*init, 0));
}

TEST(InitSSLTest, NumbersOutsideTheArrayDoNothing)
{
    InitSSL* init = Factory::getInstance();
    const int count = init->getLockCount();
    for (int n : {count, count + 1, -1}) {
        SCOPED_TRACE(n);
        InitSSL::lockingCallback(CRYPTO_LOCK, n, __FILE__, __LINE__);
        InitSSL::lockingCallback(CRYPTO_UNLOCK, n, __FILE__, __LINE__);
        init->cryptoLock(n);
        init->cryptoUnlock(n);
        EXPECT_EQ(nullptr, init->lockFor(n));
    }
}

TEST(InitSSLTest, ThreadIdCallbackIsTheThreadIdentity)
{
    EXPECT_EQ(static_cast<unsigned long>(zelvo::tiny::threadID()), zelvo::ssl::ssl_thread_id());
}

TEST(InitCryptoTest, LoadsNothingOnceTheTlsSetUpExists)
{
    Factory::getInstance();
    InitCrypto crypto;
    EXPECT_FALSE(crypto.isLoaded());
}

TEST(InitCryptoDeathTest, LoadsTheStringsItselfBeforeAnyTlsSetUp)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    // A fresh process, in which nothing has started TLS yet.
    EXPECT_EXIT(
        {
            bool before = InitSSL::exists();
            InitCrypto crypto;
            std::exit(!before && crypto.isLoaded() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Exit handlers registered before the TLS set-up run after its teardown;
// the last one of a run restores the target over TLS.
void useTlsAtExit()
{
    zelvo::ssl::SSLContext context;
    bool ok = context.set_mode(zelvo::ssl::SslMode::TLSv1) == 0;
    SSL* ssl = ok ? SSL_new(context.context()) : nullptr;
    ok = ok && ssl;
    SSL_free(ssl);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok = ok && EVP_Digest("abc", 3, digest, &length, EVP_sha1(), nullptr) == 1 && length == 20;
    std::_Exit(ok ? 0 : 1);
}

TEST(InitSSLDeathTest, TlsStillWorksInLaterExitHandlers)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            std::atexit(useTlsAtExit);
            Factory::getInstance();
            zelvo::ssl::SSLContext context;
            context.set_mode(zelvo::ssl::SslMode::SSLv23);
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
