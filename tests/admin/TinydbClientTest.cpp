#include "admin/TinydbSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/admin/StandIn.h"
#include "tests/support/SignalStorm.h"
#include "tests/support/TestSupport.h"

using admintest::StandIn;
using testsupport::listenOnLoopback;

namespace {

bool acceptAll(const std::string&, const std::string&, const std::string&, unsigned short, const std::string&)
{
    return true;
}

// Every test gets a HOME of its own for the known-hosts file.
class TinydbClient : public ::testing::Test {
protected:

    // Opens a session to the stand-in; fails the test when that does not work.
    void* open(const StandIn& server)
    {
        void* handle = nullptr;
        int osError = 0;
        std::string fingerprint;
        EXPECT_EQ(0, tinydb_open(&handle, server.host().c_str(), server.portText().c_str(), &osError, acceptAll,
                                 &fingerprint));
        EXPECT_EQ(server.fingerprint(), fingerprint);
        return handle;
    }
    void* login(const StandIn& server, unsigned* id = nullptr, int wantUpdates = 0)
    {
        void* handle = open(server);
        if (handle) {
            EXPECT_EQ(0, tinydb_authenticate(handle, "admin", "secret", id, nullptr, nullptr, nullptr, nullptr,
                                             "test", wantUpdates));
        }
        return handle;
    }

