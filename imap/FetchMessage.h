#pragma once

#include <functional>
#include <string>

#include "imap/IMessage.h"

class ConnectionInternal;

// Asked before each part of a drain (bytes read only to be dropped); true
// stops the drain and closes the connection.
using AbortCheck = std::function<bool()>;

// The items of one FETCH response that the copy uses, each kept no larger
// than its syntax needs: the system flags as bits, the date as a checked
// date-time, and the form of the body.
struct FetchedItems {
    // Bit i stands for StdImapFlag[i].
    unsigned flagBits = 0;
    bool hasFlags = false;
    // A valid INTERNALDATE as the source gave it (isInternalDate); empty
    // with hasDate false for NIL, an absent one or one that is no date-time.
    std::string date;
    bool hasDate = false;
    // Literal: bodySize bytes follow on the connection, then the rest of the
    // item list. Quoted: the body is quotedBody, and the response was read to
    // its end. Nil: BODY[] NIL.
    enum class Body { None, Literal, Quoted, Nil };
    Body body = Body::None;
    unsigned long bodySize = 0;
    std::string quotedBody;
};

// A message whose date, flags and size come from a FETCH reply of the source
// connection and whose body is read from that same connection part by part,
// while an APPEND on another connection sends each part on.
class FetchMessage : public IMessage {
public:
    // Part size of the body reads: the connection's counted-read size.
    static constexpr unsigned maxPartSize = 10240;

    FetchMessage();
    ~FetchMessage() override;

    bool getFirstDataPart(std::string& part) override;
    // The next part of at most maxPartSize bytes. After the last body byte
    // the rest of the FETCH response is read and dropped, and the last part
    // is delivered with true; the next call is false. That rest must read as
    // the rest of the response's item list (")" and the line end, or items
    // of a name and a number, quoted string, list, NIL or literal, then ")"
    // and the line end); anything else means the literal count was not the
    // body's. A body that ends early (end of stream, time-out), a rest that
    // does not read so, or an abort while a literal in it is skipped, closes
    // the source connection and throws ImapConnectionFailed before the last
    // part is delivered: the bytes already sent must not be completed. A
    // body held in memory (setBody) is delivered from there alone.
    bool getNextDataPart(std::string& part) override;
    std::string getFlags() override { return flags; }
    std::string getDate() override { return date; }
    unsigned getSize() override { return size; }

    // Reads a literal header "{n}" CR LF (the rest of a FETCH line) into size
    // and remaining; false for another shape, for n = 0 and for n above the
    // lexer's literal limit, leaving both unchanged except that size 0 is
    // stored for "{0}".
    bool setSize(std::string text);
    // Reads a parenthesised flag list into flags (removeNonStandartFlags);
    // false, flags unchanged, when it is not one.
    bool setFlags(std::string list);
    // A body of size bytes that comes next on the connection, followed by
    // the rest of its FETCH response's item list (as setSize).
    void startBody(unsigned size);
    // A body held in memory (a quoted BODY[] value), whose response has been
    // read to its end; the parts come from bytes, nothing from the connection.
    void setBody(std::string bytes);
    // Date and flags as getDate and getFlags give them.
    void setDateAndFlags(const std::string& date, const std::string& flags);
    // "INTERNALDATE" stores the date, "FLAGS" the flags (ignoring case):
    // true. Any other name: false.
    bool setData(const std::string& name, const std::string& value);
    // The first reply line of a single-message body FETCH:
    // "* n FETCH (BODY[] {size}" CR LF.
    bool parseResponse(const std::string& line);

    // Empties date and flags and sets size and remaining to 0.
    void reset();
    unsigned getRemaining() const { return remaining; }
    void setConnection(ConnectionInternal* c) { connection = c; }
    ConnectionInternal* getConnection() const { return connection; }
    // Polled before each part of every drain of this message; none by default.
    void setAbortCheck(AbortCheck check) { abortCheck = std::move(check); }

    // Reads and drops the body bytes still unread and the rest of the FETCH
    // response, so the source connection is back in step after an upload
    // that stopped early. False, with the connection closed, when the stream
    // ends first, the rest is not the rest of an item list, or the abort
    // check fires; getRemaining() then tells the body bytes left unread.
    bool skipRemaining();

private:
    std::string date;
    std::string flags;
    unsigned size;
    unsigned remaining;
    ConnectionInternal* connection; // borrowed
    // The rest of the item list follows the body on the connection.
    bool restPending = false;
    // The body is held here instead (setBody).
    std::string heldBody;
    bool held = false;
    AbortCheck abortCheck;
};

// The system flags of StdImapFlag among the blank-separated words of list
// (whole words, any letter case), in table order, separated by one blank;
// everything else dropped.
std::string removeNonStandartFlags(const std::string& list);
// The same flags as bits (bit i for StdImapFlag[i]) and back to text.
unsigned systemFlagBits(const std::string& list);
std::string systemFlagsText(unsigned bits);

// Resets message and reads one untagged FETCH line that ends in its body's
// literal header: "* n FETCH (", items in any order (INTERNALDATE and FLAGS
// kept, every other item skipped with its value), then "BODY[]" with the
// header. False for any other shape and for a body of 0 bytes.
bool loadFetchResponse(const std::string& line, FetchMessage& message);
// The item list of such a line, after its "(".
bool loadFetchResponseInsideInfo(const std::string& items, FetchMessage& message);

// Where the item list of an untagged FETCH response begins: after "* n
// FETCH (", with n in number (RFC 3501 nz-number, 32 bits). 0 for any other
// line.
std::size_t fetchItemsStart(const std::string& line, unsigned long& number);

// The number of an untagged "* n WORD" response such as "* 41 EXISTS" or
// "* 5 EXPUNGE" (the word in any case, the line end right after it; n a
// 32-bit number, 0 too). False for any other line.
bool untaggedNumber(const std::string& line, const char* word, unsigned long& number);

// Reads the item list of one FETCH response, line holding it from from on,
// with the lines and literals that follow on connection: INTERNALDATE and
// FLAGS into items, every other item skipped with its value (number, quoted
// string, list, NIL or literal), wherever it stands. Stops after a BODY[]
// literal header (items.body Literal: the body bytes come next) or at the
// end of the response. False, with the connection closed, when the text is
// not such an item list, the stream ends, or aborted fires while a literal
// is skipped.
bool readFetchItems(ConnectionInternal& connection, std::string line, std::size_t from, FetchedItems& items,
                    const AbortCheck& aborted = nullptr);

// Reads the rest of a response whose last line was line: while a line ends
// in a literal header, its bytes are read and dropped and the next line
// read. False (connection closed) when the stream ends first, a literal is
// larger than the lexer accepts, or aborted, polled before each part, fires.
bool skipResponseLiterals(ConnectionInternal& connection, std::string line, const AbortCheck& aborted = nullptr);

// Longest INTERNALDATE text: "dd-Mon-yyyy hh:mm:ss +zzzz".
constexpr std::size_t internalDateLength = 26;

// True when s has the INTERNALDATE form "dd-Mon-yyyy hh:mm:ss +zzzz" (the
// day may be one digit, or a blank and one digit).
bool isInternalDate(const std::string& s);
