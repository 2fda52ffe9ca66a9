#pragma once

#include <string>
#include <vector>

#include "imap/Command.h"

// SELECT of one folder.
class CommandSelect : public Command {
public:
    CommandSelect(ConnectionInternal& connection, const std::string& folder);
};

// CREATE, with the target's typed-folder list before the name when typeBits
// or guid is given. A GUID that cannot stand between quotes unescaped throws
// ImapException.
class CommandCreate : public Command {
public:
    CommandCreate(ConnectionInternal& connection, const std::string& folder, unsigned typeBits,
                  const std::string& guid);
};

// One folder of a LIST or LSUB reply.
struct FolderListEntry {
    std::string name; // the mailbox read whole as an astring (Parser::getMailbox)
    bool selectable = true;
};

class CommandList : public Command {
public:
    CommandList(ConnectionInternal& connection, const std::string& reference, const std::string& pattern);

    // Appends one entry per LIST or LSUB response, in server order, after
    // emptying out; with checkSelectable an entry whose attributes hold
    // "\NoSelect" or "\NonExistent" (any case) is not selectable. Untagged
    // responses the parser does not know are skipped; a malformed LIST line
    // throws ImapParserException. Returns the number of entries.
    int getList(std::vector<FolderListEntry>& out, bool checkSelectable);
};

class CommandStatus : public Command {
public:
    CommandStatus(ConnectionInternal& connection, const std::string& folder);

    // The MESSAGES count of the first STATUS response; 0 without one.
    unsigned getMessagesCount();
    // The same, false when no STATUS response carried a MESSAGES count.
    bool findMessagesCount(unsigned& count);
};

// The MESSAGES value of one STATUS response text: the mailbox, read whole as
// an astring, then the item list, the last parenthesised group of the text
// (a name sent unquoted with blanks does not hide it). Only a list that
// begins with MESSAGES and a decimal value gives a count; 0 otherwise.
unsigned parseStatusMessages(std::string statusText);
// The same, false (count unchanged) when the text gives no count.
bool parseStatusMessages(const std::string& statusText, unsigned& count);
