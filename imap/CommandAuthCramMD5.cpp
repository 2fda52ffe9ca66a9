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
    std::string line;
    std::string response;
    line.reserve(1024);
    response.reserve(1024);

    completeCommandString();
    connection->send(text.get());

    readResponseByLines(line, response);
    if (response.empty() || response[0] != '+')
        return Response::No;
    connection->sendContinuation(makeCramMD5Response(response.substr(1)) + "\r\n");

    for (;;) {
        readResponseByLines(line, response);
        Response result = Response::Bad;
        const bool tagged = isTaggedResponse(response, result);
        removeEOL(response);
        if (tagged) {
            taggedResponse = response;
            return result;
        }
        untaggedResponses.push_back(response);
    }
}
