#ifndef ZELVO_FOUNDATION_CRYPTO_STREAMDIGEST_H
#define ZELVO_FOUNDATION_CRYPTO_STREAMDIGEST_H

#include <ostream>
#include <streambuf>
#include <string>

#include <openssl/evp.h>

namespace zelvo {
namespace crypto {

// An output stream whose bytes feed a message digest. Reading the result
// (getDigest, getAsciiDigest) finishes the digest under way; the next byte
// written starts a new one. OpenSSL failures are recorded in the calling
// thread's list of zelvo::ssl::errHandler and never reach the stream state.
class StreamDigest : public std::ostream {
public:
    StreamDigest();
    virtual ~StreamDigest();
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;

    // The last finished digest (finishing the current one first); empty
    // when nothing was ever digested.
    virtual std::string getDigest();
    // getDigest() as lower-case hex.
    virtual std::string getAsciiDigest();

    // Without put area: every byte reaches overflow.
    class BufDigest : public std::streambuf {
    public:
        BufDigest();
        ~BufDigest() override;
        BufDigest(const BufDigest&) = delete;
        BufDigest& operator=(const BufDigest&) = delete;

        // The algorithm of the next digest that begins.
        void setDigestAlgorithm(const EVP_MD* algorithm) { md = algorithm; }
        EVP_MD_CTX* getDigestContext() { return ctx; }

    protected:
        int overflow(int c) override;

    private:
        friend class StreamDigest;
        EVP_MD_CTX* ctx;
        bool needInit = true;
        const EVP_MD* md;
    };

protected:
    BufDigest buf;

private:
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
};

class StreamDigestMD2 : public StreamDigest {
public:
    StreamDigestMD2();
    ~StreamDigestMD2() override;
};

class StreamDigestMD5 : public StreamDigest {
public:
    StreamDigestMD5();
    ~StreamDigestMD5() override;
};

class StreamDigestRIPEMD160 : public StreamDigest {
public:
    StreamDigestRIPEMD160();
    ~StreamDigestRIPEMD160() override;
};

// SHA, the first FIPS 180 version (SHA-0).
class StreamDigestSHA : public StreamDigest {
public:
    StreamDigestSHA();
    ~StreamDigestSHA() override;
};

class StreamDigestSHA1 : public StreamDigest {
public:
    StreamDigestSHA1();
    ~StreamDigestSHA1() override;
};

// MD2 (RFC 1319) and SHA-0, which this OpenSSL no longer carries, as digest
// methods of the library's own.
const EVP_MD* md2Digest();
const EVP_MD* sha0Digest();

} // namespace crypto
} // namespace zelvo

#endif
