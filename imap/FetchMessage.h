#pragma once

#include <functional>
#include <string>

#include "imap/IMessage.h"

class ConnectionInternal;

// Asked before each part of a drain (bytes read only to be dropped); true
// stops the drain and closes the connection.
using AbortCheck = std::function<bool()>;

// The date and flags one FETCH response carried, kept for a later response
// of the same message that brings the body without them.
struct FetchedItems {
    std::string date;
    std::string flags;
    bool hasDate = false;
    bool hasFlags = false;

    // Takes the items that later carried; keeps the others.
    void update(const FetchedItems& later);
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
    // part is delivered: the bytes already sent must not be completed.
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
    // The date and flags this response carried (since the last reset).
    FetchedItems getItems() const;
    // Takes from earlier the items this response did not carry.
    void addMissingItems(const FetchedItems& earlier);
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
    bool dateGiven = false;
    bool flagsGiven = false;
    AbortCheck abortCheck;
};

// The system flags of StdImapFlag found in list (case-insensitive substring
// search), in table order, separated by one blank; everything else dropped.
std::string removeNonStandartFlags(const std::string& list);

// Resets message and reads one untagged line of the bulk FETCH:
// "* n FETCH (" then INTERNALDATE and FLAGS items in any order, then
// "BODY[]" with its literal header. False for any other shape.
bool loadFetchResponse(const std::string& line, FetchMessage& message);
// The item list of such a line, after its "(".
bool loadFetchResponseInsideInfo(const std::string& items, FetchMessage& message);

// Reads the rest of a response whose last line was line: while a line ends
// in a literal header, its bytes are read and dropped and the next line
// read. False (connection closed) when the stream ends first, a literal is
// larger than the lexer accepts, or aborted, polled before each part, fires.
bool skipResponseLiterals(ConnectionInternal& connection, std::string line, const AbortCheck& aborted = nullptr);

// True when s has the INTERNALDATE form "dd-Mon-yyyy hh:mm:ss +zzzz" (the
// day may be one digit, or a blank and one digit).
bool isInternalDate(const std::string& s);
