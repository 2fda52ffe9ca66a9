#include "migration/WebStarConfigReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <unistd.h>
#include <sstream>
#include <string>
#include <vector>

#include "migration/WsPostOfficeXmlParser.h"
#include "migration/WsUserXmlParser.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;
using testsupport::writeFile;
using PostOffices = std::vector<boost::shared_ptr<WebStarPostOffice>>;
using Users = std::vector<boost::shared_ptr<WebStarUser>>;

namespace {

// Lays out a sample installation in dir with the generator the benchmarks
// and demonstrations use.
void installSample(const TempDir& dir, const std::string& name = "sample") {
    const std::string cmd = "python3 " + testsupport::shellQuote(testsupport::sourcePath("tests/fixtures/webstar/generate.py")) +
                            " install " + name + " " + testsupport::shellQuote(dir.path()) + " >/dev/null";
    ASSERT_EQ(0, testsupport::runShell(cmd));
}

std::string output(LogStream& log) {
    std::string data;
    log.getData(data);
    return data;
}

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& e : v)
        s += (s.empty() ? "" : ",") + e;
    return s;
}

std::string describe(const WebStarPostOffice& po) {
    return po.name + "|" + po.displayName + "|" + po.root + "|" + join(po.smtpDomains);
}

std::string describe(const WebStarUser& u) { return u.domain + "|" + u.name + "|" + u.password + "|" + u.fullName; }

template <typename T>
std::vector<std::string> describeAll(const std::vector<boost::shared_ptr<T>>& v) {
    std::vector<std::string> out;
    for (const auto& p : v)
        out.push_back(describe(*p));
    return out;
}

boost::shared_ptr<WebStarPostOffice> postOffice(const std::string& display, const std::string& root,
                                                std::vector<std::string> domains = {"d.test"}) {
    boost::shared_ptr<WebStarPostOffice> po(new WebStarPostOffice());
    po->name = "po";
    po->displayName = display;
    po->root = root;
    po->smtpDomains = std::move(domains);
    return po;
}

TEST(WebStarConfigReader, ReadsTheSampleInstallation) {
    TempDir dir("webstar");
    installSample(dir);
    // The source path may come with a trailing slash.
    for (const std::string& source : {dir.path(), dir.path() + "/"}) {
        SCOPED_TRACE(source);
        LogStream log(nullptr);
        WebStarConfigReader reader(source, log);
        PostOffices offices;
        ASSERT_EQ(0, reader.getPostOfficeList(offices));
        EXPECT_EQ((std::vector<std::string>{
                      "po-example|Example|" + dir.path() + "/mailroot/example|example.test,mail.example.test,example-corp.test",
                      "po-rnd|Research & Development|rnd/|rnd.example.test",
                      "po-nordlicht|Nordlicht Café|offices/nordlicht|nordlicht.test,nordlicht-cafe.test",
                  }),
                  describeAll(offices));

        const std::vector<std::vector<std::string>> expected = {
            {
                "example.test|alice|wonderland|Alice Liddell",
                "example.test|bob|canwefixit|Bob Builder",
                "example.test|carol|carol-2024|Carol",
                "example.test|dave|d4ve|Davidson",
                "example.test|erin|erin pass|",
                "example.test|frank||Frank Nopass",
            },
            {
                "rnd.example.test|juergen|p<3>&q|Jürgen Müller",
                "rnd.example.test|zoe|s\xC3\xA9same!|Zoë Ångström",
            },
            {
                "nordlicht.test|ingrid|nordlys|Ingrid Sørensen",
                "nordlicht.test|tomas|kaffe&kake|Tomáš",
            },
        };
        ASSERT_EQ(expected.size(), offices.size());
        for (size_t i = 0; i < offices.size(); ++i) {
            SCOPED_TRACE(offices[i]->displayName);
            Users users;
            unsigned count = 99;
            EXPECT_EQ(0, reader.getUsers(offices[i], users, count));
            EXPECT_EQ(expected[i], describeAll(users));
            EXPECT_EQ(users.size(), count);
            unsigned counted = 0;
            EXPECT_EQ(0, reader.getUsersCount(offices[i], counted));
            EXPECT_EQ(users.size(), counted);
        }
        EXPECT_EQ("", output(log));
    }
}

