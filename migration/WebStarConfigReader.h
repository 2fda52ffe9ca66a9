#ifndef ZELVO_MIGRATION_WEBSTARCONFIGREADER_H
#define ZELVO_MIGRATION_WEBSTARCONFIGREADER_H

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "migration/LogStream.h"
#include "migration/WebStarPostOffice.h"
#include "migration/WebStarUser.h"

// Reads the source server's preference files: "WSMailboxServer.prefs.xml" in
// the source path, and per post office "RecipientDB_" + display name +
// ".prefs.xml" in its root directory. Errors go to the log; results append
// to the caller's vectors (records read before a failure stay there).
class WebStarConfigReader {
public:
    // One trailing "/" or "\" is dropped from a path of two or more characters.
    WebStarConfigReader(const std::string& path, LogStream& log);

    // 0 done, 2 file unreadable or not in the expected shape, 3 empty path or file not opened.
    int getPostOfficeList(std::vector<boost::shared_ptr<WebStarPostOffice>>& list);
    // count becomes users.size(). 0 done, 1 post office without SMTP domain,
    // 2 file unreadable or not in the expected shape, 3 file not opened.
    int getUsers(const boost::shared_ptr<WebStarPostOffice>& postOffice,
                 std::vector<boost::shared_ptr<WebStarUser>>& users, unsigned& count);
    int getUsers(const boost::shared_ptr<WebStarPostOffice>& postOffice,
                 std::vector<boost::shared_ptr<WebStarUser>>& users);
    // The number of users getUsers would read; same results.
    int getUsersCount(const boost::shared_ptr<WebStarPostOffice>& postOffice, unsigned& count);

    // The user file of a post office, as getUsers opens it.
    std::string userFileName(const WebStarPostOffice& postOffice) const;
    const std::string& getPath() const { return path; }

private:
    std::string path;
    LogStream& log;
};

#endif
