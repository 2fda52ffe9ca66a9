#include "imap/CommandAuthCramMD5.h"

#include "foundation/crypto/Base64.h"
#include "foundation/crypto/StreamDigest.h"
#include "foundation/text/Hex.h"
#include "imap/ConnectionInternal.h"

namespace {

constexpr std::size_t hmacBlockSize = 64;

std::string md5(const std::string& bytes)
{
    zelvo::crypto::StreamDigestMD5 digest;
    digest.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return digest.getDigest();
}

} // namespace

CommandAuthCramMD5::CommandAuthCramMD5(ConnectionInternal& connection, const std::string& user,
                                       const std::string& password)
    : Command(connection, "AUTHENTICATE CRAM-MD5"), password(password), user(user)
{
}

std::string CommandAuthCramMD5::makeCramMD5Response(const std::string& challengeText)
{
    std::string challenge;
    zelvo::utils::decodeBase64(challengeText, challenge);

    std::string key = password.size() > hmacBlockSize ? md5(password) : password;
    std::string ipad(hmacBlockSize, '\0');
    std::string opad(hmacBlockSize, '\0');
    for (std::size_t i = 0; i < hmacBlockSize; ++i) {
        const char k = i < key.size() ? key[i] : '\0';
        ipad[i] = static_cast<char>(k ^ 0x36);
        opad[i] = static_cast<char>(k ^ 0x5c);
    }
    const std::string inner = md5(ipad + challenge);
    const std::string digest = zelvo::utils::stringToHex(md5(opad + inner));

    std::string answer;
    zelvo::utils::encodeBase64(user + " " + digest, answer, false, 79, true);
    return answer;
}

Command::Response CommandAuthCramMD5::execute()
{
    return exchange([this](const std::string& continuation) { return makeCramMD5Response(continuation.substr(1)); });
}
