#include "foundation/tls/InitSSL.h"

#include <new>

#include <openssl/comp.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "foundation/system/SingletonFactory.h"
#include "foundation/system/Thread.h"
#include "foundation/tls/SslErrHandler.h"

namespace zelvo {
namespace ssl {

// The library's exit-time cleanup is left out (NO_ATEXIT): OpenSSL must stay
// usable until the last exit handler that talks TLS has run.
static constexpr uint64_t startOptions =
    OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS;

std::atomic<int> InitSSL::live{0};

bool InitSSL::exists()
{
    return live.load() > 0;
}

InitSSL::InitSSL() : initialized(false), locks(nullptr), lockCount(0)
{
    ++live;
    if (OPENSSL_init_ssl(startOptions, nullptr) == 0)
        return;
    initialized = true;

    int count = CRYPTO_num_locks();
    if (count > 0) {
        locks = new (std::nothrow) tiny::ZMutex[count];
        if (!locks) {
            initialized = false;
            count = 0;
        }
    }
    lockCount = count;

    // Registers zlib record compression where the library has it. The id is
    // outside the private range OpenSSL now demands, so the attempt fails
    // there; its error codes go to this thread's list, not to a later caller.
    if (COMP_METHOD* method = COMP_zlib()) {
        if (SSL_COMP_add_compression_method(1, method) != 0) {
            boost::shared_ptr<SslErrHandler> record = errHandler;
            record->checkForError();
        }
    }

    CRYPTO_set_id_callback(ssl_thread_id);
    CRYPTO_set_locking_callback(lockingCallback);
}

InitSSL::~InitSSL()
{
    CRYPTO_set_locking_callback(NULL);
    // delete[] destroys the last entry first.
    delete[] locks;
    locks = nullptr;
    lockCount = 0;
    // Both are no-ops in current OpenSSL, which keeps working for exit
    // handlers that run after this one.
    EVP_cleanup();
    ERR_free_strings();
    --live;
}

void InitSSL::cryptoLock(int n)
{
    if (n >= 0 && n < lockCount)
        locks[n].lock();
}

void InitSSL::cryptoUnlock(int n)
{
    if (n >= 0 && n < lockCount)
        locks[n].unlock();
}

void InitSSL::lockingCallback(int mode, int n, const char*, int)
{
    InitSSL* self = utils::SingletonFactory<InitSSL, utils::DestroyAtExit>::getInstance();
    if (mode & CRYPTO_LOCK)
        self->cryptoLock(n);
    else
        self->cryptoUnlock(n);
}

unsigned long ssl_thread_id()
{
    return tiny::threadID();
}

}  // namespace ssl

namespace crypto {

InitCrypto::InitCrypto() : loaded(false)
{
    if (!ssl::InitSSL::exists()) {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        loaded = true;
    }
}

InitCrypto::~InitCrypto()
{
    if (loaded) {
        ERR_free_strings();
        loaded = false;
    }
}

}  // namespace crypto
}  // namespace zelvo
