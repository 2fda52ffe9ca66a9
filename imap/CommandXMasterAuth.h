#pragma once

#include <string>

#include "imap/Command.h"

// X-MASTERAUTH: proves knowledge of the server's master secret by the MD5 of
// the challenge between "<" and ">" followed by the secret.
class CommandXMasterAuth : public Command {
public:
    CommandXMasterAuth(ConnectionInternal& connection, const std::string& secret);

    // As CommandAuthCramMD5::execute. A continuation without "<" has no
    // challenge: the exchange is cancelled and the result is No.
    Response execute();

    // The hex answer to a whole continuation line, "+" included.
    std::string makeResponse(const std::string& continuation) const;

private:
    std::string secret;
};
