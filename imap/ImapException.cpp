#include "imap/ImapException.h"

ImapException::ImapException(const std::string& message, long code)
    : std::runtime_error(message), code(code) {}

ImapException::~ImapException() = default;

ImapConnectionFailed::ImapConnectionFailed(const std::string& message) : ImapException(message, 3) {}
ImapParserException::ImapParserException(const std::string& message) : ImapException(message, 0) {}
AuthenticateFailedException::AuthenticateFailedException(const std::string& message)
    : ImapException(message, 0) {}
ImapServerBrokeConnection::ImapServerBrokeConnection(const std::string& message)
    : ImapException(message, 3) {}
ImapTimeoutException::ImapTimeoutException(const std::string& message) : ImapException(message, 3) {}
IMessageLoadFailedException::IMessageLoadFailedException(const std::string& message)
    : ImapException(message, 9) {}