// accounts.tsv documents the sample for the end-to-end runs; it must say
// what the reader reads.
TEST(WebStarConfigReader, SampleManifestMatchesTheReader) {
    TempDir dir("webstar");
    installSample(dir);
    LogStream log(nullptr);
    WebStarConfigReader reader(dir.path(), log);
    PostOffices offices;
    ASSERT_EQ(0, reader.getPostOfficeList(offices));
    std::vector<std::string> read;
    for (const auto& po : offices) {
        Users users;
        ASSERT_EQ(0, reader.getUsers(po, users));
        for (const auto& u : users)
            read.push_back(po->displayName + "\t" + u->domain + "\t" + u->name + "\t" + u->password + "\t" + u->fullName);
    }
    std::ifstream manifest(dir.file("accounts.tsv"));
    std::string line;
    std::getline(manifest, line);
    EXPECT_EQ("post_office\tdomain\tuser\tpassword\tfull_name", line);
    std::vector<std::string> listed;
    while (std::getline(manifest, line))
        listed.push_back(line);
    EXPECT_EQ(read, listed);
}

TEST(WebStarConfigReader, GeneratedInstallation) {
    TempDir dir("webstar");
    const std::string cmd = "python3 " + testsupport::shellQuote(testsupport::sourcePath("tests/fixtures/webstar/generate.py")) +
                            " synth " + testsupport::shellQuote(dir.path()) + " --post-offices 4 --users 10 --aliases 2 >/dev/null";
    ASSERT_EQ(0, testsupport::runShell(cmd));
    LogStream log(nullptr);
    WebStarConfigReader reader(dir.path(), log);
    PostOffices offices;
    ASSERT_EQ(0, reader.getPostOfficeList(offices));
    ASSERT_EQ(4u, offices.size());
    EXPECT_EQ("po1|Office 1|" + dir.path() + "/offices/office1|office1.test,alias1-1.test,alias2-1.test",
              describe(*offices[0]));
    EXPECT_EQ("offices/office2/", offices[1]->root);
    unsigned total = 0;
    for (const auto& po : offices) {
        unsigned n = 0;
        EXPECT_EQ(0, reader.getUsersCount(po, n));
        total += n;
    }
    EXPECT_EQ(10u, total);
    Users users;
    ASSERT_EQ(0, reader.getUsers(offices[1], users));
    ASSERT_EQ(3u, users.size());
    EXPECT_EQ("office2.test|user2|pw-2-secret|First2 Last2", describe(*users[0]));
}

