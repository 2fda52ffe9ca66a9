#include "foundation/crypto/Certificate.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/x509.h>

#include "foundation/crypto/CrtKeyFile.h"
#include "foundation/tls/SSLContext.h"
#include "foundation/tls/SslErrHandler.h"
#include "foundation/tls/ZSslSocket.h"
#include "tests/foundation/tls/TlsErrors.h"
#include "tests/foundation/tls/TlsPeer.h"
#include "tests/support/TestSupport.h"

using zelvo::crypto::Certificate;
using zelvo::crypto::Key;
using zelvo::ssl::SSLContext;
using zelvo::ssl::ZSslSocket;
using tlstest::dropErrors;

namespace {

// What the openssl command prints, in the library's spelling.
std::string opensslFingerprint(const std::string& certFile)
{
    std::string out;
    testsupport::runShell("openssl x509 -noout -fingerprint -sha1 -in " + testsupport::shellQuote(certFile), &out);
    std::string value = out.substr(out.find('=') + 1);
    value.erase(value.find_last_not_of("\r\n") + 1);
    std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
    return value;
}

std::string nameOf(X509_NAME* name)
{
    char text[256] = "";
    X509_NAME_oneline(name, text, sizeof text);
    return text;
}

Certificate::Details details(std::vector<std::pair<std::string, std::string>> names, unsigned long exponent = 65537)
{
    Certificate::Details d;
    d.version = 2;
    d.serial = 4711;
    d.notBefore = -3600;
    d.notAfter = 86400;
    d.keyBits = 1024;
    d.keyExponent = exponent;
    d.nameEntries = std::move(names);
    return d;
}

TEST(CertificateTest, FingerprintMatchesTheOpensslCommand)
{
    for (const char* file : {"server.crt", "other.crt"}) {
        SCOPED_TRACE(file);
        Certificate cert;
        ASSERT_TRUE(cert.loadCertificate(tlstest::fixture(file)));
        std::string fingerprint;
        ASSERT_TRUE(cert.getFingerprint(fingerprint));
        EXPECT_EQ(59u, fingerprint.size());
        EXPECT_EQ(opensslFingerprint(tlstest::fixture(file)), fingerprint);
    }
}

TEST(CertificateTest, FingerprintKeepsLeadingZeros)
{
    // Made certificates until one has a digest byte below 16 somewhere.
    for (int attempt = 0; attempt < 50; ++attempt) {
        Certificate cert;
        ASSERT_TRUE(cert.create(details({{"CN", "zero" + std::to_string(attempt)}})));
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        ASSERT_EQ(1, X509_digest(cert.get(), EVP_sha1(), digest, &length));
        if (std::none_of(digest, digest + length, [](unsigned char b) { return b < 16; }))
            continue;
        std::string expected;
        char pair[4];
        for (unsigned i = 0; i < length; ++i) {
            std::snprintf(pair, sizeof pair, i ? ":%02x" : "%02x", digest[i]);
            expected += pair;
        }
        std::string fingerprint;
        ASSERT_TRUE(cert.getFingerprint(fingerprint));
        EXPECT_EQ(expected, fingerprint);
        return;
    }
    FAIL() << "no digest with a small byte came up";
}

TEST(CertificateTest, NoCertificateNoFingerprint)
{
    Certificate cert;
    std::string out = "untouched";
    EXPECT_FALSE(cert.getFingerprint(out));
    EXPECT_EQ("untouched", out);
    EXPECT_EQ("", cert.getCertificate());
    EXPECT_FALSE(cert.writeSelf(nullptr));
}

TEST(CertificateTest, TextWithoutACertificateLeavesNothing)
{
    Certificate cert;
    ASSERT_TRUE(cert.loadCertificate(tlstest::fixture("server.crt")));
    ASSERT_TRUE(cert.publicKey().hasKey());
    for (const std::string& text : {std::string(), std::string("no pem here"),
                                    testsupport::readFile(tlstest::fixture("server.key"))}) {
        EXPECT_FALSE(cert.setCertificate(text, nullptr));
        EXPECT_FALSE(cert.isPresent());
        EXPECT_FALSE(cert.publicKey().hasKey());
        std::string out = "x";
        EXPECT_FALSE(cert.getFingerprint(out));
    }
    EXPECT_FALSE(cert.loadCertificate(tlstest::fixture("no-such.crt")));
    dropErrors();
}

TEST(CertificateTest, PemTextRoundTripKeepsTheFingerprint)
{
    Certificate original;
    ASSERT_TRUE(original.loadCertificate(tlstest::fixture("server.crt")));
    const std::string pem = original.getCertificate();
    EXPECT_EQ(0u, pem.find("-----BEGIN CERTIFICATE-----"));
    EXPECT_EQ(testsupport::readFile(tlstest::fixture("server.crt")), pem);

    Certificate copy;
    ASSERT_TRUE(copy.setCertificate(pem, nullptr));
    std::string a, b;
    ASSERT_TRUE(original.getFingerprint(a));
    ASSERT_TRUE(copy.getFingerprint(b));
    EXPECT_EQ(a, b);
    EXPECT_EQ(1, EVP_PKEY_eq(original.publicKey().get(), copy.publicKey().get()));
}

TEST(CertificateTest, CreateMakesASelfSignedCertificate)
{
    Certificate cert;
    ASSERT_TRUE(cert.create(details({{"CN", "made.test"}, {"O", "Maker"}, {"2.5.4.11", "Unit"}}, 3)));
    X509* x = cert.get();
    EXPECT_EQ("/CN=made.test/O=Maker/OU=Unit", nameOf(X509_get_subject_name(x)));
    EXPECT_EQ(nameOf(X509_get_subject_name(x)), nameOf(X509_get_issuer_name(x)));
    EXPECT_EQ(2, X509_get_version(x));
    EXPECT_EQ(4711, ASN1_INTEGER_get(X509_get_serialNumber(x)));
    EXPECT_EQ(1, X509_verify(x, cert.publicKey().get())) << "signed with its own key";
    EXPECT_EQ(NID_sha1WithRSAEncryption, X509_get_signature_nid(x));
    EXPECT_EQ(-1, X509_cmp_current_time(X509_get0_notBefore(x)));
    EXPECT_EQ(1, X509_cmp_current_time(X509_get0_notAfter(x)));
    EXPECT_EQ(1024, EVP_PKEY_get_bits(cert.publicKey().get()));
    BIGNUM* e = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(cert.publicKey().get(), OSSL_PKEY_PARAM_RSA_E, &e));
    EXPECT_EQ(3u, BN_get_word(e)) << "the exponent asked for";
    BN_free(e);
}

