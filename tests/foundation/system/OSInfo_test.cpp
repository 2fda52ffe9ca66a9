#include "foundation/system/OSInfo.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using zelvo::utils::OSInfo;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::string plist(const std::string& productName, const std::string& version, bool withVersion = true)
{
    std::string s =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<plist version=\"1.0\">\n<dict>\n"
        "\t<key>ProductBuildVersion</key>\n\t<string>8S2167</string>\n"
        "\t<key>ProductName</key>\n\t<string>" + productName + "</string>\n";
    if (withVersion)
        s += "\t<key>ProductVersion</key>\n\t<string>" + version + "</string>\n";
    return s + "</dict>\n</plist>\n";
}

// Sets an environment variable for the scope of the object.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name(name)
    {
        const char* old = std::getenv(name);
        hadOld = old != nullptr;
        if (hadOld)
            oldValue = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar()
    {
        if (hadOld)
            setenv(name, oldValue.c_str(), 1);
        else
            unsetenv(name);
    }

private:
    const char* name;
    bool hadOld;
    std::string oldValue;
};

} // namespace

TEST(OSInfoTest, ReadsTheSystemVersionList)
{
    struct Case {
        std::string file;
        std::string name;
        int major, minor, build;
    } cases[] = {
        {plist("Mac OS X", "10.4.11"), "Mac OS X (10.4.11)", 10, 4, 11},
        {plist("Mac OS X Server", "10.4"), "Mac OS X Server (10.4)", 10, 4, 0},
        {plist("", "10.5.8"), "MacOS X (10.5.8)", 10, 5, 8},
        {plist("Mac OS X", ""), "Mac OS X", 0, 0, 0},
        {plist("Mac OS X", "10.4.11", false), "MacOS X", 0, 0, 0},
        {"<plist>\n<key>ProductName</key>\n", "MacOS X", 0, 0, 0},
        {"", "MacOS X", 0, 0, 0},
        {"<key>ProductName</key><string>Same line</string>\n<string>Mac</string>\n"
         "<key>ProductVersion</key>\nno string here\n",
         "Mac", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir.file("SystemVersion.plist"), c.file);
        OSInfo info(dir.file("ServerVersion.plist"), dir.file("SystemVersion.plist"),
                    dir.file("os-release"));
        EXPECT_EQ(c.name, info.getName());
        EXPECT_EQ(c.major, info.getVersionMajor());
        EXPECT_EQ(c.minor, info.getVersionMinor());
        EXPECT_EQ(c.build, info.getVersionBuild());
        EXPECT_EQ("MACOSX", info.getProduct());
        EXPECT_TRUE(info.getPlatform() == "MACOS.X86" || info.getPlatform() == "MACOS.X64");
        EXPECT_EQ(info.getPlatform() == "MACOS.X64" ? 0x8000000u : 0x20000u, info.getCode());
        EXPECT_EQ(0xc070000u, info.getCodeGroup());
        EXPECT_EQ(0xc070000u, info.getCodeGroup() | info.getCode());
        EXPECT_EQ("PACKAGE_BIN", info.getPackage());
        EXPECT_EQ("", info.getState());
        EXPECT_EQ("", info.getSuite());
    }
}

TEST(OSInfoTest, PrefersTheServerVersionList)
{
    TempDir dir;
    writeFile(dir.file("SystemVersion.plist"), plist("Mac OS X", "10.4.11"));
    writeFile(dir.file("ServerVersion.plist"), plist("Mac OS X Server", "10.4.10"));
    OSInfo info(dir.file("ServerVersion.plist"), dir.file("SystemVersion.plist"), "");
    EXPECT_EQ("Mac OS X Server (10.4.10)", info.getName());
    EXPECT_EQ(10, info.getVersionBuild());
}

TEST(OSInfoTest, WithoutAVersionListDescribesThisMachine)
{
    TempDir dir;
    writeFile(dir.file("os-release"),
              "# comment\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n"
              "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n");
    OSInfo info(dir.file("none1"), dir.file("none2"), dir.file("os-release"));
    EXPECT_EQ("Debian GNU/Linux 12 (bookworm)", info.getName());
    EXPECT_EQ(12, info.getVersionMajor());
    EXPECT_EQ(0, info.getVersionMinor());
    EXPECT_EQ("LINUX", info.getProduct());
    EXPECT_TRUE(info.getPlatform() == "LINUX.X64" || info.getPlatform() == "LINUX.X86");
    EXPECT_FALSE(info.getKernelVersion().empty());
    EXPECT_GT(info.cpuCount, 0);

    writeFile(dir.file("os-release2"), "NAME='Other OS'\nVERSION=\"3.1\"\nVERSION_ID=3.1.4\n");
    OSInfo other(dir.file("none1"), dir.file("none2"), dir.file("os-release2"));
    EXPECT_EQ("Other OS 3.1", other.getName());
    EXPECT_EQ(3, other.getVersionMajor());
    EXPECT_EQ(1, other.getVersionMinor());
    EXPECT_EQ(4, other.getVersionBuild());

    OSInfo bare(dir.file("none1"), dir.file("none2"), dir.file("none3"));
    EXPECT_EQ("Linux", bare.getName());
}

