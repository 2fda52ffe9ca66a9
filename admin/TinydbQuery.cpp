#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>

#include "admin/TinydbSession.h"
#include "foundation/net/TcpClientStream.h"
#include "foundation/system/OSInfo.h"
#include "foundation/system/Random.h"
#include "foundation/text/ByteOrder.h"

using zelvo::tinydb::tinydb_cl;

namespace {

// The administration statements are answered with a few hundred bytes; a
// block above this is not a reply of this protocol, and is not allocated.
constexpr std::uint32_t maxReplyBytes = 64u * 1024 * 1024;
constexpr std::size_t replyHeaderBytes = 16;
constexpr std::size_t statementHeaderBytes = 12;
constexpr std::size_t blockHeaderBytes = 20;   // up to and with the skipped area's length
constexpr std::size_t emptyRowSetBytes = 16;
constexpr std::size_t columnDescBytes = 7;     // before the name
constexpr int maxUpdateDatagram = 1500;

int socketError()
{
    return zelvo::utils::OSInfo::sysError(zelvo::utils::OSInfo::Socket);
}

int genericError()
{
    return zelvo::utils::OSInfo::sysError(zelvo::utils::OSInfo::Generic);
}

std::uint32_t load32(const char* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store32(char* p, std::uint32_t v)
{
    std::memcpy(p, &v, sizeof v);
}

void clearResult(tinydb_query_result* result)
{
    std::free(result->data);
    std::free(result->index);
    std::memset(result, 0, sizeof *result);
}

// Walks the descriptors and rows of a row-set block, converting lengths and
// numbers to host order in place and recording where each row and column
// starts. False for anything that does not fit inside the block.
bool indexRowSet(char* data, std::size_t size, std::uint32_t columnCount, std::uint32_t rowCount,
                 char** rows, char** columns)
{
    std::size_t pos = 16;
    const std::uint32_t skipped = ntohl(load32(data + pos));
    pos = blockHeaderBytes;
    if (skipped > size - pos)
        return false;
    pos += skipped;

    for (std::uint32_t c = 0; c < columnCount; ++c) {
        if (size - pos < columnDescBytes)
            return false;
        char* desc = data + pos;
        const std::uint32_t nameLength = ntohl(load32(desc + 3));
        store32(desc + 3, nameLength);
        pos += columnDescBytes;
        // The name is used as a C string: it must end inside its length.
        if (nameLength > size - pos || nameLength == 0 || !std::memchr(data + pos, '\0', nameLength))
            return false;
        pos += nameLength;
        columns[c] = desc;
    }

    for (std::uint32_t r = 0; r < rowCount; ++r) {
        rows[r] = data + pos;
        for (std::uint32_t c = 0; c < columnCount; ++c) {
            if (size - pos < 4)
                return false;
            char* field = data + pos;
            const std::uint32_t length = ntohl(load32(field));
            store32(field, length);
            pos += 4;
            if (length > size - pos)
                return false;
            char* value = data + pos;
            switch (static_cast<unsigned char>(columns[c][1])) {
            case TINYDB_COL_UINT32:
                if (length < 4)
                    return false;
                store32(value, ntohl(load32(value)));
                break;
            case TINYDB_COL_UINT64: {
                if (length < 8)
                    return false;
                unsigned long long v;
                std::memcpy(&v, value, sizeof v);
                v = zelvo::utils::ntoh64(v);
                std::memcpy(value, &v, sizeof v);
                break;
            }
            case TINYDB_COL_LIST: {
                std::size_t at = 0;
                for (;;) {
                    if (length - at < 4)
                        return false;  // no terminator inside the field
                    const std::uint32_t item = ntohl(load32(value + at));
                    store32(value + at, item);
                    at += 4;
                    if (item == 0)
                        break;
                    if (item > length - at)
                        return false;
                    at += item;
                }
                break;
            }
            default:
                break;
            }
            pos += length;
        }
    }
    return true;
}

// The field's value and length, or null.
const char* locateField(const tinydb_query_result* result, int row, int column, std::uint32_t* length)
{
    const char* p = result->rows[row];
    for (int c = 0; c < column; ++c)
        p += 4 + load32(p);
    *length = load32(p);
    return p + 4;
}

}  // namespace

int tinydb_send_query(void* handle, const char* statement, tinydb_query_result* result)
{
    tinydb_cl* session = cl_get(handle);
    if (!result)
        return TINYDB_E_PARAM;
    std::memset(result, 0, sizeof *result);
    if (!session || !statement)
        return TINYDB_E_PARAM;
    session->refused = false;
    if (session->broken)
        return TINYDB_E_SOCKET;

    const std::size_t textLength = std::strlen(statement) + 1;
    if (textLength > std::numeric_limits<std::uint32_t>::max())
        return TINYDB_E_PARAM;
    char header[statementHeaderBytes] = {0x01, 0, 0, 0};
    store32(header + 4, htonl(static_cast<std::uint32_t>(textLength)));
    store32(header + 8, 0);
    if (!session->socket.write(header, sizeof header) || !session->socket.write(statement, textLength)) {
        session->lastError = socketError();
        session->broken = true;
        return TINYDB_E_SOCKET;
    }

    char reply[replyHeaderBytes];
    if (!session->socket.read(reply, sizeof reply)) {
        session->lastError = socketError();
        session->broken = true;
        return TINYDB_E_SOCKET;
    }
    const std::uint32_t dataLength = ntohl(load32(reply + 4));
    const std::uint32_t status = ntohl(load32(reply + 8));
    const std::uint32_t serverError = ntohl(load32(reply + 12));
    if (status != 0) {
        // A refusal carries no data block: nothing more is read, whatever
        // length its header holds, so the next reply is found where it starts.
        session->lastError = static_cast<int>(serverError);
        session->refused = true;
        return static_cast<int>(status);
    }
    if (dataLength > maxReplyBytes) {
        session->broken = true;
        return TINYDB_E_PARAM;
    }
    if (dataLength == 0) {
        session->lastError = genericError();
        return TINYDB_E_PARAM;
    }

    result->data = static_cast<char*>(std::malloc(dataLength));
    if (!result->data) {
        session->lastError = genericError();
        session->broken = true;
        return TINYDB_E_NOMEM;
    }
    if (!session->socket.read(result->data, dataLength)) {
        session->lastError = socketError();
        session->broken = true;
        clearResult(result);
        return TINYDB_E_SOCKET;
    }

    char* data = result->data;
    if (dataLength < 12) {
        clearResult(result);
        return TINYDB_E_PARAM;
    }
    std::uint16_t columns16;
    std::memcpy(&columns16, data + 2, sizeof columns16);
    const std::uint32_t columnCount = ntohs(columns16);
    const std::uint32_t rowCount = ntohl(load32(data + 4));
    result->kind = static_cast<unsigned char>(data[1]);
    result->extra = static_cast<int>(ntohl(load32(data + 8)));
    if (result->kind != 's') {
        result->columnCount = static_cast<int>(columnCount);
        result->rowCount = static_cast<int>(rowCount > INT32_MAX ? INT32_MAX : rowCount);
        result->valid = 1;
        return 0;
    }
    if (dataLength == emptyRowSetBytes) {
        if (rowCount != 0 || columnCount != 0) {
            session->lastError = genericError();
            clearResult(result);
            return TINYDB_E_PARAM;
        }
        result->valid = 1;
        return 0;
    }
    // Each row needs at least one 4-byte length per column, each column at
    // least its descriptor: counts the block cannot hold are malformed.
    const std::size_t room = dataLength;
    if (dataLength < blockHeaderBytes || columnCount > room / (columnDescBytes + 1) ||
        (rowCount > 0 && (columnCount == 0 || rowCount > room / (4 * columnCount)))) {
        clearResult(result);
        return TINYDB_E_PARAM;
    }
    result->columnCount = static_cast<int>(columnCount);
    result->rowCount = static_cast<int>(rowCount);
    const std::size_t pointers = static_cast<std::size_t>(rowCount) + columnCount;
    result->index = std::malloc(std::max<std::size_t>(pointers, 1) * sizeof(char*));
    if (!result->index) {
        session->lastError = genericError();
        clearResult(result);
        return TINYDB_E_NOMEM;
    }
    result->rows = static_cast<char**>(result->index);
    result->columns = result->rows + rowCount;
    if (!indexRowSet(data, dataLength, columnCount, rowCount, result->rows, result->columns)) {
        clearResult(result);
        return TINYDB_E_PARAM;
    }
    result->valid = 1;
    return 0;
}

int tinydb_read_result(tinydb_query_result* result, int row, int column, void* buffer, int* length)
{
    if (!result || !result->valid || !result->rows || !length || *length < 0 || row < 0 ||
        row >= result->rowCount || column < 0 || column >= result->columnCount)
        return TINYDB_E_PARAM;
    std::uint32_t fieldLength = 0;
    const char* value = locateField(result, row, column, &fieldLength);
    const int capacity = *length;
    *length = static_cast<int>(fieldLength);
    if (fieldLength > static_cast<std::uint32_t>(capacity))
        return TINYDB_E_BUFSIZE;
    if (fieldLength > 0) {
        if (!buffer)
            return TINYDB_E_PARAM;
        std::memcpy(buffer, value, fieldLength);
    }
    return 0;
}

int tinydb_free_result(tinydb_query_result* result)
{
    if (!result || !result->valid)
        return 0;
    std::free(result->data);
    std::free(result->index);
    result->valid = 0;
    result->rows = nullptr;
    result->columns = nullptr;
    result->data = nullptr;
    result->index = nullptr;
    return 0;
}

int tinydb_get_column_desc(tinydb_query_result* result, int column, tinydb_column_desc* desc)
{
    if (!result || !result->valid || !result->columns || !desc || column < 0 || column >= result->columnCount)
        return TINYDB_E_PARAM;
    const char* d = result->columns[column];
    desc->type = static_cast<unsigned char>(d[1]);
    desc->flag = static_cast<unsigned char>(d[2]);
    desc->name = d + columnDescBytes;
    return 0;
}

int tinydb_get_column_index(tinydb_query_result* result, const char* name)
{
    if (!result || !result->valid || !result->columns || !name)
        return -1;
    for (int c = 0; c < result->columnCount; ++c) {
        if (::strcasecmp(result->columns[c] + columnDescBytes, name) == 0)
            return c;
    }
    return -1;
}

namespace {

// Case-insensitive order of two text fields, each ending at its NUL or its length.
int compareText(const char* a, std::uint32_t aLength, const char* b, std::uint32_t bLength)
{
    const std::size_t aEnd = ::strnlen(a, aLength);
    const std::size_t bEnd = ::strnlen(b, bLength);
    for (std::size_t i = 0;; ++i) {
        const int ca = i < aEnd ? std::tolower(static_cast<unsigned char>(a[i])) : -1;
        const int cb = i < bEnd ? std::tolower(static_cast<unsigned char>(b[i])) : -1;
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == -1)
            return 0;
    }
}

// The first bytes of a field as a number as it lies in memory; a short
// field counts its missing bytes as zero.
template <typename T>
T loadNumber(const char* value, std::uint32_t length)
{
    T v = 0;
    std::memcpy(&v, value, std::min<std::size_t>(sizeof v, length));
    return v;
}

}  // namespace

