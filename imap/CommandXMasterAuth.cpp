#include "imap/CommandXMasterAuth.h"

#include "foundation/crypto/StreamDigest.h"
#include "imap/ConnectionInternal.h"

CommandXMasterAuth::CommandXMasterAuth(ConnectionInternal& connection, const std::string& secret)
    : Command(connection, "X-MASTERAUTH"), secret(secret)
{
}

std::string CommandXMasterAuth::makeResponse(const std::string& continuation) const
{
    const std::string::size_type open = continuation.find('<');
    std::string challenge;
    if (open != std::string::npos) {
        const std::string::size_type close = continuation.find('>', open);
        challenge = close == std::string::npos ? continuation.substr(open) : continuation.substr(open, close - open + 1);
    }
    zelvo::crypto::StreamDigestMD5 digest;
    digest << challenge << secret;
    return digest.getAsciiDigest();
}

Command::Response CommandXMasterAuth::execute()
{
    bool cancelled = false;
    const Response result = exchange([this, &cancelled](const std::string& continuation) {
        // Without a challenge there is nothing to answer: cancel the exchange
        // (RFC 3501 "*") and let the server close it with its tagged reply.
        cancelled = continuation.find('<') == std::string::npos;
        return cancelled ? std::string("*") : makeResponse(continuation);
    });
    return cancelled ? Response::No : result;
}
