#include "migration/GuiHelper.h"

#include "admin/TinyDbCommunicator.h"
#include "foundation/text/Compare.h"
#include "imap/SimpleImapClient.h"
#include "migration/LogStream.h"
#include "migration/Migrator.h"
#include "migration/WebStarConfigReader.h"

#include <locale>
#include <sstream>
#include <vector>

int GuiHelper::test4DCfg(const std::string& path, unsigned& domains, unsigned& users, LogStream* log)
{
    std::ostringstream sink;
    LogStream own(&sink);
    LogStream& used = log ? *log : own;
    domains = 0;
    users = 0;
    used.setMode(true, false);

    WebStarConfigReader reader(path, used);
    std::vector<boost::shared_ptr<WebStarPostOffice>> postOffices;
    if (reader.getPostOfficeList(postOffices) != 0)
        return Failure;
    for (const auto& postOffice : postOffices) {
        unsigned count = 0;
        if (reader.getUsersCount(postOffice, count) != 0)
            return Failure;
        users += count;
    }
    domains = static_cast<unsigned>(postOffices.size());
    return Success;
}

int GuiHelper::test4DImap(unsigned port)
{
    SimpleImapClient client;
    std::string greeting;
    if (!client.testImapServer("localhost", port, greeting))
        return NoImapFound;
    const std::locale& classic = std::locale::classic();
    if (zelvo::utils::iFind(greeting, std::string("4D Mail"), classic) != greeting.end())
        return WebStarImapFound;
    if (zelvo::utils::iFind(greeting, std::string("Zelvo"), classic) != greeting.end())
        return ZevImapFound;
    return NoImapFound;
}

int GuiHelper::testZEVInternal(const std::string& host, const std::string& user, const std::string& password,
                               LogStream* log)
{
    std::ostringstream sink;
    LogStream own(&sink);
    LogStream& used = log ? *log : own;
    TinyDbCommunicator db(user, password, host, used, Migrator::kAdminPort);
    switch (db.connect(!user.empty())) {
    case TinyDbResult::Ok:
        return Success;
    case TinyDbResult::OpenFailed:
        return NoConnection;
    case TinyDbResult::NotConnected:
        return LoginRefused;
    default:
        return Failure;
    }
}

int GuiHelper::testZEV(const std::string& host, const std::string& user, const std::string& password, LogStream* log)
{
    return testZEVInternal(host, user, password, log);
}

int GuiHelper::testZEV(const std::string& host, LogStream* log)
{
    return testZEVInternal(host, std::string(), std::string(), log);
}