    testsupport::TempDir home{"thome"};
    testsupport::ScopedEnv homeVariable{"HOME", home.path()};
};

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string be32(std::uint32_t v)
{
    v = htonl(v);
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

std::string be16(std::uint16_t v)
{
    v = htons(v);
    return std::string(reinterpret_cast<const char*>(&v), 2);
}

// A reply as the server frames it: header, then the data block.
std::string reply(const std::string& block, std::uint32_t status = 0, std::uint32_t error = 0)
{
    return be32(0) + be32(static_cast<std::uint32_t>(block.size())) + be32(status) + be32(error) + block;
}

std::string blockHeader(std::uint16_t columns, std::uint32_t rows, const std::string& skipped = "",
                        char kind = 's')
{
    return std::string(1, '\0') + kind + be16(columns) + be32(rows) + be32(77) + be32(0) +
           be32(static_cast<std::uint32_t>(skipped.size())) + skipped;
}

std::string column(int type, const std::string& name)
{
    const std::string raw = name + std::string(1, '\0');
    return std::string(1, '\0') + static_cast<char>(type) + std::string(1, '\0') +
           be32(static_cast<std::uint32_t>(raw.size())) + raw;
}

std::string field(const std::string& value)
{
    return be32(static_cast<std::uint32_t>(value.size())) + value;
}

}  // namespace

TEST_F(TinydbClient, LoginTable)
{
    struct Case {
        std::vector<std::string> args;
        int rc;
    } cases[] = {
        {{}, 0},
        {{"--methods", "03010200"}, 0},
        {{"--methods", "0300"}, TINYDB_E_AUTH},
        {{"--methods", "00"}, TINYDB_E_AUTH},
        // A server that never ends its method list is not followed forever.
        {{"--methods", std::string(1000, '3')}, TINYDB_E_AUTH},
        {{"--version", "21"}, TINYDB_E_VERSION},
        {{"--refuse-login"}, TINYDB_E_AUTH},
        {{"--admin", "admin:other"}, TINYDB_E_AUTH},
        {{"--refuse-at-step5"}, TINYDB_E_SOCKET},
        {{"--close-at", "2"}, TINYDB_E_AUTH},
        {{"--close-at", "5"}, TINYDB_E_SOCKET},
        {{"--close-at", "8"}, TINYDB_E_AUTH},
        {{"--close-at", "9"}, TINYDB_E_AUTH},
        {{"--close-at", "10"}, TINYDB_E_SOCKET},
        {{"--close-at", "11"}, TINYDB_E_SOCKET},
        {{"--close-at", "12"}, TINYDB_E_SOCKET},
        {{"--close-at", "17"}, TINYDB_E_AUTH},
        {{"--close-at", "18"}, TINYDB_E_SOCKET},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        StandIn server(cases[i].args);
        void* handle = open(server);
        ASSERT_NE(nullptr, handle);
        unsigned id = 0;
        int version = 0, v1 = 0, v2 = 0, v3 = 0;
        EXPECT_EQ(cases[i].rc,
                  tinydb_authenticate(handle, "admin", "secret", &id, &version, &v1, &v2, &v3, "test", 0));
        if (cases[i].rc == 0) {
            EXPECT_EQ(0x1001u, id);
            EXPECT_EQ(22, version);
            EXPECT_EQ(6, v1);
            EXPECT_EQ(7, v2);
            EXPECT_EQ(3, v3);
            EXPECT_EQ(0x5EED1234u, cl_get(handle)->updateKey);
        }
        EXPECT_EQ(0, tinydb_close(handle));
    }
}

TEST_F(TinydbClient, LoginBytesAsTheServerSeesThem)
{
    StandIn server;
    void* handle = open(server);
    ASSERT_NE(nullptr, handle);
    // No id pointer: method 0x01 and no update key; NULL texts go as "".
    EXPECT_EQ(0, tinydb_authenticate(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     "a-client-name-of-forty-characters-long!!", 0));
    tinydb_close(handle);

    const auto log = server.log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("01", log[0].get<std::string>("hello"));
    EXPECT_EQ("0201", log[0].get<std::string>("method"));
    EXPECT_EQ("", log[0].get<std::string>("login"));
    EXPECT_EQ("", log[0].get<std::string>("password"));
    EXPECT_EQ("05", log[0].get<std::string>("client_hello"));
    EXPECT_EQ(hex(std::string("a-client-name-of-forty-characters-long!!", 31) + std::string(1, '\0')),
              log[0].get<std::string>("client_raw"));
    EXPECT_EQ("true", log[0].get<std::string>("accepted"));
}

TEST_F(TinydbClient, OpenFailures)
{
    EXPECT_EQ(1, tinydb_get_error(nullptr));
    EXPECT_EQ(0, tinydb_close(nullptr));

    void* handle = reinterpret_cast<void*>(1);
    int osError = 0;
    const std::string closedPort = std::to_string(testsupport::freeLoopbackPort());
    EXPECT_EQ(TINYDB_E_SOCKET, tinydb_open(&handle, "127.0.0.1", closedPort.c_str(), &osError, acceptAll, nullptr));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(ECONNREFUSED, osError);

    EXPECT_EQ(TINYDB_E_SOCKET, tinydb_open(&handle, "no-such-host.invalid", "44337", &osError, acceptAll, nullptr));
    EXPECT_EQ(nullptr, handle);

    // A listener that takes the connection and closes it: no TLS session.
    int port = 0;
    const int listener = listenOnLoopback(port);
    ASSERT_GE(listener, 0);
    std::thread closer([listener] {
        const int c = ::accept(listener, nullptr, nullptr);
        if (c >= 0)
            ::close(c);
    });
    EXPECT_EQ(TINYDB_E_SSL,
              tinydb_open(&handle, "127.0.0.1", std::to_string(port).c_str(), &osError, acceptAll, nullptr));
    EXPECT_EQ(nullptr, handle);
    closer.join();
    ::close(listener);
}

// A server that goes silent, in the handshake or after a statement, fails
// the call after the session's time-out instead of hanging the run.
TEST_F(TinydbClient, SilentServerFailsAfterTheTimeOut)
{
    const int saved = zelvo::tinydb::TinydbSocket::ioTimeoutSeconds;
    zelvo::tinydb::TinydbSocket::ioTimeoutSeconds = 1;

    int port = 0;
    const int listener = listenOnLoopback(port);
    ASSERT_GE(listener, 0);
    void* handle = nullptr;
    int osError = 0;
    // The connection is taken by the backlog and never answered.
    EXPECT_EQ(TINYDB_E_SSL,
              tinydb_open(&handle, "127.0.0.1", std::to_string(port).c_str(), &osError, acceptAll, nullptr));
    EXPECT_EQ(nullptr, handle);
    ::close(listener);

    StandIn server({"--admin", "admin:secret", "--raw", "select silence="});
    handle = login(server);
    ASSERT_NE(nullptr, handle);
    tinydb_query_result result;
    EXPECT_NE(0, tinydb_send_query(handle, "select silence", &result));
    tinydb_close(handle);
    zelvo::tinydb::TinydbSocket::ioTimeoutSeconds = saved;
}

// Signals that come faster than the session's time-out (a user pressing
// Ctrl-C, a terminal going) do not start the wait for a silent server's
// answer again: the statement still fails once the time-out has passed.
TEST_F(TinydbClient, SignalsDoNotStretchTheTimeOut)
{
    const int saved = zelvo::tinydb::TinydbSocket::ioTimeoutSeconds;
    zelvo::tinydb::TinydbSocket::ioTimeoutSeconds = 1;
    StandIn server({"--admin", "admin:secret", "--raw", "select silence="});
    void* handle = login(server);
    ASSERT_NE(nullptr, handle);
    tinydb_query_result result;
    int rc;
    {
        // One signal every 20 ms, for up to ten time-outs.
        testsupport::SignalStorm storm(pthread_self(), 20, 500);
        rc = tinydb_send_query(handle, "select silence", &result);
        storm.stop();
        EXPECT_FALSE(storm.outlasted()) << "the wait outlasted " << storm.sent() << " signals";
        EXPECT_GT(testsupport::SignalStorm::received(), 0);
    }
    EXPECT_EQ(TINYDB_E_SOCKET, rc);
    tinydb_close(handle);
    zelvo::tinydb::TinydbSocket::ioTimeoutSeconds = saved;
}

TEST_F(TinydbClient, ConnectTakesDottedAddressAsIs)
{
    StandIn server;
    int fd = -1;
    int osError = 0;
    std::string address;
    ASSERT_EQ(0, tinydb_connect("127.0.0.1", server.portText().c_str(), &fd, &osError, &address));
    EXPECT_EQ("127.0.0.1", address);
    EXPECT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(0, tinydb_connect("localhost", server.portText().c_str(), &fd, &osError, &address));
    EXPECT_EQ("127.0.0.1", address);
    ::close(fd);
}

TEST_F(TinydbClient, WithoutCallbackOnlyARecordedCertificatePasses)
{
    StandIn server;
    void* handle = nullptr;
    int osError = 0;
    EXPECT_EQ(TINYDB_E_KNOWNHOSTS,
              tinydb_open(&handle, "127.0.0.1", server.portText().c_str(), &osError, nullptr, nullptr));
    EXPECT_EQ(nullptr, handle);

    handle = open(server);  // records it
    tinydb_close(handle);
    EXPECT_EQ(0, tinydb_open(&handle, "127.0.0.1", server.portText().c_str(), &osError, nullptr, nullptr));
    EXPECT_NE(nullptr, handle);
    tinydb_close(handle);
    EXPECT_EQ("127.0.0.1:" + server.portText() + ": " + server.fingerprint() + "\n",
              testsupport::readFile(home.path() + "/.zelvo/admin/known_hosts.cfg"));
}

TEST_F(TinydbClient, StatementFraming)
{
    StandIn server;
    void* handle = login(server);
    ASSERT_NE(nullptr, handle);
    std::string longInsert = "insert Domain set Domain='long.test', Description='";
    longInsert += std::string(5000, 'x') + "'";
    const std::vector<std::string> sent = {
        "select Domain from Domain where Domain='long.test'",
        longInsert,
        "select Domain from Domain where Domain='long.test'",
    };
    std::vector<int> rows;
    for (const std::string& statement : sent) {
        tinydb_query_result result;
        ASSERT_EQ(0, tinydb_send_query(handle, statement.c_str(), &result));
        rows.push_back(result.rowCount);
        tinydb_free_result(&result);
    }
    tinydb_close(handle);
    EXPECT_EQ(sent, server.statements());
    EXPECT_EQ((std::vector<int>{0, 0, 1}), rows);
}

TEST_F(TinydbClient, ReplyTable)
{
    const int saved = zelvo::tinydb::TinydbSocket::ioTimeoutSeconds;
    // A read of bytes that never come fails after this, not after 180 s.
    zelvo::tinydb::TinydbSocket::ioTimeoutSeconds = 2;
    const std::string intCol = column(TINYDB_COL_UINT32, "n");
    const std::string strCol = column(TINYDB_COL_STRING, "s");
    struct Case {
        std::string name;
        std::string bytes;  // the whole reply
        int rc;
        int rows;
        int columns;
    } cases[] = {
        {"empty-row-set", reply(std::string(1, '\0') + "s" + be16(0) + be32(0) + be32(0) + be32(0)), 0, 0, 0},
        {"other-kind", reply(std::string(1, '\0') + "x" + be16(3) + be32(9) + be32(0) + be32(0)), 0, 9, 3},
        {"one-int", reply(blockHeader(1, 1, "skip") + intCol + field(be32(7))), 0, 1, 1},
        {"two-rows", reply(blockHeader(2, 2) + intCol + strCol + field(be32(1)) + field("a") + field(be32(2)) +
                           field(std::string("bc\0", 3))),
         0, 2, 2},
        {"trailing-bytes", reply(blockHeader(1, 1) + intCol + field(be32(7)) + "junk"), 0, 1, 1},
        {"refused", reply("", 5, 1234), 5, 0, 0},
        // After a non-zero status nothing more is read, whatever length the
        // header carries: the refusal comes back at once, and the next reply
        // is found where it starts.
        {"length-16-refused", be32(0) + be32(16) + be32(5) + be32(1234), 5, 0, 0},
        {"length-1-refused", be32(0) + be32(1) + be32(5) + be32(1234), 5, 0, 0},
        {"over-the-limit-refused", be32(0) + be32(0xFFFFFFFFu) + be32(5) + be32(1234), 5, 0, 0},
        {"no-data", reply(""), TINYDB_E_PARAM, 0, 0},
        {"short-block", reply(std::string(1, '\0') + "s" + be16(0)), TINYDB_E_PARAM, 0, 0},
        {"16-bytes-with-rows", reply(std::string(1, '\0') + "s" + be16(1) + be32(1) + be32(0) + be32(0)),
         TINYDB_E_PARAM, 0, 0},
        {"no-skip-length", reply(blockHeader(1, 1).substr(0, 18)), TINYDB_E_PARAM, 0, 0},
        {"skip-beyond", reply(std::string(1, '\0') + "s" + be16(1) + be32(1) + be32(0) + be32(0) + be32(1000) +
                              intCol + field(be32(7))),
         TINYDB_E_PARAM, 0, 0},
        {"desc-cut", reply(blockHeader(1, 0) + intCol.substr(0, 5)), TINYDB_E_PARAM, 0, 0},
        {"name-beyond", reply(blockHeader(1, 0) + std::string(1, '\0') + "\x02" + std::string(1, '\0') +
                              be32(500) + "n"),
         TINYDB_E_PARAM, 0, 0},
        {"name-without-nul", reply(blockHeader(1, 0) + std::string(1, '\0') + "\x01" + std::string(1, '\0') +
                                   be32(3) + "abc"),
         TINYDB_E_PARAM, 0, 0},
        {"field-beyond", reply(blockHeader(1, 1) + intCol + be32(4000) + be32(7)), TINYDB_E_PARAM, 0, 0},
        {"field-length-cut", reply(blockHeader(1, 1) + strCol + be16(0)), TINYDB_E_PARAM, 0, 0},
        {"missing-row", reply(blockHeader(1, 2) + intCol + field(be32(7))), TINYDB_E_PARAM, 0, 0},
        {"short-uint32", reply(blockHeader(1, 1) + intCol + field(be16(7))), TINYDB_E_PARAM, 0, 0},
        {"short-uint64", reply(blockHeader(1, 1) + column(TINYDB_COL_UINT64, "q") + field(be32(7))),
         TINYDB_E_PARAM, 0, 0},
        {"list-without-end", reply(blockHeader(1, 1) + column(TINYDB_COL_LIST, "l") + field(be32(3) + "abc")),
         TINYDB_E_PARAM, 0, 0},
        {"list-item-beyond", reply(blockHeader(1, 1) + column(TINYDB_COL_LIST, "l") + field(be32(30) + "abc" +
                                                                                            be32(0))),
         TINYDB_E_PARAM, 0, 0},
        {"huge-row-count", reply(blockHeader(1, 0x7FFFFFFF) + intCol + field(be32(7))), TINYDB_E_PARAM, 0, 0},
        {"rows-without-columns", reply(blockHeader(0, 5) + "pad"), TINYDB_E_PARAM, 0, 0},
        {"huge-column-count", reply(blockHeader(0xFFFF, 0) + intCol), TINYDB_E_PARAM, 0, 0},
    };
    std::vector<std::string> args;
    for (const Case& c : cases) {
        args.push_back("--raw");
        args.push_back("select raw-" + c.name + "=" + hex(c.bytes));
    }
    StandIn server(args);
    void* handle = login(server);
    ASSERT_NE(nullptr, handle);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tinydb_query_result result;
        const std::string statement = "select raw-" + c.name;
        EXPECT_EQ(c.rc, tinydb_send_query(handle, statement.c_str(), &result));
        EXPECT_EQ(c.rc == 0 ? 1 : 0, result.valid);
        if (c.rc == 0) {
            EXPECT_EQ(c.rows, result.rowCount);
            EXPECT_EQ(c.columns, result.columnCount);
        } else {
            EXPECT_EQ(nullptr, result.data);
            EXPECT_EQ(nullptr, result.index);
        }
        if (c.rc == 5) {
            EXPECT_EQ(1234, tinydb_get_error(handle));
        }
        tinydb_free_result(&result);
    }
    // The stream is still in step after every malformed reply.
    tinydb_query_result result;
    EXPECT_EQ(0, tinydb_send_query(handle, "select Domain from Domain", &result));
    tinydb_free_result(&result);
    tinydb_close(handle);
    zelvo::tinydb::TinydbSocket::ioTimeoutSeconds = saved;
}

