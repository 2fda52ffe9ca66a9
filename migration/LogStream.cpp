#include "migration/LogStream.h"

#include "foundation/text/Format.h"

#include <iostream>

LogStream::LogStream(std::ostream* stream)
    : enabled(true), debug(false), lineOpen(false), out(stream ? stream : &buffer)
{
}

void LogStream::setMode(bool enabledMode, bool debugMode)
{
    enabled = enabledMode;
    debug = debugMode;
}

void LogStream::log(const LogType& type, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vlog(type, format, arguments);
    va_end(arguments);
}

void LogStream::vlog(const LogType& type, const char* format, va_list arguments)
{
    zelvo::tiny::ZMutexGuard guard(&mutex);
    char text[kMaxMessage + 2];
    const int length = zelvo::utils::vsnprintfx(text, kMaxMessage + 1, format, arguments);

    switch (type) {
    case Error:
        if (lineOpen) {
            *out << '\n';
            lineOpen = false;
        }
        ++errorLines;
        *out << "ERROR: ";
        out->write(text, length);
        *out << '\n';
        break;
    case Debug:
        if (debug) {
            std::cerr << "DEBUG: ";
            std::cerr.write(text, length);
        }
        break;
    case Line:
        if (enabled) {
            lineOpen = false;
            out->write(text, length);
        }
        break;
    case Begin:
        if (enabled) {
            lineOpen = true;
            out->write(text, length);
        }
        break;
    case End:
        if (enabled) {
            if (lineOpen)
                out->write(text, length);
            lineOpen = false;
        }
        break;
    default:
        break;
    }
    out->flush();
}

void LogStream::getData(std::string& data)
{
    zelvo::tiny::ZMutexGuard guard(&mutex);
    data = buffer.str();
    buffer.str(std::string());
    buffer.clear();
}