TEST(CertificateTest, CreateWithoutNamesSignsEmptyNames)
{
    Certificate cert;
    ASSERT_TRUE(cert.create(details({})));
    EXPECT_EQ(0, X509_NAME_entry_count(X509_get_subject_name(cert.get())));
    EXPECT_EQ(0, X509_NAME_entry_count(X509_get_issuer_name(cert.get())));
    EXPECT_EQ(1, X509_verify(cert.get(), cert.publicKey().get()));
}

TEST(CertificateTest, CreateFailsForABadNameOrKey)
{
    Certificate badName;
    EXPECT_FALSE(badName.create(details({{"NoSuchField", "x"}})));
    EXPECT_TRUE(badName.isOwned()) << "the partly built certificate stays";
    Certificate badKey;
    EXPECT_FALSE(badKey.create(details({{"CN", "x"}}, 4)));  // an even exponent
    EXPECT_FALSE(badKey.publicKey().hasKey());
    dropErrors();
}

TEST(CertificateTest, MadeWrittenAndReadBackKeepsItsFingerprint)
{
    testsupport::TempDir dir("zcert");
    Certificate made;
    ASSERT_TRUE(made.create(details({{"CN", "roundtrip.test"}})));
    std::string madeFingerprint;
    ASSERT_TRUE(made.getFingerprint(madeFingerprint));

    zelvo::crypto::CrtKeyFile file;
    ASSERT_TRUE(file.open(dir.file("both.pem").c_str()));
    ASSERT_TRUE(file.write(made.publicKey()));
    ASSERT_TRUE(file.write(made));
    ASSERT_TRUE(file.close());

    Certificate read;
    ASSERT_TRUE(read.loadCertificate(dir.file("both.pem")));
    std::string readFingerprint;
    ASSERT_TRUE(read.getFingerprint(readFingerprint));
    EXPECT_EQ(madeFingerprint, readFingerprint);
    EXPECT_EQ(opensslFingerprint(dir.file("both.pem")), readFingerprint);

    Key key;
    ASSERT_TRUE(key.setKey(testsupport::readFile(dir.file("both.pem")), Key::Private, nullptr));
    EXPECT_EQ(1, EVP_PKEY_eq(key.get(), read.publicKey().get())) << "the file holds the matching key";
}

