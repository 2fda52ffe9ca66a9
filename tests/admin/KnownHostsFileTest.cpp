#include "admin/KnownHostsFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>

#include "tests/support/TestSupport.h"

using zelvo::tinydb::KnownHostsFile;
using zelvo::tinydb::LockedFile;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string fpA = "aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd";
const std::string fpB = "01:23:45:67:89:ab:cd:ef:01:23:45:67:89:ab:cd:ef:01:23:45:67";

// A temporary HOME for one test; the previous value comes back afterwards.
class KnownHosts : public ::testing::Test {
protected:
    void SetUp() override { LockedFile::defaultLockWait = 30; }
    void TearDown() override { LockedFile::defaultLockWait = 30; }
    std::string adminDir() const { return home.path() + "/.zelvo/admin"; }
    std::string oldDir() const { return home.path() + "/.zelvo/Admin"; }
    std::string cfg() const { return adminDir() + "/known_hosts.cfg"; }
    void writeCfg(const std::string& text)
    {
        ::mkdir((home.path() + "/.zelvo").c_str(), 0700);
        ::mkdir(adminDir().c_str(), 0700);
        writeFile(cfg(), text);
    }

    testsupport::TempDir home{"khome"};
    testsupport::ScopedEnv homeVariable{"HOME", home.path()};
};

struct Question {
    int calls = 0;
    std::string known, presented, description, product;
    unsigned short port = 0;
};
Question question;
bool answer = true;

bool ask(const std::string& known, const std::string& presented, const std::string& description,
         unsigned short port, const std::string& product)
{
    ++question.calls;
    question.known = known;
    question.presented = presented;
    question.description = description;
    question.port = port;
    question.product = product;
    return answer;
}

// Holds an fcntl lock on path in a child process (record locks of the own
// process never conflict) until the object goes.
class LockHolder {
public:
    LockHolder(const std::string& path, bool exclusive)
    {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            std::abort();
        pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(path.c_str(), exclusive ? O_RDWR : O_RDONLY);
            struct flock fl {};
            fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
            fl.l_whence = SEEK_SET;
            fl.l_len = 0;
            const char ok = (fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0) ? 1 : 0;
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release[0], &c, 1);
            ::_exit(0);
        }
        char ok = 0;
        (void)!::read(ready[0], &ok, 1);
        locked = ok == 1;
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~LockHolder()
    {
        (void)!::write(release[1], "x", 1);
        ::close(release[0]);
        ::close(release[1]);
        int status;
        ::waitpid(pid, &status, 0);
    }
    bool locked = false;

private:
    pid_t pid = -1;
    int release[2];
};

}  // namespace

TEST_F(KnownHosts, PathFollowsHomeAndFailsWithoutIt)
{
    std::string path = "stale";
    ASSERT_TRUE(KnownHostsFile::getKnownHostsCfg(path));
    EXPECT_EQ(cfg(), path);

    ::unsetenv("HOME");
    EXPECT_FALSE(KnownHostsFile::getKnownHostsCfg(path));
    EXPECT_EQ("", path);
    std::string fp;
    EXPECT_EQ(TINYDB_E_KNOWNHOSTS, KnownHostsFile::getSetFingerprint(true, "h", "1", fp));
    EXPECT_EQ(TINYDB_E_KNOWNHOSTS, KnownHostsFile::linkAdminToadmin());
}

TEST_F(KnownHosts, KeysNeedHostAndPort)
{
    std::string key = "kept";
    EXPECT_FALSE(KnownHostsFile::prepareKey(key, nullptr, "44337"));
    EXPECT_FALSE(KnownHostsFile::prepareKey(key, "host", nullptr));
    EXPECT_EQ("kept", key);
    EXPECT_TRUE(KnownHostsFile::prepareKey(key, "zev.example", "44337"));
    EXPECT_EQ("zev.example:44337", key);
}

