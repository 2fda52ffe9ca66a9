#ifndef ZELVO_FOUNDATION_SYSTEM_FILECALLS_H
#define ZELVO_FOUNDATION_SYSTEM_FILECALLS_H

#include <cstdio>
#include <dirent.h>
#include <string>

namespace zelvo {
namespace tiny {

// Bit 0 of z_wmkdir's flags: create missing parent directories.
constexpr int mkdirCreateParents = 1;

// filecopy() results.
constexpr int fileCopyOk = 0;
constexpr int fileCopySourceFailed = 1;
constexpr int fileCopyDestinationFailed = 2;

// copyDirectoryWithContent() results.
constexpr int dirCopyOk = 0;
constexpr int dirCopyUnusable = 1;
constexpr int dirCopySourceFileFailed = 2;
constexpr int dirCopyDestinationFileFailed = 3;

int makedir(const char* path, int mode);
int removedir(const char* path);

// True when path ends with ext, ignoring case.
bool fext(const char* path, const char* ext);
// "" for a null pointer.
std::string ansiPathToPathString(const char* path);

// mkdir of path with trailing "/" stripped; "" and "/" give 0 with errno 0.
// With mkdirCreateParents, missing parents are made first (and stay when a
// later step fails). An existing final directory gives -1 (EEXIST).
int z_wmkdir(const char* path, int mode, int flags);
// As z_wmkdir, but -1 for a null or empty path.
int z_mkdir(const char* path, int mode, int flags);

// Removes path and everything below it; symbolic links are unlinked, never
// followed, also when path itself is one (then only the link goes). Stops at
// the first entry it cannot remove: -1, the rest stays. 0 leaves errno 0.
int removeDirWithContent(const char* path);

// Copies src to dst: 0 copied, 1 source failure, 2 destination failure
// (also when failIfExists is set and dst exists: errno EEXIST; and when dst
// is src under any name: errno EINVAL, nothing touched). A source that
// cannot be read leaves dst untouched. A copy that cannot be completed on
// close counts as a destination failure.
int filecopy(const char* src, const char* dst, int failIfExists);
// Copies the top-level regular files of src into dst (made 0700 when
// missing); subdirectories are skipped. See the dirCopy results; dst being
// src itself is dirCopyUnusable (errno EINVAL), nothing touched.
int copyDirectoryWithContent(const char* src, const char* dst);

// 0 for a null stream, else fseeko / ftello.
int fseek64(FILE* f, long long offset, int whence);
long long ftell64(FILE* f);

// An open directory that knows its path, so entry types can be completed.
struct DIR {
    ::DIR* dir;
    char* path;
};

// Owns one DIR; the handle is null when the directory could not be opened.
class DirStreamGuard {
public:
    explicit DirStreamGuard(const char* path);
    ~DirStreamGuard();
    DirStreamGuard(const DirStreamGuard&) = delete;
    DirStreamGuard& operator=(const DirStreamGuard&) = delete;

    DIR* getDir() const { return dir_; }

private:
    DIR* dir_;
};

// Reads the next entry into *entry; *result is entry, or null at the end.
// 0 on success (the entry's type completed), else an error number.
int readdirstat_r(DIR* dir, dirent* entry, dirent** result);
// The next entry with its type completed, or null at the end or on error.
dirent* readdirstat(DIR* dir);
// Sets entry's type from lstat of dirPath/name; unchanged when lstat fails
// or the kind is unknown.
void fillInType(dirent* entry, const char* dirPath);

} // namespace tiny
} // namespace zelvo

#endif
