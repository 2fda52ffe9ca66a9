#include "foundation/system/Random.h"

#include "foundation/system/Clock.h"
#include "foundation/system/OSInfo.h"
#include "foundation/text/Hex.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <vector>

namespace zelvo {
namespace utils {

namespace {

constexpr unsigned long kMaxStringSize = 0x80000000UL;
constexpr std::size_t kAsciiBlock = 16;
constexpr std::size_t kUniqueRandomBytes = 20;
constexpr int kDigestHexLength = 32;

std::string md5Hex(const std::string& data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), md, &length, EVP_md5(), nullptr) != 1)
        return std::string();
    return stringToHex(std::string(reinterpret_cast<const char*>(md), length));
}

std::atomic<unsigned long long> uniqueCounter{0};

} // namespace

Random::Random()
{
    open("/dev/urandom");
}

Random::Random(const char* devicePath)
{
    open(devicePath);
}

void Random::open(const char* devicePath)
{
    getStringCalls = 0;
    seed = 0;
    urandom.open(devicePath, std::ios::in | std::ios::binary);
    urandomOk = urandom.good();
    if (urandomOk) {
        unsigned char b[4] = {0, 0, 0, 0};
        urandom.read(reinterpret_cast<char*>(b), sizeof b);
        seed = (unsigned(b[0]) << 24) | (unsigned(b[1]) << 16) | (unsigned(b[2]) << 8) | b[3];
    } else {
        seed = static_cast<unsigned>(OSInfo::getProcessID()) + OSInfo::getThreadID() +
               zelvo::tiny::millisec() + static_cast<unsigned>(std::rand());
        std::srand(seed);
    }
}

unsigned char Random::nextByte()
{
    if (urandomOk) {
        const int c = urandom.get();
        if (urandom.gcount() > 0)
            return static_cast<unsigned char>(c);
    }
    // The top eight bits of the 31-bit rand() value.
    return static_cast<unsigned char>(static_cast<int>(std::rand() * 256.0 * 4.656612873077393e-10));
}

char Random::getChar()
{
    return static_cast<char>(nextByte());
}

unsigned Random::getUInt()
{
    unsigned v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) + static_cast<unsigned>(static_cast<int>(static_cast<signed char>(nextByte())));
    return v;
}

int Random::getInt()
{
    return static_cast<int>(getUInt());
}

unsigned long long Random::getUInt64()
{
    unsigned long long v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) +
            static_cast<unsigned long long>(static_cast<long long>(static_cast<signed char>(nextByte())));
    return v;
}

long long Random::getInt64()
{
    return static_cast<long long>(getUInt64());
}

std::string& Random::getString(std::string& out, unsigned long size)
{
    out.clear();
    ++getStringCalls;
    if (size >= kMaxStringSize)
        return out;
    out.reserve(size);
    if (urandomOk && urandom.good()) {
        while (out.size() < size) {
            const int c = urandom.get();
            if (urandom.gcount() == 0)
                break;
            out += static_cast<char>(c);
        }
    }
    if (out.size() < size) {
        std::vector<unsigned char> rest(size - out.size(), 0);
        if (RAND_bytes(rest.data(), static_cast<int>(rest.size())) == 1)
            out.append(reinterpret_cast<const char*>(rest.data()), rest.size());
    }
    return out;
}

std::string& Random::getAscii(std::string& out, unsigned long length)
{
    out.clear();
    std::string block;
    while (out.size() < length) {
        const std::string digest = md5Hex(getString(block, kAsciiBlock));
        if (digest.empty())
            break;
        out += digest;
    }
    if (out.size() > length)
        out.resize(length);
    return out;
}

std::string uniqID(int length)
{
    Random random;
    const unsigned t = static_cast<unsigned>(std::time(nullptr)) + static_cast<unsigned>(std::rand());
    std::string r;
    random.getString(r, kUniqueRandomBytes);
    const unsigned long p = static_cast<unsigned long>(OSInfo::getProcessID());

    std::ostringstream text;
    text << std::setfill('0') << std::setw(10) << static_cast<long>(t) << std::setw(10) << p << r
         << zelvo::tiny::getMs64() << uniqueCounter.fetch_add(1);
    const std::string digest = md5Hex(text.str());
    if (length < 0 || length > kDigestHexLength)
        return digest;
    return digest.substr(0, static_cast<std::size_t>(length));
}

} // namespace utils
} // namespace zelvo
