#ifndef ZELVO_FOUNDATION_STREAMS_ZFILE_H
#define ZELVO_FOUNDATION_STREAMS_ZFILE_H

#include "foundation/streams/ZFLock.h"
#include "foundation/streams/ZStream.h"

namespace zelvo {
namespace utils {

// Buffered file over one POSIX descriptor. Files it creates get mode 0600
// (before the umask). Every open fails with false and leaves the file closed.
class ZFile : public ZFileStream {
public:
    // Any other value opens read-only.
    enum class AccessFlags : int { Read = 0, Write = 1, ReadWrite = 2 };
    // Values above OpenAppend behave like OpenExisting.
    enum class CreationFlags : int {
        CreateNew = 0,         // O_CREAT | O_EXCL
        CreateAlways = 1,      // O_CREAT | O_TRUNC
        OpenExisting = 2,      // must exist
        OpenAlways = 3,        // O_CREAT, contents kept
        TruncateExisting = 4,  // O_TRUNC
        OpenAppend = 5,        // O_CREAT | O_APPEND
    };

    ZFile();
    // Closes the file (sending buffered output).
    ~ZFile() override;

    // fopen-style mode: 'a' appends, 'w' truncates, anything else reads; a
    // '+' among the next four characters makes it read-write.
    bool open(const char* path, const char* mode);
    bool wOpen(const char* path, const char* mode);
    bool open(const char* path, AccessFlags access, CreationFlags creation);
    bool wOpen(const char* path, AccessFlags access, CreationFlags creation);
    // open(2) with oflag, then the common steps (lock attach, postOpenOp);
    // O_TRUNC empties the file only after postOpenOp accepted it.
    // An open that cannot write never truncates: O_TRUNC with read-only
    // access (so also CreateAlways or TruncateExisting with an access that
    // reads only) is refused with EINVAL.
    bool doOpen(const char* path, int oflag);

    // Sends buffered output, releases the lock and closes the descriptor.
    // False when the final flush or close(2) failed: the data may not be
    // on disk. True when nothing was open.
    bool close();
    // Cuts the file at the descriptor's position; buffered output is not sent first.
    bool truncate();

    bool isClosed() const override;
    int i_read(char* buf, unsigned int len) override;
    int i_write(const char* buf, unsigned int len) override;
    // 0 or -1.
    long i_seek(long offset, int whence) override;
    long i_seek64(long long offset, int whence) override;
    // The low 32 bits of the position; -1 on failure.
    long i_tell() override;
    long long i_tell64() override;

    // Called at the end of every successful open with "w" (opened for
    // writing) or "r" (read-only); false makes the open fail.
    virtual bool postOpenOp(int fd, const char* mode);

    bool lock() { return fileLock.lock(); }
    bool writeLock() { return fileLock.writeLock(); }
    bool tryLock() { return fileLock.tryLock(); }
    bool tryWriteLock() { return fileLock.tryWriteLock(); }
    bool readLock() { return fileLock.readLock(); }
    bool tryReadLock() { return fileLock.tryReadLock(); }
    void unlock() { fileLock.unlock(); }

    int getFd() const { return fd; }
    const ZFLock& getLock() const { return fileLock; }

protected:
    int fd;
    ZFLock fileLock;

private:
    // The deferred O_TRUNC of an accepted open.
    bool truncateOpened();
};

// A ZFile that takes a non-blocking fcntl record lock over the file as part
// of opening: a write lock when opened for writing, a read lock when opened
// read-only. The open fails (and closes again, errno EAGAIN) when another
// process holds a conflicting lock. The lock belongs to the process and
// falls when any descriptor of the file in this process is closed.
class ZInterLockedFile : public ZFile {
public:
    ~ZInterLockedFile() override;
    bool postOpenOp(int fd, const char* mode) override;
};

}  // namespace utils
}  // namespace zelvo

#endif
