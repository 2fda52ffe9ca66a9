#pragma once

#include <stdexcept>
#include <string>

// Failures inside the IMAP client. The facade maps them to result numbers by
// their dynamic type (handleImapException); the code is informational.
class ImapException : public std::runtime_error {
public:
    ImapException(const std::string& message, long code);
    ~ImapException() override;

    bool hasErrorCode() const { return code != 0; }
    long errorCode() const { return code; }
    long errorCode(long fallback) const { return code != 0 ? code : fallback; }

private:
    long code;
};

// Connect, greeting, send or line read failed (code 3).
class ImapConnectionFailed : public ImapException {
public:
    explicit ImapConnectionFailed(const std::string& message);
};

// The server sent something the lexer or parser cannot accept (code 0).
class ImapParserException : public ImapException {
public:
    explicit ImapParserException(const std::string& message);
};

// LOGIN, CRAM-MD5 or master authentication was refused (code 0).
class AuthenticateFailedException : public ImapException {
public:
    explicit AuthenticateFailedException(const std::string& message);
};

// A response line began with "* BYE" (code 3).
class ImapServerBrokeConnection : public ImapException {
public:
    explicit ImapServerBrokeConnection(const std::string& message);
};

// No response within the read time-out, or the server closed (code 3).
class ImapTimeoutException : public ImapException {
public:
    explicit ImapTimeoutException(const std::string& message);
};

// The message source of an upload failed while its parts were read or sent
// (code 9); carries the text of the original failure.
class IMessageLoadFailedException : public ImapException {
public:
    explicit IMessageLoadFailedException(const std::string& message);
};
