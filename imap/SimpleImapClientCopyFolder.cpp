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

Result SimpleImapClient::copyFolder(const std::string& folder, SimpleImapClient& target, unsigned& copied,
                                    unsigned& failed, std::ostream* progressStream,
                                    zelvo::tiny::ZMutex* progressMutex, bool showProgress, unsigned expected)
{
    copied = 0;
    failed = 0;
    if (!connected)
        return Result::NotConnected;

    MessageTable table(expected);

    // Every message the source reported and that was not copied counts as
    // failed when the copy stops early.
    auto stop = [&](Result result) {
        if (copied + failed < expected)
            failed = expected - copied;
        return result;
    };
    // Never past 100, whatever arrives and whatever was expected.
    auto percentage = [&]() {
        unsigned long long p = 100;
        if (copied == 0)
            p = 0;
        else if (expected != 0 && copied < expected)
            p = static_cast<unsigned long long>(copied) * 100 / expected;
        char buffer[10] = {0};
        std::snprintf(buffer, sizeof buffer, "%3d%%", static_cast<int>(p));
        writeProgress(buffer, progressStream, progressMutex, showProgress);
    };
    auto erase = [&]() { writeProgress(eraseSequence, progressStream, progressMutex, showProgress); };
    // Ends the copy leaving the rest of the response unread: the connection
    // is dropped, and rebuilt by the next command if there is one.
    auto dropSource = [&](Result result) {
        connection.close();
        erase();
        return stop(result);
    };

    FetchMessage message;
    message.setConnection(&connection);
    // A drain is never worth waiting for once the run is asked to stop.
    const AbortCheck aborted = [this] { return wasAborted(); };
    message.setAbortCheck(aborted);
    percentage();

    // "1:*" on an empty folder is an error to the server.
    if (expected == 0) {
        erase();
        return Result::Ok;
    }

    try {
        // A NO to the first request may still have brought most dates and
        // flags; the messages without them fail, and so does the folder.
        bool itemsRefused = false;
        for (const bool bodies : {false, true}) {
            char request[128] = {0};
            std::snprintf(request, sizeof request, "%s", bodies ? bodiesRequest : itemsRequest);
            connection.send(request);

            std::string line;
            for (;;) {
                line.clear();
                connection.recvLine(line);
                if (line.empty()) {
                    // Silent for the whole time-out: whatever comes later is stale.
                    return dropSource(Result::FetchFailed);
                }
                if (line[0] != '*') {
                    // Only the line tagged "A" ends this response; after any
                    // other its rest may still come and must not meet the
                    // next command.
                    const bool ours = line.compare(0, 2, "A ") == 0;
                    if (!ours)
                        connection.close();
                    const Result end = parseTaggedResponse(line);
                    if (!bodies) {
                        if (ours && end == Result::Ok)
                            break;
                        if (ours && zelvo::utils::iEqual(line.substr(2, 3), "NO ")) {
                            itemsRefused = true;
                            break;
                        }
                        erase();
                        return stop(Result::FetchFailed);
                    }
                    erase();
                    if (end != Result::Ok)
                        return stop(end);
                    // Every message of the folder that brought no body is a
                    // failed download, also when the response ends well.
                    const unsigned missing = table.missing(expected);
                    failed += missing;
                    if (missing > 0 || itemsRefused)
                        return stop(Result::FetchFailed);
                    return Result::Ok;
                }
                if (startsWith(line, "* BYE"))
                    return dropSource(Result::ConnectionFailed);

                unsigned long number = 0;
                const std::size_t itemsAt = fetchItemsStart(line, number);
                if (itemsAt == 0) {
                    // Other untagged data (EXISTS, EXPUNGE, OK) is no message;
                    // its literals are skipped to stay in step.
                    if (!skipResponseLiterals(connection, line, aborted)) {
                        erase();
                        return stop(wasAborted() ? Result::Ok : Result::FetchFailed);
                    }
                    continue;
                }
                FetchedItems items;
                if (!readFetchItems(connection, line, itemsAt, items, aborted)) {
                    erase();
                    return stop(wasAborted() ? Result::Ok : Result::FetchFailed);
                }
                MessageTable::Entry* entry = table.at(number);
                if (entry)
                    table.update(*entry, items);
                if (items.body == FetchedItems::Body::None)
                    continue;

                message.reset();
                if (items.body == FetchedItems::Body::Literal)
                    message.startBody(static_cast<unsigned>(items.bodySize));
                else if (items.body == FetchedItems::Body::Quoted)
                    message.setBody(std::move(items.quotedBody));
                // A body is stored once, only in answer to the body request,
                // and only with the flags its source gave.
                const bool duplicate = entry && (entry->state & MessageTable::BodyCame);
                const bool storable = bodies && entry && !duplicate && (entry->state & MessageTable::HasFlags) &&
                                      items.body != FetchedItems::Body::Nil && message.getSize() > 0;
                if (bodies && entry)
                    entry->state |= MessageTable::BodyCame;
                if (!storable) {
                    if (bodies && !duplicate)
                        ++failed;
                    if (!message.skipRemaining()) {
                        erase();
                        return stop(wasAborted() ? Result::Ok : Result::FetchFailed);
                    }
                    continue;
                }
                message.setDateAndFlags(
                    (entry->state & MessageTable::HasDate) ? std::string(entry->date.data(), entry->dateLength)
                                                           : std::string(),
                    systemFlagsText(entry->flagBits));

                const Result uploaded = target.append(folder, &message, false);
                if (uploaded == Result::Ok)
                    ++copied;
                else
                    ++failed;
                if (wasAborted())
                    return dropSource(Result::Ok);
                if (uploaded == Result::Ok) {
                    erase();
                    percentage();
                    continue;
                }
                // The source broke inside the body (it was closed then).
                if (connection.getState() == ConnectionInternal::State::Disconnected) {
                    erase();
                    return stop(Result::FetchFailed);
                }
                if (uploaded == Result::ConnectionFailed)
                    target.connection.close(); // a late reply must not meet the next command
                if (uploaded == Result::NotConnected ||
                    target.connection.getState() == ConnectionInternal::State::Disconnected) {
                    // The rest of the folder cannot go anywhere now; reading it
                    // through could take as long as the folder is large. The
                    // next folder rebuilds both connections.
                    return dropSource(Result::AppendFailed);
                }
                // A body the upload did not drain is read and dropped here.
                if (!message.skipRemaining()) {
                    erase();
                    return stop(wasAborted() ? Result::Ok : Result::FetchFailed);
                }
                erase();
                percentage();
            }
        }
        return Result::Ok; // not reached: the body request's tagged line returns
    } catch (ImapException& e) {
        return stop(handleImapException(e, Result::StatusFailed));
    }
}
