#pragma once

#include "imap/Command.h"

class ConnectionInternal;
class FetchMessage;

// FETCH number (INTERNALDATE FLAGS): the first half of a single-message
// fetch. Ties the message to the connection.
class CommandFetch : public Command {
public:
    CommandFetch(ConnectionInternal& connection, unsigned number, FetchMessage& message);

    // Date and flags from the first FETCH reply among the untagged replies;
    // false when there is none or its first two items are not INTERNALDATE
    // or FLAGS.
    bool getDateAndFlags(FetchMessage& message);

private:
    FetchMessage* message;
};

// FETCH number BODY.PEEK[]: sends the command and reads only the first reply
// line, which must announce the body literal. The body and the closing line
// are left for the message to stream; the tagged completion stays on the
// connection for the next command to collect.
class CommandFetchBody : public Command {
public:
    CommandFetchBody(ConnectionInternal& connection, unsigned number, FetchMessage& message);

    // 0 when the reply line carries the body's literal size, 1 otherwise.
    // "* BYE" closes the connection and throws ImapServerBrokeConnection; a
    // silent server throws ImapTimeoutException.
    unsigned execute();

private:
    FetchMessage* message;
};
