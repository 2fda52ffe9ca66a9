#ifndef ZELVO_FOUNDATION_SYSTEM_OSINFO_H
#define ZELVO_FOUNDATION_SYSTEM_OSINFO_H

#include <map>
#include <string>
#include <vector>

namespace zelvo {
namespace utils {

// Description of the operating system, gathered once by the constructor,
// and static queries about the host and the running process.
//
// A Mac OS X system is described from its version property list (the server
// list when present). Without either list the machine is described from
// /etc/os-release and uname.
class OSInfo {
public:
    struct LocaleInfo {
        char language[9]; // such as "en"; empty when the locale gives none
        char country[9];  // such as "US"
    };

    // Windows version data; this platform has none.
    struct _Win32Info {
        std::string productName;
        std::string version;
        std::string servicePack;
        std::string edition;
        std::string build;
        unsigned major;
        unsigned minor;
    };

    enum SysErrorType {
        Generic = 0, // error of a non-socket operation
        Socket = 1,  // error of a socket operation
    };

    struct MemInfo {
        unsigned totalMemory; // physical memory in bytes, saturated at 2^32 - 1
    };

    static const char* const kServerVersionPlist;
    static const char* const kSystemVersionPlist;
    static const char* const kOsRelease;

    OSInfo();
    // The same with the files it reads given explicitly.
    OSInfo(const std::string& serverPlist, const std::string& systemPlist,
           const std::string& osRelease);

    const std::string& getName() const { return name; }
    unsigned getCode() const { return code; }
    unsigned getCodeGroup() const { return codeGroup; }
    int getVersionMajor() const { return versionMajor; }
    int getVersionMinor() const { return versionMinor; }
    int getVersionBuild() const { return versionBuild; }
    const std::string& getPlatform() const { return platform; }
    const std::string& getState() const { return state; }
    const std::string& getProduct() const { return product; }
    const std::string& getSuite() const { return suite; }
    const LocaleInfo& getSystemLocaleInfo() const { return systemLocale; }
    const LocaleInfo& getUserLocaleInfo() const { return userLocale; }
    const std::string& getKernelVersion() const { return kernelVersion; }
    const std::string& getPackage() const { return package; }

    // Reads the environment's locale into both records; the process locale
    // is put back exactly as it was.
    void updateLocaleInfo();

    // Language and country of a locale name such as "fr_CA.ISO8859-1@euro";
    // both empty for "C", "C.<codeset>" and "POSIX".
    static void splitLocaleName(const std::string& localeName, LocaleInfo& out);

    static void getWin32OSInfo(_Win32Info* info);
    static bool isWow64() { return false; }

    // Whether file could be read and pattern (Perl syntax, case-insensitive)
    // matches its text; parts get sub-expressions 1 to 3, firstLine the text
    // up to the first CR or LF. An invalid pattern throws Boost.Regex's
    // exception.
    static bool distributionTest(const std::string& file, const std::string& pattern,
                                 std::string& part1, std::string& part2, std::string& part3,
                                 std::string& firstLine);
    // The same with the parts read as numbers; an output is assigned only
    // when its text reads as one.
    static bool distributionTest(const std::string& file, const std::string& pattern,
                                 unsigned& part1, unsigned& part2, unsigned& part3,
                                 std::string& firstLine);

    // The calling thread's errno, for either kind.
    static int sysError(SysErrorType type = Generic);
    static void setSysError(int error, SysErrorType type = Generic);

    static int getProcessID();
    static unsigned getThreadID();

    // Node name, or "unspecified.host"; cut to size - 1 characters.
    static void getHostname(char* buf, int size);
    // Canonical name of the node name, or "unspecified.host".
    static void getHostbyname(char* buf, int size);
    // No such names on this platform: out emptied, false.
    static bool getNetbiosHostname(std::string& out);
    static bool getHostFqDistinguishedName(std::string& out);

    // Login name of the process's real user, or empty.
    static std::string getUserName();

    // Bytes available to the caller, total and free on the file system of
    // path; false (outputs untouched) when it cannot be asked.
    static bool getDiskFree(const char* path, unsigned long long* availableToCaller,
                            unsigned long long* totalBytes, unsigned long long* freeBytes);
    // Type name of the file system of path, such as "ext4".
    static bool getDiskType(const char* path, std::string& type);

    // Fills totalMemory and prints the line "errno = N; NAME_SIZE = 2".
    static bool getMemInfo(MemInfo* info);

    // Appends an Address built from each interface's IPv4 address (host byte
    // order; Address is Inet4Address of foundation/net). text is ignored.
    template <typename Address>
    static bool getIPAddresses(std::vector<Address>& list, char* text);
    // The addresses behind getIPAddresses.
    static bool getIPv4Addresses(std::vector<unsigned>& hostOrder);

    // Interface name to hardware address ("00:1A:2B:3C:4D:5E") for every
    // interface with a non-zero 6-byte address; true when there is one.
    static bool getMACAddresses(std::map<std::string, std::string>& macs);

    int cpuCount; // processors online

private:
    void probe(const std::string& serverPlist, const std::string& systemPlist,
               const std::string& osRelease);
    bool readPlist(const std::string& path, std::string& product, std::string& version) const;
    void readOsRelease(const std::string& path);

    std::string name;
    unsigned code;
    unsigned codeGroup;
    int versionMajor;
    int versionMinor;
    int versionBuild;
    std::string platform;
    std::string state;
    std::string product;
    std::string suite;
    LocaleInfo systemLocale;
    LocaleInfo userLocale;
    std::string kernelVersion;
    std::string package;
};

template <typename Address>
bool OSInfo::getIPAddresses(std::vector<Address>& list, char*)
{
    std::vector<unsigned> addresses;
    if (!getIPv4Addresses(addresses))
        return false;
    for (unsigned a : addresses)
        list.push_back(Address(a));
    return true;
}

} // namespace utils
} // namespace zelvo

#endif
