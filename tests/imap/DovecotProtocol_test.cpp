// The protocol core against real Dovecot instances: the source stands in for
// the 4D IMAP service (CRAM-MD5), the target for the target's service (LOGIN).
#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "imap/Command.h"
#include "imap/ConnectionInternal.h"
#include "imap/IMessage.h"
#include "imap/FolderCommands.h"
#include "imap/ImapException.h"
#include "imap/SimpleImapClient.h"
#include "tests/support/Dovecot.h"

using testsupport::Dovecot;
using State = ConnectionInternal::State;
using Result = SimpleImapClient::ImapClientResult;

namespace {

const char* const login = "alice@example.test";
const char* const password = "s3cr\"et\\pw";

void connectTo(ConnectionInternal& c, const Dovecot& d, bool cramMd5, const std::string& pw = password)
{
    c.initialize("127.0.0.1", static_cast<unsigned>(d.port()), login, pw, cramMd5, 20, false);
    c.init(true);
}

// The result a facade operation reports for what the connection throws.
Result resultOfLogin(ConnectionInternal& c, const Dovecot& d, bool cramMd5, const std::string& pw)
{
    try {
        connectTo(c, d, cramMd5, pw);
        return Result::Ok;
    } catch (ImapException& e) {
        return handleImapException(e, Result::AuthenticationFailed);
    }
}

// One message from memory with the flags given.
class FlaggedMessage : public IMessage {
public:
    FlaggedMessage(std::string body, std::string flags) : body(std::move(body)), flags(std::move(flags)) {}
    bool getFirstDataPart(std::string& part) override
    {
        part = body;
        done = false;
        return true;
    }
    bool getNextDataPart(std::string& part) override
    {
        part.clear();
        return !(done = true);
    }
    std::string getFlags() override { return flags; }
    std::string getDate() override { return "01-Jan-2024 10:00:00 +0000"; }
    unsigned getSize() override { return static_cast<unsigned>(body.size()); }

private:
    std::string body;
    std::string flags;
    bool done = false;
};

} // namespace

TEST(DovecotProtocol, GreetingAndLogins)
{
    Dovecot source(Dovecot::Source);
    source.addUser(login, password);
    source.start();
    Dovecot target(Dovecot::Target);
    target.addUser(login, password);
    target.start();

    {
        ConnectionInternal probe;
        probe.initialize("127.0.0.1", static_cast<unsigned>(source.port()), "", "", false, 20, false);
        probe.init(false);
        EXPECT_EQ(State::NotAuthenticated, probe.getState());
        EXPECT_NE(std::string::npos, probe.getGreeting().find("4D Mail"));
    }
    {
        ConnectionInternal cram;
        EXPECT_EQ(Result::Ok, resultOfLogin(cram, source, true, password));
        EXPECT_EQ(State::Authenticated, cram.getState());
    }
    {
        ConnectionInternal wrong;
        EXPECT_EQ(Result::AuthenticationFailed, resultOfLogin(wrong, source, true, "not-it"));
        EXPECT_EQ(State::Disconnected, wrong.getState());
    }
    {
        ConnectionInternal plain;
        EXPECT_EQ(Result::Ok, resultOfLogin(plain, target, false, password));
        EXPECT_EQ(State::Authenticated, plain.getState());
        plain.logout();
        EXPECT_EQ(State::Disconnected, plain.getState());
    }
    {
        ConnectionInternal wrong;
        EXPECT_EQ(Result::AuthenticationFailed, resultOfLogin(wrong, target, false, "not-it"));
    }
}

