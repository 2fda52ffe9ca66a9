#include "foundation/system/OSInfo.h"

#include "foundation/system/Thread.h"

#include "foundation/text/CStringEdit.h"
#include "foundation/text/Format.h"

#include <boost/regex.hpp>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace zelvo {
namespace utils {

const char* const OSInfo::kServerVersionPlist = "/System/Library/CoreServices/ServerVersion.plist";
const char* const OSInfo::kSystemVersionPlist = "/System/Library/CoreServices/SystemVersion.plist";
const char* const OSInfo::kOsRelease = "/etc/os-release";

namespace {

constexpr unsigned kCode32 = 0x20000;
constexpr unsigned kCode64 = 0x8000000;
constexpr unsigned kCodeGroup = 0xc070000;
// Longest line piece read from a property list; longer lines come in pieces.
constexpr int kPlistLine = 512;
const char kUnknownHost[] = "unspecified.host";

void clearLocale(OSInfo::LocaleInfo& l)
{
    l.language[0] = '\0';
    l.country[0] = '\0';
}

// Whether the processor named by uname runs 64-bit code.
bool is64BitMachine(const char* machine)
{
    return std::strstr(machine, "64") != nullptr || std::strcmp(machine, "s390x") == 0;
}

// The text between "<string>" and a following "</string>", if any.
bool plistString(const char* line, std::string& value)
{
    const char* open = std::strstr(line, "<string>");
    if (open == nullptr)
        return false;
    open += std::strlen("<string>");
    const char* close = std::strstr(open, "</string>");
    if (close == nullptr)
        return false;
    value.assign(open, close);
    return true;
}

std::string unquote(const std::string& v)
{
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
        std::string out;
        for (std::size_t i = 1; i + 1 < v.size(); ++i) {
            if (v[0] == '"' && v[i] == '\\' && i + 2 < v.size())
                ++i;
            out += v[i];
        }
        return out;
    }
    return v;
}

unsigned long long saturatedProduct(unsigned long long a, unsigned long long b)
{
    if (a != 0 && b > ULLONG_MAX / a)
        return ULLONG_MAX;
    return a * b;
}

// Type names of the file systems statfs reports by number.
const char* fsTypeName(unsigned long type)
{
    static const struct {
        unsigned long magic;
        const char* name;
    } names[] = {
        {0xEF53, "ext4"},       {0x58465342, "xfs"},    {0x9123683E, "btrfs"},
        {0x01021994, "tmpfs"},  {0x794C7630, "overlay"}, {0x6969, "nfs"},
        {0xFF534D42, "cifs"},   {0x4d44, "vfat"},       {0x2011BAB0, "exfat"},
        {0x5346544e, "ntfs"},   {0x9fa0, "proc"},       {0x62656572, "sysfs"},
        {0x482b, "hfsplus"},    {0x4244, "hfs"},        {0x2fc12fc1, "zfs"},
        {0xF2F52010, "f2fs"},   {0x9660, "iso9660"},    {0x65735546, "fuse"},
    };
    for (const auto& n : names)
        if (n.magic == type)
            return n.name;
    return nullptr;
}

// The file-system type of the mount that holds path, from the mount table:
// of the mounts on the path's device, the one with the longest mount point
// that is a prefix of the path.
bool mountTableType(const char* path, std::string& type)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return false;
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr)
        return false;
    std::ifstream in("/proc/self/mountinfo");
    if (!in)
        return false;
    const std::string device =
        std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    const std::string target = resolved;
    std::size_t bestLength = 0;
    bool found = false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, mountPoint;
        if (!(fields >> id >> parent >> dev >> root >> mountPoint) || dev != device)
            continue;
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos)
            continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string fsType;
        if (!(tail >> fsType))
            continue;
        const bool prefix = mountPoint == "/" || target == mountPoint ||
                            target.compare(0, mountPoint.size() + 1, mountPoint + "/") == 0;
        if (prefix && (!found || mountPoint.size() >= bestLength)) {
            bestLength = mountPoint.size();
            type = fsType;
            found = true;
        }
    }
    return found;
}

} // namespace

