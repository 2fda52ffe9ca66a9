#ifndef ZELVO_FOUNDATION_TLS_INITSSL_H
#define ZELVO_FOUNDATION_TLS_INITSSL_H

#include <atomic>

#include "foundation/system/ZMutex.h"

namespace zelvo {
namespace ssl {

// One-time set-up of the TLS library, one per process through
// SingletonFactory<InitSSL, DestroyAtExit>. It keeps one recursive mutex per
// OpenSSL lock number and installs the locking and thread-id callbacks.
// OpenSSL 3 manages its own locks and never calls either callback; they stay
// for libraries that do, and can be driven directly.
class InitSSL {
public:
    InitSSL();
    ~InitSSL();

    InitSSL(const InitSSL&) = delete;
    InitSSL& operator=(const InitSSL&) = delete;

    // False when the library failed to start; callers then must not use TLS.
    bool isInitialized() const { return initialized; }
    int getLockCount() const { return lockCount; }

    // Lock or unlock mutex n; n outside 0..lockCount-1 does nothing.
    void cryptoLock(int n);
    void cryptoUnlock(int n);
    // Mutex n, or null outside 0..lockCount-1.
    tiny::ZMutex* lockFor(int n) { return n >= 0 && n < lockCount ? &locks[n] : nullptr; }

    // The locking callback: bit 1 (CRYPTO_LOCK) of mode locks mutex n of the
    // process-wide instance, otherwise unlocks it. file and line are unused.
    static void lockingCallback(int mode, int n, const char* file, int line);

    // True while an InitSSL object exists (normally the singleton's).
    static bool exists();

private:
    static std::atomic<int> live;


    bool initialized;
    tiny::ZMutex* locks;
    int lockCount;
};

// The thread-id callback: zelvo::tiny::threadID().
unsigned long ssl_thread_id();

}  // namespace ssl

namespace crypto {

// Error strings of the crypto library for code that uses no TLS. When the
// TLS set-up exists already it has loaded every string, and this object
// loads and frees nothing.
class InitCrypto {
public:
    InitCrypto();
    ~InitCrypto();

    InitCrypto(const InitCrypto&) = delete;
    InitCrypto& operator=(const InitCrypto&) = delete;

    bool isLoaded() const { return loaded; }

private:
    bool loaded;
};

}  // namespace crypto
}  // namespace zelvo

#endif
