#ifndef ZELVO_FOUNDATION_STREAMS_REGULARFILE_H
#define ZELVO_FOUNDATION_STREAMS_REGULARFILE_H

#include <cerrno>
#include <sys/stat.h>

namespace zelvo {
namespace utils {

// What a file of this mode is when it is no file to read: "a FIFO", "a
// character device", "a block device" or "a socket"; null for a regular
// file, and for a directory (whose reads fail on their own).
const char* specialFileKind(mode_t mode);
// The same for the file at path (links followed); null when it cannot be
// examined.
const char* specialFileKindAt(const char* path);

// A file class whose opens take only what can be read to an end: open with
// O_NONBLOCK (a FIFO without a writer does not hold the open), and a FIFO, a
// device or a socket is refused after the open (it fails with EINVAL and
// refusedKind() names what it was). openedSize() is the size at the open.
template <class File>
class RegularOnly : public File {
public:
    bool postOpenOp(int fd, const char* mode) override
    {
        refused = nullptr;
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return false;
        refused = specialFileKind(st.st_mode);
        if (refused) {
            errno = EINVAL;
            return false;
        }
        size = static_cast<long long>(st.st_size);
        return File::postOpenOp(fd, mode);
    }
    const char* refusedKind() const { return refused; }
    long long openedSize() const { return size; }

private:
    const char* refused = nullptr;
    long long size = 0;
};

}  // namespace utils
}  // namespace zelvo

#endif
