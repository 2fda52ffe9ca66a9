#include "imap/CommandXUser.h"

#include "imap/Synthesizer.h"

CommandXSetUser::CommandXSetUser(ConnectionInternal& connection, const std::string& user)
    : Command(connection, "X-SETUSER")
{
    addParamString(user);
}

CommandXCreateUser::CommandXCreateUser(ConnectionInternal& connection, const std::string& name,
                                       const std::string& domain, const std::string& password,
                                       const std::string& fullName, const std::vector<std::string>& groups)
    : Command(connection, "X-CREATEUSER")
{
    Synthesizer properties;
    properties.addParam("NAME");
    properties.addParamStringEx(name);
    properties.addParam("DOMAIN");
    properties.addParamStringEx(domain);
    properties.addParam("PASSWORD");
    properties.addParamString(password);
    if (!fullName.empty()) {
        properties.addParam("FULLNAME");
        properties.addParamString(fullName);
    }
    if (!groups.empty()) {
        properties.addParam("GROUPS");
        properties.addParamVectorString(groups);
    }
    addParamVector(properties.get());
}