TEST_F(TinydbClient, FieldsAreConvertedAndRead)
{
    std::string list = be32(3) + "abc" + be32(5) + "defgh" + be32(0);
    const std::string bytes =
        reply(blockHeader(5, 1) + column(TINYDB_COL_UINT32, "Num") + column(TINYDB_COL_UINT64, "Big") +
              column(TINYDB_COL_LIST, "List") + column(TINYDB_COL_UINT16, "Port") +
              column(TINYDB_COL_STRING, "Text") + field(be32(0x01020304)) +
              field(be32(1) + be32(2)) + field(list) + field(be16(8143)) + field(std::string(300, 't')));
    StandIn server({"--raw", "select fields=" + hex(bytes)});
    void* handle = login(server);
    ASSERT_NE(nullptr, handle);
    tinydb_query_result result;
    ASSERT_EQ(0, tinydb_send_query(handle, "select fields", &result));
    EXPECT_EQ(77, result.extra);
    EXPECT_EQ('s', result.kind);

    char buffer[512];
    int length = 4;
    ASSERT_EQ(0, tinydb_read_result(&result, 0, 0, buffer, &length));
    std::uint32_t num;
    std::memcpy(&num, buffer, 4);
    EXPECT_EQ(0x01020304u, num);

    length = sizeof buffer;
    ASSERT_EQ(0, tinydb_read_result(&result, 0, 1, buffer, &length));
    unsigned long long big;
    std::memcpy(&big, buffer, 8);
    EXPECT_EQ(0x0000000100000002ull, big);

    length = sizeof buffer;
    ASSERT_EQ(0, tinydb_read_result(&result, 0, 2, buffer, &length));
    ASSERT_EQ(20, length);
    std::uint32_t item;
    std::memcpy(&item, buffer, 4);
    EXPECT_EQ(3u, item);
    std::memcpy(&item, buffer + 7, 4);
    EXPECT_EQ(5u, item);
    std::memcpy(&item, buffer + 16, 4);
    EXPECT_EQ(0u, item);

    length = sizeof buffer;
    ASSERT_EQ(0, tinydb_read_result(&result, 0, 3, buffer, &length));
    EXPECT_EQ(be16(8143), std::string(buffer, 2));  // kept as received

    length = 256;
    EXPECT_EQ(TINYDB_E_BUFSIZE, tinydb_read_result(&result, 0, 4, buffer, &length));
    EXPECT_EQ(300, length);
    length = 3;
    EXPECT_EQ(TINYDB_E_BUFSIZE, tinydb_read_result(&result, 0, 0, buffer, &length));
    EXPECT_EQ(4, length);

    length = sizeof buffer;
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_read_result(&result, 1, 0, buffer, &length));
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_read_result(&result, -1, 0, buffer, &length));
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_read_result(&result, 0, 5, buffer, &length));
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_read_result(nullptr, 0, 0, buffer, &length));

    tinydb_column_desc desc;
    ASSERT_EQ(0, tinydb_get_column_desc(&result, 2, &desc));
    EXPECT_EQ(TINYDB_COL_LIST, desc.type);
    EXPECT_STREQ("List", desc.name);
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_get_column_desc(&result, 5, &desc));
    EXPECT_EQ(4, tinydb_get_column_index(&result, "text"));
    EXPECT_EQ(-1, tinydb_get_column_index(&result, "missing"));
    EXPECT_EQ(-1, tinydb_get_column_index(&result, nullptr));

    EXPECT_EQ(0, tinydb_free_result(&result));
    EXPECT_EQ(0, result.valid);
    EXPECT_EQ(nullptr, result.rows);
    EXPECT_EQ(1, result.rowCount);  // counts survive the free
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_read_result(&result, 0, 0, buffer, &length));
    EXPECT_EQ(0, tinydb_free_result(&result));
    tinydb_close(handle);
}