int tinydb_sort_result(tinydb_query_result* result, int column, int /*order*/)
{
    if (!result || !result->valid || column < 0 || column >= result->columnCount)
        return TINYDB_E_PARAM;
    if (result->rowCount == 0 || !result->rows)
        return 0;
    const int type = static_cast<unsigned char>(result->columns[column][1]);
    auto fieldOf = [column](const char* row, std::uint32_t* length) {
        for (int c = 0; c < column; ++c)
            row += 4 + load32(row);
        *length = load32(row);
        return row + 4;
    };
    auto compare = [&](const char* a, const char* b) {
        std::uint32_t la = 0;
        std::uint32_t lb = 0;
        const char* va = fieldOf(a, &la);
        const char* vb = fieldOf(b, &lb);
        switch (type) {
        case TINYDB_COL_STRING:
            return compareText(va, la, vb, lb);
        case TINYDB_COL_UINT32:
        case TINYDB_COL_WORD32: {
            const std::uint32_t x = loadNumber<std::uint32_t>(va, la);
            const std::uint32_t y = loadNumber<std::uint32_t>(vb, lb);
            return x == y ? 0 : (x < y ? -1 : 1);
        }
        case TINYDB_COL_UINT16: {
            const std::uint16_t x = loadNumber<std::uint16_t>(va, la);
            const std::uint16_t y = loadNumber<std::uint16_t>(vb, lb);
            return x == y ? 0 : (x < y ? -1 : 1);
        }
        default:
            return 0;
        }
    };
    std::sort(result->rows, result->rows + result->rowCount,
              [&](const char* a, const char* b) { return compare(a, b) < 0; });
    return 0;
}

int tinydb_getupdatedata(void* handle, void* buffer, int* length)
{
    tinydb_cl* session = cl_get(handle);
    if (!length)
        return 0;
    const int capacity = *length;
    *length = 0;
    if (!session || session->udpSocket < 0 || !buffer)
        return 0;
    pollfd p{session->udpSocket, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
        return 0;
    char datagram[maxUpdateDatagram];
    const ssize_t n = zelvo::utils::recvWithinTimeout(session->udpSocket, datagram, sizeof datagram, 0);
    if (n <= 0 || n > capacity)
        return 0;
    if (static_cast<unsigned char>(datagram[0]) != session->protoVersion)
        return 0;
    std::memcpy(buffer, datagram + 1, static_cast<std::size_t>(n - 1));
    *length = static_cast<int>(n - 1);
    return 0;
}

void tinydb_generate_random_key(char* key, int factor)
{
    zelvo::utils::Random random;
    const std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    for (std::uint32_t skip = now % 20; skip > 0; --skip)
        random.getUInt();
    int local = 0;
    const std::uint32_t words[4] = {
        now,
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&local) * static_cast<std::uintptr_t>(factor)),
        random.getUInt(),
        random.getUInt(),
    };
    std::memcpy(key, words, sizeof words);
}
