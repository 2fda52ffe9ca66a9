#include "imap/Parser.h"

#include <sstream>

#include <gtest/gtest.h>

#include "imap/ImapException.h"
#include "imap/ResponseResult.h"

namespace {

struct ParseCase {
    std::string line;
    bool tagged;
    std::string tag;
    int type;
    uint32_t number;
    std::string code;
    std::string data;
    std::string string;
};

} // namespace

TEST(Parser, AcceptedResponses)
{
    const ParseCase cases[] = {
        {"* 5 EXISTS", false, "", 211, 5, "", "", ""},
        {"* 3 RECENT", false, "", 212, 3, "", "", ""},
        {"* 12 FETCH (FLAGS (\\Seen) BODY[] {5}\r\nhello)", false, "", 302, 12, "", "",
         "(FLAGS (\\Seen) BODY[] {5}\r\nhello)"},
        {"* LIST (\\HasNoChildren) \"/\" INBOX", false, "", 201, 0, "", "", "(\\HasNoChildren) \"/\" INBOX"},
        {"* LSUB () \"/\" Sent", false, "", 202, 0, "", "", "() \"/\" Sent"},
        {"* STATUS INBOX (MESSAGES 17)", false, "", 203, 0, "", "", "INBOX (MESSAGES 17)"},
        {"* CAPABILITY IMAP4rev1 LITERAL+", false, "", 200, 0, "", "", "IMAP4rev1 LITERAL+"},
        {"* OK [UIDVALIDITY 3857529045] UIDs valid", false, "", 1008, 3857529045u, "[UIDVALIDITY 3857529045]",
         "", "UIDs valid"},
        {"* OK [UIDNEXT 99999999999] big", false, "", 1009, 0xffffffffu, "[UIDNEXT 99999999999]", "", "big"},
        {"* OK [UNSEEN 4]", false, "", 1010, 4, "[UNSEEN 4]", "", ""},
        {"* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited", false, "", 1004, 0,
         "[PERMANENTFLAGS (\\Deleted \\Seen \\*)]", "(\\Deleted \\Seen \\*)", "Limited"},
        {"* OK [READ-WRITE] Select completed.", false, "", 1006, 0, "[READ-WRITE]", "", "Select completed."},
        {"* OK [HIGHESTMODSEQ 7] x", false, "", 0, 0, "[HIGHESTMODSEQ 7]", "", "x"},
        {"* OK Still   here", false, "", 0, 0, "", "", "Still here"},
        {"Z4 OK [APPENDUID 38505 3955] APPEND completed", true, "Z4", 100, 0, "[APPENDUID 38505 3955]", "",
         "APPEND completed"},
        {"Z4 OK done", true, "Z4", 100, 0, "", "", "done "},
        {"Z4 NO \"quoted text\" more", true, "Z4", 101, 0, "", "", "quoted text more"},
        {"Z4 BAD", true, "Z4", 102, 0, "", "", ""},
        {"Z4 WHATEVER x", true, "Z4", 0, 0, "", "", "x "},
        {"Z4 ok lower", true, "Z4", 0, 0, "", "", "lower "},
        {"+ Ready for literal", true, "+", 0, 0, "", "", "for literal"},
        {"* abc EXISTS", false, "", 211, 0, "", "", ""},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const ParseCase& c = cases[i];
        SCOPED_TRACE(i);
        ResponseResult r;
        Parser(c.line).parseResponse(r);
        EXPECT_EQ(c.tagged, r.isTagged());
        EXPECT_EQ(c.tag, r.getTag());
        EXPECT_EQ(c.type, r.getType());
        EXPECT_EQ(c.number, r.getNumber());
        EXPECT_EQ(c.code, r.getCode());
        EXPECT_EQ(c.data, r.getData());
        EXPECT_EQ(c.string, r.getString());
    }
}

TEST(Parser, RejectedResponses)
{
    const char* const lines[] = {
        "",
        "Z1",
        "*",
        "* OK",
        "* NO error",
        "* BAD command",
        "* BYE going",
        "* PREAUTH hi",
        "* ENABLED CONDSTORE",
        "* 5 FOO",
        "* 5",
        "* X 211",
        "* LIST (\\Noselect \"/\" x",
        "* 1 FETCH (BODY[] {10}\r\nshort)",
        "* OK [ALERT \"unterminated] x",
    };
    for (std::size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        SCOPED_TRACE(i);
        ResponseResult r;
        const std::string line = lines[i];
        // The rest text is checked by whoever reads its nodes, as here.
        try {
            Parser p(line);
            p.parseResponse(r);
            Parser rest(r.string);
            std::string node;
            while (rest.getNode(node)) {
            }
            ADD_FAILURE() << "accepted: " << line;
        } catch (const ImapParserException& e) {
            EXPECT_EQ(0, e.errorCode());
        }
    }
}