TEST_F(TinydbClient, SortByColumnType)
{
    const std::string bytes = reply(blockHeader(2, 4) + column(TINYDB_COL_STRING, "Name") +
                                    column(TINYDB_COL_UINT32, "Num") + field("delta") + field(be32(30)) +
                                    field("Alpha") + field(be32(4000000000u)) + field("charlie") +
                                    field(be32(2)) + field("bravo") + field(be32(1)));
    StandIn server({"--raw", "select sortable=" + hex(bytes)});
    void* handle = login(server);
    ASSERT_NE(nullptr, handle);
    tinydb_query_result result;
    ASSERT_EQ(0, tinydb_send_query(handle, "select sortable", &result));
    auto names = [&result] {
        std::string out;
        for (int r = 0; r < result.rowCount; ++r) {
            char buffer[32];
            int length = sizeof buffer;
            tinydb_read_result(&result, r, 0, buffer, &length);
            out += std::string(buffer, length) + " ";
        }
        return out;
    };
    EXPECT_EQ(0, tinydb_sort_result(&result, 0, 0));
    EXPECT_EQ("Alpha bravo charlie delta ", names());
    EXPECT_EQ(0, tinydb_sort_result(&result, 1, 0));
    EXPECT_EQ("bravo charlie delta Alpha ", names());
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_sort_result(&result, 2, 0));
    tinydb_free_result(&result);
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_sort_result(&result, 0, 0));
    tinydb_close(handle);
}

