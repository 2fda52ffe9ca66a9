#include "foundation/system/Random.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using zelvo::utils::Random;
using zelvo::utils::uniqID;

namespace {

bool isLowerHex(const std::string& s)
{
    return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

const char kNoDevice[] = "/nonexistent/random/device";

} // namespace

TEST(RandomTest, StringsHaveTheAskedSize)
{
    for (const char* device : {"/dev/urandom", kNoDevice}) {
        SCOPED_TRACE(device);
        Random r(device);
        std::string out = "old";
        EXPECT_EQ(&out, &r.getString(out, 20));
        EXPECT_EQ(20u, out.size());
        std::string other;
        r.getString(other, 20);
        EXPECT_NE(out, other);

        r.getString(out, 0);
        EXPECT_EQ("", out);
        out = "old";
        r.getString(out, 0x80000000UL);
        EXPECT_EQ("", out);
        r.getString(out, 100000);
        EXPECT_EQ(100000u, out.size());
    }
}

TEST(RandomTest, DeviceThatRunsDryFallsBack)
{
    Random empty("/dev/null"); // opens, then delivers nothing
    std::string out;
    empty.getString(out, 33);
    EXPECT_EQ(33u, out.size());
    std::set<unsigned> values;
    for (int i = 0; i < 8; ++i)
        values.insert(empty.getUInt());
    EXPECT_GT(values.size(), 1u); // rand() behind it, not a constant
}

TEST(RandomTest, AsciiStringsAreLowerCaseHex)
{
    for (const char* device : {"/dev/urandom", kNoDevice}) {
        SCOPED_TRACE(device);
        Random r(device);
        std::string out = "old";
        for (unsigned long length : {0ul, 1ul, 32ul, 40ul, 64ul, 100ul}) {
            SCOPED_TRACE(length);
            r.getAscii(out, length);
            EXPECT_EQ(length, out.size());
            EXPECT_TRUE(isLowerHex(out)) << out;
        }
        std::string a, b;
        r.getAscii(a, 40);
        r.getAscii(b, 40);
        EXPECT_NE(a, b);
    }
}

TEST(RandomTest, NumbersVary)
{
    for (const char* device : {"/dev/urandom", kNoDevice}) {
        SCOPED_TRACE(device);
        Random r(device);
        std::set<unsigned long long> seen;
        for (int i = 0; i < 16; ++i) {
            seen.insert(r.getUInt());
            seen.insert(r.getUInt64());
            seen.insert(static_cast<unsigned long long>(r.getInt64()));
            seen.insert(static_cast<unsigned>(r.getInt()));
        }
        EXPECT_GT(seen.size(), 32u);
        std::set<char> chars;
        for (int i = 0; i < 64; ++i)
            chars.insert(r.getChar());
        EXPECT_GT(chars.size(), 8u);
    }
}

TEST(RandomTest, UniqueIds)
{
    struct Case {
        int length;
        size_t size;
    } cases[] = {{8, 8}, {0, 0}, {1, 1}, {32, 32}, {100, 32}, {-1, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string id = uniqID(c.length);
        EXPECT_EQ(c.size, id.size());
        EXPECT_TRUE(isLowerHex(id));
    }
    std::set<std::string> ids;
    for (int i = 0; i < 200; ++i)
        ids.insert(uniqID(32));
    EXPECT_EQ(200u, ids.size());
}
