// The bulk copy of one folder: one FETCH of the dates and flags of the whole
// folder on this connection, then one FETCH of its bodies, one APPEND per
// message on the target, each body streamed from one socket to the other
// through the target's part buffer.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "foundation/text/Compare.h"
#include "imap/FetchMessage.h"
#include "imap/ImapException.h"
#include "imap/SimpleImapClient.h"

using Result = SimpleImapClient::ImapClientResult;

namespace {

// The bulk requests, with the fixed tag "A": the connection's own counter is
// left alone, so a tagged reply is recognised by not being untagged. Dates
// and flags come first, so that each body can be stored with them whatever
// order the server gives the items of a response in.
constexpr const char* itemsRequest = "A FETCH 1:* (INTERNALDATE FLAGS)\r\n";
constexpr const char* bodiesRequest = "A FETCH 1:* (BODY.PEEK[])\r\n";

// Four backspaces, four blanks, four backspaces: blanks out a percentage.
constexpr const char* eraseSequence = "\b\b\b\b    \b\b\b\b";

bool startsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Message numbers beyond the folder's count that the table below keeps
// (messages delivered during the copy); the items of higher numbers are
// dropped, so a source that floods responses cannot fill memory.
constexpr std::size_t maxNumbersBeyondExpected = 1024;

// What the copy knows of each message of the folder, by message number: its
// date and flags from the first request, and whether its body came. An entry
// takes 29 bytes; the table holds at most expected + maxNumbersBeyondExpected
// entries (its vector at most twice that while it grows), so a folder of
// 10 000 messages needs about 300 KB.
class MessageTable {
public:
    enum : std::uint8_t { HasFlags = 1, HasDate = 2, BodyCame = 4 };

    struct Entry {
        std::array<char, internalDateLength> date;
        std::uint8_t dateLength = 0;
        std::uint8_t flagBits = 0;
        std::uint8_t state = 0;
    };

    static_assert(sizeof(Entry) == internalDateLength + 3, "the bound stated above");

    explicit MessageTable(unsigned expected) : limit(static_cast<std::size_t>(expected) + maxNumbersBeyondExpected)
    {
    }

    // Null beyond the limit.
    Entry* at(unsigned long number)
    {
        if (number == 0 || number > limit)
            return nullptr;
        if (number > entries.size())
            entries.resize(number);
        return &entries[number - 1];
    }

    // A later response's date and flags replace the earlier ones until the
    // body has come.
    void update(Entry& e, const FetchedItems& items)
    {
        if (e.state & BodyCame)
            return;
        if (items.hasFlags) {
            e.flagBits = static_cast<std::uint8_t>(items.flagBits);
            e.state |= HasFlags;
        }
        if (items.hasDate && items.date.size() <= internalDateLength) {
            std::copy(items.date.begin(), items.date.end(), e.date.begin());
            e.dateLength = static_cast<std::uint8_t>(items.date.size());
            e.state |= HasDate;
        }
    }

    // Numbers from 1 to expected whose body never came.
    unsigned missing(unsigned expected) const
    {
        unsigned came = 0;
        const std::size_t last = std::min<std::size_t>(expected, entries.size());
        for (std::size_t i = 0; i < last; ++i)
            if (entries[i].state & BodyCame)
                ++came;
        return expected - came;
    }

private:
    std::size_t limit;
    std::vector<Entry> entries;
};

} // namespace

void SimpleImapClient::writeProgress(const char* text, std::ostream* stream, zelvo::tiny::ZMutex* mutex,
                                     bool show)
{
    if (mutex == nullptr) {
        if (show && stream)
            *stream << text << std::flush;
        return;
    }
    zelvo::tiny::ZMutexGuard guard(mutex);
    if (show && stream)
        *stream << text << std::flush;
}

// One run of copyFolder: a step per request, one reader of the responses,
// the uploads, and one way out.
class SimpleImapClient::BulkCopy {
public:
    BulkCopy(SimpleImapClient& source, SimpleImapClient& target, const std::string& folder, unsigned& copied,
             unsigned& failed, std::ostream* progressStream, zelvo::tiny::ZMutex* progressMutex, bool showProgress,
             unsigned expected)
        : source(source), connection(source.connection), target(target), folder(folder), copied(copied),
          failed(failed), progressStream(progressStream), progressMutex(progressMutex), showProgress(showProgress),
          expected(expected), table(expected)
    {
        connection.forgetDropReason();
        message.setConnection(&connection);
        // A drain is never worth waiting for once the run is asked to stop.
        aborted = [this] { return this->source.wasAborted(); };
        message.setAbortCheck(aborted);
    }