TEST(CertificateTest, BorrowedFromAContext)
{
    SSLContext context;
    ASSERT_EQ(0, context.certificate(tlstest::fixture("server.crt").c_str(), SSL_FILETYPE_PEM));
    Certificate cert;
    ASSERT_TRUE(cert.loadFromContext(context));
    EXPECT_TRUE(cert.isPresent());
    EXPECT_FALSE(cert.isOwned());
    EXPECT_EQ("", cert.getCertificate()) << "only owned certificates give their text";
    std::string fingerprint;
    ASSERT_TRUE(cert.getFingerprint(fingerprint));
    EXPECT_EQ(opensslFingerprint(tlstest::fixture("server.crt")), fingerprint);
    BIO* bio = BIO_new(BIO_s_mem());
    EXPECT_TRUE(cert.writeSelf(bio));
    EXPECT_GT(BIO_pending(bio), 0);
    BIO_free(bio);

    SSLContext empty;
    Certificate none;
    EXPECT_FALSE(none.loadFromContext(empty));
    EXPECT_FALSE(none.isPresent());
    dropErrors();
}

// Serves one TLS handshake on a thread with the given peer options.
struct HandshakeServer {
    tlstest::Listener listener;
    SSL_CTX* ctx;
    tlstest::PeerThread peer;
    explicit HandshakeServer(const tlstest::PeerOptions& options)
        : ctx(tlstest::makeContext(true, options)), peer(listener, [this](int fd) {
              if (SSL* ssl = tlstest::handshake(ctx, fd, true)) {
                  char c;
                  SSL_read(ssl, &c, 1);  // until the client goes
                  SSL_free(ssl);
              }
          })
    {
    }
    ~HandshakeServer()
    {
        peer.join();
        SSL_CTX_free(ctx);
    }
};

TEST(CertificateTest, FromThePeerOfATlsSocket)
{
    HandshakeServer server{tlstest::PeerOptions()};
    SSLContext context;
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(&context));
    Certificate cert;
    EXPECT_FALSE(cert.getFromPeer(sock)) << "no connection yet";

    ASSERT_TRUE(sock.open(tlstest::connectTo(server.listener.port())));
    ASSERT_TRUE(sock.connect());
    ASSERT_TRUE(cert.getFromPeer(sock));
    ASSERT_TRUE(cert.getFromPeer(sock)) << "the first one is freed, not leaked";
    EXPECT_TRUE(cert.isOwned());
    std::string fingerprint;
    ASSERT_TRUE(cert.getFingerprint(fingerprint));
    EXPECT_EQ(opensslFingerprint(tlstest::fixture("server.crt")), fingerprint);
    sock.close();
    dropErrors();
}

TEST(CertificateTest, PeerWithoutCertificate)
{
    tlstest::PeerOptions anonymous;
    anonymous.withCertificate = false;
    anonymous.securityLevel0 = true;
    anonymous.version = TLS1_2_VERSION;
    anonymous.cipherList = "aNULL:@SECLEVEL=0";
    HandshakeServer server{anonymous};

    SSLContext context;
    ASSERT_EQ(0, context.set_mode(zelvo::ssl::SslMode::SSLv23Client));
    SSL_CTX_set_cipher_list(context.context(), "aNULL:@SECLEVEL=0");
    SSL_CTX_set_max_proto_version(context.context(), TLS1_2_VERSION);
    ZSslSocket sock;
    ASSERT_TRUE(sock.init(&context));
    ASSERT_TRUE(sock.open(tlstest::connectTo(server.listener.port())));
    ASSERT_TRUE(sock.connect());

    Certificate cert;
    ASSERT_TRUE(cert.loadCertificate(tlstest::fixture("server.crt")));
    EXPECT_FALSE(cert.getFromPeer(sock));
    EXPECT_FALSE(cert.isPresent());
    std::string out = "untouched";
    EXPECT_FALSE(cert.getFingerprint(out));
    EXPECT_EQ("untouched", out);
    sock.close();
    dropErrors();
}

}  // namespace