TEST(OSInfoTest, LocaleNames)
{
    struct Case {
        const char* locale;
        const char* language;
        const char* country;
    } cases[] = {
        {"en_US.UTF-8", "en", "US"},
        {"fr_CA.ISO8859-1@euro", "fr", "CA"},
        {"ja", "ja", ""},
        {"de@euro", "de", ""},
        {"C", "", ""},
        {"POSIX", "", ""},
        {"C.UTF-8", "", ""},
        {"", "", ""},
        {"verylonglanguage_COUNTRYNAME", "verylong", "COUNTRYN"},
        {"LC_CTYPE=pt_BR.UTF-8;LC_NUMERIC=C;LC_TIME=C", "pt", "BR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        OSInfo::LocaleInfo l;
        std::memset(&l, 'X', sizeof l);
        OSInfo::splitLocaleName(c.locale, l);
        EXPECT_STREQ(c.language, l.language);
        EXPECT_STREQ(c.country, l.country);
    }
}

TEST(OSInfoTest, ProbeLeavesTheProcessLocaleAlone)
{
    EnvVar all("LC_ALL", "C.UTF-8");
    ASSERT_NE(nullptr, std::setlocale(LC_ALL, "C"));
    ASSERT_NE(nullptr, std::setlocale(LC_NUMERIC, "C.UTF-8"));
    const std::string before = std::setlocale(LC_ALL, nullptr);
    OSInfo info;
    EXPECT_EQ(before, std::setlocale(LC_ALL, nullptr));
    EXPECT_STREQ("", info.getSystemLocaleInfo().language); // C.UTF-8 names no language
    EXPECT_STREQ("", info.getUserLocaleInfo().country);
    std::setlocale(LC_ALL, "C");
}

TEST(OSInfoTest, DistributionTest)
{
    TempDir dir;
    writeFile(dir.file("release"), "Example Release 5.2 (Final)\nKernel \\r on an \\m\n");
    std::string p1 = "x", p2 = "x", p3 = "x", first = "unchanged";

    EXPECT_FALSE(OSInfo::distributionTest(dir.file("missing"), "release", p1, p2, p3, first));
    EXPECT_EQ("", p1);
    EXPECT_EQ("", p2);
    EXPECT_EQ("", p3);
    EXPECT_EQ("unchanged", first);

    EXPECT_TRUE(OSInfo::distributionTest(dir.file("release"), "release (\\d+)\\.(\\d+)", p1, p2,
                                         p3, first));
    EXPECT_EQ("5", p1);
    EXPECT_EQ("2", p2);
    EXPECT_EQ("", p3);
    EXPECT_EQ("Example Release 5.2 (Final)", first);

    EXPECT_FALSE(OSInfo::distributionTest(dir.file("release"), "nothing like (\\d+)", p1, p2, p3,
                                          first));

    unsigned n1 = 7, n2 = 7, n3 = 7;
    EXPECT_TRUE(OSInfo::distributionTest(dir.file("release"), "release (\\d+)\\.(\\d+) \\((\\w+)\\)",
                                         n1, n2, n3, first));
    EXPECT_EQ(5u, n1);
    EXPECT_EQ(2u, n2);
    EXPECT_EQ(7u, n3); // "Final" is not a number
    n1 = n2 = n3 = 7;
    EXPECT_TRUE(OSInfo::distributionTest(dir.file("release"), "release (\\d+)\\.(\\d+)( )?x?", n1,
                                         n2, n3, first));
    EXPECT_EQ(7u, n3); // empty sub-expression

    EXPECT_ANY_THROW(OSInfo::distributionTest(dir.file("release"), "(unclosed", p1, p2, p3, first));
}

TEST(OSInfoTest, SystemErrors)
{
    char c;
    EXPECT_EQ(-1, recv(-1, &c, 1, 0));
    EXPECT_EQ(EBADF, OSInfo::sysError(OSInfo::Socket));
    OSInfo::setSysError(0, OSInfo::Generic);
    EXPECT_EQ(0, OSInfo::sysError(OSInfo::Socket));
    OSInfo::setSysError(EINTR, OSInfo::Socket);
    EXPECT_EQ(EINTR, OSInfo::sysError(OSInfo::Generic));
    EXPECT_EQ(static_cast<int>(getpid()), OSInfo::getProcessID());
}

TEST(OSInfoTest, HostNames)
{
    char full[256];
    OSInfo::getHostname(full, sizeof full);
    ASSERT_GT(std::strlen(full), 0u);

    char small[8];
    std::memset(small, 'X', sizeof small);
    OSInfo::getHostname(small, sizeof small);
    EXPECT_EQ(std::string(full).substr(0, 7), small);

    char canonical[256];
    OSInfo::getHostbyname(canonical, sizeof canonical);
    EXPECT_GT(std::strlen(canonical), 0u);

    std::string s = "x";
    EXPECT_FALSE(OSInfo::getNetbiosHostname(s));
    EXPECT_EQ("", s);
    s = "x";
    EXPECT_FALSE(OSInfo::getHostFqDistinguishedName(s));
    EXPECT_EQ("", s);
}

TEST(OSInfoTest, UserName)
{
    std::string expected;
    testsupport::runShell("id -un", &expected);
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r'))
        expected.pop_back();
    EXPECT_EQ(expected, OSInfo::getUserName());
}

TEST(OSInfoTest, DiskQueries)
{
    unsigned long long avail = 1, total = 2, freeBytes = 3;
    EXPECT_FALSE(OSInfo::getDiskFree("/no/such/path/at/all", &avail, &total, &freeBytes));
    EXPECT_EQ(1u, avail);
    EXPECT_EQ(2u, total);
    EXPECT_EQ(3u, freeBytes);

    TempDir dir;
    ASSERT_TRUE(OSInfo::getDiskFree(dir.path().c_str(), &avail, &total, &freeBytes));
    EXPECT_GT(total, 0u);
    EXPECT_LE(freeBytes, total);
    EXPECT_LE(avail, freeBytes);

    std::string type = "untouched";
    EXPECT_FALSE(OSInfo::getDiskType(nullptr, type));
    EXPECT_FALSE(OSInfo::getDiskType("/no/such/path/at/all", type));
    EXPECT_EQ("untouched", type);
    ASSERT_TRUE(OSInfo::getDiskType("/proc/self", type));
    EXPECT_EQ("proc", type);
    ASSERT_TRUE(OSInfo::getDiskType(dir.path().c_str(), type));
    EXPECT_FALSE(type.empty());
    EXPECT_NE("untouched", type);
}

TEST(OSInfoTest, MemoryInfoPrintsItsLine)
{
    testing::internal::CaptureStdout();
    EXPECT_FALSE(OSInfo::getMemInfo(nullptr));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    OSInfo::MemInfo info;
    info.totalMemory = 0;
    testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_TRUE(OSInfo::getMemInfo(&info));
    EXPECT_EQ("errno = 0; NAME_SIZE = 2\n", testing::internal::GetCapturedStdout());
    EXPECT_GT(info.totalMemory, 0u); // saturates, never wraps to 0
}

TEST(OSInfoTest, NetworkAddresses)
{
    struct HostOrder {
        explicit HostOrder(unsigned a) : address(a) {}
        unsigned address;
    };
    std::vector<HostOrder> list{HostOrder(42)};
    ASSERT_TRUE(OSInfo::getIPAddresses(list, nullptr));
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(42u, list[0].address);
    bool loopback = false;
    for (const HostOrder& a : list)
        loopback = loopback || a.address == 0x7f000001u;
    EXPECT_TRUE(loopback);

    std::map<std::string, std::string> macs{{"stale", "x"}};
    OSInfo::getMACAddresses(macs);
    EXPECT_EQ(0u, macs.count("stale"));
    EXPECT_EQ(0u, macs.count("lo"));
    for (const auto& m : macs) {
        SCOPED_TRACE(m.first);
        EXPECT_EQ(std::string::npos, m.first.find('\0'));
        ASSERT_EQ(17u, m.second.size());
        for (size_t i = 0; i < 17; ++i) {
            if (i % 3 == 2)
                EXPECT_EQ(':', m.second[i]);
            else
                EXPECT_TRUE(std::strchr("0123456789ABCDEF", m.second[i]) != nullptr);
        }
    }
}

TEST(OSInfoTest, Win32RecordIsEmptied)
{
    OSInfo::_Win32Info w{"a", "b", "c", "d", "e", 5, 6};
    OSInfo::getWin32OSInfo(&w);
    EXPECT_EQ("", w.productName);
    EXPECT_EQ("", w.build);
    EXPECT_EQ(0u, w.major);
    EXPECT_EQ(0u, w.minor);
    EXPECT_FALSE(OSInfo::isWow64());
}

TEST(OSInfoTest, ThreadIdentityIsTheLibrarys)
{
    const unsigned mine = OSInfo::getThreadID();
    EXPECT_EQ(mine, OSInfo::getThreadID());
    unsigned other = mine;
    std::thread t([&] { other = OSInfo::getThreadID(); });
    t.join();
    EXPECT_NE(mine, other);
}