    Result run()
    {
        percentage();
        // "1:*" on an empty folder is an error to the server.
        if (expected == 0) {
            stop(Result::Ok);
            return outcome;
        }
        try {
            if (fetch(Request::Items))
                fetch(Request::Bodies);
        } catch (ImapException& e) {
            stop(handleImapException(e, Result::StatusFailed));
        }
        return outcome;
    }

private:
    enum class Request { Items, Bodies };
    // What the reader found: a FETCH response, the line that ends the
    // response, or nothing more (the copy has stopped).
    enum class Next { Message, End, Stopped };

    // Sends the request and handles its response to the end; false when the
    // copy has stopped.
    bool fetch(Request request)
    {
        connection.send(request == Request::Items ? itemsRequest : bodiesRequest);
        for (;;) {
            unsigned long number = 0;
            FetchedItems items;
            switch (readResponse(number, items)) {
            case Next::Stopped:
                return false;
            case Next::End:
                return endResponse(request);
            case Next::Message:
                break;
            }
            if (!takeMessage(request, number, items))
                return false;
        }
    }

    // The one reader of the source's responses: the next FETCH response's
    // number and items up to its body (which then comes next on the
    // connection), or the line that ends the response in line. Other
    // untagged data is passed over with its literals.
    Next readResponse(unsigned long& number, FetchedItems& items)
    {
        for (;;) {
            line.clear();
            connection.recvLine(line);
            if (line.empty()) {
                // Silent for the whole time-out: whatever comes later is stale.
                stop(Result::FetchFailed, "silent for the read time-out");
                return Next::Stopped;
            }
            if (line[0] != '*')
                return Next::End;
            if (startsWith(line, "* BYE")) {
                stop(Result::ConnectionFailed, "the source said BYE");
                return Next::Stopped;
            }
            const std::size_t itemsAt = fetchItemsStart(line, number);
            if (itemsAt == 0) {
                // Other untagged data (EXISTS, EXPUNGE, OK) is no message; its
                // literals are skipped to stay in step.
                if (!skipResponseLiterals(connection, line, aborted)) {
                    stop(Result::FetchFailed);
                    return Next::Stopped;
                }
                continue;
            }
            if (!readFetchItems(connection, line, itemsAt, items, aborted)) {
                stop(Result::FetchFailed);
                return Next::Stopped;
            }
            return Next::Message;
        }
    }

    // The line in line ends the response to request: true when the copy
    // goes on with the next request.
    bool endResponse(Request request)
    {
        // Only the line tagged "A" ends this response; after any other its
        // rest may still come and must not meet the next command.
        const bool ours = line.compare(0, 2, "A ") == 0;
        if (!ours)
            connection.dropBadInput("the response ended on a line not tagged for it");
        const Result end = parseTaggedResponse(line);
        if (request == Request::Items) {
            if (ours && end == Result::Ok)
                return true;
            // A NO may still have brought most dates and flags; the messages
            // without them fail, and so does the folder.
            if (ours && zelvo::utils::iEqual(line.substr(2, 3), "NO ")) {
                itemsRefused = true;
                return true;
            }
            return stop(Result::FetchFailed);
        }
        if (end != Result::Ok)
            return stop(end);
        // Every message of the folder that brought no body is a failed
        // download, also when the response ends well.
        const unsigned missing = table.missing(expected);
        failed += missing;
        return stop(missing > 0 || itemsRefused ? Result::FetchFailed : Result::Ok);
    }

