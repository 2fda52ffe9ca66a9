#include "migration/LogStream.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Message {
    LogStream::LogType type;
    const char* text;
};

// Redirects std::cerr into a string for the lifetime of the object.
class CerrCapture {
public:
    CerrCapture() : old(std::cerr.rdbuf(captured.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(old); }
    std::string text() const { return captured.str(); }

private:
    std::ostringstream captured;
    std::streambuf* old;
};

// Counts flushes reaching the stream buffer.
class CountingBuf : public std::stringbuf {
public:
    int syncs = 0;

protected:
    int sync() override
    {
        ++syncs;
        return std::stringbuf::sync();
    }
};

} // namespace

TEST(LogStreamTest, MessageSequences)
{
    using L = LogStream;
    struct Case {
        const char* name;
        bool enabled, debug;
        std::vector<Message> messages;
        std::string out, err;
    } cases[] = {
        {"progress line", true, false,
         {{L::Begin, "Load 4D configuration ... "}, {L::End, "OK\n"}},
         "Load 4D configuration ... OK\n", ""},
        {"error inside a progress line", true, false,
         {{L::Begin, "Creating user a ... "}, {L::Error, "User already exists.\n"}, {L::End, "OK\n"}},
         "Creating user a ... \nERROR: User already exists.\n\n", ""},
        {"error with no line open", true, false,
         {{L::Error, "x\n"}, {L::Error, "y"}},
         "ERROR: x\n\nERROR: y\n", ""},
        {"end without begin", true, false, {{L::End, "OK\n"}}, "", ""},
        {"line continues and closes a begun line", true, false,
         {{L::Begin, "Copying ... "}, {L::Line, "50%"}, {L::End, "OK\n"}},
         "Copying ... 50%", ""},
        {"second end after one begin", true, false,
         {{L::Begin, "a "}, {L::End, "OK\n"}, {L::End, "again\n"}},
         "a OK\n", ""},
        {"quiet: only errors", false, false,
         {{L::Line, "hello\n"}, {L::Begin, "step ... "}, {L::Error, "bad\n"}, {L::End, "OK\n"}},
         "ERROR: bad\n\n", ""},
        {"debug lines go to standard error only", true, true,
         {{L::Begin, "step ... "}, {L::Debug, "detail\n"}, {L::End, "OK\n"}},
         "step ... OK\n", "DEBUG: detail\n"},
        {"debug lines need debug mode", true, false, {{L::Debug, "detail\n"}}, "", ""},
        {"debug in quiet mode", false, true, {{L::Debug, "d"}, {L::Line, "l"}}, "", "DEBUG: d"},
        {"unknown type writes nothing", true, true,
         {{static_cast<L::LogType>(5), "x"}, {static_cast<L::LogType>(-1), "y"}}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CerrCapture err;
        std::ostringstream out;
        LogStream log(&out);
        log.setMode(c.enabled, c.debug);
        for (const Message& m : c.messages)
            log.log(m.type, "%s", m.text);
        EXPECT_EQ(c.out, out.str());
        EXPECT_EQ(c.err, err.text());
    }
}

TEST(LogStreamTest, DebugLinesLeaveTheOpenLineAlone)
{
    CerrCapture err;
    std::ostringstream out;
    LogStream log(&out);
    log.setMode(true, true);
    log.log(LogStream::Begin, "a ... ");
    log.log(LogStream::Debug, "%d\n", 1);
    EXPECT_TRUE(log.lineOpen);
    log.log(LogStream::Error, "e");
    EXPECT_FALSE(log.lineOpen);
    EXPECT_EQ("a ... \nERROR: e\n", out.str());
}

TEST(LogStreamTest, FormatsAndCutsLongMessages)
{
    std::ostringstream out;
    LogStream log(&out);
    log.log(LogStream::Line, "User \"%s\" was migrated (%d messages)\n", "bob", 12);
    EXPECT_EQ("User \"bob\" was migrated (12 messages)\n", out.str());

    const std::string longText(3000, 'x');
    for (LogStream::LogType type : {LogStream::Line, LogStream::Error}) {
        SCOPED_TRACE(type);
        out.str("");
        log.log(type, "%s", longText.c_str());
        const std::string expected = std::string(type == LogStream::Error ? "ERROR: " : "") +
                                     std::string(LogStream::kMaxMessage, 'x') +
                                     (type == LogStream::Error ? "\n" : "");
        EXPECT_EQ(expected, out.str());
    }
    out.str("");
    log.log(LogStream::Line, "%s", std::string(LogStream::kMaxMessage, 'y').c_str());
    EXPECT_EQ(std::string(LogStream::kMaxMessage, 'y'), out.str());
}

TEST(LogStreamTest, FlushesAfterEveryMessage)
{
    CountingBuf buf;
    std::ostream out(&buf);
    LogStream log(&out);
    log.setMode(false, false);
    log.log(LogStream::Line, "hidden");   // nothing written, still flushed
    log.log(LogStream::End, "hidden");
    log.log(LogStream::Error, "shown");
    EXPECT_EQ(3, buf.syncs);
    EXPECT_EQ("ERROR: shown\n", buf.str());
}

TEST(LogStreamTest, NullStreamCollectsForGetData)
{
    LogStream log(nullptr);
    log.log(LogStream::Begin, "one ... ");
    log.log(LogStream::End, "OK\n");
    log.log(LogStream::Error, "two");
    std::string data = "old";
    log.getData(data);
    EXPECT_EQ("one ... OK\nERROR: two\n", data);
    log.getData(data);
    EXPECT_EQ("", data);
    log.log(LogStream::Line, "three");
    log.getData(data);
    EXPECT_EQ("three", data);
}

TEST(LogStreamTest, LogsWhileTheSameThreadHoldsItsMutex)
{
    // The progress output of a folder copy holds the log's mutex; an abort
    // line logged on that thread must get through.
    std::ostringstream out;
    LogStream log(&out);
    log.log(LogStream::Begin, "Copying INBOX ... ");
    {
        zelvo::tiny::ZMutexGuard held(&log.mutex);
        *log.out << "33%";
        log.log(LogStream::Line, "\nABORTED\n");
    }
    log.log(LogStream::End, "OK\n");
    EXPECT_EQ("Copying INBOX ... 33%\nABORTED\n", out.str());
}
