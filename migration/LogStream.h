#ifndef ZELVO_MIGRATION_LOGSTREAM_H
#define ZELVO_MIGRATION_LOGSTREAM_H

#include "foundation/system/ZMutex.h"

#include <cstdarg>
#include <ostream>
#include <sstream>
#include <string>

// The tool's console log. Errors always show; plain lines and progress lines
// (a Begin text closed later on the same line by an End text) only when
// enabled; debug lines go to standard error, only in debug mode. Every
// message is cut at 2046 characters and the stream is flushed after it.
// Thread- and re-entrance-safe through a recursive mutex.
class LogStream {
public:
    enum LogType : int {
        Error = 0, // "ERROR: " + text + "\n", after "\n" when a progress line is open
        Line = 1,
        Begin = 2, // opens a progress line
        End = 3,   // written only when a progress line is open
        Debug = 4, // "DEBUG: " + text on standard error
    };

    // The longest message text kept; the rest is dropped.
    static constexpr int kMaxMessage = 2046;

    // A null stream makes the log collect its output for getData.
    explicit LogStream(std::ostream* stream);
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Not locked: set before the first message.
    void setMode(bool enabled, bool debug);

    void log(const LogType& type, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void vlog(const LogType& type, const char* format, va_list arguments);

    // Moves what the internal buffer holds into data (replacing its contents).
    void getData(std::string& data);

    // Shared with the bulk folder copy, which writes its percentage to out
    // under mutex when enabled is set.
    bool enabled;
    bool debug;
    bool lineOpen;
    unsigned errorLines = 0; // the Error messages written so far
    std::ostream* out;
    std::stringstream buffer;
    zelvo::tiny::ZMutex mutex;
};

#endif