OSInfo::OSInfo()
{
    probe(kServerVersionPlist, kSystemVersionPlist, kOsRelease);
}

OSInfo::OSInfo(const std::string& serverPlist, const std::string& systemPlist,
               const std::string& osRelease)
{
    probe(serverPlist, systemPlist, osRelease);
}

void OSInfo::probe(const std::string& serverPlist, const std::string& systemPlist,
                   const std::string& osRelease)
{
    code = codeGroup = 0;
    versionMajor = versionMinor = versionBuild = 0;
    cpuCount = 0;
    updateLocaleInfo();

    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus > 0)
        cpuCount = cpus > INT_MAX ? INT_MAX : static_cast<int>(cpus);

    name = "MacOS X";
    platform = "MACOS.X86";
    product = "MACOSX";
    code = kCode32;
    codeGroup = kCodeGroup;
    package = "PACKAGE_BIN";

    struct utsname u;
    const bool haveUname = ::uname(&u) == 0;
    if (haveUname)
        kernelVersion = u.release;
    const bool is64 = haveUname && is64BitMachine(u.machine);
    if (is64) {
        code = kCode64;
        platform = "MACOS.X64";
    }

    struct stat st;
    const std::string& plist = ::stat(serverPlist.c_str(), &st) == 0 ? serverPlist : systemPlist;
    std::FILE* f = std::fopen(plist.c_str(), "r");
    if (f == nullptr) {
        // Not a Mac: describe this machine instead.
        platform = is64 ? "LINUX.X64" : "LINUX.X86";
        product = "LINUX";
        name = haveUname ? u.sysname : "Linux";
        if (haveUname)
            std::sscanf(u.release, "%d.%d.%d", &versionMajor, &versionMinor, &versionBuild);
        readOsRelease(osRelease);
        return;
    }
    std::fclose(f);

    std::string productName, version;
    if (!readPlist(plist, productName, version))
        return;
    name = productName.empty() ? "MacOS X" : productName;
    if (!version.empty())
        name += " (" + version + ")";
    std::sscanf(version.c_str(), "%d.%d.%d", &versionMajor, &versionMinor, &versionBuild);
}

bool OSInfo::readPlist(const std::string& path, std::string& productName,
                       std::string& version) const
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "r"), std::fclose);
    if (!f)
        return false;
    char line[kPlistLine];
    auto next = [&]() { return std::fgets(line, sizeof line, f.get()) != nullptr; };

    bool found = false;
    while (next())
        if (std::strstr(line, "ProductName")) {
            found = true;
            break;
        }
    if (!found || !next())
        return false;
    if (!plistString(line, productName))
        productName.clear();

    found = std::strstr(line, "ProductVersion") != nullptr;
    while (!found && next())
        found = std::strstr(line, "ProductVersion") != nullptr;
    if (!found || !next())
        return false;
    if (!plistString(line, version))
        version.clear();
    return true;
}

void OSInfo::readOsRelease(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return;
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(in, line);) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || line[0] == '#')
            continue;
        values[line.substr(0, eq)] = unquote(line.substr(eq + 1));
    }
    if (!values["PRETTY_NAME"].empty())
        name = values["PRETTY_NAME"];
    else if (!values["NAME"].empty())
        name = values["NAME"] + (values["VERSION"].empty() ? "" : " " + values["VERSION"]);
    else
        return;
    versionMajor = versionMinor = versionBuild = 0;
    std::sscanf(values["VERSION_ID"].c_str(), "%d.%d.%d", &versionMajor, &versionMinor,
                &versionBuild);
}

