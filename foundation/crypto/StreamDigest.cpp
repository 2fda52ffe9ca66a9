#include "foundation/crypto/StreamDigest.h"

#include <boost/shared_ptr.hpp>

#include "foundation/text/Hex.h"
#include "foundation/tls/SslErrHandler.h"

namespace zelvo {
namespace crypto {

StreamDigest::BufDigest::BufDigest() : ctx(EVP_MD_CTX_new()), md(EVP_md_null()) {}

StreamDigest::BufDigest::~BufDigest()
{
    EVP_MD_CTX_free(ctx);
}

int StreamDigest::BufDigest::overflow(int c)
{
    boost::shared_ptr<ssl::SslErrHandler> errors = ssl::errHandler;
    if (needInit) {
        if (!ctx || EVP_DigestInit(ctx, md) == 0)
            errors->checkForError();
        needInit = false;
    }
    if (c != traits_type::eof()) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (!ctx || EVP_DigestUpdate(ctx, &byte, 1) == 0)
            errors->checkForError();
    }
    return 0;
}

StreamDigest::StreamDigest() : std::ostream(nullptr)
{
    rdbuf(&buf);
}

StreamDigest::~StreamDigest() = default;

std::string StreamDigest::getDigest()
{
    boost::shared_ptr<ssl::SslErrHandler> errors = ssl::errHandler;
    if (!buf.needInit) {
        flush();
        if (!buf.ctx || EVP_DigestFinal(buf.ctx, digest, &digestLen) == 0)
            errors->checkForError();
        buf.needInit = true;
    }
    if (digestLen > sizeof(digest))
        digestLen = 0;
    return std::string(reinterpret_cast<const char*>(digest), digestLen);
}

std::string StreamDigest::getAsciiDigest()
{
    return utils::stringToHex(getDigest());
}

StreamDigestMD2::StreamDigestMD2()
{
    buf.setDigestAlgorithm(md2Digest());
    rdbuf(&buf);
}
StreamDigestMD2::~StreamDigestMD2() = default;

StreamDigestMD5::StreamDigestMD5()
{
    buf.setDigestAlgorithm(EVP_md5());
    rdbuf(&buf);
}
StreamDigestMD5::~StreamDigestMD5() = default;

StreamDigestRIPEMD160::StreamDigestRIPEMD160()
{
    buf.setDigestAlgorithm(EVP_ripemd160());
    rdbuf(&buf);
}
StreamDigestRIPEMD160::~StreamDigestRIPEMD160() = default;

StreamDigestSHA::StreamDigestSHA()
{
    buf.setDigestAlgorithm(sha0Digest());
    rdbuf(&buf);
}
StreamDigestSHA::~StreamDigestSHA() = default;

StreamDigestSHA1::StreamDigestSHA1()
{
    buf.setDigestAlgorithm(EVP_sha1());
    rdbuf(&buf);
}
StreamDigestSHA1::~StreamDigestSHA1() = default;

} // namespace crypto
} // namespace zelvo
