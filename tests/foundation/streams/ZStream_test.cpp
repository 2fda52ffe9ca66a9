#include "foundation/streams/ZStream.h"

#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

using zelvo::utils::ZStdIStream;
using zelvo::utils::ZStream;

namespace {

// A device that records every call and answers reads and writes from a script.
class ScriptedStream : public ZStream {
public:
    // Each read result: bytes to deliver, or an empty string with a code (0 end, -1 error).
    struct ReadStep {
        std::string data;
        int code;
    };
    std::deque<ReadStep> reads;
    std::vector<std::string> writes;   // bytes accepted by each i_write call
    std::deque<int> writeLimits;       // per call: max bytes accepted; <= 0 fails; empty = all
    std::vector<std::string> log;      // "r" and "w" in call order
    std::string written;               // all accepted bytes

    int i_read(char* buf, unsigned int len) override {
        log.push_back("r");
        if (reads.empty())
            return 0;
        ReadStep step = reads.front();
        reads.pop_front();
        if (step.data.empty())
            return step.code;
        EXPECT_LE(step.data.size(), len);
        std::copy(step.data.begin(), step.data.end(), buf);
        return static_cast<int>(step.data.size());
    }
    int i_write(const char* buf, unsigned int len) override {
        log.push_back("w");
        unsigned take = len;
        if (!writeLimits.empty()) {
            const int limit = writeLimits.front();
            writeLimits.pop_front();
            if (limit <= 0)
                return limit;
            take = std::min<unsigned>(len, static_cast<unsigned>(limit));
        }
        writes.emplace_back(buf, take);
        written.append(buf, take);
        return static_cast<int>(take);
    }
    void feed(const std::string& data) { reads.push_back({data, 0}); }
    void feedEnd() { reads.push_back({"", 0}); }
    void feedError() { reads.push_back({"", -1}); }
};

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s.push_back(static_cast<char>('a' + i % 26));
    return s;
}

TEST(ZStreamWrite, BuffersUntilFullAndSendsWholeBlocks) {
    struct Case {
        std::vector<size_t> chunks;
        std::vector<size_t> sends;
        unsigned pending;
    };
    const Case cases[] = {
        {{4095}, {}, 4095},
        {{4095, 1}, {4096}, 0},
        {{4096}, {4096}, 0},
        {{10000}, {4096, 4096}, 1808},
        {{1, 2, 3}, {}, 6},
        {{3000, 3000}, {4096}, 1904},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        ScriptedStream s;
        std::string all;
        for (size_t n : cases[i].chunks) {
            const std::string data = pattern(n);
            all += data;
            EXPECT_EQ(static_cast<int>(n), s.write(data.data(), n));
        }
        ASSERT_EQ(cases[i].sends.size(), s.writes.size());
        for (size_t k = 0; k < s.writes.size(); ++k)
            EXPECT_EQ(cases[i].sends[k], s.writes[k].size());
        EXPECT_EQ(cases[i].pending, s.pendingOutput());
        EXPECT_EQ(0, s.flush());
        EXPECT_EQ(all, s.written);
        EXPECT_EQ(0u, s.pendingOutput());
    }
}

TEST(ZStreamWrite, FlushOfNothingCallsNoDevice) {
    ScriptedStream s;
    EXPECT_EQ(0, s.flush());
    EXPECT_TRUE(s.log.empty());
}

TEST(ZStreamWrite, PartialDeviceWritesAreResumed) {
    ScriptedStream s;
    s.writeLimits = {100, 1000, 5000};
    const std::string data = pattern(2000);
    s.write(data.data(), data.size());
    EXPECT_EQ(0, s.flush());
    EXPECT_EQ(data, s.written);
    EXPECT_EQ(3u, s.writes.size());
}

TEST(ZStreamWrite, FailedFlushKeepsOnlyUnsentBytes) {
    ScriptedStream s;
    s.writeLimits = {300, 0};
    const std::string data = pattern(1000);
    s.write(data.data(), data.size());
    EXPECT_EQ(-1, s.flush());
    EXPECT_EQ(700u, s.pendingOutput());
    EXPECT_EQ(0, s.flush());
    // Every byte arrives exactly once.
    EXPECT_EQ(data, s.written);
}

TEST(ZStreamWrite, FailedBlockSendMakesWriteFail) {
    ScriptedStream s;
    s.writeLimits = {-1};
    const std::string data = pattern(5000);
    EXPECT_EQ(0, s.write(data.data(), data.size()));
    // The first block stays pending; the rest of the data was not stored.
    EXPECT_EQ(4096u, s.pendingOutput());
    EXPECT_EQ(0, s.flush());
    EXPECT_EQ(data.substr(0, 4096), s.written);
}

TEST(ZStreamRead, SendsPendingOutputBeforeReading) {
    ScriptedStream s;
    s.feed("* OK\r\n");
    s.puts("A1 NOOP\r\n");
    EXPECT_TRUE(s.log.empty());
    char buf[64];
    EXPECT_EQ(6, s.read(buf, sizeof buf));
    EXPECT_EQ((std::vector<std::string>{"w", "r"}), s.log);
    EXPECT_EQ("A1 NOOP\r\n", s.written);
}