TEST(Parser, Nodes)
{
    const std::string text = "(\\HasChildren) \"/\" {7}\r\nArchive [x] NIL  ";
    Parser p(text);
    std::string node;
    ASSERT_TRUE(p.getNode(node));
    EXPECT_EQ("(\\HasChildren)", node);
    ASSERT_TRUE(p.getNode(node));
    EXPECT_EQ("/", node);
    ASSERT_TRUE(p.getNode(node));
    EXPECT_EQ("Archive", node);
    ASSERT_TRUE(p.getNodeData(node));
    EXPECT_EQ("x", node);
    ASSERT_TRUE(p.getNode(node));
    EXPECT_EQ("", node);
    node = "kept";
    EXPECT_FALSE(p.getNode(node));
    EXPECT_EQ("", node);
    node = "kept";
    EXPECT_FALSE(p.getNode(node));
    EXPECT_EQ("kept", node);

    const std::string quoted = "\"(\" \"plain\" (a b)";
    Parser q(quoted);
    ASSERT_TRUE(q.getNodeData(node));
    EXPECT_EQ("", node);
    ASSERT_TRUE(q.getNodeData(node));
    EXPECT_EQ("plain", node);
    ASSERT_TRUE(q.getNodeData(node));
    EXPECT_EQ("a b", node);

    const std::string rest = "a   b c  ";
    Parser r(rest);
    ASSERT_TRUE(r.getNode(node));
    ASSERT_TRUE(r.getRest(node));
    EXPECT_EQ("b c  ", node);
    EXPECT_FALSE(r.getRest(node));
    EXPECT_EQ("", node);

    EXPECT_TRUE(Parser::isNumber(""));
    EXPECT_TRUE(Parser::isNumber("0123"));
    EXPECT_FALSE(Parser::isNumber("12a"));
}

TEST(ResponseResult, KeywordTablesAndDump)
{
    int id = -1;
    EXPECT_FALSE(findResponseKeyword(imapResponseGroup1, imapResponseGroup1Size, "ok", id));
    EXPECT_EQ(-1, id);
    EXPECT_TRUE(findResponseKeyword(imapResponseGroupOptions, imapResponseGroupOptionsSize, "UNSEEN", id));
    EXPECT_EQ(1010, id);
    EXPECT_TRUE(findResponseKeyword(imapResponseGroupOptions, imapResponseGroupOptionsSize, "INTERNALDATE", id));
    EXPECT_EQ(1012, id);
    EXPECT_TRUE(findResponseKeyword(imapResponseGroup2, imapResponseGroup2Size, "X-USERINFO", id));
    EXPECT_EQ(606, id);
    EXPECT_TRUE(findResponseKeyword(imapResponseGroup3, imapResponseGroup3Size, "AFETCH", id));
    EXPECT_EQ(303, id);
    EXPECT_STREQ("\\Recent", StdImapFlag[5]);

    ResponseResult r;
    Parser("Z1 OK [READ-WRITE] done").parseResponse(r);
    r.number = 9;
    r.data = "d";
    r.clear();
    const ResponseResult fresh;
    EXPECT_EQ(fresh.isTagged(), r.isTagged());
    EXPECT_EQ(fresh.getType(), r.getType());
    EXPECT_EQ(fresh.getNumber(), r.getNumber());
    EXPECT_EQ("", r.getTag() + r.getString() + r.getCode() + r.getData());

    std::ostringstream untagged;
    ResponseResult u;
    Parser("* 2 EXISTS").parseResponse(u);
    u.dump(untagged);
    EXPECT_EQ("UnTagged response:   Type = 211\n  code = \n  number = 2\n  data = \n  other = \n\n", untagged.str());
    std::ostringstream tagged;
    Parser("Z7 NO [TRYCREATE] no").parseResponse(u);
    u.dump(tagged);
    EXPECT_EQ("Tagged response: tag = Z7  Type = 101\n  code = [TRYCREATE]\n  number = 0\n  data = \n  other = no\n\n",
              tagged.str());
}

TEST(Parser, ArbitraryInputOnlyEverFailsAsParserException)
{
    // Deterministic noise over the characters that steer the lexer: no input
    // may crash, read out of bounds or throw anything but the parser's own
    // exception.
    const std::string alphabet = "* Z1OKNOBADLIST()[]{}\"\\+-0123456789\r\nNIL";
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const unsigned length = next() % 40;
        for (unsigned i = 0; i < length; ++i)
            text += alphabet[next() % alphabet.size()];
        try {
            ResponseResult r;
            Parser(text).parseResponse(r);
            Parser rest(r.string);
            std::string node;
            while (rest.getNodeData(node)) {
            }
            ++accepted;
        } catch (const ImapParserException&) {
        }
    }
    EXPECT_GT(accepted, 0);
}
