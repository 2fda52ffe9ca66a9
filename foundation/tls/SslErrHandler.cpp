#include "foundation/tls/SslErrHandler.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include "foundation/system/Thread.h"

namespace zelvo {
namespace ssl {

namespace {

// The mutex and the record are reached through functions, so that code
// running before this file's static initialisation finds them too, and are
// never destroyed, so that exit handlers can still record errors.
//
// OpenSSL registers its own cleanup with atexit on first initialisation;
// that cleanup could run before exit handlers that still talk TLS.
// Starting it here, before main, with NO_ATEXIT keeps it usable to the end.
tiny::ZMutex& errorMutex()
{
    static tiny::ZMutex* const m = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        return new tiny::ZMutex();
    }();
    return *m;
}

boost::shared_ptr<SslErrHandler>& errorRecord()
{
    static boost::shared_ptr<SslErrHandler>* const record =
        new boost::shared_ptr<SslErrHandler>(new SslErrHandler());
    return *record;
}

constexpr std::size_t errorTextSize = 4096;

}  // namespace

tiny::ZMutex& SslErrHandler::mutex = errorMutex();
boost::shared_ptr<SslErrHandler>& errHandler = errorRecord();

void SslErrHandler::emptyErrorQueue()
{
    while (ERR_get_error() != 0) {
    }
}

void SslErrHandler::checkForError()
{
    tiny::ZMutexGuard guard(&errorMutex());
    std::vector<unsigned long>* list = nullptr;
    while (unsigned long code = ERR_get_error()) {
        if (!list)
            list = &errors[tiny::threadID()];
        list->push_back(code);
    }
}

void SslErrHandler::record(unsigned long code)
{
    tiny::ZMutexGuard guard(&errorMutex());
    errors[tiny::threadID()].push_back(code);
}

unsigned long SslErrHandler::getLastError(std::string& text)
{
    std::vector<unsigned long> codes;
    {
        tiny::ZMutexGuard guard(&errorMutex());
        auto it = errors.find(tiny::threadID());
        if (it == errors.end()) {
            text.clear();
            return 0;
        }
        codes.swap(it->second);
        errors.erase(it);
    }
    unsigned long last = 0;
    char buffer[errorTextSize];
    for (unsigned long code : codes) {
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += buffer;
        text += '\n';
        last = code;
    }
    return last;
}

}  // namespace ssl
}  // namespace zelvo