TEST(ZStreamRead, ServesBufferedBytesWithoutDeviceRead) {
    ScriptedStream s;
    s.feed("0123456789");
    char buf[16] = {};
    EXPECT_EQ(3, s.read(buf, 3));
    EXPECT_EQ("012", std::string(buf, 3));
    EXPECT_EQ(7, s.read(buf, sizeof buf));
    EXPECT_EQ("3456789", std::string(buf, 7));
    EXPECT_EQ(1u, s.log.size());
    EXPECT_TRUE(s.isReadEof());
}

TEST(ZStreamRead, EndOfDataAndErrorAreToldApartByTheFlag) {
    ScriptedStream s;
    s.feedEnd();
    s.feedError();
    char buf[8];
    EXPECT_EQ(0, s.read(buf, sizeof buf));
    EXPECT_TRUE(s.endOfData);
    EXPECT_EQ(0, s.read(buf, sizeof buf));
    EXPECT_FALSE(s.endOfData);
    // A zero length touches no device.
    EXPECT_EQ(0, s.read(buf, 0));
    EXPECT_EQ(2u, s.log.size());
}

TEST(ZStreamRead, FailedFlushBeforeReadGivesZeroWithoutReading) {
    ScriptedStream s;
    s.writeLimits = {0};
    s.feed("data");
    s.puts("request");
    char buf[8];
    EXPECT_EQ(0, s.read(buf, sizeof buf));
    EXPECT_FALSE(s.endOfData);
    EXPECT_EQ((std::vector<std::string>{"w"}), s.log);
}

TEST(ZStreamFill, ReturnsFirstByteUnsignedAndKeepsTheRest) {
    ScriptedStream s;
    s.feed("\xff\x01rest");
    EXPECT_EQ(255, s.fill());
    EXPECT_FALSE(s.endOfData);
    char buf[8];
    EXPECT_EQ(5, s.read(buf, sizeof buf));
    EXPECT_EQ("\x01rest", std::string(buf, 5));
    EXPECT_EQ(-1, s.fill());
    EXPECT_TRUE(s.endOfData);
}

TEST(ZStreamLines, GetsCountsAndLimits) {
    struct Case {
        std::string input;
        unsigned size;
        bool keepPartial;
        std::vector<int> results;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"12345678\n", 10, false, {9}, {"12345678\n"}},
        {"123456789\n", 10, false, {0}, {""}},
        {"ab\ncd\n", 10, false, {3, 3, 0}, {"ab\n", "cd\n", ""}},
        {"ab\ntail", 10, false, {3, 0}, {"ab\n", ""}},
        {"ab\ntail", 10, true, {3, 4}, {"ab\n", "tail"}},
        {"\n", 2, false, {1}, {"\n"}},
        {"x\n", 1, false, {0}, {""}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        ScriptedStream s;
        s.feed(c.input);
        for (size_t k = 0; k < c.results.size(); ++k) {
            std::vector<char> buf(c.size + 1, 'X');
            EXPECT_EQ(c.results[k], s.gets(buf.data(), c.size, c.keepPartial));
            EXPECT_EQ(c.texts[k], std::string(buf.data()));
            EXPECT_EQ('X', buf[c.size]);  // nothing written beyond size
        }
    }
}

TEST(ZStreamLines, GetsWithZeroSizeIsSafe) {
    ScriptedStream s;
    s.feed("abc\n");
    char guard = 'X';
    EXPECT_EQ(0, s.gets(&guard, 0, true));
    EXPECT_EQ('X', guard);
}

TEST(ZStreamLines, GetsSetsEndOfDataFlag) {
    ScriptedStream s;
    s.feedEnd();
    char buf[8];
    EXPECT_EQ(0, s.gets(buf, sizeof buf, true));
    EXPECT_TRUE(s.endOfData);
}

TEST(ZStreamLines, GetstrSplitsLongLines) {
    ScriptedStream s;
    s.feed(pattern(20) + "\n");
    char buf[10];
    EXPECT_EQ(9, s.getstr(buf, sizeof buf));
    EXPECT_EQ(pattern(20).substr(0, 9), buf);
    EXPECT_EQ(9, s.getstr(buf, sizeof buf));
    EXPECT_EQ(pattern(20).substr(9, 9), buf);
    EXPECT_EQ(3, s.getstr(buf, sizeof buf));
    EXPECT_EQ(pattern(20).substr(18) + "\n", buf);
    EXPECT_EQ(0, s.getstr(buf, sizeof buf));
    EXPECT_STREQ("", buf);
    EXPECT_TRUE(s.endOfData);

    char one = 'X';
    EXPECT_EQ(0, s.getstr(&one, 1));
    EXPECT_EQ('\0', one);
    EXPECT_EQ(0, s.getstr(&one, 0));
}

