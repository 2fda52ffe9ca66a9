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
    std::string line;
    std::string response;
    line.reserve(1024);
    response.reserve(1024);

    completeCommandString();
    connection->send(text.get());

    readResponseByLines(line, response);
    if (response.empty() || response[0] != '+')
        return Response::No;
    // Without a challenge there is nothing to answer: cancel the exchange
    // (RFC 3501 "*") and let the server close it with its tagged reply.
    const bool cancelled = response.find('<') == std::string::npos;
    connection->sendContinuation(cancelled ? std::string("*\r\n") : makeResponse(response) + "\r\n");

    for (;;) {
        readResponseByLines(line, response);
        Response result = Response::Bad;
        const bool tagged = isTaggedResponse(response, result);
        removeEOL(response);
        if (tagged) {
            taggedResponse = response;
            return cancelled ? Response::No : result;
        }
        untaggedResponses.push_back(response);
    }
}
