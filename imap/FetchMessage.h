#pragma once

#include <string>

#include "imap/IMessage.h"

class ConnectionInternal;

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
    // the rest of the FETCH response (its closing line, with any literal
    // that follows the body) is read and dropped, and the last part is
    // delivered with true; the next call is false. A body that ends early
    // (end of stream, time-out), or one after which the response does not go
    // on with ")" or a blank (its count was wrong), closes the source
    // connection and throws ImapConnectionFailed: the bytes already sent must
    // not be completed with anything else.
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

    // Reads and drops the body bytes still unread and the rest of the FETCH
    // response, so the source connection is back in step after an upload
    // that stopped early. False (connection closed) when the stream ends
    // first.
    bool skipRemaining();

private:
    std::string date;
    std::string flags;
    unsigned size;
    unsigned remaining;
    ConnectionInternal* connection; // borrowed
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
// read. False (connection closed) when the stream ends first or a literal is
// larger than the lexer accepts.
bool skipResponseLiterals(ConnectionInternal& connection, std::string line);

// True when s has the INTERNALDATE form "dd-Mon-yyyy hh:mm:ss +zzzz" (the
// day may be one digit, or a blank and one digit).
bool isInternalDate(const std::string& s);
