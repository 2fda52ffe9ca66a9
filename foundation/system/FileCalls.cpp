#include "foundation/system/FileCalls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelvo {
namespace tiny {

namespace {

constexpr size_t copyBlockSize = 4096;

// dir + "/" + name, the "/" only when dir does not end with one.
std::string joinPath(const char* dir, const char* name)
{
    std::string full(dir);
    if (full.empty() || full.back() != '/')
        full += '/';
    full += name;
    return full;
}

bool isDotOrDotDot(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

DIR* openDirHandle(const char* path)
{
    if (!path)
        return nullptr;
    ::DIR* d = opendir(path);
    if (!d)
        return nullptr;
    DIR* handle = static_cast<DIR*>(std::malloc(sizeof(DIR)));
    char* copy = handle ? strdup(path) : nullptr;
    if (!copy) {
        std::free(handle);
        closedir(d);
        errno = ENOMEM;
        return nullptr;
    }
    handle->dir = d;
    handle->path = copy;
    return handle;
}

// Removes everything in the directory open as dirFd, relative to it, so an
// entry swapped for a link meanwhile is unlinked, never followed. Closes
// dirFd. 0, or -1 at the first entry that cannot be removed.
int removeContentAt(int dirFd)
{
    ::DIR* d = fdopendir(dirFd);
    if (!d) {
        const int err = errno;
        close(dirFd);
        errno = err;
        return -1;
    }
    int rc = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(d);
        if (!entry) {
            if (errno != 0)
                rc = -1;
            break;
        }
        const char* name = entry->d_name;
        if (isDotOrDotDot(name) || unlinkat(dirFd, name, 0) == 0)
            continue;
        // Only a directory gets here (EISDIR); opened without following a
        // link, emptied and removed.
        if (errno != EISDIR) {
            rc = -1;
            break;
        }
        const int child = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0 || removeContentAt(child) != 0 || unlinkat(dirFd, name, AT_REMOVEDIR) != 0) {
            rc = -1;
            break;
        }
    }
    const int err = errno;
    closedir(d);
    errno = err;
    return rc;
}

void closeDirHandle(DIR* handle)
{
    if (!handle)
        return;
    int saved = errno;
    closedir(handle->dir);
    std::free(handle->path);
    std::free(handle);
    errno = saved;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens dst for writing the copy of the file open as srcFd, as fopen's "wb"
// would, except that it is emptied only after it proved not to be the source
// under another name (then: null, errno EINVAL, nothing touched).
FILE* openCopyDestination(int srcFd, const char* dst)
{
    const int fd = open(dst, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat from, to;
    int err = 0;
    if (fstat(srcFd, &from) != 0 || fstat(fd, &to) != 0)
        err = errno;
    else if (sameFile(from, to))
        err = EINVAL;
    else if (S_ISREG(to.st_mode) && ftruncate(fd, 0) != 0)
        err = errno;
    FILE* out = err == 0 ? fdopen(fd, "wb") : nullptr;
    if (!out) {
        if (err == 0)
            err = errno;
        close(fd);
        errno = err;
    }
    return out;
}

} // namespace

int makedir(const char* path, int mode)
{
    return mkdir(path, static_cast<mode_t>(mode));
}

int removedir(const char* path)
{
    return rmdir(path);
}

bool fext(const char* path, const char* ext)
{
    if (!path || !ext)
        return false;
    size_t pathLen = std::strlen(path);
    size_t extLen = std::strlen(ext);
    if (extLen > pathLen)
        return false;
    return strcasecmp(path + pathLen - extLen, ext) == 0;
}

std::string ansiPathToPathString(const char* path)
{
    return path ? std::string(path) : std::string();
}

int z_wmkdir(const char* path, int mode, int flags)
{
    std::string p = path ? path : "";
    while (!p.empty() && p.back() == '/')
        p.pop_back();
    if (p.empty()) {
        errno = 0;
        return 0;
    }
    if (flags & mkdirCreateParents) {
        for (size_t i = 0; i < p.size(); ++i) {
            if (p[i] != '/' || (i > 0 && p[i - 1] == '/'))
                continue;
            std::string prefix = p.substr(0, i);
            if (prefix.empty())
                continue;
            struct stat st;
            if (stat(prefix.c_str(), &st) == 0)
                continue;
            if (mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0) {
                // Someone else may have made it in the meantime.
                int err = errno;
                if (err == EEXIST && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    continue;
                errno = err;
                return -1;
            }
        }
    }
    errno = 0;
    return mkdir(p.c_str(), static_cast<mode_t>(mode));
}

int z_mkdir(const char* path, int mode, int flags)
{
    if (!path || !*path)
        return -1;
    return z_wmkdir(path, mode, flags);
}

int removeDirWithContent(const char* path)
{
    if (!path) {
        errno = ENOENT;
        return -1;
    }
    // A trailing "/" would make open follow a link.
    std::string dir(path);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (err == ENOTDIR && lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            if (unlink(dir.c_str()) != 0)
                return -1;
            // The refused open is no failure of the call.
            errno = 0;
            return 0;
        }
        errno = err;
        return -1;
    }
    if (removeContentAt(fd) != 0)
        return -1;
    return rmdir(dir.c_str());
}

int filecopy(const char* src, const char* dst, int failIfExists)
{
    if (!src || !dst) {
        errno = EINVAL;
        return !src ? fileCopySourceFailed : fileCopyDestinationFailed;
    }
    if (failIfExists) {
        if (FILE* existing = std::fopen(dst, "rb")) {
            std::fclose(existing);
            errno = EEXIST;
            return fileCopyDestinationFailed;
        }
    }
    FILE* in = std::fopen(src, "rb");
    if (!in)
        return fileCopySourceFailed;
    // The first block is read before the destination is opened (and
    // emptied): a source that opens but cannot be read (a directory) leaves
    // the destination as it was.
    errno = 0;
    char block[copyBlockSize];
    size_t n = std::fread(block, 1, sizeof block, in);
    if (std::ferror(in)) {
        const int err = errno;
        std::fclose(in);
        errno = err;
        return fileCopySourceFailed;
    }
    FILE* out = openCopyDestination(fileno(in), dst);
    if (!out) {
        int err = errno;
        std::fclose(in);
        errno = err;
        return fileCopyDestinationFailed;
    }

    errno = 0;
    while (n != 0 && std::fwrite(block, 1, n, out) == n)
        n = std::fread(block, 1, sizeof block, in);
    int result = fileCopyOk;
    if (std::ferror(in))
        result = fileCopySourceFailed;
    else if (std::ferror(out))
        result = fileCopyDestinationFailed;
    int err = errno;

    std::fclose(in);
    // The last buffered block is written by fclose: a full disk shows here.
    if (std::fclose(out) != 0 && result == fileCopyOk) {
        result = fileCopyDestinationFailed;
        err = errno;
    }
    if (err != 0)
        errno = err;
    return result;
}

int copyDirectoryWithContent(const char* src, const char* dst)
{
    if (!dst)
        return dirCopyUnusable;
    if (access(dst, F_OK) != 0 && mkdir(dst, 0700) != 0)
        return dirCopyUnusable;
    DIR* handle = openDirHandle(src);
    if (!handle)
        return dirCopyUnusable;
    // Copying a directory onto itself would only empty its files.
    struct stat from, to;
    if (fstat(dirfd(handle->dir), &from) == 0 && stat(dst, &to) == 0 && sameFile(from, to)) {
        closeDirHandle(handle);
        errno = EINVAL;
        return dirCopyUnusable;
    }
    dirent entry;
    dirent* result = nullptr;
    while (readdirstat_r(handle, &entry, &result) == 0 && result) {
        if (entry.d_type != DT_REG)
            continue;
        std::string from = joinPath(src, entry.d_name);
        std::string to = joinPath(dst, entry.d_name);
        int rc = filecopy(from.c_str(), to.c_str(), 0);
        if (rc != fileCopyOk) {
            closeDirHandle(handle);
            return rc == fileCopySourceFailed ? dirCopySourceFileFailed : dirCopyDestinationFileFailed;
        }
    }
    closeDirHandle(handle);
    return dirCopyOk;
}

int fseek64(FILE* f, long long offset, int whence)
{
    if (!f)
        return 0;
    return fseeko(f, static_cast<off_t>(offset), whence);
}

long long ftell64(FILE* f)
{
    if (!f)
        return 0;
    return static_cast<long long>(ftello(f));
}

DirStreamGuard::DirStreamGuard(const char* path) : dir_(openDirHandle(path)) {}

DirStreamGuard::~DirStreamGuard()
{
    closeDirHandle(dir_);
}

int readdirstat_r(DIR* dir, dirent* entry, dirent** result)
{
    if (!dir || !entry || !result)
        return EINVAL;
    // readdir on a stream no other thread reads is safe; copy the entry out
    // so the caller's buffer outlives the next read.
    errno = 0;
    dirent* next = readdir(dir->dir);
    if (!next) {
        *result = nullptr;
        return errno;
    }
    entry->d_ino = next->d_ino;
    entry->d_off = next->d_off;
    entry->d_reclen = next->d_reclen;
    entry->d_type = next->d_type;
    size_t nameLen = strnlen(next->d_name, sizeof entry->d_name - 1);
    std::memcpy(entry->d_name, next->d_name, nameLen);
    entry->d_name[nameLen] = '\0';
    fillInType(entry, dir->path);
    *result = entry;
    return 0;
}

dirent* readdirstat(DIR* dir)
{
    if (!dir)
        return nullptr;
    dirent* next = readdir(dir->dir);
    if (next)
        fillInType(next, dir->path);
    return next;
}

void fillInType(dirent* entry, const char* dirPath)
{
    if (!entry || !dirPath || !*dirPath)
        return;
    std::string full = joinPath(dirPath, entry->d_name);
    struct stat st;
    if (lstat(full.c_str(), &st) != 0)
        return;
    if (S_ISREG(st.st_mode))
        entry->d_type = DT_REG;
    else if (S_ISDIR(st.st_mode))
        entry->d_type = DT_DIR;
    else if (S_ISCHR(st.st_mode))
        entry->d_type = DT_CHR;
    else if (S_ISBLK(st.st_mode))
        entry->d_type = DT_BLK;
    else if (S_ISFIFO(st.st_mode))
        entry->d_type = DT_FIFO;
    else if (S_ISLNK(st.st_mode))
        entry->d_type = DT_LNK;
    else if (S_ISSOCK(st.st_mode))
        entry->d_type = DT_SOCK;
}

} // namespace tiny
} // namespace zelvo