void OSInfo::updateLocaleInfo()
{
    clearLocale(systemLocale);
    clearLocale(userLocale);
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string saved = current ? current : "C";
    const char* environment = std::setlocale(LC_ALL, "");
    if (environment) {
        splitLocaleName(environment, systemLocale);
        userLocale = systemLocale;
    }
    std::setlocale(LC_ALL, saved.c_str());
}

void OSInfo::splitLocaleName(const std::string& localeName, LocaleInfo& out)
{
    clearLocale(out);
    std::string localeText = localeName;
    // Categories set apart read "LC_CTYPE=en_US.UTF-8;LC_NUMERIC=...": the
    // character type names the language.
    if (localeText.find('=') != std::string::npos) {
        const std::size_t at = localeText.find("LC_CTYPE=");
        if (at == std::string::npos)
            return;
        localeText = localeText.substr(at + 9, localeText.find(';', at) - (at + 9));
    }
    if (localeText.empty() || localeText == "C" || localeText == "POSIX" ||
        localeText.compare(0, 2, "C.") == 0)
        return;
    std::vector<char> copy(localeText.begin(), localeText.end());
    copy.push_back('\0');
    char* save = nullptr;
    const char* language = z_strtok_r(copy.data(), "_.@", &save);
    if (language == nullptr)
        return;
    strncpys(out.language, language, sizeof out.language);
    if (localeText.find('_') != std::string::npos) {
        const char* country = z_strtok_r(nullptr, ".@", &save);
        if (country)
            strncpys(out.country, country, sizeof out.country);
    }
}

void OSInfo::getWin32OSInfo(_Win32Info* info)
{
    if (info == nullptr)
        return;
    info->productName.clear();
    info->version.clear();
    info->servicePack.clear();
    info->edition.clear();
    info->build.clear();
    info->major = 0;
    info->minor = 0;
}

bool OSInfo::distributionTest(const std::string& file, const std::string& pattern,
                              std::string& part1, std::string& part2, std::string& part3,
                              std::string& firstLine)
{
    part1.clear();
    part2.clear();
    part3.clear();
    std::ifstream in(file);
    if (!in)
        return false;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    const boost::regex re(pattern, boost::regex::perl | boost::regex::icase);
    boost::smatch m;
    if (!boost::regex_search(text, m, re))
        return false;
    std::string* parts[] = {&part1, &part2, &part3};
    for (std::size_t i = 0; i < 3; ++i)
        if (i + 1 < m.size() && m[i + 1].matched)
            *parts[i] = m[i + 1].str();
    firstLine = text.substr(0, text.find_first_of("\r\n"));
    return true;
}

bool OSInfo::distributionTest(const std::string& file, const std::string& pattern,
                              unsigned& part1, unsigned& part2, unsigned& part3,
                              std::string& firstLine)
{
    std::string t1, t2, t3;
    if (!distributionTest(file, pattern, t1, t2, t3, firstLine))
        return false;
    const std::string* texts[] = {&t1, &t2, &t3};
    unsigned* outs[] = {&part1, &part2, &part3};
    for (int i = 0; i < 3; ++i) {
        std::istringstream in(*texts[i]);
        unsigned v;
        if (in >> v)
            *outs[i] = v;
    }
    return true;
}

int OSInfo::sysError(SysErrorType)
{
    return errno;
}

void OSInfo::setSysError(int error, SysErrorType)
{
    errno = error;
}

int OSInfo::getProcessID()
{
    return zelvo::tiny::processID();
}

unsigned OSInfo::getThreadID()
{
    return zelvo::tiny::threadID();
}

void OSInfo::getHostname(char* buf, int size)
{
    if (buf == nullptr || size <= 0)
        return;
    struct utsname u;
    strncpys(buf, ::uname(&u) == 0 ? u.nodename : kUnknownHost, static_cast<unsigned long>(size));
}

