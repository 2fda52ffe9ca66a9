#include "foundation/net/Url.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <ostream>

namespace zelvo {
namespace utils {

namespace {

constexpr unsigned maxPortNumber = 65535;
// Scratch space for one services-database entry.
constexpr size_t serviceBufferSize = 1024;

bool allDigits(const std::string& text)
{
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Decimal value of an all-digit text when it is a valid port.
bool decimalPort(const std::string& text, int& value)
{
    unsigned long n = 0;
    for (char c : text) {
        n = n * 10 + unsigned(c - '0');
        if (n > maxPortNumber)
            return false;
    }
    value = int(n);
    return true;
}

bool servicePort(const std::string& name, int& value)
{
    servent entry;
    servent* result = nullptr;
    char scratch[serviceBufferSize];
    if (getservbyname_r(name.c_str(), nullptr, &entry, scratch, sizeof(scratch), &result) != 0 ||
        result == nullptr)
        return false;
    value = ntohs(uint16_t(result->s_port));
    return true;
}

} // namespace

Url::Url()
    : portNumber(0), resolved(false), parsed(true), dirty(false), pathParsed(true),
      pathDirty(false)
{
}

Url::Url(const std::string& text)
    : url(text), portNumber(0), resolved(false), parsed(false), dirty(false),
      pathParsed(false), pathDirty(false)
{
}

Url::Url(const Url& other) : Url()
{
    copyFrom(other);
}

Url& Url::operator=(const Url& other)
{
    if (this != &other)
        copyFrom(other);
    return *this;
}

void Url::copyFrom(const Url& other)
{
    protocol = other.getProtocol();
    user = other.getUser();
    password = other.getPassword();
    host = other.getHost();
    port = other.getPort();
    path = other.getPath();
    url = other.getUrl();
    query = other.getQuery();
    ref = other.getRef();
    file = other.getFile();
    dir = other.getDir();
    portNumber = other.portNumber;
    ip = Inet4Address();
    resolved = false;
    parsed = true;
    dirty = false;
    pathParsed = true;
    pathDirty = false;
}

bool Url::parse() const
{
    if (parsed)
        return true;

    size_t start = 0;
    const size_t sep = url.find("://");
    if (sep != std::string::npos) {
        protocol = url.substr(0, sep);
        start = sep + 3;
    }
    size_t end = url.find('/', start);
    if (end == std::string::npos)
        end = url.size();

    const size_t at = url.find('@', start);
    if (at != std::string::npos && at < end) {
        const size_t colon = url.find(':', start);
        if (colon != std::string::npos && colon < at) {
            user = url.substr(start, colon - start);
            password = url.substr(colon + 1, at - colon - 1);
        } else {
            user = url.substr(start, at - start);
        }
        start = at + 1;
    }

    path = end < url.size() ? url.substr(end) : std::string();

    const size_t colon = url.find(':', start);
    if (colon != std::string::npos && colon < end) {
        port = url.substr(colon + 1, end - colon - 1);
        end = colon;
    }
    if (end > start)
        host = url.substr(start, end - start);

    parsed = true;
    if (port.empty())
        return true;
    return assignPortNumber(port);
}

bool Url::parse_path() const
{
    if (!parsed)
        parse();
    if (pathParsed)
        return true;

    const size_t hash = path.rfind('#');
    if (hash != std::string::npos)
        ref = path.substr(hash + 1);

    size_t end;
    const size_t question = path.find('?');
    if (question != std::string::npos) {
        const size_t stop = (hash != std::string::npos && hash > question) ? hash : path.size();
        query = path.substr(question + 1, stop - question - 1);
        end = question;
    } else {
        end = hash != std::string::npos ? hash : path.size();
    }

    if (end > 0) {
        const size_t slash = path.rfind('/', end - 1);
        if (slash != std::string::npos) {
            if (end > slash + 1)
                file = path.substr(slash + 1, end - slash - 1);
            dir = path.substr(0, slash + 1);
        }
    }
    pathParsed = true;
    return true;
}

void Url::rebuildPath() const
{
    if (!pathDirty)
        return;
    path = dir + file;
    if (!query.empty())
        path += "?" + query;
    if (!ref.empty())
        path += "#" + ref;
    pathDirty = false;
    rebuildText();
}

void Url::rebuildText() const
{
    if (!dirty)
        return;
    dirty = false;
    rebuildPath();
    parse();
    url = protocol + "://";
    if (!user.empty()) {
        url += user;
        if (!password.empty())
            url += ":" + password;
        url += "@";
    }
    url += host;
    if (!port.empty())
        url += ":" + port;
    url += path;
}

void Url::update()
{
    rebuildText();
}

void Url::update_path()
{
    rebuildPath();
}

const std::string& Url::currentText() const
{
    rebuildText();
    return url;
}

bool Url::resolve(bool throwOnFailure)
{
    if (dirty) {
        rebuildText();
        resolved = false;
    }
    if (!parse()) {
        reset();
        return false;
    }
    if (resolved)
        return true;
    if (!host.empty()) {
        if (throwOnFailure) {
            ip = Inet4Address::getByName(host);
        } else {
            try {
                ip = Inet4Address::getByName(host);
            } catch (const CantResolveException&) {
                reset();
                return false;
            }
        }
    }
    resolved = true;
    return true;
}

void Url::reset()
{
    copyFrom(Url());
}

bool Url::assignPortNumber(std::string portText) const
{
    port = portText;
    int value = 0;
    bool ok;
    if (allDigits(port))
        ok = decimalPort(port, value);
    else
        ok = servicePort(port, value);
    if (!ok) {
        portNumber = 0;
        port.clear();
        return false;
    }
    portNumber = value;
    return true;
}

bool Url::portIsNumber() const
{
    rebuildText();
    parse();
    return allDigits(port);
}

bool Url::hostIsIp() const
{
    rebuildText();
    parse();
    return Inet4Address::hostIsIp(host);
}

void Url::setPort(int value)
{
    const std::string text = std::to_string(value);
    parse();
    dirty = true;
    assignPortNumber(text);
}

bool Url::isResolved() const
{
    return resolved && !dirty;
}

unsigned Url::getIP() const
{
    return ip.getAddress();
}

Inet4Address Url::getIP4() const
{
    return ip;
}

bool Url::isValid() const
{
    parse();
    rebuildPath();
    return !path.empty() || !host.empty();
}

bool Url::isValidWeb() const
{
    parse();
    rebuildPath();
    return !path.empty() && !host.empty() &&
           (protocol == "http" || protocol == "ftp" || protocol == "https");
}

bool Url::isLocal() const
{
    parse();
    return host.empty() && (protocol.empty() || protocol == "file");
}

const std::string& Url::getProtocol() const
{
    parse();
    return protocol;
}

const std::string& Url::getUser() const
{
    parse();
    return user;
}

const std::string& Url::getPassword() const
{
    parse();
    return password;
}

const std::string& Url::getHost() const
{
    parse();
    return host;
}

const std::string& Url::getPort() const
{
    parse();
    return port;
}

int Url::getPortNumber() const
{
    parse();
    return portNumber;
}

const std::string& Url::getPath() const
{
    parse();
    rebuildPath();
    return path;
}

const std::string& Url::getDir() const
{
    parse_path();
    return dir;
}

const std::string& Url::getFile() const
{
    parse_path();
    return file;
}

const std::string& Url::getQuery() const
{
    parse_path();
    return query;
}

const std::string& Url::getRef() const
{
    parse_path();
    return ref;
}

std::string Url::getUrl() const
{
    return currentText();
}

bool Url::getUrl(char* buffer, int length) const
{
    if (buffer == nullptr || length < 0)
        return false;
    std::strncpy(buffer, currentText().c_str(), size_t(length));
    return true;
}

bool Url::operator==(const Url& other) const
{
    return currentText() == other.currentText();
}

bool Url::operator!=(const Url& other) const
{
    return !(*this == other);
}

bool Url::operator==(const std::string& text) const
{
    return currentText() == text;
}

bool Url::operator!=(const std::string& text) const
{
    return !(*this == text);
}

void Url::dump() const
{
    std::puts("-----------------------");
    std::printf("Protocol = '%s'\n", getProtocol().c_str());
    std::printf("User     = '%s'\n", getUser().c_str());
    std::printf("Password = '%s'\n", getPassword().c_str());
    std::printf("Host     = '%s'\n", getHost().c_str());
    std::printf("Port     = '%s'\n", getPort().c_str());
    std::printf("Path     = '%s'\n", getPath().c_str());
    std::printf("Dir      = '%s'\n", getDir().c_str());
    std::printf("Filename = '%s'\n", getFile().c_str());
    std::printf("Query    = '%s'\n", getQuery().c_str());
    std::printf("Ref      = '%s'\n", getRef().c_str());
}

std::ostream& operator<<(std::ostream& out, const Url& url)
{
    return out << url.getUrl();
}

} // namespace utils
} // namespace zelvo
