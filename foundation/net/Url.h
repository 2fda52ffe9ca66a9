#ifndef ZELVO_FOUNDATION_NET_URL_H
#define ZELVO_FOUNDATION_NET_URL_H

#include "foundation/net/InetAddress.h"

#include <iosfwd>
#include <string>

namespace zelvo {
namespace utils {

// A URL of the form [protocol "://"] [user [":" password] "@"] host
// [":" port] [path], the path further split into directory, file name,
// query and fragment. The text is split lazily on the first request for a
// component, so the const accessors fill cached state. Not thread-safe.
// There are no default ports per protocol: a URL without a port has port 0.
class Url {
public:
    Url();
    explicit Url(const std::string& text);
    Url(const Url& other);
    Url& operator=(const Url& other);

    // Splits the text; false only on the first parse of a port that is
    // neither a number in 0..65535 nor a known service name.
    bool parse() const;
    // Splits the path into dir, file, query and ref.
    bool parse_path() const;
    // Rebuild the text (and the path) after a component changed.
    void update();
    void update_path();

    // Resolves the host to an IPv4 address. With throwOnFailure false an
    // unresolvable host resets the URL and returns false; with it true the
    // CantResolveException propagates.
    bool resolve(bool throwOnFailure);
    void reset();

    // Sets the port text; a decimal port in 0..65535 or a service name from
    // the services database gives the port number, anything else clears the
    // port and returns false.
    bool assignPortNumber(std::string portText) const;
    bool portIsNumber() const;
    bool hostIsIp() const;
    void setPort(int port);

    bool isResolved() const;
    unsigned getIP() const;
    Inet4Address getIP4() const;

    bool isValid() const;
    bool isValidWeb() const;
    bool isLocal() const;

    // Component accessors; each parses as needed.
    const std::string& getProtocol() const;
    const std::string& getUser() const;
    const std::string& getPassword() const;
    const std::string& getHost() const;
    const std::string& getPort() const;   // the port text
    int getPortNumber() const;
    const std::string& getPath() const;
    const std::string& getDir() const;
    const std::string& getFile() const;
    const std::string& getQuery() const;
    const std::string& getRef() const;

    // The URL text, rebuilt when a component changed.
    std::string getUrl() const;
    // Copies the text as strncpy does: no NUL when it has `length`
    // characters or more.
    bool getUrl(char* buffer, int length) const;

    bool operator==(const Url& other) const;
    bool operator!=(const Url& other) const;
    bool operator==(const std::string& text) const;
    bool operator!=(const std::string& text) const;

    // Prints every component on standard output.
    void dump() const;

private:
    // The text after a pending rebuild; const users share the cache.
    const std::string& currentText() const;
    void rebuildText() const;
    void rebuildPath() const;
    void copyFrom(const Url& other);

    mutable std::string protocol;
    mutable std::string user;
    mutable std::string password;
    mutable std::string host;
    mutable std::string port;
    mutable std::string path;
    mutable std::string url;
    mutable std::string query;
    mutable std::string ref;
    mutable std::string file;
    mutable std::string dir;
    mutable int portNumber;
    Inet4Address ip;
    mutable bool resolved;
    mutable bool parsed;
    mutable bool dirty;
    mutable bool pathParsed;
    mutable bool pathDirty;
};

std::ostream& operator<<(std::ostream& out, const Url& url);

} // namespace utils
} // namespace zelvo

#endif
