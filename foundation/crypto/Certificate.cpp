#include "foundation/crypto/Certificate.h"

#include <fstream>
#include <sstream>

#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "foundation/tls/SSLContext.h"
#include "foundation/tls/SslErrHandler.h"
#include "foundation/tls/ZSslSocket.h"

namespace zelvo {
namespace crypto {

namespace {

void recordErrors(const boost::shared_ptr<ssl::SslErrHandler>& record)
{
    record->checkForError();
}

const char hexDigits[] = "0123456789abcdef";

}  // namespace

Certificate::Certificate() : key(), x509(nullptr), hasCert(false)
{
}

Certificate::~Certificate()
{
    drop();
}

void Certificate::drop()
{
    if (hasCert)
        X509_free(x509);
    x509 = nullptr;
    hasCert = false;
}

bool Certificate::getFromPeer(const ssl::ZSslSocket& sock)
{
    boost::shared_ptr<ssl::SslErrHandler> record = ssl::errHandler;
    drop();
    x509 = sock.ssl ? SSL_get1_peer_certificate(sock.ssl) : nullptr;
    if (!x509) {
        recordErrors(record);
        return false;
    }
    hasCert = true;
    return true;
}

bool Certificate::getFingerprint(std::string& out)
{
    if (!x509)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(x509, EVP_sha1(), digest, &length) != 1)
        return false;
    std::string text;
    text.reserve(length * 3);
    for (unsigned int i = 0; i < length; ++i) {
        if (i != 0)
            text += ':';
        text += hexDigits[digest[i] >> 4];
        text += hexDigits[digest[i] & 0x0f];
    }
    out = text;
    return true;
}

bool Certificate::setCertificate(const std::string& pem, Password* pw)
{
    Password::Arguments args = Password::argumentsFor(pw);
    drop();
    key.drop();
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return false;
    BIO_write(bio, pem.data(), static_cast<int>(pem.size()));
    x509 = PEM_read_bio_X509(bio, nullptr, args.callback, args.userData);
    BIO_free(bio);
    if (!x509)
        return false;
    key.adopt(X509_get_pubkey(x509));
    hasCert = true;
    return true;
}

bool Certificate::loadCertificate(const std::string& path)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open())
        return false;
    std::stringstream content;
    content << file.rdbuf();
    file.close();
    return setCertificate(content.str(), nullptr);
}

bool Certificate::loadFromContext(ssl::SSLContext& ctx)
{
    boost::shared_ptr<ssl::SslErrHandler> record = ssl::errHandler;
    drop();
    SSL_CTX* context = ctx.context();
    SSL* probe = context ? SSL_new(context) : nullptr;
    if (!probe) {
        recordErrors(record);
        return false;
    }
    // The connection shares the context's certificate, which outlives it.
    x509 = SSL_get_certificate(probe);
    SSL_free(probe);
    if (!x509) {
        recordErrors(record);
        return false;
    }
    return true;
}

std::string Certificate::getCertificate()
{
    if (!hasCert || !x509)
        return std::string();
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return std::string();
    PEM_write_bio_X509(bio, x509);
    std::string text = drainMemoryBio(bio);
    BIO_free(bio);
    return text;
}

bool Certificate::create(const Details& d)
{
    boost::shared_ptr<ssl::SslErrHandler> record = ssl::errHandler;
    drop();
    x509 = X509_new();
    if (!x509) {
        recordErrors(record);
        return false;
    }
    hasCert = true;
    if (X509_set_version(x509, d.version) != 1)
        return false;
    if (ASN1_INTEGER_set(X509_get_serialNumber(x509), d.serial) != 1)
        return false;
    if (!X509_gmtime_adj(X509_getm_notBefore(x509), d.notBefore) ||
        !X509_gmtime_adj(X509_getm_notAfter(x509), d.notAfter))
        return false;
    key.generateRSAKey(d.keyBits, d.keyExponent);
    if (!key.get())
        return false;
    if (X509_set_pubkey(x509, key.get()) != 1)
        return false;
    X509_NAME* subject = X509_get_subject_name(x509);
    for (const auto& entry : d.nameEntries) {
        if (X509_NAME_add_entry_by_txt(subject, entry.first.c_str(), MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(entry.second.c_str()), -1, -1,
                                       0) != 1)
            return false;
    }
    if (X509_set_issuer_name(x509, subject) != 1)
        return false;
    if (X509_sign(x509, key.get(), EVP_sha1()) <= 0)
        return false;
    return true;
}

bool Certificate::writeSelf(BIO* bio)
{
    if (!x509 || !bio)
        return false;
    return PEM_write_bio_X509(bio, x509) == 1;
}

}  // namespace crypto
}  // namespace zelvo