TEST(ZStreamLines, LinesAcrossDeviceReads) {
    ScriptedStream s;
    s.feed("first pa");
    s.feed("rt\nsecond\n");
    char buf[64];
    EXPECT_EQ(11, s.gets(buf, sizeof buf, false));
    EXPECT_STREQ("first part\n", buf);
    EXPECT_EQ(7, s.getstr(buf, sizeof buf));
    EXPECT_STREQ("second\n", buf);
}

TEST(ZStreamText, PutsAndPrintf) {
    struct Case {
        size_t length;
        bool result;
    };
    const Case cases[] = {{0, false}, {1, true}, {511, true}, {512, true}, {5000, true}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        ScriptedStream s;
        const std::string text = pattern(cases[i].length);
        EXPECT_EQ(cases[i].result, s.printf("%s", text.c_str()));
        s.flush();
        EXPECT_EQ(text, s.written);
    }
    ScriptedStream s;
    EXPECT_TRUE(s.printf("%d-%s", 42, "x"));
    EXPECT_FALSE(s.puts(""));
    EXPECT_FALSE(s.puts(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(s.puts(std::string("!")));
    s.flush();
    EXPECT_EQ("42-x!", s.written);
}

TEST(ZStreamCopy, CopyToSizeStopsExactly) {
    ScriptedStream src;
    const std::string data = pattern(10000);
    for (size_t off = 0; off < data.size(); off += 4096)
        src.feed(data.substr(off, 4096));
    ScriptedStream dst;
    src.copyToSize(dst, 2500);
    dst.flush();
    EXPECT_EQ(data.substr(0, 2500), dst.written);
    char buf[4];
    EXPECT_EQ(4, src.read(buf, 4));
    EXPECT_EQ(data.substr(2500, 4), std::string(buf, 4));
}

TEST(ZStreamCopy, CopyToTakesEverything) {
    ScriptedStream src;
    const std::string data = pattern(9000);
    src.feed(data.substr(0, 4096));
    src.feed(data.substr(4096, 4096));
    src.feed(data.substr(8192));
    ScriptedStream dst;
    EXPECT_EQ(0, src.copyTo(dst));
    dst.flush();
    EXPECT_EQ(data, dst.written);

    ScriptedStream shortSrc;
    shortSrc.feed("abc");
    ScriptedStream dst2;
    shortSrc.copyToSize(dst2, 100);
    shortSrc.copyToSize(dst2, 0);
    dst2.flush();
    EXPECT_EQ("abc", dst2.written);
}

TEST(ZStreamDirect, BypassesTheBuffer) {
    ScriptedStream s;
    s.puts("buffered");
    EXPECT_EQ(6, s.directWrite("direct", 6));
    EXPECT_EQ(3, s.asyncWrite("now", 3));
    EXPECT_EQ(8u, s.pendingOutput());
    EXPECT_EQ(-1, s.directWrite("x", 0x80000000u));
    EXPECT_EQ(2u, s.writes.size());
    s.flush();
    EXPECT_EQ("directnowbuffered", s.written);
}

TEST(ZStdIStream, ReadsSeeksAndTells) {
    std::istringstream in("0123456789");
    ZStdIStream s(in);
    char buf[4];
    EXPECT_EQ(4, s.i_read(buf, 4));
    EXPECT_EQ(4, s.i_tell());
    EXPECT_EQ(0, s.i_seek(2, 1));
    EXPECT_EQ(6, s.i_tell());
    EXPECT_EQ(0, s.i_seek(-3, 2));
    EXPECT_EQ(7, s.i_tell());
    EXPECT_EQ(0, s.i_seek(1, 7));  // unknown whence: from the beginning
    EXPECT_EQ(1, s.i_tell());
    EXPECT_EQ(0, s.i_seek64(3, 0));
    EXPECT_EQ(3LL, s.i_tell64());
    EXPECT_EQ(-1, s.i_seek(-100, 0));
    EXPECT_EQ(5, s.i_write("abcde", 5));
    // Reading to the end and on through the buffered interface.
    EXPECT_EQ(0, s.i_seek(8, 0));
    s.discardInput();
    EXPECT_EQ(2, s.read(buf, sizeof buf));
    EXPECT_EQ(0, s.read(buf, sizeof buf));
    EXPECT_TRUE(s.endOfData);
}

// Reports a fixed position, as a stream far into a large file would.
class FarPositionBuf : public std::streambuf {
public:
    explicit FarPositionBuf(long long pos) : pos(pos) {}

protected:
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override { return pos_type(pos); }

private:
    long long pos;
};

TEST(ZStdIStream, TellIsCappedAt31Bits) {
    struct Case {
        long long position;
        long tell;
    };
    const Case cases[] = {{3000000000LL, INT_MAX}, {INT_MAX, INT_MAX}, {12345, 12345}, {-1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        FarPositionBuf buf(c.position);
        std::istream in(&buf);
        ZStdIStream s(in);
        EXPECT_EQ(c.tell, s.i_tell());
        EXPECT_EQ(static_cast<long long>(c.tell), s.i_tell64());
    }
}

}  // namespace
