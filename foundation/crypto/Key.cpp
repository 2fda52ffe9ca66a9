#include "foundation/crypto/Key.h"

#include <cstdio>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "foundation/tls/SslErrHandler.h"

namespace zelvo {
namespace crypto {

namespace {

void recordErrors()
{
    boost::shared_ptr<ssl::SslErrHandler> record = ssl::errHandler;
    record->checkForError();
}

// An RSA key pair with the given public exponent, or null.
EVP_PKEY* generateRsa(int bits, unsigned long exponent)
{
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    BIGNUM* e = BN_new();
    if (ctx && e && BN_set_word(e, exponent) == 1 && EVP_PKEY_keygen_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) == 1 && EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1) {
        if (EVP_PKEY_keygen(ctx, &key) != 1)
            key = nullptr;
    }
    BN_free(e);
    EVP_PKEY_CTX_free(ctx);
    return key;
}

}  // namespace

Key::Key() : pkey(nullptr), held(false)
{
}

Key::~Key()
{
    drop();
}

void Key::drop()
{
    if (held)
        EVP_PKEY_free(pkey);
    pkey = nullptr;
    held = false;
}

void Key::adopt(EVP_PKEY* key)
{
    drop();
    pkey = key;
    held = key != nullptr;
}

bool Key::setKey(const std::string& pem, Type type, Password* pw)
{
    Password::Arguments args = Password::argumentsFor(pw);
    drop();
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return false;
    BIO_write(bio, pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = type == Private ? PEM_read_bio_PrivateKey(bio, nullptr, args.callback, args.userData)
                                    : PEM_read_bio_PUBKEY(bio, nullptr, args.callback, args.userData);
    BIO_free(bio);
    if (!key) {
        if (verbose)
            ERR_print_errors_fp(stderr);
        return false;
    }
    adopt(key);
    return true;
}

std::string Key::getKey(const EVP_CIPHER* cipher, Type type, Password* pw)
{
    if (!pkey)
        return std::string();
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return std::string();
    if (type == Private) {
        Password::Arguments args = Password::argumentsFor(pw);
        PEM_write_bio_PrivateKey_traditional(bio, pkey, cipher, args.phrase, args.phraseLength, args.callback,
                                             args.userData);
    } else {
        PEM_write_bio_PUBKEY(bio, pkey);
    }
    std::string text = drainMemoryBio(bio);
    BIO_free(bio);
    return text;
}

void Key::generateRSAKey(int bits, unsigned long exponent)
{
    drop();
    EVP_PKEY* key = generateRsa(bits, exponent);
    if (!key) {
        recordErrors();
        return;
    }
    adopt(key);
}

bool Key::writeSelf(BIO* bio)
{
    if (!pkey || !bio)
        return false;
    return PEM_write_bio_PrivateKey_traditional(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

}  // namespace crypto
}  // namespace zelvo
