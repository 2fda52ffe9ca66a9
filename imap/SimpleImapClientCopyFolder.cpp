// The bulk copy of one folder: one FETCH of the whole folder on this
// connection, one APPEND per message on the target, each body streamed from
// one socket to the other through the target's part buffer.

#include <cstdio>

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

// "* n FETCH": an untagged message response, whatever its items.
bool isFetchResponse(const std::string& line)
{
    std::size_t p = line.find_first_not_of(' ', 1);
    if (p == std::string::npos || line[p] < '0' || line[p] > '9')
        return false;
    p = line.find_first_not_of("0123456789", p);
    if (p == std::string::npos || line[p] != ' ')
        return false;
    p = line.find_first_not_of(' ', p);
    return p != std::string::npos && line.size() >= p + 5 &&
           (line.compare(p, 5, "FETCH") == 0 || line.compare(p, 5, "fetch") == 0);
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

void SimpleImapClient::finishFetch(bool abortedCopy)
{
    if (connection.getState() == ConnectionInternal::State::Disconnected)
        return;
    // After an abort the rest of the folder is not worth reading: the
    // connection is dropped, and rebuilt by the next command if there is one.
    if (abortedCopy) {
        connection.close();
        return;
    }
    try {
        std::string line;
        for (;;) {
            line.clear();
            connection.recvLine(line);
            if (line.empty() || startsWith(line, "* BYE")) {
                connection.close();
                return;
            }
            if (line[0] != '*')
                return;
            if (!skipResponseLiterals(connection, line))
                return;
        }
    } catch (ImapException&) {
        connection.close();
    }
}

Result SimpleImapClient::copyFolder(const std::string& folder, SimpleImapClient& target, unsigned& copied,
                                    unsigned& failed, std::ostream* progressStream,
                                    zelvo::tiny::ZMutex* progressMutex, bool showProgress, unsigned expected)
{
    copied = 0;
    failed = 0;
    if (!connected)
        return Result::NotConnected;

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

    FetchMessage message;
    message.setConnection(&connection);
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
                connection.close();
                erase();
                return stop(Result::FetchFailed);
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
                if (copied + failed < expected)
                    return stop(Result::FetchFailed);
                return Result::Ok;
            }
            if (startsWith(line, "* BYE")) {
                connection.close();
                erase();
                return stop(Result::ConnectionFailed);
            }

            bool loaded = false;
            try {
                loaded = loadFetchResponse(line, message);
            } catch (ImapParserException&) {
                loaded = false;
            }
            if (!loaded) {
                // A message without a usable body is counted; other untagged
                // data (EXISTS, EXPUNGE, OK) is not a message. Either way its
                // literals are skipped to stay in step.
                if (isFetchResponse(line))
                    ++failed;
                if (!skipResponseLiterals(connection, line)) {
                    erase();
                    return stop(Result::FetchFailed);
                }
                continue;
            }

            const Result uploaded = target.append(folder, &message, false);
            if (uploaded == Result::Ok) {
                ++copied;
            } else {
                ++failed;
                // A body the upload did not drain is read and dropped here;
                // a source that broke inside it ends the folder.
                if (connection.getState() == ConnectionInternal::State::Disconnected || !message.skipRemaining()) {
                    erase();
                    return stop(Result::FetchFailed);
                }
            }
            if (wasAborted()) {
                finishFetch(true);
                erase();
                return stop(Result::Ok);
            }
            if (uploaded == Result::ConnectionFailed)
                target.connection.close(); // a late reply must not meet the next command
            if (uploaded == Result::NotConnected ||
                target.connection.getState() == ConnectionInternal::State::Disconnected) {
                // The target connection is gone: the rest of the folder
                // cannot go anywhere now. The next folder rebuilds it.
                finishFetch(false);
                erase();
                return stop(Result::AppendFailed);
            }
            erase();
            percentage();
        }
    } catch (ImapException& e) {
        return stop(handleImapException(e, Result::StatusFailed));
    }
}
