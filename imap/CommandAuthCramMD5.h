#pragma once

#include <string>

#include "imap/Command.h"

// AUTHENTICATE CRAM-MD5 (RFC 2195) with HMAC-MD5 (RFC 2104).
class CommandAuthCramMD5 : public Command {
public:
    CommandAuthCramMD5(ConnectionInternal& connection, const std::string& user, const std::string& password);

    // The tagged reply's word; No when the server's first response is no
    // continuation. "* BYE" closes the connection and throws
    // ImapServerBrokeConnection, an empty line throws ImapTimeoutException.
    Response execute();

    // The Base64 answer line (without line end) to a continuation's text
    // after its "+".
    std::string makeCramMD5Response(const std::string& challengeText);

private:
    std::string password;
    std::string user;
};