    // One FETCH response: its date and flags are kept, and a body that
    // answers the body request is stored; any other body is read through.
    bool takeMessage(Request request, unsigned long number, FetchedItems& items)
    {
        MessageTable::Entry* entry = table.at(number);
        if (entry)
            table.update(*entry, items);
        if (items.body == FetchedItems::Body::None)
            return true;

        message.reset();
        if (items.body == FetchedItems::Body::Literal)
            message.startBody(static_cast<unsigned>(items.bodySize));
        else if (items.body == FetchedItems::Body::Quoted)
            message.setBody(std::move(items.quotedBody));
        // A body is stored once, only in answer to the body request, and
        // only with the flags its source gave.
        const bool bodies = request == Request::Bodies;
        const bool duplicate = entry && (entry->state & MessageTable::BodyCame);
        const bool storable = bodies && entry && !duplicate && (entry->state & MessageTable::HasFlags) &&
                              items.body != FetchedItems::Body::Nil && message.getSize() > 0;
        if (bodies && entry)
            entry->state |= MessageTable::BodyCame;
        if (!storable) {
            if (bodies && !duplicate)
                ++failed;
            return skipBody();
        }
        message.setDateAndFlags((entry->state & MessageTable::HasDate)
                                    ? std::string(entry->date.data(), entry->dateLength)
                                    : std::string(),
                                systemFlagsText(entry->flagBits));
        return upload();
    }

    // The message goes to the target; false when the copy has stopped.
    bool upload()
    {
        const Result uploaded = target.append(folder, &message, false);
        if (uploaded == Result::Ok)
            ++copied;
        else
            ++failed;
        if (source.wasAborted())
            return stop(Result::Ok, "aborted");
        if (uploaded != Result::Ok) {
            // The source broke inside the body (it was closed then).
            if (connection.getState() == ConnectionInternal::State::Disconnected)
                return stop(Result::FetchFailed);
            if (uploaded == Result::ConnectionFailed)
                target.connection.close(); // a late reply must not meet the next command
            if (uploaded == Result::NotConnected ||
                target.connection.getState() == ConnectionInternal::State::Disconnected) {
                // The rest of the folder cannot go anywhere now; reading it
                // through could take as long as the folder is large. The
                // next folder rebuilds both connections.
                return stop(Result::AppendFailed, "the target is gone");
            }
            // A body the upload did not drain is read and dropped here.
            if (!skipBody())
                return false;
        }
        erase();
        percentage();
        return true;
    }

    bool skipBody() { return message.skipRemaining() || stop(Result::FetchFailed); }

    // The one way out. An abort ends Ok; whatever the result, every message
    // the source reported and that was not copied counts as failed. With
    // dropWhy the rest of the response is left unread: the source connection
    // is dropped, and rebuilt by the next command if there is one. Always
    // false, for the steps to return.
    bool stop(Result result, const char* dropWhy = nullptr)
    {
        if (dropWhy)
            connection.dropBadInput(dropWhy);
        erase();
        if (result != Result::Ok && source.wasAborted())
            result = Result::Ok;
        if (copied + failed < expected)
            failed = expected - copied;
        outcome = result;
        return false;
    }

    // Never past 100, whatever arrives and whatever was expected.
    void percentage()
    {
        unsigned long long p = 100;
        if (copied == 0)
            p = 0;
        else if (expected != 0 && copied < expected)
            p = static_cast<unsigned long long>(copied) * 100 / expected;
        char buffer[10] = {0};
        std::snprintf(buffer, sizeof buffer, "%3d%%", static_cast<int>(p));
        source.writeProgress(buffer, progressStream, progressMutex, showProgress);
    }

    void erase() { source.writeProgress(eraseSequence, progressStream, progressMutex, showProgress); }

    SimpleImapClient& source;
    ConnectionInternal& connection; // the source's
    SimpleImapClient& target;
    const std::string& folder;
    unsigned& copied;
    unsigned& failed;
    std::ostream* progressStream;
    zelvo::tiny::ZMutex* progressMutex;
    bool showProgress;
    const unsigned expected;
    MessageTable table;
    FetchMessage message;
    AbortCheck aborted;
    std::string line;
    bool itemsRefused = false;
    Result outcome = Result::Ok;
};

Result SimpleImapClient::copyFolder(const std::string& folder, SimpleImapClient& target, unsigned& copied,
                                    unsigned& failed, std::ostream* progressStream,
                                    zelvo::tiny::ZMutex* progressMutex, bool showProgress, unsigned expected)
{
    copied = 0;
    failed = 0;
    if (!connected)
        return Result::NotConnected;
    return BulkCopy(*this, target, folder, copied, failed, progressStream, progressMutex, showProgress, expected)
        .run();
}
