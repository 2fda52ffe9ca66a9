#include "imap/Synthesizer.h"

#include <gtest/gtest.h>

#include "imap/ImapException.h"

TEST(Synthesizer, BlankRuleAndForms)
{
    Synthesizer s;
    s.addParam("Z1");
    EXPECT_EQ("Z1", s.get());
    s.addParam("SELECT");
    s.addParam("");
    EXPECT_EQ("Z1 SELECT ", s.get());
    s.clear();
    s.addParam(42u);
    s.append("x");
    EXPECT_EQ("42x", s.get());

    struct Case {
        std::string value;
        std::string quoted;
    };
    const Case quoting[] = {
        {"", "\"\""},
        {"INBOX", "\"INBOX\""},
        {"a b", "\"a b\""},
        // Every backslash and quote is escaped, so the server reads back the value.
        {"a\\b", "\"a\\\\b\""},
        {"pa\"ss\\", "\"pa\\\"ss\\\\\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (std::size_t i = 0; i < sizeof quoting / sizeof quoting[0]; ++i) {
        SCOPED_TRACE(i);
        Synthesizer q;
        q.addParamString(quoting[i].value);
        EXPECT_EQ(quoting[i].quoted, q.get());
    }

    Synthesizer lit;
    lit.addParam("X");
    lit.addParamStringEx("ab\xc3\xa9");
    EXPECT_EQ("X {4+}\r\nab\xc3\xa9", lit.get());
    EXPECT_EQ("{0+}\r\n", zelvo::mail::literalPlus(""));
    EXPECT_EQ("a\\\"b\\\\", zelvo::mail::escapeQuotationMarks("a\"b\\"));

    Synthesizer lists;
    lists.addParamVector(std::vector<std::string>{});
    lists.addParamVector(std::vector<std::string>{"\\Seen"});
    lists.addParamVectorString({"a", "b c"});
    lists.addParamVector("\\Seen \\Draft");
    EXPECT_EQ("() (\\Seen) (\"a\" \"b c\") (\\Seen \\Draft)", lists.get());

    std::string target;
    Synthesizer::addParamString(target, "x");
    Synthesizer::addSpace(target);
    EXPECT_EQ("\"x\" ", target);
}

TEST(Synthesizer, RefusesLineBreaksAndNul)
{
    const std::string bad[] = {"a\r\nZ9 DELETE INBOX", "a\nb", "a\rb", std::string("a\0b", 3)};
    for (std::size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
        SCOPED_TRACE(i);
        Synthesizer s;
        s.addParam("Z1 LOGIN");
        EXPECT_THROW(s.addParamString(bad[i]), ImapException);
        EXPECT_THROW(s.addParamVectorString({"ok", bad[i]}), ImapException);
        EXPECT_THROW(s.addParam(bad[i]), ImapException);
        EXPECT_EQ("Z1 LOGIN", s.get());
    }
    Synthesizer s;
    EXPECT_THROW(s.addParamStringEx(std::string("\0", 1)), ImapException);
    // Literals carry line breaks, and a literal header may close a plain
    // parameter.
    s.addParamStringEx("two\r\nlines");
    s.addParam("{5+}\r\n");
    EXPECT_EQ("{10+}\r\ntwo\r\nlines {5+}\r\n", s.get());
    EXPECT_THROW(s.addParam("x\r\n"), ImapException);
}

TEST(Synthesizer, EveryParameterKeepsToItsLine)
{
    // Outside the counted bytes of a LITERAL+ literal no CR, LF or NUL: not in
    // a list text, not in a quoted string inside it, not after a brace that
    // only looks like a literal header. A plain parameter may end in the
    // header of a literal whose bytes follow (an APPEND's message).
    struct Row {
        std::string text;
        bool list;   // addParamVector(text), else addParam(text)
        bool ok;
    };
    const Row rows[] = {
        {"\\Seen \\Draft", true, true},
        {"NAME {2+}\r\njo DOMAIN {3+}\r\na\"b PASSWORD \"pw\"", true, true},
        {"{4+}\r\na\r\nb", true, true},
        {"{5+}\r\n", false, true},
        {"\\Seen\r\nZ9 DELETE INBOX", true, false},
        {"\\Seen\nx", true, false},
        {"\\Seen\rx", true, false},
        {std::string("\\Seen\0", 7), true, false},
        {"{5+}\r\n", true, false},          // the bytes would not follow
        {"{9+}\r\nshort", true, false},
        {"{3}\r\nabc", true, false},        // a synchronizing literal waits for the server
        {"x{3+}\r\nabc", true, false},      // inside an atom no literal begins
        {"\"a {3+}\r\nabc\"", true, false}, // nor inside a quoted string
        {"\"a\\\"{3+}\r\nabc\"", true, false},
        {"\"open", true, false},
        {std::string("{3+}\r\na\0b", 9), true, false},
        {"abc}\r\n", false, false},
        {"{x+}\r\n", false, false},
        {"{5+}\r\nZ9 X", false, false},
        {"Z9 X {5+}\r\n", false, true},
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(i);
        Synthesizer s;
        s.addParam("Z1 X");
        if (row.ok) {
            EXPECT_NO_THROW(row.list ? s.addParamVector(row.text) : s.addParam(row.text));
            continue;
        }
        EXPECT_THROW(row.list ? s.addParamVector(row.text) : s.addParam(row.text), ImapException);
        EXPECT_EQ("Z1 X", s.get());
    }
}

TEST(Synthesizer, FolderTypes)
{
    struct Case {
        unsigned bits;
        const char* word;
    };
    const Case cases[] = {
        {0, ""}, {3, "X-CONTACT"}, {16, "X-MAIL"}, {0x7fff, "X-ALL"}, {0xffff, "X-ALL"},
        {0x7ffe, "X-CALENDAR"}, {128, "X-SEARCH"}, {256, ""}, {0x10000, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        EXPECT_EQ(c.word, convertListExtension(c.bits));
    }
    EXPECT_EQ(16u + 0x10000u, convertListExtension(std::string("(\\ZelvoMail \\Noselect)")));
    EXPECT_EQ(0u, convertListExtension(std::string("(\\NoSelect)")));
    EXPECT_EQ(1u | 2u, convertListExtension(std::string("\\ZelvoContact\\ZelvoCalendar")));
}