TEST_F(KnownHosts, CreateIfNotExistMakesPrivateFileAndKeepsExistingOne)
{
    ASSERT_TRUE(KnownHostsFile::createIfNotExist(cfg()));
    struct stat st;
    ASSERT_EQ(0, ::stat(adminDir().c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    ASSERT_EQ(0, ::stat(cfg().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(0, st.st_size);

    writeFile(cfg(), "a:1: " + fpA + "\n");
    EXPECT_TRUE(KnownHostsFile::createIfNotExist(cfg()));
    EXPECT_EQ("a:1: " + fpA + "\n", readFile(cfg()));

    EXPECT_FALSE(KnownHostsFile::createIfNotExist(adminDir()));
}

TEST_F(KnownHosts, ReadFingerprintTable)
{
    struct Case {
        bool exists;
        std::string content;
        int rc;
        std::string fingerprint;
    } cases[] = {
        {false, "", 0, ""},
        {true, "", 0, ""},
        {true, "h:1: v1\n", 0, "v1"},
        {true, "H:1: upper\n", 0, "upper"},
        {true, "h:10: other\nh:1: mine\n", 0, "mine"},
        {true, "h:1: first\nh:1: second\n", 0, "first"},
        {true, "x:1: a\r\nh:1: crlf\r\n", 0, "crlf"},
        {true, "x:1: a\nh:1: last-without-lf", 0, "last-without-lf"},
        {true, "h:1: \n", TINYDB_E_KNOWNHOSTS, ""},
        {true, "h:1: \r\n", TINYDB_E_KNOWNHOSTS, ""},
        {true, "h:1:\n", 0, ""},
        {true, "x:1: a\n", 0, ""},
        // Counted bytes, not C text: a NUL does not end the file.
        {true, std::string("x:1: a\0b\nh:1: after-nul\n", 24), 0, "after-nul"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        ::unlink(cfg().c_str());
        if (cases[i].exists)
            writeCfg(cases[i].content);
        std::string fp = "stale";
        EXPECT_EQ(cases[i].rc, KnownHostsFile::readFingerprint(cfg(), "h:1", fp));
        EXPECT_EQ(cases[i].fingerprint, fp);
    }
}

TEST_F(KnownHosts, WriteFingerprintTable)
{
    struct Case {
        std::string before;
        std::string key;
        std::string fingerprint;
        std::string after;
    } cases[] = {
        {"", "h:1", fpA, "h:1: " + fpA + "\n"},
        {"x:2: " + fpB + "\n", "h:1", fpA, "x:2: " + fpB + "\nh:1: " + fpA + "\n"},
        // A last line without a line feed: the new entry starts a line of its own.
        {"x:2: " + fpB, "h:1", fpA, "x:2: " + fpB + "\nh:1: " + fpA + "\n"},
        {"h:1: " + fpB + "\nx:2: " + fpB + "\n", "h:1", fpA, "h:1: " + fpA + "\nx:2: " + fpB + "\n"},
        {"H:1: " + fpB + "\r\n", "h:1", fpA, "H:1: " + fpA + "\r\n"},
        // Values of another length are replaced whole, the rest of the file kept.
        {"h:1: short\nx:2: " + fpB + "\n", "h:1", fpA, "h:1: " + fpA + "\nx:2: " + fpB + "\n"},
        {"h:1: " + fpA + "-and-more-than-a-fingerprint\nz\n", "h:1", fpB, "h:1: " + fpB + "\nz\n"},
        {"h:1: \n", "h:1", fpA, "h:1: " + fpA + "\n"},
        {"h:1: " + fpA + "\n", "h:1", fpA, "h:1: " + fpA + "\n"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        writeCfg(cases[i].before);
        EXPECT_EQ(0, KnownHostsFile::writeFingerprint(cfg(), cases[i].key, cases[i].fingerprint));
        EXPECT_EQ(cases[i].after, readFile(cfg()));
        std::string fp;
        EXPECT_EQ(0, KnownHostsFile::readFingerprint(cfg(), cases[i].key, fp));
        EXPECT_EQ(cases[i].fingerprint, fp);
    }
}

TEST_F(KnownHosts, LockHeldElsewhere)
{
    writeCfg("h:1: " + fpA + "\n");
    LockedFile::defaultLockWait = 0;
    std::string fp;
    {
        LockHolder exclusive(cfg(), true);
        ASSERT_TRUE(exclusive.locked);
        EXPECT_EQ(TINYDB_E_LOCKTIMEOUT, KnownHostsFile::readFingerprint(cfg(), "h:1", fp));
        EXPECT_EQ(TINYDB_E_LOCKTIMEOUT, KnownHostsFile::writeFingerprint(cfg(), "h:1", fpB));
        LockedFile file(cfg().c_str(), LockedFile::LockMode::Read);
        EXPECT_FALSE(file.isOpened());
        EXPECT_TRUE(file.isTimedOut());
    }
    {
        LockHolder shared(cfg(), false);
        ASSERT_TRUE(shared.locked);
        EXPECT_EQ(0, KnownHostsFile::readFingerprint(cfg(), "h:1", fp));
        EXPECT_EQ(fpA, fp);
        EXPECT_EQ(TINYDB_E_LOCKTIMEOUT, KnownHostsFile::writeFingerprint(cfg(), "h:1", fpB));
    }
    EXPECT_EQ(0, KnownHostsFile::writeFingerprint(cfg(), "h:1", fpB));
    EXPECT_EQ("h:1: " + fpB + "\n", readFile(cfg()));
}

TEST_F(KnownHosts, MissingFileIsNoLockWait)
{
    LockedFile file(cfg().c_str(), LockedFile::LockMode::Read);
    EXPECT_FALSE(file.isOpened());
    EXPECT_FALSE(file.isTimedOut());
    std::stringstream content;
    EXPECT_TRUE(file.readFileContent(content));
    EXPECT_EQ("", content.str());
}

TEST_F(KnownHosts, LockedFileWritesAndSeeks)
{
    writeCfg("0123456789");
    LockedFile file(cfg().c_str(), LockedFile::LockMode::Write);
    ASSERT_TRUE(file.isOpened());
    EXPECT_TRUE(file.seekAndWrite(2, true, "XY"));
    EXPECT_TRUE(file.seekAndWrite(0, false, "ab"));
    std::stringstream content;
    EXPECT_TRUE(file.readFileContent(content));
    EXPECT_EQ("ab234567XY", content.str());
    std::stringstream shorter("short");
    EXPECT_TRUE(file.writeFileContent(shorter));
    std::stringstream again;
    EXPECT_TRUE(file.readFileContent(again));
    EXPECT_EQ("short", again.str());
}

TEST_F(KnownHosts, FirstUseAsksAndRecordsHostAndAddress)
{
    question = Question();
    answer = true;
    std::string fp;
    EXPECT_EQ(0, zelvo::tinydb::verifyPresentedFingerprint(fpA, "zev.example", "44337", ask, &fp, "10.1.2.3"));
    EXPECT_EQ(fpA, fp);
    EXPECT_EQ(1, question.calls);
    EXPECT_EQ("", question.known);
    EXPECT_EQ(fpA, question.presented);
    EXPECT_EQ("zev.example (10.1.2.3)", question.description);
    EXPECT_EQ("Zelvo MailServer", question.product);
    EXPECT_EQ(0, question.port);
    EXPECT_EQ("zev.example:44337: " + fpA + "\n10.1.2.3:44337: " + fpA + "\n", readFile(cfg()));

    // Same certificate again: no question, nothing rewritten.
    question = Question();
    EXPECT_EQ(0, zelvo::tinydb::verifyPresentedFingerprint(fpA, "zev.example", "44337", ask, &fp, "10.1.2.3"));
    EXPECT_EQ(0, question.calls);
    EXPECT_EQ(0, zelvo::tinydb::verifyPresentedFingerprint(fpA, "zev.example", "44337", nullptr, &fp, "10.1.2.3"));
}

TEST_F(KnownHosts, StoreThatCannotBeReadTrustsNothing)
{
    // Only a missing file is an empty store; one that is there but cannot be
    // read must not make every certificate a first use.
    struct Case {
        const char* what;
        void (*make)(const std::string& path);
        int error;  // the reason the failure names
    } cases[] = {
        {"a link to itself", [](const std::string& path) { ASSERT_EQ(0, ::symlink("known_hosts.cfg", path.c_str())); },
         ELOOP},
        {"a directory", [](const std::string& path) { ASSERT_EQ(0, ::mkdir(path.c_str(), 0700)); }, EISDIR},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        writeCfg("");
        ASSERT_EQ(0, ::unlink(cfg().c_str()));
        k.make(cfg());
        std::string known = "untouched";
        KnownHostsFile::clearLastFailure();
        EXPECT_EQ(TINYDB_E_KNOWNHOSTS, KnownHostsFile::readFingerprint(cfg(), "zev.example:44337", known));
        EXPECT_EQ("", known);
        EXPECT_EQ("Cannot read the known-hosts file " + cfg() + ": " + std::strerror(k.error) + ".",
                  KnownHostsFile::lastFailure());
        question = Question();
        answer = true;
        EXPECT_EQ(TINYDB_E_KNOWNHOSTS,
                  zelvo::tinydb::verifyPresentedFingerprint(fpB, "zev.example", "44337", ask, nullptr, "10.1.2.3"));
        EXPECT_EQ(0, question.calls);
        ::unlink(cfg().c_str());
        ::rmdir(cfg().c_str());
    }
}

namespace {

// What one bounded store operation gave, run in a child process so that an
// open or a read that never ends fails the test instead of holding it.
struct BoundedResult {
    bool finished = false;
    int rc = -1;
    std::string failure;
};

// A user that the child becomes before the operation, or none.
struct RunAs {
    bool change = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

BoundedResult runBounded(int (*operation)(const std::string& path), const std::string& path,
                         const RunAs& user = RunAs())
{
    BoundedResult r;
    int out[2];
    if (::pipe(out) != 0)
        return r;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        if (user.change && (::setgroups(0, nullptr) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0))
            ::_exit(1);
        KnownHostsFile::clearLastFailure();
        const int rc = operation(path);
        const std::string text = std::to_string(rc) + "\n" + KnownHostsFile::lastFailure();
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    for (int waited = 0; waited < 10000;) {
        pollfd p = {out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready == 0) {
            waited += 100;
            continue;
        }
        if (ready < 0 && errno == EINTR)
            continue;
        char buf[512];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) {
            r.finished = true;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (!r.finished)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const size_t nl = text.find('\n');
    if (r.finished && nl != std::string::npos) {
        r.rc = std::atoi(text.substr(0, nl).c_str());
        r.failure = text.substr(nl + 1);
    } else {
        r.finished = false;
    }
    return r;
}

int readOnce(const std::string& path)
{
    std::string fingerprint;
    return KnownHostsFile::readFingerprint(path, "zev.example:44337", fingerprint);
}

int writeOnce(const std::string& path)
{
    return KnownHostsFile::writeFingerprint(path, "zev.example:44337", fpA);
}

int trustOnce(const std::string&)
{
    return zelvo::tinydb::verifyPresentedFingerprint(fpA, "zev.example", "44337", ask, nullptr, "10.1.2.3");
}

void bindSocket(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ::close(fd);
}

}  // namespace

// A store that is no file to read (a FIFO, a device, a socket, a link to
// one) or larger than 1 MiB is refused at once, without waiting in the open
// or reading without end, with a line that says what it is; it is left as
// it was. Each operation runs bounded: one that hangs fails.
TEST_F(KnownHosts, StoreThatIsNoFileIsRefusedAtOnce)
{
    const std::string notRegular = ", not a regular file.";
    struct Case {
        const char* what;
        void (*make)(const std::string& path);
        std::string reason;
    } cases[] = {
        {"a FIFO", [](const std::string& path) { ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600)); },
         "it is a FIFO" + notRegular},
        {"a link to a FIFO",
         [](const std::string& path) {
             ASSERT_EQ(0, ::mkfifo((path + ".fifo").c_str(), 0600));
             ASSERT_EQ(0, ::symlink((path + ".fifo").c_str(), path.c_str()));
         },
         "it is a FIFO" + notRegular},
        {"a link to /dev/zero", [](const std::string& path) { ASSERT_EQ(0, ::symlink("/dev/zero", path.c_str())); },
         "it is a character device" + notRegular},
        {"a link to /dev/null", [](const std::string& path) { ASSERT_EQ(0, ::symlink("/dev/null", path.c_str())); },
         "it is a character device" + notRegular},
        {"a socket", bindSocket, "it is a socket" + notRegular},
        {"a file of 1 MiB and one byte",
         [](const std::string& path) { writeFile(path, std::string(KnownHostsFile::maxBytes + 1, '\n')); },
         "it is larger than 1 MiB."},
    };
    struct Operation {
        const char* name;
        int (*run)(const std::string& path);
    } operations[] = {{"read", readOnce}, {"write", writeOnce}, {"trust", trustOnce}};
    for (const Case& k : cases) {
        for (const Operation& op : operations) {
            SCOPED_TRACE(std::string(k.what) + ", " + op.name);
            writeCfg("");
            ASSERT_EQ(0, ::unlink(cfg().c_str()));
            ::unlink((cfg() + ".fifo").c_str());
            ASSERT_NO_FATAL_FAILURE(k.make(cfg()));
            struct stat before;
            ASSERT_EQ(0, ::lstat(cfg().c_str(), &before));
            const BoundedResult r = runBounded(op.run, cfg());
            EXPECT_TRUE(r.finished) << "still waiting after 10 s";
            if (!r.finished) {
                ::unlink(cfg().c_str());
                continue;
            }
            EXPECT_EQ(TINYDB_E_KNOWNHOSTS, r.rc);
            EXPECT_EQ("Cannot read the known-hosts file " + cfg() + ": " + k.reason, r.failure);
            struct stat after;
            ASSERT_EQ(0, ::lstat(cfg().c_str(), &after));
            EXPECT_EQ(before.st_mode, after.st_mode);
            EXPECT_EQ(before.st_size, after.st_size);
            ::unlink(cfg().c_str());
        }
    }
}

// A store the user may not read (the file or its folder at mode 000) is
// refused at once with the system's reason: only a lock held by another
// process is waited for. Root reads any file, so the operations run as an
// unprivileged user.
TEST_F(KnownHosts, StoreTheUserMayNotReadIsRefusedAtOnce)
{
    RunAs user;
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody)
            GTEST_SKIP() << "root without a user nobody: no unprivileged user to run the store operations as";
        user = {true, nobody->pw_uid, nobody->pw_gid};
    }
    struct Case {
        const char* what;
        bool folder;  // the folder at mode 000, else the file
    } cases[] = {{"the file at mode 000", false}, {"its folder at mode 000", true}};
    struct Operation {
        const char* name;
        int (*run)(const std::string& path);
        const char* action;
    } operations[] = {{"read", readOnce, "read"}, {"write", writeOnce, "write"}};
    for (const Case& k : cases) {
        for (const Operation& op : operations) {
            SCOPED_TRACE(std::string(k.what) + ", " + op.name);
            writeCfg("zev.example:44337: " + fpB + "\n");
            if (user.change) {
                ASSERT_EQ(0, ::chmod(home.path().c_str(), 0711));
                for (const std::string& p : {home.path() + "/.zelvo", adminDir(), cfg()})
                    ASSERT_EQ(0, ::chown(p.c_str(), user.uid, user.gid));
            }
            const std::string locked = k.folder ? adminDir() : cfg();
            ASSERT_EQ(0, ::chmod(locked.c_str(), 0));
            const BoundedResult r = runBounded(op.run, cfg(), user);
            ::chmod(locked.c_str(), k.folder ? 0700 : 0600);
            EXPECT_TRUE(r.finished) << "still waiting after 10 s";
            EXPECT_EQ(TINYDB_E_KNOWNHOSTS, r.rc);
            EXPECT_EQ(std::string("Cannot ") + op.action + " the known-hosts file " + cfg() + ": " +
                          std::strerror(EACCES) + ".",
                      r.failure);
            EXPECT_EQ("zev.example:44337: " + fpB + "\n", readFile(cfg()));
        }
    }
}

// The limit is the size: a store of exactly 1 MiB is read.
TEST_F(KnownHosts, StoreOfOneMebibyteIsRead)
{
    const std::string line = "zev.example:44337: " + fpA + "\n";
    writeCfg(std::string(KnownHostsFile::maxBytes - line.size(), '\n') + line);
    ASSERT_EQ(KnownHostsFile::maxBytes, static_cast<long long>(readFile(cfg()).size()));
    std::string fingerprint;
    EXPECT_EQ(0, KnownHostsFile::readFingerprint(cfg(), "zev.example:44337", fingerprint));
    EXPECT_EQ(fpA, fingerprint);
    EXPECT_EQ(0, KnownHostsFile::writeFingerprint(cfg(), "zev.example:44337", fpB));
    EXPECT_EQ(0, KnownHostsFile::readFingerprint(cfg(), "zev.example:44337", fingerprint));
    EXPECT_EQ(fpB, fingerprint);
}

// A store that cannot take the accepted fingerprint fails the trust instead
// of letting the connection go on with nothing recorded, where a changed
// certificate would never be noticed. The failure names the file and the
// system's reason.
TEST_F(KnownHosts, StoreThatCannotRecordTrustsNothing)
{
    struct Case {
        const char* what;
        bool withFile;         // the file is there, empty
        const char* immutable; // below HOME: what cannot be changed
        const char* action;
        int error;
    } cases[] = {
        {"a file that cannot be written", true, "/.zelvo/admin/known_hosts.cfg", "write", EPERM},
        {"a directory that cannot be made", false, "/.zelvo", "create", EPERM},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        if (k.withFile)
            writeCfg("");
        else
            ASSERT_EQ(0, ::mkdir((home.path() + "/.zelvo").c_str(), 0700));
        for (const char* address : {"10.1.2.3", "127.0.0.1"}) {
            SCOPED_TRACE(address);
            testsupport::Immutable fixed(home.path() + k.immutable);
            if (!fixed.ok())
                GTEST_SKIP() << "no immutable attribute on this file system";
            question = Question();
            answer = true;
            KnownHostsFile::clearLastFailure();
            EXPECT_EQ(TINYDB_E_KNOWNHOSTS,
                      zelvo::tinydb::verifyPresentedFingerprint(fpA, "zev.example", "44337", ask, nullptr, address));
            EXPECT_EQ("Cannot " + std::string(k.action) + " the known-hosts file " + cfg() + ": " +
                          std::strerror(k.error) + ".",
                      KnownHostsFile::lastFailure());
        }
        testsupport::runShell("rm -rf " + testsupport::shellQuote(home.path() + "/.zelvo"));
    }
}

TEST_F(KnownHosts, ChangedCertificateIsPutToTheQuestion)
{
    writeCfg("zev.example:44337: " + fpA + "\n10.1.2.3:44337: " + fpA + "\n");
    question = Question();
    answer = false;
    std::string fp = "untouched";
    EXPECT_EQ(TINYDB_E_KNOWNHOSTS,
              zelvo::tinydb::verifyPresentedFingerprint(fpB, "zev.example", "44337", ask, &fp, "10.1.2.3"));
    EXPECT_EQ(1, question.calls);
    EXPECT_EQ(fpA, question.known);
    EXPECT_EQ(fpB, question.presented);
    EXPECT_EQ("untouched", fp);
    EXPECT_EQ("zev.example:44337: " + fpA + "\n10.1.2.3:44337: " + fpA + "\n", readFile(cfg()));

    EXPECT_EQ(TINYDB_E_KNOWNHOSTS,
              zelvo::tinydb::verifyPresentedFingerprint(fpB, "zev.example", "44337", nullptr, &fp, "10.1.2.3"));

    answer = true;
    EXPECT_EQ(0, zelvo::tinydb::verifyPresentedFingerprint(fpB, "zev.example", "44337", ask, &fp, "10.1.2.3"));
    EXPECT_EQ(fpB, fp);
    EXPECT_EQ("zev.example:44337: " + fpB + "\n10.1.2.3:44337: " + fpB + "\n", readFile(cfg()));
}

TEST_F(KnownHosts, QuestionDetailsByHostAndPort)
{
    struct Case {
        const char* host;
        const char* port;
        const char* address;
        int calls;
        const char* description;
        const char* product;
        unsigned short portValue;
        const char* file;
    } cases[] = {
        {"10.0.0.9", "44337", "10.0.0.9", 1, "10.0.0.9", "Zelvo MailServer", 0, "10.0.0.9:44337: F\n"},
        {"gw", "44333", "10.0.0.8", 1, "gw (10.0.0.8)", "Zelvo Gatrin Firewall", 0,
         "gw:44333: F\n10.0.0.8:44333: F\n"},
        {"gw", "70001", "10.0.0.8", 1, "gw (10.0.0.8)", "", 4465, "gw:70001: F\n10.0.0.8:70001: F\n"},
        {"LocalHost", "44337", "127.0.0.1", 0, "", "", 0, "LocalHost:44337: F\n127.0.0.1:44337: F\n"},
        {"box", "44337", "127.0.0.1", 0, "", "", 0, "box:44337: F\n127.0.0.1:44337: F\n"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        ::unlink(cfg().c_str());
        question = Question();
        answer = true;
        EXPECT_EQ(0, zelvo::tinydb::verifyPresentedFingerprint("F", cases[i].host, cases[i].port, ask, nullptr,
                                                               cases[i].address));
        EXPECT_EQ(cases[i].calls, question.calls);
        EXPECT_EQ(cases[i].description, question.description);
        EXPECT_EQ(cases[i].product, question.product);
        EXPECT_EQ(cases[i].portValue, question.port);
        EXPECT_EQ(cases[i].file, readFile(cfg()));
    }
}

TEST_F(KnownHosts, LocalServerWithChangedCertificateIsAcceptedUnasked)
{
    writeCfg("LOCALHOST:44337: " + fpA + "\n");
    question = Question();
    answer = false;
    std::string fp;
    EXPECT_EQ(0, zelvo::tinydb::verifyPresentedFingerprint(fpB, "LOCALHOST", "44337", ask, &fp, "127.0.0.1"));
    EXPECT_EQ(0, question.calls);
    EXPECT_EQ("LOCALHOST:44337: " + fpB + "\n127.0.0.1:44337: " + fpB + "\n", readFile(cfg()));
    // Without a question callback only a recorded fingerprint passes, local or not.
    EXPECT_EQ(TINYDB_E_KNOWNHOSTS,
              zelvo::tinydb::verifyPresentedFingerprint(fpA, "localhost", "44337", nullptr, &fp, "127.0.0.1"));
}

TEST_F(KnownHosts, LinkAdminToadminTable)
{
    enum Kind { None, EmptyDir, DirWithFile, DirWithFileAndMore, Link, RegularFile };
    struct Case {
        Kind oldAdmin;  // ".zelvo/Admin"
        Kind newAdmin;  // ".zelvo/admin"
        int rc;
        bool oldIsLinkAfter;
        const char* newContentAfter;  // nullptr: no file
        bool oldFileStays;
    } cases[] = {
        {None, None, 0, false, nullptr, false},
        {None, EmptyDir, 0, true, nullptr, false},
        {None, DirWithFile, 0, true, "new\n", false},
        {DirWithFile, None, 0, true, "old\n", false},
        {DirWithFile, EmptyDir, 0, true, "old\n", false},
        // A newer file in "admin" is never replaced; "Admin" then stays.
        {DirWithFile, DirWithFile, 0, false, "new\n", true},
        {EmptyDir, None, 0, true, nullptr, false},
        {EmptyDir, DirWithFile, 0, true, "new\n", false},
        // Files of the user's own in "Admin" keep it a directory.
        {DirWithFileAndMore, None, 0, false, "old\n", false},
        {Link, DirWithFile, 0, true, "new\n", false},
        {RegularFile, EmptyDir, TINYDB_E_KNOWNHOSTS, false, nullptr, false},
        {None, RegularFile, TINYDB_E_KNOWNHOSTS, false, nullptr, false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        testsupport::runShell("rm -rf " + testsupport::shellQuote(home.path() + "/.zelvo"));
        ::mkdir((home.path() + "/.zelvo").c_str(), 0700);
        auto make = [](Kind kind, const std::string& dir, const char* content) {
            switch (kind) {
            case None:
                break;
            case EmptyDir:
                ::mkdir(dir.c_str(), 0700);
                break;
            case DirWithFile:
            case DirWithFileAndMore:
                ::mkdir(dir.c_str(), 0700);
                writeFile(dir + "/known_hosts.cfg", content);
                if (kind == DirWithFileAndMore)
                    writeFile(dir + "/notes.txt", "mine");
                break;
            case Link:
                (void)!::symlink("admin", dir.c_str());
                break;
            case RegularFile:
                writeFile(dir, "not a directory");
                break;
            }
        };
        make(cases[i].newAdmin, adminDir(), "new\n");
        make(cases[i].oldAdmin, oldDir(), "old\n");

        EXPECT_EQ(cases[i].rc, KnownHostsFile::linkAdminToadmin());
        struct stat st;
        const bool oldIsLink = ::lstat(oldDir().c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        EXPECT_EQ(cases[i].oldIsLinkAfter, oldIsLink);
        if (oldIsLink) {
            char target[64] = {};
            (void)!::readlink(oldDir().c_str(), target, sizeof target - 1);
            EXPECT_STREQ("admin", target);
        }
        if (cases[i].newContentAfter) {
            EXPECT_EQ(cases[i].newContentAfter, readFile(cfg()));
        } else if (cases[i].rc == 0) {
            EXPECT_NE(0, ::lstat(cfg().c_str(), &st));
        }
        if (cases[i].oldFileStays) {
            EXPECT_EQ("old\n", readFile(oldDir() + "/known_hosts.cfg"));
        }
    }
}
