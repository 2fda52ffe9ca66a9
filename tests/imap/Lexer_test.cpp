#include "imap/Lexer.h"

#include <gtest/gtest.h>

#include "imap/ImapException.h"

using namespace zelvo::mail::imap;

namespace {

// Outcome of one readString call: the value, where the position ends, or
// the exception text.
struct ReadCase {
    std::string input;
    bool result;
    std::string value;
    std::string rest;      // text from the final position on
    bool throws;
    std::string error;
};

} // namespace

TEST(Lexer, ReadStringForms)
{
    const ReadCase cases[] = {
        {"  foo bar", true, "foo", "bar", false, ""},
        {"foo", true, "foo", "", false, ""},
        {"\"a b\" x", true, "a b", " x", false, ""},
        {"\"\"", true, "", "", false, ""},
        // Escapes are undone, so a name holding a quote survives.
        {"\"a\\\"b\" x", true, "a\"b", " x", false, ""},
        {"\"a\\\\b\"", true, "a\\b", "", false, ""},
        // A backslash before another character stays.
        {"\"a\\xb\"", true, "a\\xb", "", false, ""},
        {"NIL rest", true, "", " rest", false, ""},
        // NIL is a whole word only; NILE and NIL/Sub are atoms.
        {"NIL", true, "", "", false, ""},
        {"NIL)", true, "", ")", false, ""},
        {"NIL]", true, "", "]", false, ""},
        {"NILE", true, "NILE", "", false, ""},
        {"NILE x", true, "NILE", "x", false, ""},
        {"NIL/Sub x", true, "NIL/Sub", "x", false, ""},
        {"nil x", true, "nil", "x", false, ""},
        {"{5}\r\nhello rest", true, "hello", " rest", false, ""},
        {"{5+}\r\nhello", true, "hello", "", false, ""},
        {"{0}\r\n", true, "", "", false, ""},
        {"{5}\nhello", false, "", "", true, "Character different"},
        {"{5}", false, "", "", true, "Bad "},
        {"{5}\r", false, "", "", true, "Bad "},
        {"{10}\r\nhello", false, "", "", true, ""},
        {"\"open", false, "", "", true, "Character not found"},
        {"{5\r\nhello", false, "", "", true, "Character not found"},
        // Counts are plain unsigned decimals within a bound.
        {"{-1}\r\nx", false, "", "", true, "Bad literal count"},
        {"{}\r\nx", false, "", "", true, "Bad literal count"},
        {"{+}\r\nx", false, "", "", true, "Bad literal count"},
        {"{1x}\r\nx", false, "", "", true, "Bad literal count"},
        {"{99999999999999999999}\r\nx", false, "", "", true, "Bad literal count"},
        {"{2147483648}\r\nx", false, "", "", true, "Bad literal count"},
        {"{2147483647}\r\nx", false, "", "", true, ""},
        {"   ", false, "", "", false, ""},
        {"", false, "", "", false, ""},
        {"a(b)\"c\" d", true, "a(b)\"c\"", "d", false, ""},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const ReadCase& c = cases[i];
        SCOPED_TRACE(i);
        // Read from behind a first character, so a position moved back
        // before the start of the call shows.
        const std::string src = "#" + c.input;
        const const_iterator start = src.begin() + 1;
        const_iterator pos = start;
        std::string out = "stale";
        if (c.throws) {
            try {
                readString(src, pos, out);
                ADD_FAILURE() << "no exception for " << c.input;
            } catch (const ImapParserException& e) {
                EXPECT_EQ(c.error, e.what());
                EXPECT_EQ(0, e.errorCode());
            }
            EXPECT_TRUE(pos >= start);
            continue;
        }
        EXPECT_EQ(c.result, readString(src, pos, out));
        EXPECT_EQ(c.value, out);
        EXPECT_EQ(c.rest, std::string(pos, src.end()));
    }
}

TEST(Lexer, MailboxNamesAreAStringsReadWhole)
{
    struct Case {
        std::string input;
        std::string value;
        std::string rest;
    };
    const Case cases[] = {
        {"[Work]/Sub (MESSAGES 2)", "[Work]/Sub", "(MESSAGES 2)"},
        {"[Work]", "[Work]", ""},
        {"[x", "[x", ""},
        {"a]b x", "a]b", "x"},
        {"NIL", "NIL", ""},
        {"NILE", "NILE", ""},
        {"NIL/Sub", "NIL/Sub", ""},
        {"  INBOX", "INBOX", ""},
        {"\"[Work] x\" (MESSAGES 1)", "[Work] x", " (MESSAGES 1)"},
        {"\"NIL\"", "NIL", ""},
        {"\"a\\\"b\\\\c\"", "a\"b\\c", ""},
        {"{6}\r\n{3}\r\nx (MESSAGES 0)", "{3}\r\nx", " (MESSAGES 0)"},
        {"{2+}\r\n[x", "[x", ""},
        {"&AMQ-rger", "&AMQ-rger", ""},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.input);
        const const_iterator start = c.input.begin();
        const_iterator pos = start;
        std::string out = "stale";
        EXPECT_TRUE(readAString(c.input, pos, out));
        EXPECT_EQ(c.value, out);
        EXPECT_EQ(c.rest, std::string(pos, c.input.end()));
    }
    const std::string blanks = "  ";
    const_iterator pos = blanks.begin();
    std::string out = "stale";
    EXPECT_FALSE(readAString(blanks, pos, out));
    EXPECT_EQ("", out);
    const std::string open = "\"no end";
    pos = open.begin();
    EXPECT_THROW(readAString(open, pos, out), ImapParserException);
}

