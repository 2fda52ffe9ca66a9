#include "foundation/streams/ZFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "tests/support/TestSupport.h"

using zelvo::utils::ZFile;
using zelvo::utils::ZFLock;
using zelvo::utils::ZInterLockedFile;
using Access = zelvo::utils::ZFile::AccessFlags;
using Creation = zelvo::utils::ZFile::CreationFlags;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// What an open did to a file that held "old" (or did not exist).
struct Outcome {
    bool opened;
    int access;      // O_RDONLY, O_WRONLY or O_RDWR
    bool append;
    std::string after;  // content after writing "new" (when writable) and closing; "-" missing
};

Outcome observe(ZFile& f, const std::string& path, bool opened) {
    Outcome o{opened, -1, false, ""};
    if (opened) {
        const int fl = ::fcntl(f.getFd(), F_GETFL);
        o.access = fl & O_ACCMODE;
        o.append = (fl & O_APPEND) != 0;
        if (o.access != O_RDONLY)
            f.write("new", 3);
        EXPECT_TRUE(f.close());
    }
    o.after = exists(path) ? readFile(path) : "-";
    return o;
}

TEST(ZFileOpen, ModeTexts) {
    struct Case {
        const char* mode;
        bool existing;
        Outcome expected;
    };
    const Case cases[] = {
        {"r", true, {true, O_RDONLY, false, "old"}},
        {"r", false, {false, -1, false, "-"}},
        {"rb", true, {true, O_RDONLY, false, "old"}},
        {"q", true, {true, O_RDONLY, false, "old"}},
        {"r+", true, {true, O_RDWR, false, "new"}},
        {"r+", false, {false, -1, false, "-"}},
        {"w", true, {true, O_WRONLY, false, "new"}},
        {"wb", false, {true, O_WRONLY, false, "new"}},
        {"w+", true, {true, O_RDWR, false, "new"}},
        {"a", true, {true, O_WRONLY, true, "oldnew"}},
        {"a+", false, {true, O_RDWR, true, "new"}},
        {"a+", true, {true, O_RDWR, true, "oldnew"}},
        {"rbxy+", true, {true, O_RDWR, false, "new"}},
        // A '+' as the sixth character is not seen.
        {"rbxyz+", true, {true, O_RDONLY, false, "old"}},
        {"", true, {false, -1, false, "old"}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(std::string("mode '") + cases[i].mode + "' existing " + std::to_string(cases[i].existing));
        TempDir dir("zfile");
        const std::string path = dir.file("f");
        if (cases[i].existing)
            writeFile(path, "old");
        ZFile f;
        const Outcome got = observe(f, path, f.open(path.c_str(), cases[i].mode));
        EXPECT_EQ(cases[i].expected.opened, got.opened);
        EXPECT_EQ(cases[i].expected.access, got.access);
        EXPECT_EQ(cases[i].expected.append, got.append);
        EXPECT_EQ(cases[i].expected.after, got.after);
    }
}

TEST(ZFileOpen, AccessAndCreationFlags) {
    struct Case {
        Access access;
        Creation creation;
        bool existing;
        Outcome expected;
    };
    const Case cases[] = {
        {Access::Read, Creation::OpenExisting, true, {true, O_RDONLY, false, "old"}},
        {Access::Read, Creation::OpenExisting, false, {false, -1, false, "-"}},
        {Access::Write, Creation::CreateNew, false, {true, O_WRONLY, false, "new"}},
        {Access::Write, Creation::CreateNew, true, {false, -1, false, "old"}},
        {Access::ReadWrite, Creation::CreateAlways, true, {true, O_RDWR, false, "new"}},
        {Access::ReadWrite, Creation::OpenAlways, false, {true, O_RDWR, false, "new"}},
        {Access::Read, Creation::OpenAlways, true, {true, O_RDONLY, false, "old"}},
        {Access::Write, Creation::TruncateExisting, true, {true, O_WRONLY, false, "new"}},
        {Access::Write, Creation::TruncateExisting, false, {false, -1, false, "-"}},
        // No open that cannot write truncates: it is refused.
        {Access::Read, Creation::TruncateExisting, true, {false, -1, false, "old"}},
        {static_cast<Access>(7), Creation::TruncateExisting, true, {false, -1, false, "old"}},
        {Access::Read, Creation::CreateAlways, true, {false, -1, false, "old"}},
        {static_cast<Access>(3), Creation::CreateAlways, true, {false, -1, false, "old"}},
        {Access::Write, Creation::OpenAppend, true, {true, O_WRONLY, true, "oldnew"}},
        {Access::ReadWrite, Creation::OpenAppend, false, {true, O_RDWR, true, "new"}},
        // Unknown values: read-only, and must exist.
        {static_cast<Access>(7), Creation::OpenExisting, true, {true, O_RDONLY, false, "old"}},
        {Access::Write, static_cast<Creation>(9), false, {false, -1, false, "-"}},
        {Access::Write, static_cast<Creation>(9), true, {true, O_WRONLY, false, "new"}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        TempDir dir("zfile");
        const std::string path = dir.file("f");
        if (cases[i].existing)
            writeFile(path, "old");
        ZFile f;
        const bool opened = f.wOpen(path.c_str(), cases[i].access, cases[i].creation);
        const Outcome got = observe(f, path, opened);
        EXPECT_EQ(cases[i].expected.opened, got.opened);
        EXPECT_EQ(cases[i].expected.access, got.access);
        EXPECT_EQ(cases[i].expected.append, got.append);
        EXPECT_EQ(cases[i].expected.after, got.after);
    }
}

TEST(ZFileOpen, ReadOnlyDescriptorOpenNeverTruncates) {
    TempDir dir("zfile");
    const std::string path = dir.file("f");
    writeFile(path, "old");
    ZFile f;
    EXPECT_FALSE(f.doOpen(path.c_str(), O_RDONLY | O_TRUNC));
    EXPECT_EQ(-1, f.getFd());
    EXPECT_EQ("old", readFile(path));
    EXPECT_TRUE(f.doOpen(path.c_str(), O_RDWR | O_TRUNC));
    EXPECT_TRUE(f.close());
    EXPECT_EQ("", readFile(path));
}

TEST(ZFileOpen, TruncatingOpenOfADeviceLeavesItAlone) {
    // O_TRUNC means nothing for a device; opening one for writing works.
    for (const char* mode : {"w", "w+"}) {
        SCOPED_TRACE(mode);
        ZFile f;
        ASSERT_TRUE(f.open("/dev/null", mode));
        EXPECT_EQ(3, f.write("new", 3));
        EXPECT_TRUE(f.close());
    }
}

TEST(ZFileOpen, NewFilesAreOwnerOnly) {
    TempDir dir("zfile");
    const mode_t old = ::umask(0);
    ZFile a, b, c;
    EXPECT_TRUE(a.open(dir.file("a").c_str(), "w"));
    EXPECT_TRUE(b.open(dir.file("b").c_str(), Access::ReadWrite, Creation::CreateNew));
    EXPECT_TRUE(c.doOpen(dir.file("c").c_str(), O_WRONLY | O_CREAT));
    ::umask(old);
    for (const char* name : {"a", "b", "c"}) {
        SCOPED_TRACE(name);
        struct stat st;
        ASSERT_EQ(0, ::stat(dir.file(name).c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
    }
}

TEST(ZFileIo, CloseSendsBufferedOutputAndReportsFailure) {
    TempDir dir("zfile");
    const std::string path = dir.file("out");
    {
        ZFile f;
        ASSERT_TRUE(f.open(path.c_str(), "w"));
        EXPECT_TRUE(f.puts("buffered"));
        EXPECT_EQ("", readFile(path));
        EXPECT_TRUE(f.close());
        EXPECT_TRUE(f.isClosed());
        EXPECT_EQ(-1, f.getFd());
        EXPECT_TRUE(f.close());
    }
    EXPECT_EQ("buffered", readFile(path));
    {
        ZFile f;
        ASSERT_TRUE(f.open(path.c_str(), "a"));
        f.puts("+dtor");
    }
    EXPECT_EQ("buffered+dtor", readFile(path));

    // A full device: the final flush fails and close says so.
    ZFile full;
    ASSERT_TRUE(full.open("/dev/full", "w"));
    EXPECT_TRUE(full.puts("lost"));
    EXPECT_FALSE(full.close());
    EXPECT_TRUE(full.isClosed());
}

TEST(ZFileIo, ReadsThroughTheBufferAndRepositions) {
    TempDir dir("zfile");
    const std::string path = dir.file("in");
    writeFile(path, "line one\nline two\n");
    ZFile f;
    ASSERT_TRUE(f.open(path.c_str(), "r+"));
    char buf[64];
    EXPECT_EQ(9, f.gets(buf, sizeof buf, false));
    EXPECT_STREQ("line one\n", buf);
    // Reposition: flush, drop buffered input, seek.
    EXPECT_EQ(0, f.flush());
    f.discardInput();
    EXPECT_EQ(0, f.i_seek(5, SEEK_SET));
    EXPECT_EQ(5, f.i_tell());
    EXPECT_EQ(4, f.read(buf, 4));
    EXPECT_EQ("one\n", std::string(buf, 4));
    EXPECT_EQ(-1, f.i_seek(-1, SEEK_SET));
    EXPECT_EQ(-1, f.i_seek64(-1, SEEK_SET));
}

TEST(ZFileIo, TruncateCutsAtTheDescriptorPosition) {
    TempDir dir("zfile");
    const std::string path = dir.file("t");
    writeFile(path, "0123456789");
    ZFile f;
    ASSERT_TRUE(f.open(path.c_str(), Access::ReadWrite, Creation::OpenExisting));
    ASSERT_EQ(0, f.i_seek(4, SEEK_SET));
    f.write("ab", 2);  // still buffered
    EXPECT_TRUE(f.truncate());
    EXPECT_EQ("0123", readFile(path));
    EXPECT_TRUE(f.close());
    EXPECT_EQ("0123ab", readFile(path));
    EXPECT_FALSE(f.truncate());
}

TEST(ZFileIo, TellBeyondFourGigabytes) {
    TempDir dir("zfile");
    ZFile f;
    ASSERT_TRUE(f.open(dir.file("big").c_str(), "w+"));
    const long long pos = (1LL << 32) + 5;
    ASSERT_EQ(0, f.i_seek64(pos, SEEK_SET));
    EXPECT_EQ(5, f.i_tell());
    EXPECT_EQ(pos, f.i_tell64());
}

// Runs body in a child process and returns its exit code.
template <typename F>
int inChild(F body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body() ? 1 : 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ZInterLockedFile, RecordLockAgainstAnotherProcess) {
    struct Case {
        const char* holder;  // mode of this process's open
        const char* other;   // mode of the other process's open
        bool otherOpens;
    };
    const Case cases[] = {
        {"r", "r", true},
        {"r", "r+", false},
        {"r+", "r", false},
        {"w", "r", false},
        {"a", "a", false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(std::string(cases[i].holder) + " then " + cases[i].other);
        TempDir dir("zlock");
        const std::string path = dir.file("known_hosts.cfg");
        writeFile(path, "x");
        ZInterLockedFile held;
        ASSERT_TRUE(held.open(path.c_str(), cases[i].holder));
        const int opened = inChild([&] {
            ZInterLockedFile other;
            const bool ok = other.open(path.c_str(), cases[i].other);
            // A refused open leaves the file closed.
            return ok && !other.isClosed();
        });
        EXPECT_EQ(cases[i].otherOpens ? 1 : 0, opened);
    }
}

// An open that truncates empties the file only once it holds the lock: one
// refused by the lock leaves the holder's file as it was.
TEST(ZInterLockedFile, RefusedTruncatingOpenKeepsTheContent) {
    struct Case {
        const char* name;
        const char* holder;  // mode of this process's open
        std::function<bool(ZInterLockedFile&, const char*)> open;
    };
    const Case cases[] = {
        {"w under a read lock", "r", [](ZInterLockedFile& f, const char* p) { return f.open(p, "w"); }},
        {"w+ under a write lock", "r+", [](ZInterLockedFile& f, const char* p) { return f.wOpen(p, "w+"); }},
        {"TruncateExisting", "r",
         [](ZInterLockedFile& f, const char* p) { return f.wOpen(p, Access::ReadWrite, Creation::TruncateExisting); }},
        {"CreateAlways", "r+",
         [](ZInterLockedFile& f, const char* p) { return f.wOpen(p, Access::Write, Creation::CreateAlways); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("zlock");
        const std::string path = dir.file("known_hosts.cfg");
        writeFile(path, "precious");
        ZInterLockedFile held;
        ASSERT_TRUE(held.open(path.c_str(), c.holder));
        EXPECT_EQ(1, inChild([&] {
            ZInterLockedFile other;
            return !c.open(other, path.c_str()) && other.isClosed();
        }));
        EXPECT_EQ("precious", readFile(path));
    }
    // Holding the lock, the same opens do truncate.
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", unlocked");
        TempDir dir("zlock");
        const std::string path = dir.file("f");
        writeFile(path, "precious");
        ZInterLockedFile f;
        ASSERT_TRUE(c.open(f, path.c_str()));
        EXPECT_TRUE(f.close());
        EXPECT_EQ("", readFile(path));
    }
}

TEST(ZInterLockedFile, LockFallsWithTheDescriptor) {
    TempDir dir("zlock");
    const std::string path = dir.file("f");
    ZInterLockedFile held;
    ASSERT_TRUE(held.wOpen(path.c_str(), Access::ReadWrite, Creation::OpenAlways));
    auto childWrites = [&] {
        ZInterLockedFile other;
        return other.wOpen(path.c_str(), Access::ReadWrite, Creation::OpenAlways);
    };
    EXPECT_EQ(0, inChild(childWrites));
    EXPECT_TRUE(held.close());
    EXPECT_EQ(1, inChild(childWrites));
}

TEST(ZInterLockedFile, RefusedOpenKeepsErrno) {
    TempDir dir("zlock");
    const std::string path = dir.file("f");
    ZInterLockedFile held;
    ASSERT_TRUE(held.open(path.c_str(), "w"));
    EXPECT_EQ(1, inChild([&] {
        ZInterLockedFile other;
        errno = 0;
        const bool ok = other.open(path.c_str(), "r");
        return !ok && (errno == EAGAIN || errno == EACCES) && other.isClosed();
    }));
}

// True when another open file description can take an exclusive flock now.
bool flockIsFree(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

TEST(ZFLock, CountedHolds) {
    TempDir dir("zflock");
    const std::string path = dir.file("lock");
    writeFile(path, "");

    {
        ZFLock l;
        ASSERT_TRUE(l.init(path.c_str(), false));
        EXPECT_TRUE(l.readLock());
        EXPECT_TRUE(l.tryReadLock());
        EXPECT_EQ(2, l.getCounter());
        // Shared holds are never upgraded.
        EXPECT_FALSE(l.writeLock());
        EXPECT_FALSE(l.tryLock());
        EXPECT_EQ(2, l.getCounter());
        l.unlock();
        l.unlock();
        EXPECT_EQ(0, l.getCounter());
        EXPECT_TRUE(flockIsFree(path));
    }
    {
        ZFLock l;
        ASSERT_TRUE(l.init(path.c_str(), false));
        EXPECT_TRUE(l.writeLock());
        EXPECT_TRUE(l.tryWriteLock());
        EXPECT_TRUE(l.readLock());
        EXPECT_EQ(-3, l.getCounter());
        EXPECT_FALSE(flockIsFree(path));
        l.unlock();
        EXPECT_FALSE(flockIsFree(path));
        l.unlock();
        EXPECT_FALSE(flockIsFree(path));
        l.unlock();
        EXPECT_EQ(0, l.getCounter());
        EXPECT_TRUE(flockIsFree(path));
    }
}

TEST(ZFLock, TryFailsWhileAnotherDescriptionHoldsIt) {
    TempDir dir("zflock");
    const std::string path = dir.file("lock");
    writeFile(path, "");
    const int other = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(0, ::flock(other, LOCK_EX));
    ZFLock l;
    ASSERT_TRUE(l.init(path.c_str(), false));
    EXPECT_FALSE(l.tryLock());
    EXPECT_FALSE(l.tryReadLock());
    EXPECT_EQ(0, l.getCounter());
    ::flock(other, LOCK_UN);
    EXPECT_TRUE(l.tryReadLock());
    EXPECT_EQ(1, l.getCounter());
    ::close(other);
}

TEST(ZFLock, InitAndOwnerThread) {
    TempDir dir("zflock");
    const std::string path = dir.file("made");
    ZFLock none;
    EXPECT_FALSE(none.lock());  // no descriptor
    EXPECT_FALSE(none.init(nullptr, true));
    EXPECT_FALSE(none.init(path.c_str(), false));  // missing, not created
    EXPECT_FALSE(none.isValid());

    ZFLock l;
    ASSERT_TRUE(l.init(path.c_str(), true));
    EXPECT_TRUE(exists(path));
    EXPECT_STREQ(path.c_str(), l.getPath());
    EXPECT_FALSE(l.init(path.c_str(), true));  // already valid

    bool fromOtherThread = true;
    std::thread t([&] { fromOtherThread = l.lock() || l.readLock() || l.testThreadID(); });
    t.join();
    EXPECT_FALSE(fromOtherThread);
    EXPECT_EQ(0, l.getCounter());
    EXPECT_TRUE(l.testThreadID());
    EXPECT_TRUE(l.lock());
}

TEST(ZFLock, FileLocksAreReleasedOnClose) {
    TempDir dir("zflock");
    const std::string path = dir.file("f");
    ZFile f;
    ASSERT_TRUE(f.open(path.c_str(), "w"));
    EXPECT_TRUE(f.lock());
    EXPECT_TRUE(f.readLock());
    EXPECT_EQ(-2, f.getLock().getCounter());
    EXPECT_FALSE(flockIsFree(path));
    f.unlock();
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(flockIsFree(path));
    EXPECT_FALSE(f.getLock().isValid());
    EXPECT_FALSE(f.lock());
}

}  // namespace
