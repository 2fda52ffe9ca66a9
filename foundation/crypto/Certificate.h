#ifndef ZELVO_FOUNDATION_CRYPTO_CERTIFICATE_H
#define ZELVO_FOUNDATION_CRYPTO_CERTIFICATE_H

#include <string>
#include <utility>
#include <vector>

#include <openssl/x509.h>

#include "foundation/crypto/Crypto.h"
#include "foundation/crypto/Key.h"

namespace zelvo {
namespace ssl {
class SSLContext;
class ZSslSocket;
}  // namespace ssl

namespace crypto {

// One X.509 certificate: the peer's of a TLS socket, read from PEM text or
// a file, borrowed from a TLS context, or made self-signed with a new RSA
// key. Owned certificates are freed with the object; a borrowed one stays
// valid only while its context lives and keeps it.
class Certificate : public Crypto, public WritableEntity {
public:
    struct Details {
        long version;        // as stored: 2 means X.509 version 3
        long serial;
        long notBefore;      // seconds from now (negative: in the past)
        long notAfter;       // seconds from now
        int keyBits;
        unsigned long keyExponent;
        // Subject name entries in order: field in OpenSSL's text form (CN,
        // O, or a dotted object identifier), value as ASCII text.
        std::vector<std::pair<std::string, std::string>> nameEntries;
    };

    Certificate();
    ~Certificate() override;
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    // The public key after setCertificate, the key pair after create.
    Key& publicKey() { return key; }

    // The certificate the socket's peer presented; false (and none present)
    // before a handshake or when the peer sent none.
    bool getFromPeer(const ssl::ZSslSocket& sock);
    // SHA-1 over the DER encoding as 20 lower-case hex pairs joined by ":"
    // (59 characters). False, out untouched, without a certificate.
    bool getFingerprint(std::string& out);
    // False, with no certificate and no public key left, when pem holds none.
    bool setCertificate(const std::string& pem, Password* pw);
    // setCertificate of a PEM file's content; false when it cannot be read.
    bool loadCertificate(const std::string& path);
    // Borrows the context's own certificate (creating the context when it
    // has none yet).
    bool loadFromContext(ssl::SSLContext& ctx);
    // PEM text of an owned certificate; empty otherwise (also when borrowed).
    std::string getCertificate();
    // A self-signed certificate (issuer = subject, SHA-1 signature, no
    // extensions) with a new RSA key. A failure part-way leaves the partly
    // built certificate in the object.
    bool create(const Details& d);
    bool writeSelf(BIO* bio) override;

    bool isPresent() const { return x509 != nullptr; }
    bool isOwned() const { return hasCert; }
    X509* get() const { return x509; }

private:
    void drop();

    Key key;
    X509* x509;
    bool hasCert;
};

}  // namespace crypto
}  // namespace zelvo

#endif
