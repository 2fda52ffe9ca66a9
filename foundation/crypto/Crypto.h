#ifndef ZELVO_FOUNDATION_CRYPTO_CRYPTO_H
#define ZELVO_FOUNDATION_CRYPTO_CRYPTO_H

#include <string>

#include <openssl/bio.h>
#include <openssl/pem.h>

namespace zelvo {
namespace crypto {

// Base of the key and certificate wrappers: constructing one makes sure
// the crypto library's error strings are loaded once per process.
class Crypto {
public:
    Crypto();
    virtual ~Crypto();

    // In verbose mode a failed Key::setKey prints OpenSSL's errors to stderr.
    void setVerboseMode(bool on) { verbose = on; }
    bool getVerboseMode() const { return verbose; }

protected:
    bool verbose;
};

// How a pass phrase reaches OpenSSL's PEM functions.
class Password {
public:
    enum Type { FromText = 0, FromCallback = 1, NoPassword = 2 };

    Password() : callback(nullptr), password(), method(NoPassword) {}
    explicit Password(pem_password_cb* cb) : callback(cb), password(), method(FromCallback) {}
    explicit Password(const std::string& text) : callback(nullptr), password(text), method(FromText) {}
    virtual ~Password();

    void setEnterPasswordMethod(Type type) { method = type; }
    void setCallback(pem_password_cb* cb) { callback = cb; }
    void setPassword(const std::string& text) { password = text; }

    // What goes to a PEM call for pw (which may be null): the callback and
    // its user data, and for writes the pass phrase and its length.
    struct Arguments {
        pem_password_cb* callback;
        void* userData;
        unsigned char* phrase;
        int phraseLength;
    };
    static Arguments argumentsFor(Password* pw);

private:
    pem_password_cb* callback;
    std::string password;
    Type method;
};

// Everything that can write itself as PEM text.
class WritableEntity {
public:
    virtual bool writeSelf(BIO* bio) = 0;
    virtual ~WritableEntity();
};

// The whole content of a memory BIO (read in 1024-byte steps).
std::string drainMemoryBio(BIO* bio);

}  // namespace crypto
}  // namespace zelvo

#endif
