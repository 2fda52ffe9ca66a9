#ifndef ZELVO_FOUNDATION_CRYPTO_KEY_H
#define ZELVO_FOUNDATION_CRYPTO_KEY_H

#include <string>

#include <openssl/evp.h>

#include "foundation/crypto/Crypto.h"

namespace zelvo {
namespace crypto {

// One key (EVP_PKEY), read from or written as PEM text, or generated as an
// RSA key. The object owns the key it holds.
class Key : public Crypto, public WritableEntity {
public:
    // Every value other than Private means Public.
    enum Type { Private = 0, Public = 1 };

    Key();
    ~Key() override;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    // Replaces the key with the one in pem (a private key for Private, else
    // a public key). False, with no key left, when pem holds none.
    bool setKey(const std::string& pem, Type type, Password* pw);
    // PEM text: a private key in the traditional form, encrypted with cipher
    // and pw when cipher is given; or the public key. Empty without a key.
    std::string getKey(const EVP_CIPHER* cipher, Type type, Password* pw);
    // A new RSA key pair; without one afterwards when generation failed
    // (the OpenSSL codes are in the calling thread's error list).
    void generateRSAKey(int bits, unsigned long exponent);
    // The unencrypted private key as PEM; false without a key.
    bool writeSelf(BIO* bio) override;

    bool hasKey() const { return held; }
    EVP_PKEY* get() const { return pkey; }

private:
    friend class Certificate;
    void drop();
    // Takes ownership of key (may be null).
    void adopt(EVP_PKEY* key);

    EVP_PKEY* pkey;
    bool held;
};

}  // namespace crypto
}  // namespace zelvo

#endif
