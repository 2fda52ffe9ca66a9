#include "foundation/system/FileCalls.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tiny = zelvo::tiny;
using testsupport::TempDir;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

bool isDir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(FileCalls, WmkdirCreatesMissingParentsOnce)
{
    TempDir tmp;
    std::string path = tmp.path() + "/a//b/c/";
    EXPECT_EQ(tiny::z_wmkdir(path.c_str(), 0700, tiny::mkdirCreateParents), 0);
    EXPECT_TRUE(isDir(tmp.file("a")));
    EXPECT_TRUE(isDir(tmp.file("a/b")));
    EXPECT_TRUE(isDir(tmp.file("a/b/c")));

    errno = 0;
    EXPECT_EQ(tiny::z_wmkdir(path.c_str(), 0700, tiny::mkdirCreateParents), -1);
    EXPECT_EQ(errno, EEXIST);

    // Parents that exist are passed over; only the missing tail is made.
    std::string deeper = tmp.path() + "/a/b/c/d/e";
    EXPECT_EQ(tiny::z_mkdir(deeper.c_str(), 0700, tiny::mkdirCreateParents), 0);
    EXPECT_TRUE(isDir(deeper));
}

TEST(FileCalls, WmkdirEdgeCases)
{
    TempDir tmp;
    writeFile(tmp.file("plain"), "x");
    struct Case {
        std::string path;
        int flags;
        int result;
        int err;
    } cases[] = {
        {tmp.path() + "/missing/child", 0, -1, ENOENT},
        {tmp.path() + "/single", 0, 0, 0},
        {tmp.path() + "/plain/child", tiny::mkdirCreateParents, -1, ENOTDIR},
        {"/", tiny::mkdirCreateParents, 0, 0},
        {"///", 0, 0, 0},
        {"", 0, 0, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        errno = 12345;
        EXPECT_EQ(tiny::z_wmkdir(cases[i].path.c_str(), 0700, cases[i].flags), cases[i].result);
        EXPECT_EQ(errno, cases[i].err);
    }
    EXPECT_FALSE(exists(tmp.file("missing")));
    EXPECT_TRUE(isDir(tmp.file("single")));
    EXPECT_EQ(tiny::z_mkdir("", 0700, 1), -1);
    EXPECT_EQ(tiny::z_mkdir(nullptr, 0700, 1), -1);
    EXPECT_EQ(tiny::z_wmkdir(nullptr, 0700, 1), 0);
}

TEST(FileCalls, RemoveDirWithContentLeavesLinkTargetsIntact)
{
    TempDir tmp;
    std::string outside = tmp.file("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    writeFile(outside + "/keep.txt", "precious");

    std::string tree = tmp.file("tree");
    ASSERT_EQ(tiny::z_mkdir((tree + "/x/y/z").c_str(), 0700, tiny::mkdirCreateParents), 0);
    ASSERT_EQ(mkdir((tree + "/empty").c_str(), 0700), 0);
    writeFile(tree + "/top.txt", "1");
    writeFile(tree + "/x/mid.txt", "2");
    writeFile(tree + "/x/y/z/deep.txt", "3");
    ASSERT_EQ(symlink(outside.c_str(), (tree + "/x/dirlink").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/keep.txt").c_str(), (tree + "/filelink").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", (tree + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/x/y/fifo").c_str(), 0600), 0);

    EXPECT_EQ(tiny::removeDirWithContent(tree.c_str()), 0);
    EXPECT_FALSE(exists(tree));
    EXPECT_TRUE(isDir(outside));
    EXPECT_EQ(readFile(outside + "/keep.txt"), "precious");
}

TEST(FileCalls, RemoveDirWithContentUnlinksALinkItIsGiven)
{
    TempDir tmp;
    std::string target = tmp.file("target");
    ASSERT_EQ(tiny::z_mkdir((target + "/sub").c_str(), 0700, tiny::mkdirCreateParents), 0);
    writeFile(target + "/keep.txt", "precious");
    writeFile(target + "/sub/deep.txt", "also");

    // A trailing "/" does not make the link a directory to empty either.
    for (const char* suffix : {"", "/", "//"}) {
        SCOPED_TRACE(suffix);
        const std::string link = tmp.file("link");
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        EXPECT_EQ(tiny::removeDirWithContent((link + suffix).c_str()), 0);
        EXPECT_FALSE(exists(link));
        EXPECT_EQ(readFile(target + "/keep.txt"), "precious");
        EXPECT_EQ(readFile(target + "/sub/deep.txt"), "also");
    }
    EXPECT_EQ(tiny::removeDirWithContent((target + "/").c_str()), 0);
    EXPECT_FALSE(exists(target));
}

TEST(FileCalls, RemoveDirWithContentSucceedsWithErrnoClean)
{
    struct Row {
        const char* name;
        const char* linkTarget;  // null: path is a directory tree
        const char* suffix;
    };
    const Row rows[] = {
        {"a tree", nullptr, ""},
        {"a link to a directory", "target", ""},
        {"a link to a directory, with a slash", "target", "/"},
        {"a link to a file", "target/keep.txt", ""},
        {"a dangling link", "nowhere", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir tmp;
        ASSERT_EQ(tiny::z_mkdir(tmp.file("target/sub").c_str(), 0700, tiny::mkdirCreateParents), 0);
        writeFile(tmp.file("target/keep.txt"), "precious");
        std::string path = tmp.file("target");
        if (row.linkTarget) {
            path = tmp.file("link");
            ASSERT_EQ(symlink(tmp.file(row.linkTarget).c_str(), path.c_str()), 0);
        }
        errno = EBADF;
        EXPECT_EQ(tiny::removeDirWithContent((path + row.suffix).c_str()), 0);
        EXPECT_EQ(errno, 0) << std::strerror(errno);
        EXPECT_FALSE(exists(path));
        if (row.linkTarget) {
            EXPECT_EQ(readFile(tmp.file("target/keep.txt")), "precious");
        }
    }
}

TEST(FileCalls, RemoveDirWithContentFailures)
{
    errno = 0;
    EXPECT_EQ(tiny::removeDirWithContent(nullptr), -1);
    EXPECT_EQ(errno, ENOENT);

    TempDir tmp;
    EXPECT_EQ(tiny::removeDirWithContent(tmp.file("missing").c_str()), -1);
    writeFile(tmp.file("file"), "x");
    EXPECT_EQ(tiny::removeDirWithContent(tmp.file("file").c_str()), -1);
    EXPECT_TRUE(exists(tmp.file("file")));
}

TEST(FileCalls, Fext)
{
    struct Case {
        const char* path;
        const char* ext;
        bool expected;
    } cases[] = {
        {"report.PDF", ".pdf", true},
        {"report.pdf", ".PDF", true},
        {"a", ".pdf", false},
        {"report.pdf.txt", ".pdf", false},
        {".pdf", ".pdf", true},
        {"name", "", true},
        {nullptr, ".pdf", false},
        {"name", nullptr, false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tiny::fext(cases[i].path, cases[i].ext), cases[i].expected);
    }
}

TEST(FileCalls, AnsiPathToPathString)
{
    EXPECT_EQ(tiny::ansiPathToPathString(nullptr), "");
    EXPECT_EQ(tiny::ansiPathToPathString("/tmp/x"), "/tmp/x");
}

TEST(FileCalls, FilecopyCopiesBytesExactly)
{
    TempDir tmp;
    std::string content;
    for (int i = 0; i < 10000; ++i)
        content += static_cast<char>(i * 7);
    writeFile(tmp.file("src"), content);
    writeFile(tmp.file("dst"), "old and longer than nothing");

    EXPECT_EQ(tiny::filecopy(tmp.file("src").c_str(), tmp.file("dst").c_str(), 0), tiny::fileCopyOk);
    EXPECT_EQ(readFile(tmp.file("dst")), content);

    writeFile(tmp.file("empty"), "");
    EXPECT_EQ(tiny::filecopy(tmp.file("empty").c_str(), tmp.file("copy").c_str(), 1), tiny::fileCopyOk);
    EXPECT_EQ(readFile(tmp.file("copy")), "");
}

TEST(FileCalls, FilecopyFailures)
{
    TempDir tmp;
    writeFile(tmp.file("src"), "source");
    writeFile(tmp.file("existing"), "keep me");

    errno = 0;
    EXPECT_EQ(tiny::filecopy(tmp.file("src").c_str(), tmp.file("existing").c_str(), 1),
              tiny::fileCopyDestinationFailed);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(tmp.file("existing")), "keep me");

    EXPECT_EQ(tiny::filecopy(tmp.file("missing").c_str(), tmp.file("out").c_str(), 0),
              tiny::fileCopySourceFailed);
    EXPECT_FALSE(exists(tmp.file("out")));

    errno = 0;
    EXPECT_EQ(tiny::filecopy(tmp.file("src").c_str(), tmp.file("nodir/out").c_str(), 0),
              tiny::fileCopyDestinationFailed);
    EXPECT_EQ(errno, ENOENT);

    // A directory opens for reading but cannot be read.
    EXPECT_EQ(tiny::filecopy(tmp.path().c_str(), tmp.file("out").c_str(), 0), tiny::fileCopySourceFailed);
}

TEST(FileCalls, FilecopyOfAnUnreadableSourceLeavesTheDestinationAlone)
{
    TempDir tmp;
    ASSERT_EQ(mkdir(tmp.file("dir").c_str(), 0700), 0);
    struct Row {
        std::string source;  // opens for reading, but its first read fails
        int error;
    };
    const Row rows[] = {
        {tmp.file("dir"), EISDIR},
        {"/proc/self/mem", EIO},  // offset 0 is never mapped
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.source);
        writeFile(tmp.file("existing"), "keep me");
        errno = 0;
        EXPECT_EQ(tiny::filecopy(row.source.c_str(), tmp.file("existing").c_str(), 0), tiny::fileCopySourceFailed);
        EXPECT_EQ(errno, row.error) << std::strerror(errno);
        EXPECT_EQ(readFile(tmp.file("existing")), "keep me");
        EXPECT_EQ(tiny::filecopy(row.source.c_str(), tmp.file("new").c_str(), 0), tiny::fileCopySourceFailed);
        EXPECT_FALSE(exists(tmp.file("new")));
    }
}

TEST(FileCalls, FilecopyOntoItselfFailsAndKeepsTheFile)
{
    TempDir tmp;
    const std::string file = tmp.file("file");
    writeFile(file, "content");
    ASSERT_EQ(link(file.c_str(), tmp.file("hard").c_str()), 0);
    ASSERT_EQ(symlink(file.c_str(), tmp.file("soft").c_str()), 0);

    const std::string destinations[] = {file, tmp.file("hard"), tmp.file("soft"), tmp.path() + "//file"};
    for (const std::string& dst : destinations) {
        SCOPED_TRACE(dst);
        EXPECT_EQ(tiny::filecopy(file.c_str(), dst.c_str(), 0), tiny::fileCopyDestinationFailed);
        EXPECT_EQ(readFile(file), "content");
    }
}

TEST(FileCalls, FilecopyReportsFullDiskSeenOnlyAtClose)
{
    TempDir tmp;
    // Small enough to stay in the stdio buffer until fclose.
    writeFile(tmp.file("src"), "a few bytes");
    errno = 0;
    EXPECT_EQ(tiny::filecopy(tmp.file("src").c_str(), "/dev/full", 0), tiny::fileCopyDestinationFailed);
    EXPECT_EQ(errno, ENOSPC);
}

TEST(FileCalls, CopyDirectoryWithContentCopiesTopLevelFilesOnly)
{
    TempDir tmp;
    std::string src = tmp.file("src");
    ASSERT_EQ(tiny::z_mkdir((src + "/sub").c_str(), 0700, tiny::mkdirCreateParents), 0);
    writeFile(src + "/one", "1");
    writeFile(src + "/two", "22");
    writeFile(src + "/sub/nested", "3");
    ASSERT_EQ(symlink((src + "/one").c_str(), (src + "/link").c_str()), 0);

    std::string dst = tmp.file("dst");
    EXPECT_EQ(tiny::copyDirectoryWithContent(src.c_str(), dst.c_str()), tiny::dirCopyOk);
    struct stat st;
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(readFile(dst + "/one"), "1");
    EXPECT_EQ(readFile(dst + "/two"), "22");
    EXPECT_FALSE(exists(dst + "/sub"));
    EXPECT_FALSE(exists(dst + "/link"));

    // Into an existing directory, with a trailing "/" on both sides.
    std::string again = tmp.file("again");
    ASSERT_EQ(mkdir(again.c_str(), 0755), 0);
    EXPECT_EQ(tiny::copyDirectoryWithContent((src + "/").c_str(), (again + "/").c_str()), tiny::dirCopyOk);
    EXPECT_EQ(readFile(again + "/two"), "22");
}

TEST(FileCalls, CopyDirectoryWithContentFailures)
{
    TempDir tmp;
    writeFile(tmp.file("file"), "x");
    EXPECT_EQ(tiny::copyDirectoryWithContent(tmp.file("missing").c_str(), tmp.file("d1").c_str()),
              tiny::dirCopyUnusable);
    EXPECT_EQ(tiny::copyDirectoryWithContent(nullptr, tmp.file("d2").c_str()), tiny::dirCopyUnusable);
    EXPECT_EQ(tiny::copyDirectoryWithContent(tmp.path().c_str(), tmp.file("no/such/dir").c_str()),
              tiny::dirCopyUnusable);

    std::string src = tmp.file("src");
    ASSERT_EQ(mkdir(src.c_str(), 0700), 0);
    writeFile(src + "/f", "x");
    // The destination "directory" is a file: creating dst/f fails.
    EXPECT_EQ(tiny::copyDirectoryWithContent(src.c_str(), tmp.file("file").c_str()),
              tiny::dirCopyDestinationFileFailed);
}

TEST(FileCalls, CopyDirectoryWithContentOntoItselfFailsAndKeepsTheFiles)
{
    TempDir tmp;
    const std::string dir = tmp.file("dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    writeFile(dir + "/one", "1");
    writeFile(dir + "/two", "22");
    ASSERT_EQ(symlink(dir.c_str(), tmp.file("link").c_str()), 0);

    const std::string destinations[] = {dir, dir + "/", tmp.file("link"), dir + "/."};
    for (const std::string& dst : destinations) {
        SCOPED_TRACE(dst);
        EXPECT_EQ(tiny::copyDirectoryWithContent(dir.c_str(), dst.c_str()), tiny::dirCopyUnusable);
        EXPECT_EQ(readFile(dir + "/one"), "1");
        EXPECT_EQ(readFile(dir + "/two"), "22");
    }

    // A destination file that is a source file under another name.
    const std::string other = tmp.file("other");
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    ASSERT_EQ(link((dir + "/one").c_str(), (other + "/one").c_str()), 0);
    EXPECT_EQ(tiny::copyDirectoryWithContent(dir.c_str(), other.c_str()), tiny::dirCopyDestinationFileFailed);
    EXPECT_EQ(readFile(dir + "/one"), "1");
}

TEST(FileCalls, DirectoryEntriesCarryTheirTypes)
{
    TempDir tmp;
    std::string dir = tmp.file("d");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    writeFile(dir + "/file", "x");
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink("sub", (dir + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const std::map<std::string, unsigned char> expected = {
        {".", DT_DIR}, {"..", DT_DIR}, {"file", DT_REG}, {"sub", DT_DIR}, {"link", DT_LNK}, {"fifo", DT_FIFO},
    };

    {
        tiny::DirStreamGuard guard((dir + "/").c_str());
        ASSERT_NE(guard.getDir(), nullptr);
        std::map<std::string, unsigned char> seen;
        dirent entry;
        dirent* result = nullptr;
        while (tiny::readdirstat_r(guard.getDir(), &entry, &result) == 0 && result) {
            EXPECT_EQ(result, &entry);
            seen[entry.d_name] = entry.d_type;
        }
        EXPECT_EQ(seen, expected);
    }
    {
        tiny::DirStreamGuard guard(dir.c_str());
        ASSERT_NE(guard.getDir(), nullptr);
        std::map<std::string, unsigned char> seen;
        while (dirent* e = tiny::readdirstat(guard.getDir()))
            seen[e->d_name] = e->d_type;
        EXPECT_EQ(seen, expected);
    }

    tiny::DirStreamGuard missing(tmp.file("missing").c_str());
    EXPECT_EQ(missing.getDir(), nullptr);
    tiny::DirStreamGuard null(nullptr);
    EXPECT_EQ(null.getDir(), nullptr);
    EXPECT_EQ(tiny::readdirstat(nullptr), nullptr);
}

TEST(FileCalls, FillInTypeKeepsTypeWhenEntryCannotBeExamined)
{
    TempDir tmp;
    dirent entry{};
    std::snprintf(entry.d_name, sizeof entry.d_name, "%s", "gone");
    entry.d_type = DT_UNKNOWN;
    tiny::fillInType(&entry, tmp.path().c_str());
    EXPECT_EQ(entry.d_type, DT_UNKNOWN);

    writeFile(tmp.file("gone"), "");
    tiny::fillInType(&entry, (tmp.path() + "/").c_str());
    EXPECT_EQ(entry.d_type, DT_REG);
}

TEST(FileCalls, Stdio64BitPositioning)
{
    EXPECT_EQ(tiny::fseek64(nullptr, 10, SEEK_SET), 0);
    EXPECT_EQ(tiny::ftell64(nullptr), 0);
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const long long beyond4G = (1LL << 32) + 5;
    EXPECT_EQ(tiny::fseek64(f, beyond4G, SEEK_SET), 0);
    EXPECT_EQ(tiny::ftell64(f), beyond4G);
    std::fclose(f);
}

TEST(FileCalls, MakeAndRemoveDir)
{
    TempDir tmp;
    EXPECT_EQ(tiny::makedir(tmp.file("m").c_str(), 0700), 0);
    EXPECT_EQ(tiny::makedir(tmp.file("m").c_str(), 0700), -1);
    EXPECT_EQ(tiny::removedir(tmp.file("m").c_str()), 0);
    EXPECT_EQ(tiny::removedir(tmp.file("m").c_str()), -1);
}

} // namespace
