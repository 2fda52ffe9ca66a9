#ifndef ZELVO_ADMIN_KNOWNHOSTSFILE_H
#define ZELVO_ADMIN_KNOWNHOSTSFILE_H

#include <sstream>
#include <string>

#include "admin/tinydb.h"
#include "foundation/streams/RegularFile.h"
#include "foundation/streams/ZFile.h"

namespace zelvo {
namespace tinydb {

class tinydb_cl;

// A file opened under an inter-process record lock (shared for Read,
// exclusive for Write), waiting up to lockWait seconds for a conflicting
// holder to let go. The lock lasts as long as the object.
class LockedFile {
public:
    enum class LockMode {
        Read = 0,   // read-only, the file must exist
        Write = 1,  // read-write, created 0600 when missing
    };

    // The wait every new LockedFile gets, in seconds; tests shorten it.
    static int defaultLockWait;

    LockedFile(const char* path, LockMode mode);
    ~LockedFile();
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    bool isOpened() const { return opened; }
    bool isTimedOut() const { return timedOut; }
    // errno of the open that failed; 0 when opened.
    int openError() const { return error; }
    // What the file was when the open refused it for not being a regular
    // file ("a FIFO", "a character device", ...; see RegularOnly), or null.
    const char* refusedKind() const { return refused; }
    // The size of the opened file when it was opened.
    long long size() const { return file.openedSize(); }

    // The whole file, byte for byte; true with nothing read when not opened.
    // With a limit, false once more than limit bytes were read (tooLong()).
    bool readFileContent(std::stringstream& content, long long limit = -1);
    bool tooLong() const { return overLimit; }
    // Replaces the whole file by content.
    bool writeFileContent(const std::stringstream& content);
    // Writes text at offset from the start, or offset bytes back from the end.
    bool seekAndWrite(unsigned long offset, bool fromEnd, const std::string& text);

private:
    bool opened;
    bool timedOut;
    int error;
    int lockWait;
    const char* refused;
    bool overLimit;
    utils::RegularOnly<utils::ZInterLockedFile> file;
};

// The per-user store of administration servers' certificate fingerprints:
// "$HOME/.zelvo/admin/known_hosts.cfg", one "host:port: fingerprint" line each.
class KnownHostsFile {
public:
    // A larger file is refused: no store of fingerprints grows that big.
    static constexpr long long maxBytes = 1 << 20;

    static bool getKnownHostsCfg(std::string& path);
    static bool prepareKey(std::string& key, const char* host, const char* port);
    // True when path is a regular file, or was created empty (0600, its
    // directory 0700). An existing file is never truncated.
    static bool createIfNotExist(const std::string& path);
    // 0 with the fingerprint of key, or empty when there is no entry; 604, 703.
    static int readFingerprint(const std::string& path, const std::string& key, std::string& fingerprint);
    // Replaces the value of key's line, or appends a line; 0, 604, 703.
    static int writeFingerprint(const std::string& path, const std::string& key,
                                const std::string& fingerprint);
    static int getSetFingerprint(bool read, const char* host, const char* port, std::string& fingerprint);
    // Moves the file out of the older directory "Admin" and leaves "Admin" as
    // a link to "admin"; 0 or 604.
    static int linkAdminToadmin();

    // Why the last 604 or 703 of this thread's store operations came from the
    // file: a sentence naming the file and the system's reason (without a line
    // end), or empty when the last failure had another cause or none was set
    // since clearLastFailure().
    static const std::string& lastFailure();
    static void clearLastFailure();
};

// The trust decision of verifyPeersFingerprint for a fingerprint already
// taken from the server's certificate. An accepted fingerprint that cannot
// be recorded fails it: a later change of the certificate would go unseen.
int verifyPresentedFingerprint(const std::string& presented, const char* host, const char* port,
                               tinydb_fingerprint_callback callback, std::string* fingerprint,
                               const std::string& address);

}  // namespace tinydb
}  // namespace zelvo

// Compares the session's server certificate with the known hosts; a new or
// changed one goes to callback (local servers are accepted unasked), an
// accepted one is recorded under host:port and address:port (a failed record
// fails the check). 0, 604, 703.
int verifyPeersFingerprint(zelvo::tinydb::tinydb_cl* session, const char* host, const char* port,
                           tinydb_fingerprint_callback callback, std::string* fingerprint,
                           const std::string& address);

#endif
