// The protocol core against real Dovecot instances: the source stands in for
// the 4D IMAP service (CRAM-MD5), the target for the target's service (LOGIN).
#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "imap/Command.h"
#include "imap/ConnectionInternal.h"
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
