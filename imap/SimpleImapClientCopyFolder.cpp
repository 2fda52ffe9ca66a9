// The bulk copy of one folder: one FETCH of the whole folder on this
// connection, one APPEND per message on the target, each body streamed from
// one socket to the other through the target's part buffer.

#include <cstdio>
#include <map>

#include "imap/FetchMessage.h"
#include "imap/ImapException.h"
#include "imap/SimpleImapClient.h"

using Result = SimpleImapClient::ImapClientResult;

namespace {

// The fixed tag of the bulk request: the connection's own counter is left
// alone, so the tagged reply is recognised by not being untagged.
constexpr const char* fetchRequest = "A FETCH 1:* (INTERNALDATE FLAGS BODY.PEEK[])\r\n";

// Four backspaces, four blanks, four backspaces: blanks out a percentage.
constexpr const char* eraseSequence = "\b\b\b\b    \b\b\b\b";

bool startsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// "* n FETCH": an untagged message response, whatever its items; its
// message number in number.
bool isFetchResponse(const std::string& line, unsigned long& number)
{
    std::size_t p = line.find_first_not_of(' ', 1);
    if (p == std::string::npos || line[p] < '0' || line[p] > '9')
        return false;
    const std::size_t digits = p;
    p = line.find_first_not_of("0123456789", p);
    // Message numbers are 32-bit (RFC 3501 nz-number).
    if (p == std::string::npos || line[p] != ' ' || p - digits > 10)
        return false;
    number = std::stoul(line.substr(digits, p - digits));
    p = line.find_first_not_of(' ', p);
    return p != std::string::npos && line.size() >= p + 5 &&
           (line.compare(p, 5, "FETCH") == 0 || line.compare(p, 5, "fetch") == 0);
}

// Message numbers as ranges (first -> last), so the numbers of a folder
// fetched in order take one entry.
class NumberSet {
public:
    bool contains(unsigned long n) const
    {
        auto next = ranges.upper_bound(n);
        return next != ranges.begin() && std::prev(next)->second >= n;
    }

    void insert(unsigned long n)
    {
        if (contains(n))
            return;
        auto next = ranges.upper_bound(n);
        if (next != ranges.begin() && std::prev(next)->second + 1 == n) {
            auto joined = std::prev(next);
            joined->second = n;
            if (next != ranges.end() && next->first == n + 1) {
                joined->second = next->second;
                ranges.erase(next);
            }
            return;
        }
        if (next != ranges.end() && next->first == n + 1) {
            const unsigned long last = next->second;
            ranges.erase(next);
            ranges.emplace(n, last);
            return;
        }
        ranges.emplace(n, n);
    }

private:
    std::map<unsigned long, unsigned long> ranges;
};

// Numbers that a FETCH response without a usable body may keep waiting for
// their body beyond the folder's message count (messages delivered during the
// copy); more means a broken source, whose lines would only fill memory.
constexpr std::size_t maxWaitingBeyondExpected = 1024;

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

    // Date and flags of FETCH responses without a usable body, by message
    // number, for a body of that number still to come; each left at the end
    // is a failed message. Numbers whose body came are in handled, so a
    // later FLAGS update for them is nothing more.
    std::map<unsigned long, FetchedItems> waiting;
    NumberSet handled;

    auto settleWaiting = [&]() {
        failed += static_cast<unsigned>(waiting.size());
        waiting.clear();
    };
    // Every message the source reported and that was not copied counts as
    // failed when the copy stops early.
    auto stop = [&](Result result) {
        settleWaiting();
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
        char request[128] = {0};
        std::snprintf(request, sizeof request, "%s", fetchRequest);
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
                erase();
                // Only the line tagged "A" ends this response; after any
                // other its rest may still come and must not meet the next
                // command.
                if (line.compare(0, 2, "A ") != 0)
                    connection.close();
                const Result end = parseTaggedResponse(line);
                if (end != Result::Ok)
                    return stop(end);
                // A response that ends well but brought fewer messages than
                // the folder reported lost some on the way: they count as
                // failed downloads, never as nothing.
                settleWaiting();
                if (copied + failed < expected)
                    return stop(Result::FetchFailed);
                return Result::Ok;
            }
            if (startsWith(line, "* BYE"))
                return dropSource(Result::ConnectionFailed);

            bool loaded = false;
            try {
                loaded = loadFetchResponse(line, message);
            } catch (ImapParserException&) {
                loaded = false;
            }
            unsigned long number = 0;
            const bool isMessage = isFetchResponse(line, number);
            if (!loaded) {
                // Items without a usable body wait for a body of their
                // number; other untagged data (EXISTS, EXPUNGE, OK) is not a
                // message. Either way its literals are skipped to stay in step.
                if (isMessage && !handled.contains(number)) {
                    waiting[number].update(message.getItems());
                    if (waiting.size() > static_cast<std::size_t>(expected) + maxWaitingBeyondExpected)
                        return dropSource(Result::FetchFailed);
                }
                if (!skipResponseLiterals(connection, line, aborted)) {
                    erase();
                    return stop(wasAborted() ? Result::Ok : Result::FetchFailed);
                }
                continue;
            }
            if (isMessage) {
                const auto earlier = waiting.find(number);
                if (earlier != waiting.end()) {
                    message.addMissingItems(earlier->second);
                    waiting.erase(earlier);
                }
                handled.insert(number);
            }

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
                // through could take as long as the folder is large. The next
                // folder rebuilds both connections.
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
    } catch (ImapException& e) {
        return stop(handleImapException(e, Result::StatusFailed));
    }
}