TEST(Lexer, ReadParenthesis)
{
    struct Case {
        std::string input;
        char open, close;
        bool throws;
        std::string value;
        std::string rest;
    };
    const Case cases[] = {
        {"(a \")\" (b c)) tail", '(', ')', false, "(a \")\" (b c))", " tail"},
        {"[READ-WRITE] ok", '[', ']', false, "[READ-WRITE]", " ok"},
        {"(x {3}\r\n)))) y", '(', ')', false, "(x {3}\r\n))))", " y"},
        {"(\"a\\\")\") z", '(', ')', false, "(\"a\\\")\")", " z"},
        {"NIL x", '(', ')', false, "", " x"},
        {"NIL", '(', ')', false, "", ""},
        {"NILE", '(', ')', true, "", ""},
        {"  ()", '(', ')', false, "()", ""},
        {"a(b)", '(', ')', true, "", ""},
        {"((a)", '(', ')', true, "", ""},
        {"(\"a)", '(', ')', true, "", ""},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        const std::string src = c.input;
        const_iterator pos = src.begin();
        std::string out;
        if (c.throws) {
            EXPECT_THROW(readParenthesis(src, pos, c.open, c.close, out), ImapParserException);
            continue;
        }
        EXPECT_TRUE(readParenthesis(src, pos, c.open, c.close, out));
        EXPECT_EQ(c.value, out);
        EXPECT_EQ(c.rest, std::string(pos, src.end()));
    }
    const std::string blanks = "   ";
    const_iterator pos = blanks.begin();
    std::string out = "x";
    EXPECT_FALSE(readParenthesis(blanks, pos, '(', ')', out));
    EXPECT_EQ("", out);
}

TEST(Lexer, WordsBlanksAndCharacters)
{
    const std::string okay = "OKAY";
    const_iterator pos = okay.begin();
    EXPECT_TRUE(testWord(okay, pos, "OK"));
    EXPECT_EQ("AY", std::string(pos, okay.end()));
    pos = okay.begin();
    EXPECT_FALSE(testWord(okay, pos, "ok"));
    EXPECT_FALSE(testWord(okay, pos, "OKAYS"));
    EXPECT_TRUE(pos == okay.begin());

    const std::string spaced = "  \tx";
    pos = spaced.begin();
    EXPECT_TRUE(skipSpace(spaced, pos));
    EXPECT_EQ('\t', *pos);
    const std::string blanks = "   ";
    pos = blanks.begin();
    EXPECT_FALSE(skipSpace(blanks, pos));
    pos = blanks.begin();
    try {
        skipSpaceEx(blanks, pos);
        ADD_FAILURE();
    } catch (const ImapParserException& e) {
        EXPECT_STREQ("Space not presented", e.what());
    }

    const std::string abc = "abc";
    EXPECT_TRUE(findCharacter(abc, abc.begin(), 'z') == abc.end());
    EXPECT_TRUE(findCharacterEx(abc, abc.begin(), 'c') == abc.begin() + 2);
    EXPECT_THROW(findCharacterEx(abc, abc.begin(), 'z'), ImapParserException);
    EXPECT_TRUE(testCharacter(abc, abc.begin(), 'a') == abc.begin() + 1);
    EXPECT_THROW(testCharacter(abc, abc.end(), 'a'), ImapParserException);

    std::string out;
    pos = abc.begin();
    readNCharacters(abc, pos, 2, out);
    EXPECT_EQ("ab", out);
    EXPECT_TRUE(pos == abc.begin());
    EXPECT_THROW(readNCharacters(abc, pos, 4, out), ImapParserException);

    std::string t = "(x)";
    trim(t);
    EXPECT_EQ("x", t);
    t = "x";
    trim(t);
    EXPECT_EQ("x", t);
}

TEST(Lexer, LiteralCountsAtTheirLimits)
{
    struct Row {
        const char* text;  // between "{" and "}"
        bool ok;
        unsigned long count;
        bool plus;
    } rows[] = {
        {"0", true, 0, false},
        {"17", true, 17, false},
        {"17+", true, 17, true},
        {"2147483647", true, maxLiteralCount, false},
        {"2147483647+", true, maxLiteralCount, true},
        {"2147483648", false, 0, false},
        {"99999999999999999999999", false, 0, false},
        {"", false, 0, false},
        {"+", false, 0, false},
        {"1++", false, 0, false},
        {"+1", false, 0, false},
        {"-1", false, 0, false},
        {"1 ", false, 0, false},
        {"0x10", false, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const std::string text = row.text;
        unsigned long count = 99;
        bool plus = false;
        EXPECT_EQ(row.ok, parseLiteralCount(text.begin(), text.end(), count, plus));
        EXPECT_EQ(row.ok ? row.count : 99ul, count);
        EXPECT_EQ(row.plus, plus);
    }
}
