#ifndef ZELVO_FOUNDATION_TLS_SSLERRHANDLER_H
#define ZELVO_FOUNDATION_TLS_SSLERRHANDLER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "foundation/system/ZMutex.h"

namespace zelvo {
namespace ssl {

class ZSslSocket;

// OpenSSL error codes kept per thread until that thread reads them. Library
// code that sees an OpenSSL failure moves the calling thread's queue here
// and returns its own failure value; getLastError() later renders the codes.
class SslErrHandler {
public:
    // Discards the calling thread's pending OpenSSL error codes.
    static void emptyErrorQueue();

    // Moves every pending code of the calling thread's OpenSSL queue into its
    // list, in order.
    void checkForError();

    // Appends SSL_get_error(connection, result) of the socket's connection
    // to the calling thread's list, even when that is 0. Only the
    // ZSslSocket specialisation exists.
    template <class Socket>
    void checkForError(Socket& socket, int result);

    // Appends one code to the calling thread's list.
    void record(unsigned long code);

    // Takes the calling thread's list: appends the text of every code, each
    // followed by "\n", to text (which is not emptied first) and returns the
    // last code. Without a list text is emptied and the result is 0.
    unsigned long getLastError(std::string& text);

    // Guards the map of every instance. Never destroyed, so errors can still
    // be recorded by exit-time code after static destructors have run.
    static tiny::ZMutex& mutex;

private:
    std::map<std::uint32_t, std::vector<unsigned long>> errors;
};

template <>
void SslErrHandler::checkForError<ZSslSocket>(ZSslSocket& socket, int result);

// The process-wide record; it exists from program start and is never
// destroyed. Users take a copy of the pointer for the length of their call.
extern boost::shared_ptr<SslErrHandler>& errHandler;

}  // namespace ssl
}  // namespace zelvo

#endif