TEST(DovecotProtocol, ListStatusSelectCreate)
{
    Dovecot d(Dovecot::Source);
    d.addUser(login, password);
    d.start();
    d.putMessage(login, "INBOX", "Subject: one\r\n\r\nbody\r\n", "S");
    d.putMessage(login, "Parent/Child", "Subject: child\r\n\r\nx\r\n");
    d.putMessage(login, "Archive/2007", "Subject: a\r\n\r\na\r\n", "", 1199145600);
    d.putMessage(login, "Archive/2007", "Subject: b\r\n\r\nb\r\n", "RF", 1199232000);
    d.index(login);

    ConnectionInternal c;
    connectTo(c, d, true);

    // Names that need quoting or a literal on the wire, and a non-ASCII name
    // in modified UTF-7, are created through the client itself.
    const std::vector<std::string> created = {
        "Archive", "Sent Items", "Entw&APw-rfe", "INBOX/Drafts", "one\"quote", "back\\slash",
        "q\"u\"o\"t\"e\"s\\\\\\\\",
    };
    for (const std::string& name : created) {
        SCOPED_TRACE(name);
        CommandCreate create(c, name, 0, "");
        EXPECT_EQ(Command::Response::Ok, create.execute());
    }
    {
        CommandCreate again(c, "Archive", 0, "");
        EXPECT_EQ(Command::Response::No, again.execute());
    }

    CommandList list(c, "", "*");
    ASSERT_EQ(Command::Response::Ok, list.execute());
    // The names arrive in all three forms: atoms, quoted strings, literals.
    const std::vector<std::string>& raw = list.getUntaggedResponses();
    auto arrives = [&](const std::string& piece) {
        return std::any_of(raw.begin(), raw.end(), [&](const std::string& r) { return r.find(piece) != std::string::npos; });
    };
    EXPECT_TRUE(arrives("\"/\" Archive/2007"));
    EXPECT_TRUE(arrives("\"/\" \"Sent Items\""));
    EXPECT_TRUE(arrives("}\r\nq\"u"));
    std::vector<FolderListEntry> entries;
    const int count = list.getList(entries, true);
    EXPECT_EQ(static_cast<int>(entries.size()), count);
    std::map<std::string, bool> selectable;
    for (const FolderListEntry& e : entries)
        selectable[e.name] = e.selectable;

    std::vector<std::string> expected = created;
    expected.insert(expected.end(), {"INBOX", "Parent", "Parent/Child", "Archive/2007"});
    for (const std::string& name : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(1u, selectable.count(name));
        EXPECT_EQ(name != "Parent", selectable[name]);
    }
    EXPECT_EQ(expected.size(), selectable.size());

    // Without the check the \Noselect parent counts as selectable.
    std::vector<FolderListEntry> unchecked;
    list.getList(unchecked, false);
    EXPECT_TRUE(std::all_of(unchecked.begin(), unchecked.end(), [](const FolderListEntry& e) { return e.selectable; }));

    // Every listed name goes back to the server unchanged.
    for (const auto& entry : selectable) {
        SCOPED_TRACE(entry.first);
        CommandStatus status(c, entry.first);
        if (!entry.second) {
            EXPECT_NE(Command::Response::Ok, status.execute());
            continue;
        }
        ASSERT_EQ(Command::Response::Ok, status.execute());
        const unsigned expectedCount = entry.first == "Archive/2007" ? 2u : (entry.first == "INBOX" || entry.first == "Parent/Child") ? 1u : 0u;
        EXPECT_EQ(expectedCount, status.getMessagesCount());
        CommandSelect select(c, entry.first);
        EXPECT_EQ(Command::Response::Ok, select.execute());
    }
    c.setState(State::Selected);
    EXPECT_EQ(State::Selected, c.getState());

    CommandSelect missing(c, "No Such Folder");
    EXPECT_EQ(Command::Response::No, missing.execute());
    CommandStatus missingStatus(c, "No Such Folder");
    EXPECT_EQ(Command::Response::No, missingStatus.execute());
    EXPECT_EQ(0u, missingStatus.getMessagesCount());
}

TEST(DovecotProtocol, NothingButTheMessageReachesTheTargetAsACommand)
{
    // Dovecot answers a flag it cannot take with BAD before the literal and
    // then runs the message's lines as commands; a server without LITERAL+
    // may do the same with any APPEND. Such an APPEND is never sent.
    const std::string body = "Subject: probe\r\n\r\nz1 CREATE Pwned\r\n";
    Dovecot target(Dovecot::Target);
    target.addUser(login, password);
    target.start();
    Dovecot plain(Dovecot::Target);
    plain.addUser(login, password);
    testsupport::writeFile(plain.dir() + "/extra.conf", "imap_capability = IMAP4rev1 IDLE UIDPLUS\n");
    plain.start();

    struct Row {
        const char* what;
        const Dovecot* server;
        const char* flags;
        Result result;
    } rows[] = {
        {"a flag Dovecot refuses", &target, "\\Seen \\Foo", Result::AppendFailed},
        {"a line break in the flags", &target, "\\Seen\r\nz2 CREATE Pwned2", Result::AppendFailed},
        {"no LITERAL+", &plain, "\\Seen", Result::AppendFailed},
        {"standard flags and a keyword", &target, "\\Seen \\Answered $Forwarded", Result::Ok},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimpleImapClient client;
        ASSERT_EQ(Result::Ok, client.connect("127.0.0.1", static_cast<unsigned>(row.server->port()), login, password, false));
        FlaggedMessage message(body, row.flags);
        EXPECT_EQ(row.result, client.append("INBOX", &message, false));
        client.disconnect(true);
    }
    for (const Dovecot* d : {&target, &plain}) {
        const std::vector<std::string> folders = d->folders(login);
        EXPECT_EQ(std::vector<std::string>{"INBOX"}, folders);
    }
    const auto stored = target.messages(login, password, "INBOX");
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ(body, stored[0].body);
    EXPECT_EQ((std::vector<std::string>{"$Forwarded", "\\Answered", "\\Seen"}), stored[0].flags);
    EXPECT_TRUE(plain.messages(login, password, "INBOX").empty());
}
