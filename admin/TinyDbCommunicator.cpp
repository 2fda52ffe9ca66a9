#include "admin/TinyDbCommunicator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "admin/KnownHostsFile.h"
#include "admin/TinydbSession.h"
#include "migration/LogStream.h"
#include "migration/WebStarPostOffice.h"
#include "migration/WebStarUser.h"

namespace {

constexpr std::uint16_t firstTemporaryImapPort = 8143;
constexpr int startAttempts = 2;
constexpr int fieldBufferBytes = 256;

// What the known-hosts question refused last, for connect's error line.
struct Refusal {
    bool refused = false;
    std::string known;
    std::string presented;
    std::string host;
};
thread_local Refusal lastRefusal;

// Values go between quotes unescaped: a quote, a backslash or a control
// character could end the value early or change the statement.
bool isSafeValue(const std::string& value)
{
    for (unsigned char c : value) {
        if (c == '\'' || c == '"' || c == '\\' || c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

// The value as an error line can show it.
std::string printable(const std::string& value)
{
    std::string out;
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string formatBinding(const TinyDbCommunicator::ImapBinding& b)
{
    char text[160];
    std::snprintf(text, sizeof text, "insert ServicePorts set Service='IMAP', IPAddress='%s', Port='%d'",
                  b.address().c_str(), b.port);
    return text;
}

}  // namespace

class TinyDbCommunicator::Answer {
public:
    Answer() = default;
    ~Answer()
    {
        if (held)
            tinydb_free_result(&result);
    }
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    // Where the answer goes; frees one still held first.
    tinydb_query_result* receive()
    {
        if (held)
            tinydb_free_result(&result);
        held = false;
        return &result;
    }
    void keep() { held = true; }
    tinydb_query_result* operator->() { return &result; }
    // Reads one field into buffer; 0 with length the field's length.
    int read(int row, int column, void* buffer, int& length)
    {
        return tinydb_read_result(&result, row, column, buffer, &length);
    }

private:
    tinydb_query_result result = {};
    bool held = false;
};

std::string TinyDbCommunicator::ImapBinding::address() const
{
    unsigned char octets[4];
    std::memcpy(octets, &ip, sizeof octets);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    return text;
}

bool callback(const std::string& knownFingerprint, const std::string& presentedFingerprint,
              const std::string& hostDescription, unsigned short /*port*/, const std::string& /*productName*/)
{
    if (knownFingerprint.empty())
        return true;
    lastRefusal.refused = true;
    lastRefusal.known = knownFingerprint;
    lastRefusal.presented = presentedFingerprint;
    lastRefusal.host = hostDescription;
    return false;
}

TinyDbCommunicator::TinyDbCommunicator(const std::string& user, const std::string& password,
                                       const std::string& host, LogStream& log, unsigned adminPort)
    : db(nullptr),
      user(user),
      password(password),
      host(host),
      log(log),
      adminPort(adminPort),
      connected(false),
      imapPort(firstTemporaryImapPort),
      imapAutoStart(0),
      imapRunning(0),
      statusSaved(false),
      leftToRestore(false),
      triedAtExit(false)
{
}

TinyDbCommunicator::~TinyDbCommunicator()
{
    if (!db)
        return;
    if (needsRestore() && !triedAtExit)
        restoreAtExit();
    close();
}

int TinyDbCommunicator::restoreAtExit()
{
    if (!needsRestore())
        return TinyDbResult::Ok;
    if (triedAtExit)
        return TinyDbResult::Failed;
    triedAtExit = true;
    if (restoreImapStatus() == TinyDbResult::Ok)
        return TinyDbResult::Ok;
    // A refusal on a sound session is known, and would only be refused again.
    if (!sessionBroken())
        return TinyDbResult::Failed;
    if (connect(true) != TinyDbResult::Ok)
        return TinyDbResult::AnswerLost;
    const int rc = restoreUnlessAsSaved();
    return rc == TinyDbResult::AnswerLost ? lookOnceMore() : rc;
}

int TinyDbCommunicator::restoreUnlessAsSaved()
{
    // Look before speaking: a restore carried out whose answer was lost, or
    // a stop never carried out, left the service as it was found, and a
    // restore would only cut its clients once more.
    if (compareWithSaved() == TinyDbResult::Ok)
        return TinyDbResult::Ok;
    if (sessionBroken())
        return TinyDbResult::AnswerLost;
    if (restoreImapStatus() == TinyDbResult::Ok)
        return TinyDbResult::Ok;
    return sessionBroken() ? TinyDbResult::AnswerLost : TinyDbResult::Failed;
}

int TinyDbCommunicator::lookOnceMore()
{
    if (connect(true) != TinyDbResult::Ok)
        return TinyDbResult::AnswerLost;
    return compareWithSaved();
}

bool TinyDbCommunicator::sessionBroken() const
{
    const zelvo::tinydb::tinydb_cl* session = cl_get(db);
    return !session || session->broken;
}

bool TinyDbCommunicator::statementRefused() const
{
    const zelvo::tinydb::tinydb_cl* session = cl_get(db);
    return session && session->refused;
}

void TinyDbCommunicator::close()
{
    if (!db)
        return;
    tinydb_close(db);
    db = nullptr;
    connected = false;
}

int TinyDbCommunicator::connect(bool authenticate)
{
    close();
    char port[16];
    std::snprintf(port, sizeof port, "%d", static_cast<int>(adminPort));
    int osError = 0;
    std::string fingerprint;
    lastRefusal = Refusal();
    zelvo::tinydb::KnownHostsFile::clearLastFailure();
    knownHostsProblem.clear();
    if (tinydb_open(&db, host.c_str(), port, &osError, callback, &fingerprint) != 0) {
        db = nullptr;
        knownHostsProblem = zelvo::tinydb::KnownHostsFile::lastFailure();
        if (lastRefusal.refused) {
            std::string path;
            zelvo::tinydb::KnownHostsFile::getKnownHostsCfg(path);
            log.log(LogStream::Error,
                    "The certificate of %s has changed since the last connection.\n"
                    "Known fingerprint:     %s\nPresented fingerprint: %s\n"
                    "If the change is expected, remove the line of this server from %s and run again.\n",
                    lastRefusal.host.c_str(), lastRefusal.known.c_str(), lastRefusal.presented.c_str(),
                    path.c_str());
            lastRefusal = Refusal();
        }
        return TinyDbResult::OpenFailed;
    }
    if (!authenticate)
        return TinyDbResult::Ok;
    unsigned sessionId = 0;
    int version = 0;
    int value1 = 0;
    int value2 = 0;
    int value3 = 0;
    if (tinydb_authenticate(db, user.c_str(), password.c_str(), &sessionId, &version, &value1, &value2, &value3,
                            "", 0) != 0)
        return TinyDbResult::NotConnected;
    connected = true;
    return TinyDbResult::Ok;
}

int TinyDbCommunicator::send(const std::string& statement, Answer& answer)
{
    if (tinydb_send_query(db, statement.c_str(), answer.receive()) != 0)
        return TinyDbResult::QueryFailed;
    answer.keep();
    return TinyDbResult::Ok;
}

int TinyDbCommunicator::execute(const std::string& statement)
{
    Answer answer;
    return send(statement, answer);
}

int TinyDbCommunicator::insert(const std::string& statement)
{
    const bool brokenBefore = sessionBroken();
    if (execute(statement) == TinyDbResult::Ok)
        return TinyDbResult::Ok;
    return !brokenBefore && sessionBroken() ? TinyDbResult::AnswerLost : TinyDbResult::QueryFailed;
}

int TinyDbCommunicator::queryValue(const std::string& statement, std::uint32_t& value)
{
    Answer answer;
    if (send(statement, answer) != 0)
        return TinyDbResult::QueryFailed;
    char buffer[fieldBufferBytes];
    int length = sizeof buffer;
    if (answer.read(0, 0, buffer, length) != 0 || length < 4)
        return TinyDbResult::QueryFailed;
    std::memcpy(&value, buffer, sizeof value);
    return TinyDbResult::Ok;
}

bool TinyDbCommunicator::checkValues(const char* what, const std::string& owner,
                                     const std::vector<std::pair<const char*, const std::string*>>& values)
{
    for (const auto& v : values) {
        if (isSafeValue(*v.second))
            continue;
        // A password is never shown, not even a broken one.
        const std::string shown =
            std::strcmp(v.first, "password") == 0 ? std::string() : " \"" + printable(*v.second) + "\"";
        log.log(LogStream::Error, "Cannot create %s \"%s\": its %s%s holds a quote, a backslash or a control character\n",
                what, printable(owner).c_str(), v.first, shown.c_str());
        return false;
    }
    return true;
}

int TinyDbCommunicator::saveAndChangeImapStatus()
{
    if (!connected)
        return TinyDbResult::NotConnected;
    const int rc = saveImapServiceStatus();
    if (rc != 0)
        return rc;
    return changeImapServiceStatus();
}

int TinyDbCommunicator::saveImapServiceStatus()
{
    if (statusSaved)
        return TinyDbResult::Ok;
    savedBindings.clear();
    if (!connected)
        return TinyDbResult::NotConnected;
    std::vector<ImapBinding> bindings;
    std::uint32_t running = 0;
    std::uint32_t autoStart = 0;
    const int rc = readImapStatus(bindings, running, autoStart);
    if (rc != TinyDbResult::Ok)
        return rc;
    savedBindings = bindings;
    imapRunning = running;
    imapAutoStart = autoStart;
    statusSaved = true;
    return TinyDbResult::Ok;
}

int TinyDbCommunicator::compareWithSaved()
{
    std::vector<ImapBinding> bindings;
    std::uint32_t running = 0;
    std::uint32_t autoStart = 0;
    if (!connected || readImapStatus(bindings, running, autoStart) != TinyDbResult::Ok)
        return TinyDbResult::AnswerLost;
    auto byAddressAndPort = [](const ImapBinding& a, const ImapBinding& b) {
        return a.ip != b.ip ? a.ip < b.ip : a.port < b.port;
    };
    std::vector<ImapBinding> saved = savedBindings;
    std::sort(saved.begin(), saved.end(), byAddressAndPort);
    std::sort(bindings.begin(), bindings.end(), byAddressAndPort);
    const bool sameBindings =
        std::equal(saved.begin(), saved.end(), bindings.begin(), bindings.end(),
                   [](const ImapBinding& a, const ImapBinding& b) { return a.ip == b.ip && a.port == b.port; });
    if (!sameBindings || (running != 0) != (imapRunning != 0))
        return TinyDbResult::Failed;
    leftToRestore = false;
    return TinyDbResult::Ok;
}

int TinyDbCommunicator::readImapStatus(std::vector<ImapBinding>& bindings, std::uint32_t& running,
                                       std::uint32_t& autoStart)
{
    bindings.clear();
    Answer ports;
    if (send("select Port, IPAddress from ServicePorts where Service='IMAP'", ports) != 0)
        return TinyDbResult::QueryFailed;
    // The restore puts back exactly what is read here: an answer that is no
    // row set, or fields of another size, would come back as no bindings or
    // as wrong ones, so the switch does not begin.
    if (ports->kind != 's')
        return TinyDbResult::QueryFailed;
    char buffer[fieldBufferBytes];
    for (int row = 0; row < ports->rowCount; ++row) {
        ImapBinding binding;
        int length = sizeof buffer;
        if (ports.read(row, 0, buffer, length) != 0 || length != 2)
            return TinyDbResult::QueryFailed;
        binding.port = static_cast<std::uint16_t>(static_cast<unsigned char>(buffer[0]) * 256 +
                                                  static_cast<unsigned char>(buffer[1]));
        length = sizeof buffer;
        if (ports.read(row, 1, buffer, length) != 0 || length != 4)
            return TinyDbResult::QueryFailed;
        std::memcpy(&binding.ip, buffer, sizeof binding.ip);
        bindings.push_back(binding);
    }

    Answer state;
    if (send("select Running, AutoStart from service-imap", state) != 0)
        return TinyDbResult::QueryFailed;
    int length = sizeof buffer;
    if (state->rowCount != 1 || state.read(0, 0, buffer, length) != 0 || length < 4)
        return TinyDbResult::QueryFailed;
    std::memcpy(&running, buffer, sizeof running);
    length = sizeof buffer;
    if (state.read(0, 1, buffer, length) != 0 || length < 4)
        return TinyDbResult::QueryFailed;
    std::memcpy(&autoStart, buffer, sizeof autoStart);
    return TinyDbResult::Ok;
}

int TinyDbCommunicator::changeImapServiceStatus()
{
    if (!connected)
        return TinyDbResult::NotConnected;
    std::uint32_t value = 0;
    leftToRestore = true;
    if (queryValue("select stop_service('IMAP')", value) != 0) {
        // A stop the server refused left the target as it was.
        leftToRestore = !statementRefused();
        return TinyDbResult::QueryFailed;
    }
    for (int attempt = 1; attempt <= startAttempts; ++attempt) {
        if (execute("delete from ServicePorts where Service='IMAP'") != 0)
            return TinyDbResult::QueryFailed;
        char insert[128];
        std::snprintf(insert, sizeof insert,
                      "insert ServicePorts set Service='IMAP', IPAddress='0.0.0.0', Port='%d'", imapPort);
        if (execute(insert) != 0)
            return TinyDbResult::QueryFailed;
        if (!connected)
            return TinyDbResult::NotConnected;
        if (queryValue("select start_service('IMAP')", value) != 0)
            return TinyDbResult::QueryFailed;
        if (value != 0)
            return TinyDbResult::Ok;
        ++imapPort;
    }
    return TinyDbResult::Failed;
}

int TinyDbCommunicator::restoreImapStatus()
{
    const int rc = putBackImapStatus();
    if (rc == TinyDbResult::Ok)
        leftToRestore = false;
    return rc;
}

int TinyDbCommunicator::putBackImapStatus()
{
    if (!connected)
        return TinyDbResult::NotConnected;
    std::uint32_t value = 0;
    if (queryValue("select stop_service('IMAP')", value) != 0)
        return TinyDbResult::QueryFailed;
    if (execute("delete from ServicePorts where Service='IMAP'") != 0)
        return TinyDbResult::QueryFailed;
    for (const ImapBinding& binding : savedBindings) {
        if (execute(formatBinding(binding)) != 0)
            return TinyDbResult::QueryFailed;
    }
    if (imapRunning == 0)
        return TinyDbResult::Ok;
    if (!connected)
        return TinyDbResult::NotConnected;
    if (queryValue("select start_service('IMAP')", value) != 0)
        return TinyDbResult::QueryFailed;
    return value != 0 ? TinyDbResult::Ok : TinyDbResult::Failed;
}

int TinyDbCommunicator::setGlobalPublicFolders()
{
    if (!connected)
        return TinyDbResult::NotConnected;
    return execute("update Misc set PublicFoldersPerDomain='0'");
}

int TinyDbCommunicator::stopImapService()
{
    if (!connected)
        return TinyDbResult::NotConnected;
    std::uint32_t value = 0;
    if (queryValue("select stop_service('IMAP')", value) != 0)
        return TinyDbResult::QueryFailed;
    return value != 0 ? TinyDbResult::Ok : TinyDbResult::Failed;
}

int TinyDbCommunicator::startImapService()
{
    if (!connected)
        return TinyDbResult::NotConnected;
    std::uint32_t value = 0;
    if (queryValue("select start_service('IMAP')", value) != 0)
        return TinyDbResult::QueryFailed;
    return value != 0 ? TinyDbResult::Ok : TinyDbResult::Failed;
}

int TinyDbCommunicator::createDomain(const boost::shared_ptr<WebStarPostOffice>& postOffice)
{
    failedAliases.clear();
    uncertainAliases.clear();
    if (!connected)
        return TinyDbResult::NotConnected;
    const std::vector<std::string>& domains = postOffice->smtpDomains;
    if (domains.empty()) {
        log.log(LogStream::Error, "There is no domain name for domain %s", postOffice->name.c_str());
        return TinyDbResult::Failed;
    }
    std::vector<std::pair<const char*, const std::string*>> values;
    for (const std::string& d : domains)
        values.emplace_back("SMTP domain", &d);
    values.emplace_back("display name", &postOffice->displayName);
    if (!checkValues("domain", domains.front(), values))
        return TinyDbResult::QueryFailed;

    for (const std::string& d : domains) {
        Answer answer;
        if (send("select Domain from Domain where Domain='" + d + "'", answer) != 0)
            return TinyDbResult::QueryFailed;
        if (answer->rowCount > 0)
            return TinyDbResult::DomainExists;
    }
    const std::string& d0 = domains.front();
    const int rc = insert("insert Domain set Domain='" + d0 +
                          "', Type='1', BindIp='0.0.0.0', FwOffline='0', Description='" + postOffice->displayName +
                          "', FwMode='0', FwAliasMode='0', MaxOutgoingMessageSize='0',  DeletedMsgExpiration='0', "
                          "MaxUserCount='0'");
    if (rc != TinyDbResult::Ok)
        return rc;
    // The domain exists from here on: an alias that fails is told, the
    // others are still tried.
    for (std::size_t i = 1; i < domains.size(); ++i) {
        const int aliased = insert("insert Domain set Domain='" + domains[i] + "', Type='2', Alias='" + d0 + "'");
        if (aliased == TinyDbResult::AnswerLost)
            uncertainAliases.push_back(domains[i]);
        else if (aliased != TinyDbResult::Ok)
            failedAliases.push_back(domains[i]);
    }
    return failedAliases.empty() && uncertainAliases.empty() ? TinyDbResult::Ok : TinyDbResult::AliasFailed;
}

int TinyDbCommunicator::createUser(const boost::shared_ptr<WebStarUser>& user, bool publish)
{
    if (!connected)
        return TinyDbResult::NotConnected;
    // Every value of the user and of its contact is checked before the first
    // statement, so no user is created without its contact.
    if (!checkValues("user", user->name + "@" + user->domain,
                     {{"name", &user->name},
                      {"domain", &user->domain},
                      {"password", &user->password},
                      {"full name", &user->fullName}}))
        return TinyDbResult::QueryFailed;

    {
        Answer answer;
        if (send("select Name from User where Name='" + user->name + "' and Domain='" + user->domain + "'",
                 answer) != 0)
            return TinyDbResult::QueryFailed;
        if (answer->rowCount > 0)
            return TinyDbResult::UserExists;
    }

    const int rc = insert("insert User set Name='" + user->name + "', " + "Domain='" + user->domain +
                          "', Account_enabled='1', Auth_type='0', " + "Password='NUL.DE3:" + user->password +
                          "', Rights='0', ForwardMode='0', " +
                          "Qstorage='0', Qmessage='0', MaxOutgoingMessageSize='0', DefSpamFilter='1', " +
                          "Fullname='" + user->fullName + "', Description='' controls ProviderID=0");
    if (rc != TinyDbResult::Ok)
        return rc;
    // The account exists from here on, with or without its contact.
    if (!publish)
        return TinyDbResult::Ok;
    switch (publishUserAsContact(user)) {
    case TinyDbResult::Ok:
        return TinyDbResult::Ok;
    case TinyDbResult::AnswerLost:
        return TinyDbResult::ContactAnswerLost;
    default:
        return TinyDbResult::ContactFailed;
    }
}

int TinyDbCommunicator::publishUserAsContact(const boost::shared_ptr<WebStarUser>& user)
{
    if (!connected)
        return TinyDbResult::NotConnected;
    const std::string& display = user->fullName.empty() ? user->name : user->fullName;
    if (!checkValues("contact", user->name + "@" + user->domain,
                     {{"name", &user->name}, {"domain", &user->domain}, {"display name", &display}}))
        return TinyDbResult::QueryFailed;
    return insert("select AddressBookAdd(\"#public/Contacts\", \"" + display + "\",\"" + user->name + "@" +
                  user->domain + "\")");
}
