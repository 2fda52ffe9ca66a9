#include "foundation/tls/SSLContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "foundation/system/SingletonFactory.h"
#include "foundation/tls/InitSSL.h"
#include "foundation/tls/SslErrHandler.h"

namespace zelvo {
namespace ssl {

namespace {

struct MethodChoice {
    const SSL_METHOD* (*method)();
    int version;  // 0: every version the library allows
};

// The methods of the old table that this TLS library still has. SSLv2 and
// SSLv3 modes have none.
bool methodFor(int mode, MethodChoice& choice)
{
    switch (mode) {
    case SslMode::SSLv23Client: choice = {TLS_client_method, 0}; return true;
    case SslMode::SSLv23Server: choice = {TLS_server_method, 0}; return true;
    case SslMode::SSLv23: choice = {TLS_method, 0}; return true;
    case SslMode::TLSv1Client: choice = {TLS_client_method, TLS1_VERSION}; return true;
    case SslMode::TLSv1Server: choice = {TLS_server_method, TLS1_VERSION}; return true;
    case SslMode::TLSv1: choice = {TLS_method, TLS1_VERSION}; return true;
    default: return false;
    }
}

tiny::ZMutex& contextMutex()
{
    static tiny::ZMutex* const m = new tiny::ZMutex();
    return *m;
}

}  // namespace

tiny::ZMutex& SSLContext::ssl_mon = contextMutex();

SSLContext::SSLContext()
    : ctx(nullptr), mode(-1), privateKey(), certificateFile(), dhParams(), defaultVerifyMode(0), haveTrustedCa(0)
{
    ssl_library_init();
}

SSLContext::~SSLContext()
{
    if (ctx)
        SSL_CTX_free(ctx);
}

void SSLContext::recordErrors()
{
    boost::shared_ptr<SslErrHandler> record = errHandler;
    record->checkForError();
}

bool SSLContext::serverCapable() const
{
    switch (mode) {
    case SslMode::SSLv2Server:
    case SslMode::SSLv2:
    case SslMode::SSLv3Server:
    case SslMode::SSLv3:
    case SslMode::SSLv23Server:
    case SslMode::SSLv23:
    case SslMode::TLSv1Server:
    case SslMode::TLSv1:
        return true;
    default:
        return false;
    }
}

int SSLContext::set_mode(int newMode)
{
    tiny::ZMutexGuard guard(&ssl_mon);
    if (ctx)
        return -1;
    MethodChoice choice;
    if (!methodFor(newMode, choice)) {
        ERR_raise(ERR_LIB_SSL, SSL_R_UNSUPPORTED_PROTOCOL);
        recordErrors();
        return -1;
    }
    SSL_CTX* created = SSL_CTX_new(choice.method());
    if (created && choice.version != 0 &&
        (SSL_CTX_set_min_proto_version(created, choice.version) != 1 ||
         SSL_CTX_set_max_proto_version(created, choice.version) != 1)) {
        SSL_CTX_free(created);
        created = nullptr;
    }
    if (!created) {
        recordErrors();
        return -1;
    }
    ctx = created;
    mode = newMode;
    load_trusted_ca(nullptr, nullptr);
    return 0;
}

SSL_CTX* SSLContext::context()
{
    if (!ctx)
        set_mode(SslMode::SSLv23);
    return ctx;
}

void SSLContext::check_context()
{
    context();
}

void SSLContext::close()
{
    if (ctx)
        SSL_CTX_free(ctx);
    ctx = nullptr;
    privateKey.fileType = -1;
    certificateFile.fileType = -1;
    dhParams.fileType = -1;
}

int SSLContext::load_trusted_ca(const char* caFile, const char* caDir)
{
    if (!context() || !caFile || !caDir)
        return -1;
    if (SSL_CTX_load_verify_locations(ctx, caFile, caDir) < 1)
        return -1;
    ++haveTrustedCa;
    if (serverCapable()) {
        if (STACK_OF(X509_NAME)* names = SSL_CTX_get_client_CA_list(ctx)) {
            if (SSL_add_file_cert_subjects_to_stack(names, caFile) == 0)
                return -1;
        } else {
            STACK_OF(X509_NAME)* loaded = SSL_load_client_CA_file(caFile);
            if (!loaded)
                return -1;
            SSL_CTX_set_client_CA_list(ctx, loaded);
        }
    }
    return 0;
}

int SSLContext::private_key(const char* file, int type)
{
    if (privateKey.fileType != -1)
        return 0;
    if (!context() || !file)
        return -1;
    privateKey = SSL_Data_File(file, type);
    if (SSL_CTX_use_PrivateKey_file(ctx, file, type) < 1) {
        recordErrors();
        return -1;
    }
    return verify_private_key();
}

int SSLContext::certificate(const char* file, int type)
{
    if (certificateFile.fileType != -1)
        return 0;
    if (!file)
        return -1;
    certificateFile = SSL_Data_File(file, type);
    if (!context())
        return -1;
    if (SSL_CTX_use_certificate_file(ctx, file, type) < 1) {
        recordErrors();
        return -1;
    }
    return 0;
}

int SSLContext::verify_private_key()
{
    if (!context())
        return -1;
    if (SSL_CTX_check_private_key(ctx) < 1) {
        recordErrors();
        return -1;
    }
    return 0;
}

int SSLContext::dh_params(const char* file, int type)
{
    if (dhParams.fileType != -1)
        return 0;
    if (!file)
        return -1;
    dhParams = SSL_Data_File(file, type);
    if (!context() || type != SSL_FILETYPE_PEM)
        return -1;
    BIO* bio = BIO_new_file(file, "r");
    if (!bio)
        return -1;
    EVP_PKEY* params = PEM_read_bio_Parameters(bio, nullptr);
    BIO_free(bio);
    if (!params)
        return -1;
    // The context takes the parameters only on success.
    const bool isDh = EVP_PKEY_is_a(params, "DH") == 1 || EVP_PKEY_is_a(params, "DHX") == 1;
    if (!isDh || SSL_CTX_set0_tmp_dh_pkey(ctx, params) != 1) {
        EVP_PKEY_free(params);
        return -1;
    }
    return 0;
}

void SSLContext::set_verify_peer(int failIfNoPeerCert, int verifyClientOnce, int verifyDepth)
{
    if (!context())
        return;
    defaultVerifyMode = SSL_VERIFY_PEER;
    if (failIfNoPeerCert)
        defaultVerifyMode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    if (verifyClientOnce)
        defaultVerifyMode |= SSL_VERIFY_CLIENT_ONCE;
    SSL_CTX_set_verify(ctx, defaultVerifyMode, nullptr);
    if (verifyDepth >= 1)
        SSL_CTX_set_verify_depth(ctx, verifyDepth + 1);
}

void SSLContext::report_error()
{
    boost::shared_ptr<SslErrHandler> record = errHandler;
    record->checkForError();
    std::string ignored;
    record->getLastError(ignored);
}

void SSLContext::report_error(unsigned long)
{
}

SSLContext* SSLContext::instance()
{
    return utils::SingletonFactory<SSLContext, utils::DestroyAtExit>::getInstance();
}

InitSSL* SSLContext::ssl_library_init()
{
    return utils::SingletonFactory<InitSSL, utils::DestroyAtExit>::getInstance();
}

void SSLContext::ssl_library_fini()
{
}

}  // namespace ssl
}  // namespace zelvo
