#include "imap/ImapException.h"
#include "imap/SimpleImapClient.h"

// Decided by the dynamic type alone; the code is not read.
SimpleImapClient::ImapClientResult handleImapException(ImapException& e, SimpleImapClient::ImapClientResult fallback)
{
    using Result = SimpleImapClient::ImapClientResult;
    if (dynamic_cast<ImapTimeoutException*>(&e))
        return Result::ConnectionFailed;
    if (dynamic_cast<ImapConnectionFailed*>(&e))
        return Result::ConnectionFailed;
    if (dynamic_cast<AuthenticateFailedException*>(&e))
        return Result::AuthenticationFailed;
    if (dynamic_cast<ImapServerBrokeConnection*>(&e))
        return Result::ConnectionFailed;
    if (dynamic_cast<IMessageLoadFailedException*>(&e))
        return Result::MessageLoadFailed;
    return fallback;
}
