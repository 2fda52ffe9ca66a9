#ifndef ZELVO_ADMIN_TINYDB_H
#define ZELVO_ADMIN_TINYDB_H

// Client of the target's administration database: a TLSv1 session with a
// byte-level login, one statement at a time, each answered by one framed
// reply. The interface is flat: every function takes the opaque session
// handle and returns 0 or one of the error numbers below; any other non-zero
// number is a status passed through from the server.

#include <string>

enum {
    TINYDB_E_NOMEM = 100,        // allocating memory for a reply failed
    TINYDB_E_SOCKET = 101,       // resolution, connection, read or write failed
    TINYDB_E_PARAM = 102,        // bad argument, empty or malformed reply
    TINYDB_E_SSL = 103,          // setting up the TLS session failed
    TINYDB_E_BUFSIZE = 402,      // the caller's buffer is too small for a field
    TINYDB_E_KNOWNHOSTS = 604,   // known hosts unusable or certificate not accepted
    TINYDB_E_VERSION = 700,      // the server speaks another protocol version
    TINYDB_E_ALLOC = 701,        // allocating the session failed
    TINYDB_E_AUTH = 702,         // the login was refused or broke off
    TINYDB_E_LOCKTIMEOUT = 703,  // the known-hosts file stayed locked
};

// Column types of a row set.
enum {
    TINYDB_COL_STRING = 1,  // text as received
    TINYDB_COL_UINT32 = 2,  // converted to host order on receipt
    TINYDB_COL_UINT64 = 3,  // converted to host order on receipt
    TINYDB_COL_WORD32 = 4,  // kept in received byte order
    TINYDB_COL_UINT16 = 7,  // kept in received byte order
    TINYDB_COL_LIST = 8,    // {32-bit length, bytes} items ended by a zero length
};

// Asked when the server's certificate is new (knownFingerprint empty) or
// differs from the recorded one; true accepts and records it.
typedef bool (*tinydb_fingerprint_callback)(const std::string& knownFingerprint,
                                            const std::string& presentedFingerprint,
                                            const std::string& hostDescription, unsigned short port,
                                            const std::string& productName);

// One answer. The result owns data and index until tinydb_free_result;
// rows and columns point into them.
struct tinydb_query_result {
    int kind;         // 's' for a row set
    int columnCount;
    int rowCount;
    int extra;        // not interpreted
    int valid;        // 1 while the result holds an answer
    char** rows;      // each row's first field in data
    char** columns;   // each column's descriptor in data
    char* data;       // the received block, converted in place
    void* index;      // rows followed by columns
};

struct tinydb_column_desc {
    int type;
    int flag;
    const char* name;  // points into the result's data
};

int tinydb_connect(const char* host, const char* port, int* fd, int* osError, std::string* address);
int tinydb_initsession(void** handle, int fd, int* osError);
int tinydb_open(void** handle, const char* host, const char* port, int* osError,
                tinydb_fingerprint_callback callback, std::string* fingerprint);
// Each pointer output may be NULL. A non-NULL id asks for a session id and an
// update key; wantUpdates then also registers the update channel.
int tinydb_authenticate(void* handle, const char* user, const char* password, unsigned* id, int* version,
                        int* value1, int* value2, int* value3, const char* clientName, int wantUpdates);
int tinydb_close(void* handle);
int tinydb_get_error(void* handle);

int tinydb_send_query(void* handle, const char* statement, tinydb_query_result* result);
// *length is the buffer's capacity on entry and the field's length on return.
int tinydb_read_result(tinydb_query_result* result, int row, int column, void* buffer, int* length);
int tinydb_free_result(tinydb_query_result* result);
int tinydb_get_column_desc(tinydb_query_result* result, int column, tinydb_column_desc* desc);
int tinydb_get_column_index(tinydb_query_result* result, const char* name);
int tinydb_sort_result(tinydb_query_result* result, int column, int order);
// One update datagram without its version byte, or *length 0 for none.
int tinydb_getupdatedata(void* handle, void* buffer, int* length);
void tinydb_generate_random_key(char* key, int factor);

#endif