TEST(WebStarConfigReader, FileNames) {
    struct Case {
        std::string source;
        std::string root;
        std::string display;
        std::string file;
    };
    const Case cases[] = {
        {"/src", "/Volumes/Mail/po1", "Main", "/Volumes/Mail/po1/RecipientDB_Main.prefs.xml"},
        {"/src", "/Volumes/Mail/po1/", "Main", "/Volumes/Mail/po1/RecipientDB_Main.prefs.xml"},
        {"/src", "po1/", "Main", "/src/po1/RecipientDB_Main.prefs.xml"},
        {"/src/", "po1", "Main", "/src/po1/RecipientDB_Main.prefs.xml"},
        {"/src//", "po1", "Main", "/src//po1/RecipientDB_Main.prefs.xml"},
        {"/", "po1/", "Main", "//po1/RecipientDB_Main.prefs.xml"},
        {"src\\", "po1", "A B", "src/po1/RecipientDB_A B.prefs.xml"},
        {"/src", "", "Main", "RecipientDB_Main.prefs.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source + " + " + c.root);
        LogStream log(nullptr);
        WebStarConfigReader reader(c.source, log);
        const auto po = postOffice(c.display, c.root);
        EXPECT_EQ(c.file, reader.userFileName(*po));
        // The missing file is reported under the same name.
        const std::string missing = "/nonexistent-" + std::to_string(::getpid());
        const auto absent = postOffice(c.display, c.root.empty() || c.root[0] != '/' ? c.root : missing + c.root);
        Users users;
        unsigned count = 7;
        EXPECT_EQ(3, reader.getUsers(absent, users, count));
        EXPECT_EQ(7u, count);
        EXPECT_EQ("ERROR: Unable to open file " + reader.userFileName(*absent) + ": " + std::strerror(ENOENT) +
                      "\n\n",
                  output(log));
    }

    struct ListCase {
        std::string source;
        std::string file;
    };
    const ListCase lists[] = {
        {"/nonexistent-x/", "/nonexistent-x/WSMailboxServer.prefs.xml"},
        {"/nonexistent-x", "/nonexistent-x/WSMailboxServer.prefs.xml"},
        {"/", "//WSMailboxServer.prefs.xml"},
    };
    for (const ListCase& c : lists) {
        SCOPED_TRACE(c.source);
        LogStream log(nullptr);
        WebStarConfigReader reader(c.source, log);
        PostOffices offices;
        const int rc = reader.getPostOfficeList(offices);
        if (c.source == "/" && rc == 0)
            continue;  // a machine that really has the file at its root
        EXPECT_EQ(3, rc);
        EXPECT_EQ("ERROR: Unable to open file " + c.file + ": " + std::strerror(ENOENT) + "\n\n", output(log));
    }

    LogStream log(nullptr);
    WebStarConfigReader empty("", log);
    PostOffices offices;
    EXPECT_EQ(3, empty.getPostOfficeList(offices));
    EXPECT_EQ("", output(log));
}

struct DocCase {
    const char* name;
    std::string doc;
    int result;
    std::vector<std::string> records;
    std::string log;  // "%s" stands for the file name
};

std::string expand(const std::string& pattern, const std::string& file) {
    std::string s = pattern;
    for (size_t at; (at = s.find("%s")) != std::string::npos;)
        s.replace(at, 2, file);
    return s;
}

const std::string Head = "<?xml version=\"1.0\"?>\n<prefs>";
const std::string Tail = "</prefs>\n";

// A preference file that cannot be opened is named with the system's reason.
TEST(WebStarConfigReader, FileThatCannotBeOpenedIsToldWithTheReason) {
    TempDir dir("wsreason");
    const std::string loop = dir.file("RecipientDB_Loop.prefs.xml");
    ASSERT_EQ(0, ::symlink(loop.c_str(), loop.c_str()));
    writeFile(dir.file("plain"), "");
    struct Case {
        const char* name;
        std::string source;      // the post-office file's folder
        std::string root;        // the user file's folder
        std::string display;
        std::string file;        // named in the line
        int error;
    } cases[] = {
        {"a link loop as the user file", dir.path(), dir.path(), "Loop", loop, ELOOP},
        {"a file as the user file's folder", dir.path(), dir.file("plain"), "X",
         dir.file("plain") + "/RecipientDB_X.prefs.xml", ENOTDIR},
        {"a link loop as the post-office folder", loop, "", "", loop + "/WSMailboxServer.prefs.xml", ELOOP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogStream log(nullptr);
        WebStarConfigReader reader(c.source, log);
        if (c.display.empty()) {
            PostOffices offices;
            EXPECT_EQ(3, reader.getPostOfficeList(offices));
        } else {
            Users users;
            EXPECT_EQ(3, reader.getUsers(postOffice(c.display, c.root), users));
        }
        EXPECT_EQ("ERROR: Unable to open file " + c.file + ": " + std::strerror(c.error) + "\n\n", output(log));
    }
}

TEST(WebStarConfigReader, PostOfficeFileRules) {
    const DocCase cases[] = {
        {"start word in any case, keys as written",
         Head + "<g name='mdg'><g name='a'><p name='displayname'>A</p><p name='DisplayName'>X</p>"
                "<p name='root'>/r</p><p name='extension'><i>no.test</i></p>"
                "<p name='Extension'><i>a.test</i>ext-direct<i>b.test</i></p></g></g>" + Tail,
         0, {"a|A|/r|a.test,b.test"}, ""},
        {"only the region below MDG counts",
         Head + "<g name='Other'><g name='x'><p name='displayname'>X</p></g></g>"
                "<p name='displayname'>top</p>"
                "<g name='MDG'><g name='a'><p name='displayname'>A</p><p><i>c.test</i></p></g></g>"
                "<g name='MDG'><g name='b'><p name='Extension'><i>b.test</i></p></g></g>" + Tail,
         0, {"a|A||", "b|||b.test"}, ""},
        {"every text event of a property replaces the last",
         Head + "<g name='MDG'><g name='a'><p name='displayname'>one<x/>two</p></g></g>" + Tail, 0, {"a|two||"}, ""},
        {"text of a post office outside a property is ignored",
         Head + "<g name='MDG'><g name='a'>loose text<p name='root'>r/</p></g>" + "<g name='b'/></g>" + Tail, 0,
         {"a||r/|", "b|||"}, ""},
        {"a post office without name fails, earlier ones stay",
         Head + "<g name='MDG'><g name='a'/><g id='b'/><g name='c'/></g>" + Tail, 2, {"a|||"},
         "ERROR: Parsing file %s failed\n\n"},
        {"a damaged file fails, earlier post offices stay",
         Head + "<g name='MDG'><g name='a'><p name='displayname'>A</p></g><g name='b'><p name=displayname>" + Tail, 2,
         {"a|A||"}, "ERROR: Parsing file %s failed\nCannot read attribute\n\n"},
        {"a truncated file fails", Head + "<g name='MDG'><g name='a'><p name='displayname'>A</p></g>", 2, {"a|A||"},
         "ERROR: Parsing file %s failed\nUnexpected end of file not at root level\n\n"},
        // No document is no installation: an empty list would pass for one.
        {"an empty file fails", "", 2, {}, "ERROR: Parsing file %s failed\nDocument has no root element\n\n"},
        {"a file with only the declaration fails", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 2, {},
         "ERROR: Parsing file %s failed\nDocument has no root element\n\n"},
    };
    for (const DocCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("webstar");
        writeFile(dir.file("WSMailboxServer.prefs.xml"), c.doc);
        LogStream log(nullptr);
        WebStarConfigReader reader(dir.path(), log);
        PostOffices offices;
        EXPECT_EQ(c.result, reader.getPostOfficeList(offices));
        EXPECT_EQ(c.records, describeAll(offices));
        EXPECT_EQ(expand(c.log, dir.file("WSMailboxServer.prefs.xml")), output(log));
    }
}

TEST(WebStarConfigReader, PostOfficeListIsAppended) {
    TempDir dir("webstar");
    installSample(dir);
    LogStream log(nullptr);
    WebStarConfigReader reader(dir.path(), log);
    PostOffices offices;
    offices.push_back(postOffice("Earlier", ""));
    ASSERT_EQ(0, reader.getPostOfficeList(offices));
    ASSERT_EQ(4u, offices.size());
    EXPECT_EQ("Earlier", offices[0]->displayName);
}

TEST(WebStarConfigReader, UserFileRules) {
    const std::string region = "<g name='RecipientDB'>";
    const DocCase cases[] = {
        {"start words in any case; keys as written",
         Head + "<g name='RECIPIENTDB'><g name='default'><u name='a'><p name='password'>pw</p>"
                "<p name='Password'>x</p><p name='lastname'>L</p><p name='firstname'>F</p></u></g></g>" + Tail,
         0, {"d.test|a|pw|F L"}, ""},
        {"users outside Default are ignored, their texts too",
         Head + region + "<g name='Lists'><u name='l'><p>no key</p><p name='password'>x</p></u></g>" +
                "<g name='Default'><u name='a'><p name='password'>pw</p></u></g>" +
                "<g><u name='n'><p name='password'>x</p></u></g></g>" + Tail,
         0, {"d.test|a|pw|"}, ""},
        {"a region outside RecipientDB is ignored",
         Head + "<g name='Default'><u name='x'><p name='password'>x</p></u></g>" + region +
                "<g name='Default'><u name='a'><p name='firstname'>Only</p></u></g></g>" + Tail,
         0, {"d.test|a||Only"}, ""},
        {"texts at other levels are ignored",
         Head + region + "<g name='Default'>section text<u name='a'>user text<p name='password'>pw<v>deep</v></p>"
                         "</u></g></g>" + Tail,
         0, {"d.test|a|pw|"}, ""},
        {"a user without name fails, earlier ones stay",
         Head + region + "<g name='Default'><u name='a'/><u/></g></g>" + Tail, 2, {"d.test|a||"},
         "ERROR: Parsing file %s failed\n\n"},
        {"a property text without key fails",
         Head + region + "<g name='Default'><u name='a'><p name='password'>pw</p><p>text</p></u></g></g>" + Tail, 2,
         {}, "ERROR: Parsing file %s failed\n\n"},
        {"a damaged file fails",
         Head + region + "<g name='Default'><u name='a'><p name='password'>pw</p></u><u name='b'><p name='password'>pw"
                         "</u></g></g>" + Tail,
         2, {"d.test|a|pw|"}, "ERROR: Parsing file %s failed\nEnd tag not matching start tag\n\n"},
        {"an empty file fails", "", 2, {}, "ERROR: Parsing file %s failed\nDocument has no root element\n\n"},
        {"a file with only the declaration fails", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 2, {},
         "ERROR: Parsing file %s failed\nDocument has no root element\n\n"},
    };
    for (const DocCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("webstar");
        writeFile(dir.file("RecipientDB_T.prefs.xml"), c.doc);
        LogStream log(nullptr);
        WebStarConfigReader reader(dir.path(), log);
        const auto po = postOffice("T", dir.path(), {"d.test", "alias.test"});
        Users users;
        unsigned count = 42;
        EXPECT_EQ(c.result, reader.getUsers(po, users, count));
        EXPECT_EQ(c.records, describeAll(users));
        EXPECT_EQ(c.result == 0 ? users.size() : 42u, count);
        EXPECT_EQ(expand(c.log, dir.file("RecipientDB_T.prefs.xml")), output(log));
    }
}

TEST(WebStarConfigReader, UsersAreAppended) {
    TempDir dir("webstar");
    writeFile(dir.file("RecipientDB_T.prefs.xml"),
              Head + "<g name='RecipientDB'><g name='Default'><u name='a'/><u name='b'/></g></g>" + Tail);
    LogStream log(nullptr);
    WebStarConfigReader reader(dir.path(), log);
    const auto po = postOffice("T", dir.path() + "/");
    Users users;
    unsigned count = 0;
    ASSERT_EQ(0, reader.getUsers(po, users, count));
    ASSERT_EQ(0, reader.getUsers(po, users, count));
    EXPECT_EQ(4u, users.size());
    EXPECT_EQ(4u, count);
    unsigned counted = 0;
    EXPECT_EQ(0, reader.getUsersCount(po, counted));
    EXPECT_EQ(2u, counted);
}

TEST(WebStarConfigReader, PostOfficeWithoutDomain) {
    LogStream log(nullptr);
    WebStarConfigReader reader("/src", log);
    const auto po = postOffice("Empty Office", "/nowhere", {});
    Users users;
    unsigned count = 5;
    EXPECT_EQ(1, reader.getUsers(po, users, count));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(1, reader.getUsersCount(po, count));
    EXPECT_EQ("ERROR: No domains found for PostOffice Empty Office\n\nERROR: No domains found for PostOffice Empty Office\n\n",
              output(log));
}

TEST(WebStarConfigReader, DebugTrace) {
    TempDir dir("webstar");
    writeFile(dir.file("WSMailboxServer.prefs.xml"),
              "<r><g name='MDG'><g name='a'><p name='root'>x/</p></g></g></r>");
    LogStream log(nullptr);
    log.setMode(true, true);
    WebStarConfigReader reader(dir.path(), log);
    PostOffices offices;
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, reader.getPostOfficeList(offices));
    const std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ("DEBUG: mdgLevel: 1; attr value: MDG\n"
              "DEBUG: mdgLevel: 2; attr value: a\n"
              "DEBUG: mdgLevel: 3; attr value: root\n"
              "DEBUG: \ttext: x/\n"
              "DEBUG: mdgLevel: 3; end of element\n"
              "DEBUG: mdgLevel: 2; end of element\n"
              "DEBUG: mdgLevel: 1; end of element\n"
              "DEBUG: mdgLevel: 0; end of element\n",
              trace);
}

}  // namespace
