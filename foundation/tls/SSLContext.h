#ifndef ZELVO_FOUNDATION_TLS_SSLCONTEXT_H
#define ZELVO_FOUNDATION_TLS_SSLCONTEXT_H

#include <string>

#include <openssl/ssl.h>

#include "foundation/system/ZMutex.h"

namespace zelvo {
namespace ssl {

// Protocol and role of a context (the argument of SSLContext::set_mode).
// SSLv2 and SSLv3 are not in this TLS library: those modes, and any value
// not listed (which means SSLv3), make no context.
struct SslMode {
    enum {
        SSLv2Client = 1,
        SSLv2Server = 2,
        SSLv2 = 3,
        SSLv3Client = 4,
        SSLv3Server = 5,
        SSLv3 = 6,
        SSLv23Client = 7,
        SSLv23Server = 8,
        SSLv23 = 9,  // what a context gets when first used without a mode
        TLSv1Client = 10,
        TLSv1Server = 11,
        TLSv1 = 12,  // TLS 1.0 only; handshakes need security level 0
    };
};

// A file loaded into a context; type -1 unset, else SSL_FILETYPE_PEM (1)
// or SSL_FILETYPE_ASN1 (2).
class SSL_Data_File {
public:
    SSL_Data_File() : name(), fileType(-1) {}
    SSL_Data_File(const char* fileName, int type) : name(fileName ? fileName : ""), fileType(type) {}

    const char* file_name() const { return name.c_str(); }
    int type() const { return fileType; }

private:
    friend class SSLContext;
    std::string name;
    int fileType;
};

// One OpenSSL context, created at most once per life: by the first set_mode,
// or in mode 9 by the first operation that needs one. close() ends it, after
// which set_mode may create another. Nothing throws: failures are -1 (or
// NULL) with the OpenSSL codes in the calling thread's error list.
class InitSSL;

class SSLContext {
public:
    SSLContext();
    ~SSLContext();

    SSLContext(const SSLContext&) = delete;
    SSLContext& operator=(const SSLContext&) = delete;

    // 0 when a context for mode was created; -1 when one exists already or
    // the mode cannot be served.
    int set_mode(int mode);
    // The context, created in mode 9 when there is none; NULL on failure.
    SSL_CTX* context();
    void check_context();
    // Frees the context; the file kinds become unset, names and mode stay.
    void close();

    // Both locations are required; for a mode that can act as a server the
    // CA names of caFile are offered to clients. 0 or -1.
    int load_trusted_ca(const char* caFile, const char* caDir);
    // Each file kind loads once per object; later calls do nothing and
    // return 0. The key is checked against the certificate.
    int private_key(const char* file, int type);
    int certificate(const char* file, int type);
    int verify_private_key();
    // PEM only (type 1).
    int dh_params(const char* file, int type);
    // Makes the context verify its peer: SSL_VERIFY_PEER, plus
    // FAIL_IF_NO_PEER_CERT and CLIENT_ONCE as asked; a depth of 1 or more
    // allows that many intermediate certificates.
    void set_verify_peer(int failIfNoPeerCert, int verifyClientOnce, int verifyDepth);

    SSLContext& default_verify_mode(int mode)
    {
        defaultVerifyMode = mode;
        return *this;
    }
    int default_verify_mode() const { return defaultVerifyMode; }
    int get_mode() const { return mode; }
    int have_trusted_ca() const { return haveTrustedCa; }
    int private_key_type() const { return privateKey.fileType; }
    int certificate_type() const { return certificateFile.fileType; }
    int dh_params_file_type() const { return dhParams.fileType; }
    const char* private_key_file_name() const { return privateKey.file_name(); }
    const char* certificate_file_name() const { return certificateFile.file_name(); }
    const char* dh_params_file_name() const { return dhParams.file_name(); }

    // Empties the calling thread's OpenSSL queue and error list.
    void report_error();
    void report_error(unsigned long code);

    // The process-wide context (destroyed at exit).
    static SSLContext* instance();
    // The process-wide TLS set-up, created on first call.
    static InitSSL* ssl_library_init();
    static void ssl_library_fini();

    // Serialises context creation in all objects; never destroyed.
    static tiny::ZMutex& ssl_mon;

private:
    bool serverCapable() const;
    void recordErrors();

    SSL_CTX* ctx;
    int mode;
    SSL_Data_File privateKey;
    SSL_Data_File certificateFile;
    SSL_Data_File dhParams;
    int defaultVerifyMode;
    int haveTrustedCa;
};

}  // namespace ssl
}  // namespace zelvo

#endif