void OSInfo::getHostbyname(char* buf, int size)
{
    if (buf == nullptr || size <= 0)
        return;
    struct utsname u;
    const char* canonical = kUnknownHost;
    std::vector<char> work(8192);
    struct hostent entry, *result = nullptr;
    int herr = 0;
    if (::uname(&u) == 0 &&
        ::gethostbyname_r(u.nodename, &entry, work.data(), work.size(), &result, &herr) == 0 &&
        result != nullptr && result->h_name != nullptr)
        canonical = result->h_name;
    strncpys(buf, canonical, static_cast<unsigned long>(size));
}

bool OSInfo::getNetbiosHostname(std::string& out)
{
    out.clear();
    return false;
}

bool OSInfo::getHostFqDistinguishedName(std::string& out)
{
    out.clear();
    return false;
}

std::string OSInfo::getUserName()
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 16384;
    std::vector<char> work(static_cast<std::size_t>(size));
    struct passwd entry, *result = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::getuid(), &entry, work.data(), work.size(), &result)) == ERANGE &&
           work.size() < (1u << 20))
        work.resize(work.size() * 2);
    if (rc != 0 || result == nullptr || result->pw_name == nullptr)
        return std::string();
    return result->pw_name;
}

bool OSInfo::getDiskFree(const char* path, unsigned long long* availableToCaller,
                         unsigned long long* totalBytes, unsigned long long* freeBytes)
{
    if (path == nullptr)
        return false;
    struct statvfs s;
    if (::statvfs(path, &s) != 0)
        return false;
    const unsigned long long unit = s.f_frsize ? s.f_frsize : s.f_bsize;
    if (availableToCaller)
        *availableToCaller = saturatedProduct(unit, s.f_bavail);
    if (totalBytes)
        *totalBytes = saturatedProduct(unit, s.f_blocks);
    if (freeBytes)
        *freeBytes = saturatedProduct(unit, s.f_bfree);
    return true;
}

bool OSInfo::getDiskType(const char* path, std::string& type)
{
    if (path == nullptr)
        return false;
    struct statfs s;
    if (::statfs(path, &s) != 0)
        return false;
    if (mountTableType(path, type))
        return true;
    const char* known = fsTypeName(static_cast<unsigned long>(s.f_type));
    if (known) {
        type = known;
    } else {
        char hex[24];
        std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(s.f_type));
        type = hex;
    }
    return true;
}

bool OSInfo::getMemInfo(MemInfo* info)
{
    if (info == nullptr)
        return false;
    info->totalMemory = 0;
    struct sysinfo si;
    const bool ok = ::sysinfo(&si) == 0;
    if (ok) {
        const unsigned long long total = saturatedProduct(si.totalram, si.mem_unit ? si.mem_unit : 1);
        info->totalMemory = total > 0xffffffffULL ? 0xffffffffu : static_cast<unsigned>(total);
    }
    std::cout << "errno = " << errno << "; NAME_SIZE = " << 2 << std::endl;
    return ok;
}

bool OSInfo::getIPv4Addresses(std::vector<unsigned>& hostOrder)
{
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    for (struct ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* in = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr);
        hostOrder.push_back(ntohl(in->sin_addr.s_addr));
    }
    ::freeifaddrs(list);
    return true;
}

bool OSInfo::getMACAddresses(std::map<std::string, std::string>& macs)
{
    macs.clear();
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    for (struct ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET || i->ifa_name == nullptr)
            continue;
        const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(i->ifa_addr);
        if (ll->sll_halen != 6)
            continue;
        const unsigned char* a = ll->sll_addr;
        if ((a[0] | a[1] | a[2] | a[3] | a[4] | a[5]) == 0)
            continue;
        char text[18];
        std::snprintf(text, sizeof text, "%2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X", a[0], a[1], a[2],
                      a[3], a[4], a[5]);
        macs.insert(std::make_pair(std::string(i->ifa_name), std::string(text)));
    }
    ::freeifaddrs(list);
    return !macs.empty();
}

} // namespace utils
} // namespace zelvo
