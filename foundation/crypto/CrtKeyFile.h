#ifndef ZELVO_FOUNDATION_CRYPTO_CRTKEYFILE_H
#define ZELVO_FOUNDATION_CRYPTO_CRTKEYFILE_H

#include <openssl/bio.h>

#include "foundation/crypto/Crypto.h"

namespace zelvo {
namespace crypto {

// A PEM output file into which keys and certificates are written one after
// the other.
class CrtKeyFile {
public:
    CrtKeyFile() : isOpen(false), bio(nullptr) {}
    ~CrtKeyFile();
    CrtKeyFile(const CrtKeyFile&) = delete;
    CrtKeyFile& operator=(const CrtKeyFile&) = delete;

    // Creates or truncates path for writing, closing an open file first;
    // false (and nothing changed) when that file cannot be closed.
    bool open(const char* path);
    // entity's PEM text appended to the file; false when not open.
    bool write(WritableEntity& entity);
    // True when nothing is open.
    bool close();

    bool opened() const { return isOpen; }

private:
    bool isOpen;
    BIO* bio;
};

}  // namespace crypto
}  // namespace zelvo

#endif