TEST_F(TinydbClient, ReplyCutShortBreaksTheSession)
{
    const std::string cut = hex(reply(blockHeader(1, 1) + column(TINYDB_COL_UINT32, "n") + field(be32(7))).substr(0, 30));
    // Also a clean end of TLS is an early end of the reply.
    for (const char* end : {"+close", "+notify"}) {
        SCOPED_TRACE(end);
        StandIn server({"--raw", "select cut=" + cut + end});
        void* handle = login(server);
        ASSERT_NE(nullptr, handle);
        tinydb_query_result result;
        EXPECT_EQ(TINYDB_E_SOCKET, tinydb_send_query(handle, "select cut", &result));
        EXPECT_EQ(0, result.valid);
        EXPECT_EQ(TINYDB_E_SOCKET, tinydb_send_query(handle, "select Domain from Domain", &result));
        EXPECT_EQ(0, result.valid);
        tinydb_close(handle);
        EXPECT_EQ((std::vector<std::string>{"select cut"}), server.statements());
    }
}

TEST_F(TinydbClient, UpdateChannel)
{
    StandIn server({"--update", "16aabbcc", "--update", "15ddeeff"});
    unsigned id = 0;
    void* handle = login(server, &id, 1);
    ASSERT_NE(nullptr, handle);
    EXPECT_GE(cl_get(handle)->udpSocket, 0);

    // The registration datagram carries the update key, big-endian.
    std::string registered;
    for (int i = 0; i < 500 && registered.empty(); ++i) {
        for (const auto& entry : server.log()) {
            if (auto udp = entry.get_optional<std::string>("udp"))
                registered = *udp;
        }
        if (registered.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ("5eed1234", registered);

    // The stand-in answers with one datagram of version 22 and one of 21.
    char buffer[64];
    int length = 0;
    for (int i = 0; i < 500 && length == 0; ++i) {
        length = sizeof buffer;
        EXPECT_EQ(0, tinydb_getupdatedata(handle, buffer, &length));
        if (length == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(3, length);
    EXPECT_EQ("\xaa\xbb\xcc", std::string(buffer, 3));
    // The second datagram (version 21) is dropped.
    for (int i = 0; i < 20; ++i) {
        length = sizeof buffer;
        tinydb_getupdatedata(handle, buffer, &length);
        EXPECT_EQ(0, length);
    }
    tinydb_close(handle);

    int noChannel = sizeof buffer;
    EXPECT_EQ(0, tinydb_getupdatedata(nullptr, buffer, &noChannel));
    EXPECT_EQ(0, noChannel);
}

TEST(TinydbRandomKey, SixteenBytesStartingWithTheTime)
{
    char key[20];
    std::memset(key, 0x5A, sizeof key);
    const std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
    tinydb_generate_random_key(key, -3);
    const std::uint32_t after = static_cast<std::uint32_t>(std::time(nullptr));
    std::uint32_t stamp;
    std::memcpy(&stamp, key, 4);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(std::string(4, '\x5A'), std::string(key + 16, 4));
    char other[16];
    tinydb_generate_random_key(other, 1);
    EXPECT_NE(std::string(key + 8, 8), std::string(other + 8, 8));
}

TEST_F(TinydbClient, ClientSocketHandshakesAndExchangesBytes)
{
    StandIn server;
    zelvo::tinydb::TinydbClientSocket socket;
    char byte = 1;
    EXPECT_FALSE(socket.write(&byte, 1));  // no context yet
    EXPECT_FALSE(socket.doSetSslContext(nullptr));

    zelvo::ssl::SSLContext context;
    ASSERT_EQ(0, context.set_mode(zelvo::ssl::SslMode::TLSv1));
    SSL_CTX_set_security_level(context.context(), 0);
    ASSERT_TRUE(socket.doSetSslContext(&context));

    int fd = -1;
    int osError = 0;
    ASSERT_EQ(0, tinydb_connect(server.host().c_str(), server.portText().c_str(), &fd, &osError, nullptr));
    ASSERT_TRUE(socket.open(fd));
    EXPECT_TRUE(socket.write(&byte, 1));
    char methods[2] = {};
    ASSERT_TRUE(socket.read(methods, sizeof methods));  // sends the pending byte first
    EXPECT_EQ(std::string("\x01\x00", 2), std::string(methods, 2));
    EXPECT_TRUE(socket.read(methods, 0));
    EXPECT_TRUE(socket.doClose());
    EXPECT_FALSE(socket.read(methods, 1));
}

TEST_F(TinydbClient, OversizedReplyIsNeitherAllocatedNorRead)
{
    StandIn server({"--raw", "select huge=00000000fffffff00000000000000000" + hex(std::string(64, 'x'))});
    void* handle = login(server);
    ASSERT_NE(nullptr, handle);
    tinydb_query_result result;
    EXPECT_EQ(TINYDB_E_PARAM, tinydb_send_query(handle, "select huge", &result));
    EXPECT_EQ(0, result.valid);
    EXPECT_EQ(nullptr, result.data);
    // The rest of that block is still on the wire: the session takes no more statements.
    EXPECT_EQ(TINYDB_E_SOCKET, tinydb_send_query(handle, "select Domain from Domain", &result));
    tinydb_close(handle);
    EXPECT_EQ((std::vector<std::string>{"select huge"}), server.statements());
}
