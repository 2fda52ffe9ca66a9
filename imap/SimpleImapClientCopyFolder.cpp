// The bulk copy of one folder, in rounds: one FETCH of the dates and flags
// of the messages on this connection, then one FETCH of their bodies, one
// APPEND per message on the target, each body streamed from one socket to
// the other through the target's part buffer; then the same for the
// messages announced meanwhile.

#include <climits>
#include <cstdint>
#include <cstdio>

#include "foundation/text/Compare.h"
#include "imap/FetchMessage.h"
#include "imap/ImapException.h"
#include "imap/MessageTable.h"
#include "imap/SimpleImapClient.h"

using Result = SimpleImapClient::ImapClientResult;

namespace {

// Four backspaces, four blanks, four backspaces: blanks out a percentage.
constexpr const char* eraseSequence = "\b\b\b\b    \b\b\b\b";

bool startsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

unsigned clampToUnsigned(unsigned long long n)
{
    return n > UINT_MAX ? UINT_MAX : static_cast<unsigned>(n);
}

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

// One run of copyFolder: a step per request and round, one reader of the
// responses, the uploads, and one way out.
class SimpleImapClient::BulkCopy {
public:
    BulkCopy(SimpleImapClient& source, SimpleImapClient& target, const std::string& folder, unsigned& copied,
             unsigned& failed, std::ostream* progressStream, zelvo::tiny::ZMutex* progressMutex, bool showProgress,
             unsigned expected)
        : source(source), connection(source.connection), target(target), folder(folder), copied(copied),
          failed(failed), progressStream(progressStream), progressMutex(progressMutex), showProgress(showProgress),
          expected(expected), announced(expected), total(expected)
    {
        connection.forgetDropReason();
        message.setConnection(&connection);
        // A drain is never worth waiting for once the run is asked to stop.
        aborted = [this] { return this->source.wasAborted(); };
        message.setAbortCheck(aborted);
    }

    Result run(FolderCopyReport& out)
    {
        percentage();
        try {
            copyRounds();
        } catch (ImapException& e) {
            stop(handleImapException(e, Result::StatusFailed));
        }
        out = report;
        return outcome;
    }

private:
    enum class Request { Items, Bodies, Noop };
    // What the reader found: a FETCH response, the line that ends the
    // response, or nothing more (the copy has stopped).
    enum class Next { Message, End, Stopped };

    // Each round asks for the numbers announced and not asked for yet, until
    // there are none (an empty folder is never asked: "1:0" is an error) or
    // the rounds run out. A round after which nothing is left to ask is
    // followed by one NOOP: a server may tell of new mail only at the next
    // command (RFC 3501, 7.3.1), and what it tells there starts a further
    // round.
    void copyRounds()
    {
        unsigned rounds = 0;
        bool told = false;
        for (;;) {
            first = asked + 1;
            last = announced;
            if (first <= last) {
                if (rounds > maxFurtherRounds)
                    break;
                if (!fetch(Request::Items) || !fetch(Request::Bodies))
                    return;
                asked = last;
                ++rounds;
                told = false;
                if (lastRound)
                    break;
                continue;
            }
            // Nothing is asked after an abort, and nothing of an empty folder.
            if (rounds == 0 || told || source.wasAborted())
                break;
            if (!noop())
                return;
            told = true;
        }
        // Every message announced that brought no body is a failed download.
        const unsigned long missing = announced - table.bodiesCame(announced);
        stop(missing > 0 || itemsRefused ? Result::FetchFailed : Result::Ok);
    }

    // One NOOP, its answer read like every other response; false when the
    // copy has stopped. Its send never rebuilds the connection: a new one
    // has no folder selected to tell about.
    bool noop()
    {
        connection.sendContinuation("A NOOP\r\n");
        return handleResponse(Request::Noop);
    }

