#pragma once

#include <string>
#include <vector>

#include "imap/Command.h"

class ConnectionInternal;

// X-SETUSER "account": the target's extension that switches the session to
// another account.
class CommandXSetUser : public Command {
public:
    CommandXSetUser(ConnectionInternal& connection, const std::string& user);
};

// X-CREATEUSER (NAME {n+} name DOMAIN {n+} domain PASSWORD "password"
// [FULLNAME "full name"] [GROUPS ("group" ...)]): the target's extension that
// creates an account. Name and domain go as LITERAL+ literals, so the whole
// command is one write.
class CommandXCreateUser : public Command {
public:
    CommandXCreateUser(ConnectionInternal& connection, const std::string& name, const std::string& domain,
                       const std::string& password, const std::string& fullName,
                       const std::vector<std::string>& groups);
};
