#ifndef ZELVO_FOUNDATION_SYSTEM_RANDOM_H
#define ZELVO_FOUNDATION_SYSTEM_RANDOM_H

#include <fstream>
#include <string>

namespace zelvo {
namespace utils {

// Random bytes, numbers and strings from "/dev/urandom". Without the device,
// or once a read from it failed, bytes come from rand() (seeded once per
// object) and strings from OpenSSL's RAND_bytes. One object per thread.
class Random {
public:
    Random();
    // Reads devicePath instead of "/dev/urandom".
    explicit Random(const char* devicePath);
    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;

    char getChar();
    // Four (eight) bytes, the first the most significant, each added as a
    // signed char after the shift.
    int getInt();
    unsigned getUInt();
    long long getInt64();
    unsigned long long getUInt64();

    // size random bytes of any value; empty for a size of 2^31 or more, and
    // shorter only when the fallback generator fails.
    std::string& getString(std::string& out, unsigned long size);
    // length lower-case hex characters (MD5 digests of random blocks).
    std::string& getAscii(std::string& out, unsigned long length);

private:
    void open(const char* devicePath);
    unsigned char nextByte();

    std::ifstream urandom;
    bool urandomOk;
    unsigned seed;
    int getStringCalls;
};

// The first length characters (all 32 when length is negative or larger)
// of an MD5 digest over the time, the process, random bytes, the
// millisecond clock and a per-process counter.
std::string uniqID(int length);

} // namespace utils
} // namespace zelvo

#endif
