#include "admin/KnownHostsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "admin/TinydbSession.h"
#include "foundation/system/FileCalls.h"
#include "foundation/system/Clock.h"
#include "foundation/system/PeriodGuard.h"
#include "foundation/text/Compare.h"

namespace zelvo {
namespace tinydb {

namespace {

const char knownHostsDir[] = "/.zelvo/admin/";
const char knownHostsName[] = "known_hosts.cfg";
const char keySeparator[] = ": ";
constexpr int lockRetryMs = 100;

thread_local std::string failureText;

// A 604 of the store, kept with its reason for the caller's error line.
int storeFailure(const char* action, const std::string& path, int error)
{
    failureText = std::string("Cannot ") + action + " the known-hosts file " + path + ": " +
                  (error != 0 ? std::strerror(error) : "no reason given by the system") + ".";
    return TINYDB_E_KNOWNHOSTS;
}

// A file of the store that is not one: a FIFO, a device, a socket, or
// larger than any store of fingerprints.
int unusableFile(const std::string& path, const std::string& reason)
{
    failureText = "Cannot read the known-hosts file " + path + ": " + reason + ".";
    return TINYDB_E_KNOWNHOSTS;
}

// The reason a just opened (or refused) store file is not used, or empty.
std::string whyUnusable(const LockedFile& file)
{
    if (file.refusedKind())
        return std::string("it is ") + file.refusedKind() + ", not a regular file";
    if ((file.isOpened() && file.size() > KnownHostsFile::maxBytes) || file.tooLong())
        return "it is larger than 1 MiB";
    return std::string();
}

int lockTimeout(const std::string& path)
{
    failureText = "The known-hosts file " + path + " stayed locked by another process for " +
                  std::to_string(LockedFile::defaultLockWait) + " s.";
    return TINYDB_E_LOCKTIMEOUT;
}

bool startsWithNoCase(const std::string& line, const std::string& prefix)
{
    return line.size() >= prefix.size() && utils::iEqual(line.substr(0, prefix.size()), prefix);
}

// One line of the file: [begin, end) without its "\n"; core excludes the
// trailing CR and LF characters.
struct Line {
    std::string::size_type begin;
    std::string::size_type end;
    std::string::size_type coreEnd;
};

// The first line that starts with prefix, ignoring case.
bool findLine(const std::string& text, const std::string& prefix, Line& found)
{
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        std::string::size_type nl = text.find('\n', pos);
        const std::string::size_type end = nl == std::string::npos ? text.size() : nl;
        std::string::size_type coreEnd = end;
        while (coreEnd > pos && (text[coreEnd - 1] == '\r' || text[coreEnd - 1] == '\n'))
            --coreEnd;
        if (coreEnd - pos >= prefix.size() && startsWithNoCase(text.substr(pos, prefix.size()), prefix)) {
            found = Line{pos, end, coreEnd};
            return true;
        }
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    return false;
}

bool isLinkOrExists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Moves from to to unless to exists; a newer file there is never replaced.
bool moveNoReplace(const std::string& from, const std::string& to)
{
    if (::link(from.c_str(), to.c_str()) == 0)
        return ::unlink(from.c_str()) == 0 || errno == ENOENT;
    if (errno == EEXIST)
        return false;
    // File systems without hard links: check, then rename.
    if (isLinkOrExists(to))
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

int LockedFile::defaultLockWait = 30;

LockedFile::LockedFile(const char* path, LockMode mode)
    : opened(false), timedOut(false), error(0), lockWait(defaultLockWait), refused(nullptr), overLimit(false)
{
    // O_NONBLOCK: a FIFO must not hold the open; it is refused right after.
    const int flags = (mode == LockMode::Write ? O_RDWR | O_CREAT : O_RDONLY) | O_NONBLOCK;
    tiny::PeriodGuard wait(lockWait, tiny::PeriodGuard::PgMode::oneShot);
    wait.start();
    for (;;) {
        errno = 0;
        opened = file.doOpen(path, flags);
        if (opened) {
            error = 0;
            break;
        }
        // A socket fails the open itself.
        refused = file.refusedKind() ? file.refusedKind() : utils::specialFileKindAt(path);
        if (refused) {
            error = errno;
            break;
        }
        // Only a record lock held by another process (EAGAIN) is waited for;
        // anything else (a missing file, no permission on the file or its
        // folder) will not go away.
        error = errno;
        if (error != EAGAIN)
            break;
        if (wait.hasPeriodOccured(nullptr)) {
            timedOut = true;
            break;
        }
        tiny::msleep(lockRetryMs);
    }
}

LockedFile::~LockedFile()
{
    if (opened)
        file.close();
}

bool LockedFile::readFileContent(std::stringstream& content, long long limit)
{
    content.clear();
    overLimit = false;
    if (!opened)
        return true;
    file.flush();
    file.discardInput();
    if (file.i_seek(0, SEEK_SET) == -1)
        return false;
    char chunk[1023];
    long long total = 0;
    for (;;) {
        const int n = file.read(chunk, sizeof chunk);
        if (n <= 0)
            return file.endOfData;
        content.write(chunk, n);
        total += n;
        if (limit >= 0 && total > limit) {
            overLimit = true;
            return false;
        }
    }
}

bool LockedFile::writeFileContent(const std::stringstream& content)
{
    if (!opened)
        return false;
    file.flush();
    file.discardInput();
    if (file.i_seek(0, SEEK_SET) == -1)
        return false;
    const std::string text = content.str();
    if (!text.empty() && file.write(text.data(), text.size()) != static_cast<int>(text.size()))
        return false;
    // truncate cuts at the descriptor's position: the buffered bytes go first.
    if (file.flush() != 0)
        return false;
    return file.truncate();
}

bool LockedFile::seekAndWrite(unsigned long offset, bool fromEnd, const std::string& text)
{
    if (!opened)
        return false;
    file.flush();
    file.discardInput();
    const long where = fromEnd ? -static_cast<long>(offset) : static_cast<long>(offset);
    if (file.i_seek(where, fromEnd ? SEEK_END : SEEK_SET) == -1)
        return false;
    if (!text.empty() && file.write(text.data(), text.size()) != static_cast<int>(text.size()))
        return false;
    return file.flush() == 0;
}

bool KnownHostsFile::getKnownHostsCfg(std::string& path)
{
    path.clear();
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return false;
    path = std::string(home) + knownHostsDir + knownHostsName;
    return true;
}

bool KnownHostsFile::prepareKey(std::string& key, const char* host, const char* port)
{
    if (!host || !port)
        return false;
    key = std::string(host) + ":" + port;
    return true;
}

bool KnownHostsFile::createIfNotExist(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode))
            return true;
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    const std::string::size_type slash = path.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (tiny::z_wmkdir(dir.c_str(), 0700, tiny::mkdirCreateParents) != 0 && errno != EEXIST)
            return false;
    }
    // O_CREAT without O_TRUNC: a file made by a racing process keeps its content.
    // O_NONBLOCK: a FIFO put there meanwhile must not hold the open.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

int KnownHostsFile::readFingerprint(const std::string& path, const std::string& key, std::string& fingerprint)
{
    fingerprint.clear();
    const std::string prefix = key + keySeparator;
    std::stringstream content;
    {
        LockedFile file(path.c_str(), LockedFile::LockMode::Read);
        if (!file.isOpened() && file.isTimedOut())
            return lockTimeout(path);
        if (!whyUnusable(file).empty())
            return unusableFile(path, whyUnusable(file));
        // Only a missing file is an empty store: one that is there but cannot
        // be opened would make every certificate a first use.
        if (!file.isOpened() && file.openError() != ENOENT)
            return storeFailure("read", path, file.openError());
        errno = 0;
        if (!file.readFileContent(content, KnownHostsFile::maxBytes))
            return file.tooLong() ? unusableFile(path, whyUnusable(file)) : storeFailure("read", path, errno);
    }
    const std::string text = content.str();
    Line line;
    if (!findLine(text, prefix, line))
        return 0;
    const std::string::size_type valueBegin = line.begin + prefix.size();
    if (valueBegin >= line.coreEnd) {
        failureText = "The known-hosts file " + path + " holds no fingerprint for " + key + ".";
        return TINYDB_E_KNOWNHOSTS;
    }
    fingerprint = text.substr(valueBegin, line.coreEnd - valueBegin);
    return 0;
}

int KnownHostsFile::writeFingerprint(const std::string& path, const std::string& key,
                                     const std::string& fingerprint)
{
    const std::string prefix = key + keySeparator;
    LockedFile file(path.c_str(), LockedFile::LockMode::Write);
    if (!whyUnusable(file).empty())
        return unusableFile(path, whyUnusable(file));
    if (!file.isOpened())
        return file.isTimedOut() ? lockTimeout(path) : storeFailure("write", path, file.openError());
    std::stringstream content;
    errno = 0;
    if (!file.readFileContent(content, KnownHostsFile::maxBytes))
        return file.tooLong() ? unusableFile(path, whyUnusable(file)) : storeFailure("read", path, errno);
    const std::string text = content.str();
    Line line;
    if (findLine(text, prefix, line)) {
        const std::string::size_type valueBegin = line.begin + prefix.size();
        if (text.compare(valueBegin, line.coreEnd - valueBegin, fingerprint) == 0)
            return 0;
        // The whole file is rewritten, so a value of another length (a file
        // edited by hand) cannot leave pieces of the old one behind.
        std::stringstream updated;
        updated << text.substr(0, valueBegin) << fingerprint << text.substr(line.coreEnd);
        errno = 0;
        return file.writeFileContent(updated) ? 0 : storeFailure("write", path, errno);
    }
    std::string entry = prefix + fingerprint + "\n";
    if (!text.empty() && text.back() != '\n')
        entry.insert(entry.begin(), '\n');
    errno = 0;
    return file.seekAndWrite(0, true, entry) ? 0 : storeFailure("write", path, errno);
}

int KnownHostsFile::getSetFingerprint(bool read, const char* host, const char* port, std::string& fingerprint)
{
    std::string key;
    std::string path;
    if (!prepareKey(key, host, port))
        return TINYDB_E_KNOWNHOSTS;
    if (!getKnownHostsCfg(path)) {
        failureText = "Cannot find the known-hosts file: HOME is not set.";
        return TINYDB_E_KNOWNHOSTS;
    }
    if (read)
        return readFingerprint(path, key, fingerprint);
    if (const char* kind = utils::specialFileKindAt(path.c_str()))
        return unusableFile(path, std::string("it is ") + kind + ", not a regular file");
    errno = 0;
    if (!createIfNotExist(path))
        return storeFailure("create", path, errno);
    return writeFingerprint(path, key, fingerprint);
}

const std::string& KnownHostsFile::lastFailure()
{
    return failureText;
}

void KnownHostsFile::clearLastFailure()
{
    failureText.clear();
}

int KnownHostsFile::linkAdminToadmin()
{
    std::string path;
    if (!getKnownHostsCfg(path)) {
        failureText = "Cannot find the known-hosts file: HOME is not set.";
        return TINYDB_E_KNOWNHOSTS;
    }
    const std::string::size_type at = path.rfind("admin");
    const std::string newDir = path.substr(0, at + 5);
    std::string oldDir = newDir;
    oldDir[at] = 'A';
    const std::string oldFile = oldDir + path.substr(at + 5);

    struct stat st;
    const bool newExists = ::stat(newDir.c_str(), &st) == 0;
    if (newExists && !S_ISDIR(st.st_mode))
        return storeFailure("create", path, ENOTDIR);
    const dev_t newDev = newExists ? st.st_dev : 0;
    const ino_t newInode = newExists ? st.st_ino : 0;

    if (::lstat(oldDir.c_str(), &st) != 0) {
        if (newExists && ::symlink("admin", oldDir.c_str()) != 0) {
            // Only a convenience for older versions; the store works without it.
        }
        return 0;
    }
    if (S_ISLNK(st.st_mode))
        return 0;
    if (!S_ISDIR(st.st_mode))
        return TINYDB_E_KNOWNHOSTS;
    // One directory under both names on a case-insensitive file system.
    if (newExists && st.st_dev == newDev && st.st_ino == newInode)
        return 0;
    if (!newExists && tiny::z_wmkdir(newDir.c_str(), 0700, tiny::mkdirCreateParents) != 0 && errno != EEXIST)
        return storeFailure("create", path, errno);

    if (isLinkOrExists(oldFile) && !moveNoReplace(oldFile, path)) {
        const int moveError = errno;
        // The new directory holds its own (newer) file: both stay as they are.
        if (isLinkOrExists(path))
            return 0;
        return storeFailure("create", path, moveError);
    }
    // Only an empty old directory goes; anything else in it is the user's.
    if (::rmdir(oldDir.c_str()) != 0)
        return 0;
    if (::symlink("admin", oldDir.c_str()) != 0) {
        // As above: the link only serves older versions.
    }
    return 0;
}

int verifyPresentedFingerprint(const std::string& presented, const char* host, const char* port,
                               tinydb_fingerprint_callback callback, std::string* fingerprint,
                               const std::string& address)
{
    std::string known;
    const int rc = KnownHostsFile::getSetFingerprint(true, host, port, known);
    if (rc != 0)
        return rc;
    if (known != presented) {
        if (!callback)
            return TINYDB_E_KNOWNHOSTS;
        const std::string hostText(host);
        const bool local = utils::iEqual(hostText, std::string("localhost")) || address == "127.0.0.1";
        if (!local) {
            const std::string description =
                address == hostText ? address : hostText + " (" + address + ")";
            const std::string portText(port);
            std::string product;
            unsigned short portValue = 0;
            if (portText == "44337")
                product = "Zelvo MailServer";
            else if (portText == "44333")
                product = "Zelvo Gatrin Firewall";
            else
                portValue = static_cast<unsigned short>(std::strtoul(port, nullptr, 10));
            if (!callback(known, presented, description, portValue, product))
                return TINYDB_E_KNOWNHOSTS;
        }
        std::string record = presented;
        int recorded = KnownHostsFile::getSetFingerprint(false, host, port, record);
        if (recorded == 0)
            recorded = KnownHostsFile::getSetFingerprint(false, address.c_str(), port, record);
        if (recorded != 0)
            return recorded;
    }
    if (fingerprint)
        *fingerprint = presented;
    return 0;
}

}  // namespace tinydb
}  // namespace zelvo

int verifyPeersFingerprint(zelvo::tinydb::tinydb_cl* session, const char* host, const char* port,
                           tinydb_fingerprint_callback callback, std::string* fingerprint,
                           const std::string& address)
{
    std::string presented;
    if (!session || !session->getPeersCrtFingerprint(presented) || presented.empty())
        return TINYDB_E_KNOWNHOSTS;
    return zelvo::tinydb::verifyPresentedFingerprint(presented, host, port, callback, fingerprint, address);
}
