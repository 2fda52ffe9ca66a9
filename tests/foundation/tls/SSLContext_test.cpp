#include "foundation/tls/SSLContext.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include "foundation/tls/InitSSL.h"
#include "foundation/tls/SslErrHandler.h"
#include "tests/foundation/tls/TlsErrors.h"
#include "tests/foundation/tls/TlsPeer.h"

using zelvo::ssl::SSLContext;
using zelvo::ssl::SslMode;
using zelvo::ssl::errHandler;
using tlstest::takeErrors;

namespace {

std::string subjectOf(X509* cert)
{
    char name[256] = "";
    if (cert)
        X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
    return name;
}

TEST(SSLContextTest, ModesMakeTheMatchingContextOrNone)
{
    struct Row {
        int mode;
        bool made;
        const SSL_METHOD* (*method)();
        int version;  // min = max, or 0 for the library's range
    };
    const Row rows[] = {
        {SslMode::SSLv2Client, false, nullptr, 0},
        {SslMode::SSLv2Server, false, nullptr, 0},
        {SslMode::SSLv2, false, nullptr, 0},
        {SslMode::SSLv3Client, false, nullptr, 0},
        {SslMode::SSLv3Server, false, nullptr, 0},
        {SslMode::SSLv3, false, nullptr, 0},
        {0, false, nullptr, 0},   // unlisted values mean SSLv3
        {13, false, nullptr, 0},
        {SslMode::SSLv23Client, true, TLS_client_method, 0},
        {SslMode::SSLv23Server, true, TLS_server_method, 0},
        {SslMode::SSLv23, true, TLS_method, 0},
        {SslMode::TLSv1Client, true, TLS_client_method, TLS1_VERSION},
        {SslMode::TLSv1Server, true, TLS_server_method, TLS1_VERSION},
        {SslMode::TLSv1, true, TLS_method, TLS1_VERSION},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        takeErrors();
        SSLContext context;
        if (!row.made) {
            EXPECT_EQ(-1, context.set_mode(row.mode));
            EXPECT_EQ(-1, context.get_mode());
            EXPECT_NE("", takeErrors()) << "the reason is in the thread's error list";
            continue;
        }
        ASSERT_EQ(0, context.set_mode(row.mode));
        EXPECT_EQ(row.mode, context.get_mode());
        SSL_CTX* ctx = context.context();
        ASSERT_NE(nullptr, ctx);
        EXPECT_EQ(row.method(), SSL_CTX_get_ssl_method(ctx));
        EXPECT_EQ(row.version, SSL_CTX_get_min_proto_version(ctx));
        EXPECT_EQ(row.version, SSL_CTX_get_max_proto_version(ctx));
    }
}

TEST(SSLContextTest, TheFirstModeStays)
{
    SSLContext context;
    ASSERT_EQ(0, context.set_mode(SslMode::TLSv1));
    SSL_CTX* ctx = context.context();
    for (int mode : {int(SslMode::TLSv1), int(SslMode::SSLv23), 3}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(-1, context.set_mode(mode));
        EXPECT_EQ(SslMode::TLSv1, context.get_mode());
        EXPECT_EQ(ctx, context.context());
    }
}

TEST(SSLContextTest, FirstUseWithoutAModeIsSSLv23)
{
    SSLContext context;
    EXPECT_EQ(-1, context.get_mode());
    ASSERT_NE(nullptr, context.context());
    EXPECT_EQ(SslMode::SSLv23, context.get_mode());
}

TEST(SSLContextTest, CloseEndsTheContextAndAllowsAnother)
{
    SSLContext context;
    ASSERT_EQ(0, context.certificate(tlstest::fixture("server.crt").c_str(), SSL_FILETYPE_PEM));
    context.close();
    EXPECT_EQ(-1, context.certificate_type());
    EXPECT_EQ(tlstest::fixture("server.crt"), context.certificate_file_name()) << "names stay";
    EXPECT_EQ(0, context.set_mode(SslMode::TLSv1Client));
    EXPECT_EQ(SslMode::TLSv1Client, context.get_mode());
}

TEST(SSLContextTest, EachFileKindLoadsOnce)
{
    SSLContext context;
    ASSERT_EQ(0, context.certificate(tlstest::fixture("server.crt").c_str(), SSL_FILETYPE_PEM));
    EXPECT_EQ(0, context.certificate(tlstest::fixture("other.crt").c_str(), SSL_FILETYPE_PEM));
    EXPECT_EQ(tlstest::fixture("server.crt"), context.certificate_file_name());
    EXPECT_EQ(SSL_FILETYPE_PEM, context.certificate_type());
    EXPECT_EQ("/CN=server.test/O=Fixture", subjectOf(SSL_CTX_get0_certificate(context.context())));
}

TEST(SSLContextTest, PrivateKeyMustMatchTheCertificate)
{
    SSLContext matching;
    ASSERT_EQ(0, matching.certificate(tlstest::fixture("server.crt").c_str(), SSL_FILETYPE_PEM));
    EXPECT_EQ(0, matching.private_key(tlstest::fixture("server.key").c_str(), SSL_FILETYPE_PEM));
    EXPECT_EQ(0, matching.verify_private_key());

    takeErrors();
    SSLContext mismatched;
    ASSERT_EQ(0, mismatched.certificate(tlstest::fixture("server.crt").c_str(), SSL_FILETYPE_PEM));
    EXPECT_EQ(-1, mismatched.private_key(tlstest::fixture("other.key").c_str(), SSL_FILETYPE_PEM));
    EXPECT_NE("", takeErrors());

    SSLContext missing;
    EXPECT_EQ(-1, missing.certificate(tlstest::fixture("no-such.crt").c_str(), SSL_FILETYPE_PEM));
    EXPECT_NE("", takeErrors());
}

TEST(SSLContextTest, DhParamsArePemOnlyAndRecordedEvenWhenRefused)
{
    SSLContext asn1;
    EXPECT_EQ(-1, asn1.dh_params(tlstest::fixture("dh.pem").c_str(), SSL_FILETYPE_ASN1));
    EXPECT_EQ(SSL_FILETYPE_ASN1, asn1.dh_params_file_type());
    EXPECT_EQ(0, asn1.dh_params(tlstest::fixture("dh.pem").c_str(), SSL_FILETYPE_PEM));

    SSLContext pem;
    EXPECT_EQ(0, pem.dh_params(tlstest::fixture("dh.pem").c_str(), SSL_FILETYPE_PEM));

    SSLContext notDh;
    EXPECT_EQ(-1, notDh.dh_params(tlstest::fixture("server.crt").c_str(), SSL_FILETYPE_PEM));
    SSLContext absent;
    EXPECT_EQ(-1, absent.dh_params(tlstest::fixture("no-such.pem").c_str(), SSL_FILETYPE_PEM));
    takeErrors();
}

TEST(SSLContextTest, TrustedCaNeedsBothLocations)
{
    SSLContext context;
    EXPECT_EQ(-1, context.load_trusted_ca(nullptr, nullptr));
    EXPECT_EQ(SslMode::SSLv23, context.get_mode()) << "a context was made on the way";
    const std::string dir = tlstest::fixture("");
    EXPECT_EQ(-1, context.load_trusted_ca(tlstest::fixture("server.crt").c_str(), nullptr));
    EXPECT_EQ(0, context.have_trusted_ca());

    ASSERT_EQ(0, context.load_trusted_ca(tlstest::fixture("server.crt").c_str(), dir.c_str()));
    EXPECT_EQ(1, context.have_trusted_ca());
    STACK_OF(X509_NAME)* names = SSL_CTX_get_client_CA_list(context.context());
    ASSERT_NE(nullptr, names);
    EXPECT_EQ(1, sk_X509_NAME_num(names));

    ASSERT_EQ(0, context.load_trusted_ca(tlstest::fixture("other.crt").c_str(), dir.c_str()));
    EXPECT_EQ(2, context.have_trusted_ca());
    EXPECT_EQ(2, sk_X509_NAME_num(SSL_CTX_get_client_CA_list(context.context())));

    SSLContext client;
    ASSERT_EQ(0, client.set_mode(SslMode::TLSv1Client));
    ASSERT_EQ(0, client.load_trusted_ca(tlstest::fixture("server.crt").c_str(), dir.c_str()));
    STACK_OF(X509_NAME)* clientNames = SSL_CTX_get_client_CA_list(client.context());
    EXPECT_EQ(0, clientNames ? sk_X509_NAME_num(clientNames) : 0) << "a client offers no CA names";

    EXPECT_EQ(-1, client.load_trusted_ca(tlstest::fixture("no-such.crt").c_str(), "/nonexistent"));
    EXPECT_EQ(1, client.have_trusted_ca());
    takeErrors();
}

TEST(SSLContextTest, VerifyPeerReachesTheContext)
{
    struct Row {
        int failIfNoPeerCert, verifyClientOnce, depth;
        int mode, expectedDepth;
    };
    const Row rows[] = {
        {0, 0, 0, SSL_VERIFY_PEER, -1},
        {1, 0, 1, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, 2},
        {0, 1, 0, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, -1},
        {1, 1, 4, 7, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        SSLContext context;
        const int defaultDepth = SSL_CTX_get_verify_depth(context.context());
        context.set_verify_peer(row.failIfNoPeerCert, row.verifyClientOnce, row.depth);
        EXPECT_EQ(row.mode, context.default_verify_mode());
        EXPECT_EQ(row.mode, SSL_CTX_get_verify_mode(context.context()));
        EXPECT_EQ(row.expectedDepth == -1 ? defaultDepth : row.expectedDepth,
                  SSL_CTX_get_verify_depth(context.context()));
    }
}

TEST(SSLContextTest, ReportErrorEmptiesQueueAndList)
{
    ERR_raise(ERR_LIB_SSL, SSL_R_NO_CIPHERS_AVAILABLE);
    errHandler->record(42);
    SSLContext context;
    context.report_error();
    EXPECT_EQ(0u, ERR_peek_error());
    std::string text = "x";
    EXPECT_EQ(0u, errHandler->getLastError(text));
    EXPECT_EQ("", text);
}

TEST(SSLContextTest, InstanceIsProcessWide)
{
    SSLContext* first = SSLContext::instance();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, SSLContext::instance());
    EXPECT_NE(nullptr, SSLContext::ssl_library_init());
    EXPECT_TRUE(SSLContext::ssl_library_init()->isInitialized());
}

}  // namespace