    // Sends the request for the numbers first to last and handles its
    // response to the end; false when the copy has stopped.
    bool fetch(Request request)
    {
        // Every number of the range may have been expunged meanwhile.
        if (first > last)
            return true;
        char text[128] = {0};
        std::snprintf(text, sizeof text, "A FETCH %lu:%lu (%s)\r\n", first, last,
                      request == Request::Items ? "INTERNALDATE FLAGS" : "BODY.PEEK[]");
        connection.send(text);
        return handleResponse(request);
    }

    // Reads the response to request to its end; false when the copy has
    // stopped.
    bool handleResponse(Request request)
    {
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
    // connection), or the line that ends the response in line. EXISTS and
    // EXPUNGE are acted on; other untagged data is passed over with its
    // literals.
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
            if (itemsAt != 0) {
                if (!readFetchItems(connection, line, itemsAt, items, aborted)) {
                    stop(Result::FetchFailed);
                    return Next::Stopped;
                }
                return Next::Message;
            }
            unsigned long count = 0;
            if (untaggedNumber(line, "EXISTS", count)) {
                // A count below the one known came without its EXPUNGEs:
                // those messages still count until they come or fail.
                if (count > announced) {
                    total += count - announced;
                    announced = count;
                }
            } else if (untaggedNumber(line, "EXPUNGE", count)) {
                expunge(count);
            } else if (!skipResponseLiterals(connection, line, aborted)) {
                stop(Result::FetchFailed);
                return Next::Stopped;
            }
        }
    }

    // The message of number left the folder; the numbers above it move
    // down, in the table and in the range asked for.
    void expunge(unsigned long number)
    {
        if (number == 0 || number > announced)
            return;
        const std::uint8_t state = table.expunge(number);
        // Deleted before its body came (or as a NIL body): not a failure.
        if ((state & MessageTable::BodyCame) == 0 || (state & MessageTable::NilBody)) {
            ++report.deleted;
            if (state & MessageTable::NilBody)
                --nilBodies;
        }
        --announced;
        if (number <= asked)
            --asked;
        if (number < first)
            --first;
        if (number <= last)
            --last;
    }

    // The line in line ends the response to request: true when the copy
    // goes on.
    bool endResponse(Request request)
    {
        // Only the line tagged "A" ends this response; after any other its
        // rest may still come and must not meet the next command.
        const bool ours = line.compare(0, 2, "A ") == 0;
        if (!ours)
            connection.dropConnection("the response ended on a line not tagged for it");
        const Result end = parseTaggedResponse(line);
        // Its completion, a refusal too, ends the command at which the server
        // could tell of new mail, and what it told is acted on. Without it,
        // whether more came is not known: the folder fails, with nothing
        // more counted.
        if (request == Request::Noop)
            return ours || stop(Result::FetchFailed);
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
        // A NIL body under EXPUNGEISSUED is a message deleted meanwhile;
        // without it, a body that did not come.
        const std::string code = "[EXPUNGEISSUED]";
        const bool expungeIssued = end == Result::Ok && zelvo::utils::iFind(line, code) != line.end();
        if (expungeIssued)
            report.deleted += nilBodies;
        else
            failDownloads(nilBodies);
        nilBodies = 0;
        table.settleNilBodies();
        if (end != Result::Ok)
            return stop(end);
        // The connection is gone: no further round can be asked for.
        lastRound = !ours;
        return true;
    }

