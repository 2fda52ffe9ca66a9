#pragma once

#include <string>

#include "imap/Command.h"

class ConnectionInternal;

// APPEND (or the target's X-APPEND) of one message: the quoted folder, the
// flag list when there are flags, the quoted internal date when there is a
// well-formed one, and the LITERAL+ header of size bytes. Run it with
// execute(message): the body follows the header at once, without waiting for
// a continuation.
class CommandAppend : public Command {
public:
    CommandAppend(ConnectionInternal& connection, const std::string& folder, const std::string& flags,
                  const std::string& date, unsigned size, bool xAppend);

    // Appends the folder, the flag list and the date to the command text. A
    // date not of the INTERNALDATE form is left out: the server then stores
    // the time of arrival rather than refusing the whole command. Every flag
    // (blank-separated) must be \Answered, \Flagged, \Deleted, \Seen or
    // \Draft in any letter case, or an atom; any other throws ImapException
    // (code 0) before anything is added, since a server refuses it with BAD
    // before the literal and would read the message as commands.
    void params(const std::string& folder, const std::string& flags, const std::string& date);

    // The UID of the APPENDUID response code of the tagged reply; 0 when
    // there is none.
    unsigned long getUid() const;
};
