#include "foundation/streams/RegularFile.h"

namespace zelvo {
namespace utils {

const char* specialFileKind(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return nullptr;
}

const char* specialFileKindAt(const char* path)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return nullptr;
    return specialFileKind(st.st_mode);
}

}  // namespace utils
}  // namespace zelvo
