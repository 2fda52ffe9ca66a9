#include "foundation/streams/ZFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace zelvo {
namespace utils {

namespace {
constexpr mode_t NewFileMode = 0600;
// The record lock spans the first 2^31 - 1 bytes, in effect the whole file.
constexpr off_t RecordLockLength = 0x7FFFFFFF;
}  // namespace

ZFile::ZFile() : fd(-1) {}

ZFile::~ZFile() { close(); }

bool ZFile::open(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || mode[0] == '\0')
        return false;
    int access = O_RDONLY;
    int creation = 0;
    if (mode[0] == 'a') {
        access = O_WRONLY;
        creation = O_CREAT | O_APPEND;
    } else if (mode[0] == 'w') {
        access = O_WRONLY;
        creation = O_CREAT | O_TRUNC;
    }
    for (int i = 1; i <= 4 && mode[i] != '\0'; ++i) {
        if (mode[i] == '+')
            access = O_RDWR;
    }
    return doOpen(path, access | creation);
}

bool ZFile::wOpen(const char* path, const char* mode) { return open(path, mode); }

bool ZFile::open(const char* path, AccessFlags access, CreationFlags creation) {
    if (path == nullptr)
        return false;
    int flags;
    switch (access) {
    case AccessFlags::Write:
        flags = O_WRONLY;
        break;
    case AccessFlags::ReadWrite:
        flags = O_RDWR;
        break;
    default:
        flags = O_RDONLY;
        break;
    }
    switch (creation) {
    case CreationFlags::CreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
    case CreationFlags::CreateAlways:
        flags |= O_CREAT | O_TRUNC;
        break;
    case CreationFlags::OpenAlways:
        flags |= O_CREAT;
        break;
    case CreationFlags::TruncateExisting:
        flags |= O_TRUNC;
        break;
    case CreationFlags::OpenAppend:
        flags |= O_CREAT | O_APPEND;
        break;
    default:
        break;
    }
    return doOpen(path, flags);
}

bool ZFile::wOpen(const char* path, AccessFlags access, CreationFlags creation) {
    return open(path, access, creation);
}

bool ZFile::doOpen(const char* path, int oflag) {
    if (path == nullptr)
        return false;
    // Reopening drops the previous file rather than leaking its descriptor.
    close();
    // An open that cannot write must not empty the file.
    if ((oflag & O_TRUNC) && (oflag & O_ACCMODE) == O_RDONLY) {
        errno = EINVAL;
        return false;
    }
    // The file is emptied only once postOpenOp accepted it: an open that a
    // lock held elsewhere refuses must leave the holder's content alone.
    const bool truncating = (oflag & O_TRUNC) != 0;
    int d;
    do {
        d = ::open(path, (oflag & ~O_TRUNC) | O_CLOEXEC, NewFileMode);
    } while (d < 0 && errno == EINTR);
    if (d < 0)
        return false;
    fd = d;
    discardInput();
    endOfData = false;
    fileLock.init(fd);
    const int accmode = oflag & O_ACCMODE;
    const bool writable = accmode == O_WRONLY || accmode == O_RDWR;
    if (postOpenOp(fd, writable ? "w" : "r") && (!truncating || truncateOpened()))
        return true;
    if (fd != -1) {
        const int saved = errno;
        close();
        errno = saved;
    }
    return false;
}

bool ZFile::truncateOpened() {
    // As O_TRUNC does: only a regular file is cut (a FIFO or a device is not).
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        return true;
    int rc;
    do {
        rc = ::ftruncate(fd, 0);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool ZFile::close() {
    if (fd == -1)
        return true;
    bool ok = flush() == 0;
    // Output that could not be sent is dropped with the descriptor.
    writePtr = writeBuf;
    writeFree = BufferSize;
    discardInput();
    fileLock.detach();
    if (::close(fd) != 0 && errno != EINTR)
        ok = false;
    fd = -1;
    return ok;
}

bool ZFile::truncate() {
    if (fd == -1)
        return false;
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos < 0)
        return false;
    return ::ftruncate(fd, pos) == 0;
}

bool ZFile::isClosed() const { return fd == -1; }

int ZFile::i_read(char* buf, unsigned int len) {
    if (len > static_cast<unsigned int>(INT_MAX))
        len = INT_MAX;
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int ZFile::i_write(const char* buf, unsigned int len) {
    if (len > static_cast<unsigned int>(INT_MAX))
        len = INT_MAX;
    ssize_t n;
    do {
        n = ::write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

long ZFile::i_seek(long offset, int whence) {
    return ::lseek(fd, static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}

long ZFile::i_seek64(long long offset, int whence) {
    return ::lseek(fd, static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}

long ZFile::i_tell() {
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos < 0)
        return -1;
    return static_cast<long>(static_cast<unsigned long long>(pos) & 0xFFFFFFFFULL);
}

long long ZFile::i_tell64() { return static_cast<long long>(::lseek(fd, 0, SEEK_CUR)); }

bool ZFile::postOpenOp(int, const char*) { return true; }

ZInterLockedFile::~ZInterLockedFile() {}

bool ZInterLockedFile::postOpenOp(int descriptor, const char* mode) {
    const bool forWriting = std::strchr(mode, '+') != nullptr || mode[0] != 'r';
    struct flock rl;
    std::memset(&rl, 0, sizeof rl);
    rl.l_type = forWriting ? F_WRLCK : F_RDLCK;
    rl.l_whence = SEEK_SET;
    rl.l_start = 0;
    rl.l_len = RecordLockLength;
    if (::fcntl(descriptor, F_SETLK, &rl) == 0)
        return true;
    // A conflicting lock held by another process shows as EACCES or EAGAIN;
    // it is told as EAGAIN, so an EACCES of the open itself (no permission)
    // is never taken for one.
    const int saved = errno == EACCES ? EAGAIN : errno;
    close();
    errno = saved;
    return false;
}

}  // namespace utils
}  // namespace zelvo
