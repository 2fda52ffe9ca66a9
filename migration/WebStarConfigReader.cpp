#include "migration/WebStarConfigReader.h"

#include "foundation/streams/RegularFile.h"
#include "foundation/streams/ZFile.h"
#include "migration/WsPostOfficeXmlParser.h"
#include "migration/WsUserXmlParser.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

using zelvo::utils::RegularOnly;
using zelvo::utils::ZFile;
using zelvo::utils::ZXmlParser;

namespace {

const char* const PostOfficeFile = "WSMailboxServer.prefs.xml";
const char* const UserFilePrefix = "RecipientDB_";
const char* const UserFileSuffix = ".prefs.xml";

// Logs the failure of a parse. A file the parser could not read to its end
// fails like a handler failure: migrating only the part before the damage
// would pass for a complete run.
bool parsedWhole(bool handlerOk, const ZXmlParser& parser, const std::string& fileName, LogStream& log) {
    if (!handlerOk) {
        log.log(LogStream::Error, "Parsing file %s failed\n", fileName.c_str());
        return false;
    }
    if (parser.get_error() != 0) {
        log.log(LogStream::Error, "Parsing file %s failed\n%s\n", fileName.c_str(), parser.get_error_text());
        return false;
    }
    return true;
}

// Opens a preference file for reading. A FIFO, a device or a socket is
// refused at once, with a line that says what it is: reading one would wait
// for good or never end.
bool openPreferenceFile(RegularOnly<ZFile>& file, const std::string& fileName, LogStream& log) {
    if (file.doOpen(fileName.c_str(), O_RDONLY | O_NONBLOCK))
        return true;
    const int error = errno;
    // A socket fails the open itself.
    const char* kind = file.refusedKind() ? file.refusedKind() : zelvo::utils::specialFileKindAt(fileName.c_str());
    if (kind)
        log.log(LogStream::Error, "Unable to open file %s: it is %s, not a regular file\n", fileName.c_str(), kind);
    else
        log.log(LogStream::Error, "Unable to open file %s: %s\n", fileName.c_str(),
                error != 0 ? std::strerror(error) : "no reason given by the system");
    return false;
}

}  // namespace

WebStarConfigReader::WebStarConfigReader(const std::string& p, LogStream& log) : path(p), log(log) {
    if (path.size() >= 2 && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
}

int WebStarConfigReader::getPostOfficeList(std::vector<boost::shared_ptr<WebStarPostOffice>>& list) {
    if (path.empty())
        return 3;
    const std::string fileName = path + "/" + PostOfficeFile;
    RegularOnly<ZFile> file;
    if (!openPreferenceFile(file, fileName, log))
        return 3;
    WsPostOfficeXmlParser parser(list, log);
    parser.parse(file);
    file.close();
    if (!parsedWhole(parser.isOk(), parser, fileName, log))
        return 2;
    return 0;
}

std::string WebStarConfigReader::userFileName(const WebStarPostOffice& postOffice) const {
    const std::string& root = postOffice.root;
    std::string dir;
    if (!root.empty()) {
        dir = root[0] == '/' ? root : path + "/" + root;
        if (root.back() != '/')
            dir += "/";
    }
    return dir + UserFilePrefix + postOffice.displayName + UserFileSuffix;
}

int WebStarConfigReader::getUsers(const boost::shared_ptr<WebStarPostOffice>& postOffice,
                                  std::vector<boost::shared_ptr<WebStarUser>>& users, unsigned& count) {
    if (postOffice->smtpDomains.empty()) {
        log.log(LogStream::Error, "No domains found for PostOffice %s\n", postOffice->displayName.c_str());
        return 1;
    }
    const std::string fileName = userFileName(*postOffice);
    RegularOnly<ZFile> file;
    if (!openPreferenceFile(file, fileName, log))
        return 3;
    WsUserXmlParser parser(users, postOffice->smtpDomains.front(), log);
    parser.parse(file);
    file.close();
    if (!parsedWhole(parser.isOk(), parser, fileName, log))
        return 2;
    count = static_cast<unsigned>(users.size());
    return 0;
}

int WebStarConfigReader::getUsers(const boost::shared_ptr<WebStarPostOffice>& postOffice,
                                  std::vector<boost::shared_ptr<WebStarUser>>& users) {
    unsigned count = 0;
    return getUsers(postOffice, users, count);
}

int WebStarConfigReader::getUsersCount(const boost::shared_ptr<WebStarPostOffice>& postOffice, unsigned& count) {
    std::vector<boost::shared_ptr<WebStarUser>> users;
    return getUsers(postOffice, users, count);
}
