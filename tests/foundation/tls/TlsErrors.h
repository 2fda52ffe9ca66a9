// The calling thread's error list of the TLS layer, as the tests read it.
#pragma once

#include <string>

#include "foundation/tls/SslErrHandler.h"

namespace tlstest {

// Empties the calling thread's list and returns its text.
inline std::string takeErrors()
{
    std::string text;
    zelvo::ssl::errHandler->getLastError(text);
    return text;
}

// Empties the list, so that a later check sees only what follows.
inline void dropErrors()
{
    takeErrors();
}

} // namespace tlstest
