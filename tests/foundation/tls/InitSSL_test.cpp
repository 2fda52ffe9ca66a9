#include "foundation/tls/InitSSL.h"

#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include "foundation/system/SingletonFactory.h"
#include "foundation/system/Thread.h"
#include "foundation/tls/SSLContext.h"
#include "foundation/tls/ZSslSocket.h"
#include "tests/foundation/tls/TlsPeer.h"

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

// The tool's last TLS exchange runs in the destructor of a global built
// before main, so after every exit handler registered later: OpenSSL's own
// clean-up too, had the library let OpenSSL register one. This object is
// built before anything in the process starts OpenSSL (its priority puts it
// ahead of the library's static initialisers) and, once armed, runs a real
// handshake and round trip from its destructor and ends the process with
// the outcome.
class HandshakeAtExit {
public:
    void arm() { armed = true; }
    ~HandshakeAtExit()
    {
        if (armed)
            std::_Exit(roundTripWorks() ? 0 : 1);
    }

private:
    static bool roundTripWorks()
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return false;
        SSL_CTX* serverCtx = tlstest::makeContext(true, tlstest::PeerOptions());
        std::thread server([&] {
            if (SSL* ssl = serverCtx ? tlstest::handshake(serverCtx, pair[1], true) : nullptr) {
                tlstest::echo(ssl);
                SSL_free(ssl);
            }
            ::close(pair[1]);
        });
        bool ok = false;
        {
            zelvo::ssl::SSLContext context;
            zelvo::ssl::ZSslSocket sock;
            char answer[8] = {};
            ok = sock.init(&context) && sock.open(pair[0]) && sock.connect() && sock.write("ping\n", 5) == 5 &&
                 sock.flush() == 0 && sock.read(answer, 5) == 5 && std::string(answer) == "ping\n";
            sock.close();
        }
        server.join();
        SSL_CTX_free(serverCtx);
        return ok;
    }

    bool armed = false;
};

HandshakeAtExit handshakeAtExit __attribute__((init_priority(101)));

TEST(InitSSLDeathTest, TlsStillWorksInLaterExitHandlers)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            handshakeAtExit.arm();
            Factory::getInstance();
            zelvo::ssl::SSLContext context;
            context.set_mode(zelvo::ssl::SslMode::SSLv23);
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
