#include "foundation/streams/RegularFile.h"
#include "foundation/streams/ZFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/TestSupport.h"

using zelvo::utils::RegularOnly;
using zelvo::utils::ZFile;

// Only what can be read to an end is opened: a FIFO (which no writer holds
// open), a device or a socket is refused at once and named; a regular file
// opens with its size, and a directory is left to its reads to refuse.
TEST(RegularFile, OpensOnlyWhatCanBeReadToAnEnd)
{
    testsupport::TempDir dir("regular");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string socketPath = dir.file("sock");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    testsupport::writeFile(dir.file("plain"), "twelve bytes");
    const std::string linkToDevice = dir.file("zero");
    ASSERT_EQ(0, ::symlink("/dev/zero", linkToDevice.c_str()));

    struct Case {
        const char* name;
        std::string path;
        bool opened;
        const char* kind;  // named by refusedKind() or, for a failed open, specialFileKindAt()
        long long size;
    } cases[] = {
        {"a FIFO", fifo, false, "a FIFO", 0},
        {"a link to a character device", linkToDevice, false, "a character device", 0},
        {"a socket", socketPath, false, "a socket", 0},
        {"a regular file", dir.file("plain"), true, nullptr, 12},
        {"a directory", dir.path(), true, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegularOnly<ZFile> file;
        const bool opened = file.doOpen(c.path.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_EQ(c.opened, opened);
        const char* kind = file.refusedKind() ? file.refusedKind() : zelvo::utils::specialFileKindAt(c.path.c_str());
        if (c.kind) {
            ASSERT_NE(nullptr, kind);
            EXPECT_STREQ(c.kind, kind);
        } else {
            EXPECT_EQ(nullptr, kind);
        }
        if (opened && c.size > 0) {
            EXPECT_EQ(c.size, file.openedSize());
        }
        file.close();
    }
    ::close(listener);
    EXPECT_EQ(nullptr, zelvo::utils::specialFileKindAt(dir.file("missing").c_str()));
}
