#include "foundation/crypto/CrtKeyFile.h"

namespace zelvo {
namespace crypto {

CrtKeyFile::~CrtKeyFile()
{
    if (isOpen)
        BIO_free(bio);
}

bool CrtKeyFile::open(const char* path)
{
    if (isOpen) {
        if (BIO_free(bio) != 1)
            return false;
        bio = nullptr;
        isOpen = false;
    }
    bio = path ? BIO_new_file(path, "wb") : nullptr;
    isOpen = bio != nullptr;
    return isOpen;
}

bool CrtKeyFile::write(WritableEntity& entity)
{
    return entity.writeSelf(bio);
}

bool CrtKeyFile::close()
{
    if (!isOpen)
        return true;
    if (BIO_free(bio) != 1)
        return false;
    bio = nullptr;
    isOpen = false;
    return true;
}

}  // namespace crypto
}  // namespace zelvo