    // One FETCH response: its date and flags are kept, and a body that
    // answers the body request is stored; any other body is read through.
    bool takeMessage(Request request, unsigned long number, FetchedItems& items)
    {
        MessageTable::Entry* entry = table.at(number, announced);
        if (entry)
            MessageTable::update(*entry, items);
        if (items.body == FetchedItems::Body::None)
            return true;

        message.reset();
        if (items.body == FetchedItems::Body::Literal)
            message.startBody(static_cast<unsigned>(items.bodySize));
        else if (items.body == FetchedItems::Body::Quoted)
            message.setBody(std::move(items.quotedBody));
        if (request != Request::Bodies)
            return skipBody();
        // A body is stored once, only in answer to the body request, and
        // only with the flags its source gave.
        const bool duplicate = entry && (entry->state & MessageTable::BodyCame);
        if (entry)
            entry->state |= MessageTable::BodyCame;
        if (duplicate)
            return skipBody();
        if (entry && items.body == FetchedItems::Body::Nil) {
            entry->state |= MessageTable::NilBody;
            ++nilBodies;
            return true;
        }
        if (!entry || !(entry->state & MessageTable::HasFlags) || message.getSize() == 0) {
            // A number not announced is no message of the folder; its
            // failure is counted beside those of the folder.
            if (!entry)
                ++strayFailures;
            failDownloads(1);
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
        if (uploaded == Result::Ok) {
            ++copied;
        } else if (connection.getState() == ConnectionInternal::State::Disconnected) {
            // The source broke inside the body (it was closed then).
            failDownloads(1);
        } else {
            ++failed;
            ++report.failedUploads;
        }
        if (source.wasAborted())
            return stop(Result::Ok, "aborted");
        if (uploaded != Result::Ok) {
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

    void failDownloads(unsigned long n)
    {
        failed = clampToUnsigned(static_cast<unsigned long long>(failed) + n);
        report.failedDownloads = clampToUnsigned(static_cast<unsigned long long>(report.failedDownloads) + n);
    }

    // The one way out. An abort ends Ok; whatever the result, every message
    // the source announced that was neither copied nor deleted counts as
    // failed, on the side the result names. With dropWhy the rest of the
    // response is left unread: the source connection is dropped, and
    // rebuilt by the next command if there is one. Always false, for the
    // steps to return.
    bool stop(Result result, const char* dropWhy = nullptr)
    {
        if (dropWhy)
            connection.dropConnection(dropWhy);
        erase();
        const bool wasAborted = source.wasAborted();
        if (wasAborted)
            result = Result::Ok;
        const unsigned long long done =
            static_cast<unsigned long long>(copied) + (failed - strayFailures) + report.deleted;
        report.announced = total;
        if (done < total) {
            report.aborted = wasAborted;
            // After an interrupt they failed on neither side.
            const unsigned long long left = total - done;
            failed = clampToUnsigned(failed + left);
            if (!wasAborted && result == Result::AppendFailed)
                report.failedUploads = clampToUnsigned(report.failedUploads + left);
            else if (!wasAborted)
                report.failedDownloads = clampToUnsigned(report.failedDownloads + left);
        }
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
    // The folder's count as the source last announced it.
    unsigned long announced;
    // Every message announced during the copy, deleted ones included.
    unsigned long long total;
    // Numbers asked for in earlier rounds, and the range of this round.
    unsigned long asked = 0;
    unsigned long first = 0;
    unsigned long last = 0;
    MessageTable table;
    FetchMessage message;
    AbortCheck aborted;
    std::string line;
    bool itemsRefused = false;
    bool lastRound = false;
    // NIL bodies of the response under way.
    unsigned long nilBodies = 0;
    // Failed bodies for numbers the source never announced.
    unsigned strayFailures = 0;
    FolderCopyReport report;
    Result outcome = Result::Ok;
};

Result SimpleImapClient::copyFolder(const std::string& folder, SimpleImapClient& target, unsigned& copied,
                                    unsigned& failed, std::ostream* progressStream,
                                    zelvo::tiny::ZMutex* progressMutex, bool showProgress, unsigned expected,
                                    FolderCopyReport* report)
{
    copied = 0;
    failed = 0;
    FolderCopyReport ignored;
    FolderCopyReport& out = report ? *report : ignored;
    out = FolderCopyReport();
    if (!connected)
        return Result::NotConnected;
    return BulkCopy(*this, target, folder, copied, failed, progressStream, progressMutex, showProgress, expected)
        .run(out);
}
