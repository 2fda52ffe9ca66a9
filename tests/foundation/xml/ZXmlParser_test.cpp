#include "foundation/xml/ZXmlParser.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using zelvo::utils::fputs_xml;
using zelvo::utils::get_xml_attr;
using zelvo::utils::xml_attr;
using zelvo::utils::ZStream;
using zelvo::utils::ZXmlParser;

namespace {

// Serves a string in device reads of at most chunk bytes.
class StringStream : public ZStream {
public:
    explicit StringStream(std::string data, size_t chunk = 4096) : data(std::move(data)), chunk(chunk) {}
    int i_read(char* buf, unsigned int len) override {
        const size_t n = std::min({data.size() - pos, static_cast<size_t>(len), chunk});
        data.copy(buf, n, pos);
        pos += n;
        return static_cast<int>(n);
    }
    int i_write(const char* buf, unsigned int len) override {
        out.append(buf, len);
        return static_cast<int>(len);
    }
    std::string data;
    size_t chunk;
    size_t pos = 0;
    std::string out;
};

std::string describe(const xml_attr* attrs) {
    std::string s;
    for (const xml_attr* a = attrs; a != nullptr; a = a->next)
        s += std::string(s.empty() ? "" : ",") + a->name + "=" + a->value;
    return s.empty() ? "" : "[" + s + "]";
}

// Writes every event into one line: "<" start document, "S:name[attrs]",
// "E:name", "P:name[attrs]", "T:text|", ">" end document.
class Recorder : public ZXmlParser {
public:
    std::string events;
    std::string stopAt;  // an event that makes its handler return false

    void start_document() override { events += "<"; }
    void end_document() override { events += ">"; }
    bool start_element(const char* name, const xml_attr* attrs) override {
        return add("S:" + std::string(name) + describe(attrs));
    }
    bool processing_instruction(const char* name, const xml_attr* attrs) override {
        return add("P:" + std::string(name) + describe(attrs));
    }
    bool end_element(const char* name) override { return add("E:" + std::string(name)); }
    bool text(const char* t) override { return add("T:" + std::string(t) + "|"); }
    void error(const char* message) override { events += "X:" + std::string(message) + " "; }

private:
    bool add(const std::string& e) {
        events += e + " ";
        return e != stopAt;
    }
};

struct Case {
    const char* name;
    std::string doc;
    std::string events;
    const char* error;  // nullptr = none
};

void runTable(const Case* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].name);
        // The result must not depend on how the device splits the bytes.
        for (size_t chunk : {size_t(4096), size_t(1), size_t(3)}) {
            SCOPED_TRACE(chunk);
            StringStream in(cases[i].doc, chunk);
            Recorder r;
            r.parse(in);
            EXPECT_EQ(cases[i].events, r.events);
            EXPECT_EQ(cases[i].error ? 1 : 0, r.get_error());
            EXPECT_STREQ(cases[i].error ? cases[i].error : "", r.get_error_text());
        }
    }
}

std::string nested(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        open += "<e" + std::to_string(i) + ">";
        close = "</e" + std::to_string(i) + ">" + close;
    }
    return open + close;
}

std::string nestedEvents(int depth) {
    std::string s = "<";
    for (int i = 0; i < depth; ++i)
        s += "S:e" + std::to_string(i) + " ";
    for (int i = depth - 1; i >= 0; --i)
        s += "E:e" + std::to_string(i) + " ";
    return s + ">";
}

// count attributes: a0="0" a1="1" ...
std::string attributeList(int count) {
    std::string list;
    for (int i = 0; i < count; ++i)
        list += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    return list;
}

// An empty element with count attributes, and its events.
std::string manyAttributes(int count) { return "<t" + attributeList(count) + "/>"; }

// The attributes of attributeList(count) as a handler gets them.
std::string attributeEvents(int count) {
    std::string list;
    for (int i = count - 1; i >= 0; --i)
        list += std::string(list.empty() ? "" : ",") + "a" + std::to_string(i) + "=" + std::to_string(i);
    return "[" + list + "]";
}

std::string manyAttributesEvents(int count) { return "<S:t" + attributeEvents(count) + " E:t >"; }

// A post office of users with four attributes each under a root with five:
// 5 + 4 * users attributes in all, never more than five in one tag.
std::string postOffice(int users) {
    std::string doc = "<po id=\"1\" name=\"main\" host=\"h\" quota=\"9\" open=\"y\">";
    for (int i = 0; i < users; ++i) {
        const std::string n = std::to_string(i);
        doc += "<user name=\"u" + n + "\" pass=\"p" + n + "\" quota=\"" + n + "\" alias=\"a" + n + "\"/>";
    }
    return doc + "</po>";
}

std::string postOfficeEvents(int users) {
    std::string events = "<S:po[open=y,quota=9,host=h,name=main,id=1] ";
    for (int i = 0; i < users; ++i) {
        const std::string n = std::to_string(i);
        events += "S:user[alias=a" + n + ",quota=" + n + ",pass=p" + n + ",name=u" + n + "] E:user ";
    }
    return events + "E:po >";
}

TEST(ZXmlParser, WellFormedDocuments) {
    const Case cases[] = {
        {"declaration and root", "<?xml version=\"1.0\" encoding='UTF-8'?>\n<root/>\n",
         "<P:xml[encoding=UTF-8,version=1.0] S:root E:root >", nullptr},
        {"attributes in reverse order, quotes kept as written",
         "<a x=\"1\" y = '2' z==\"it's\" w  'v'>", "<S:a[w=v,z=it's,y=2,x=1] ", "Unexpected end of file not at root level"},
        {"empty element with attribute", "<item name=\"po1\"/>", "<S:item[name=po1] E:item >", nullptr},
        {"blank runs give no text", "<a>\n  <b> \t</b>\r\n</a>", "<S:a S:b E:b E:a >", nullptr},
        {"text keeps its surrounding blanks", "<a>  two words \n</a>", "<S:a T:  two words \n| E:a >", nullptr},
        {"text split by a child", "<a>x<b/>y</a>", "<S:a T:x| S:b E:b T:y| E:a >", nullptr},
        {"end tag in another case", "<Pref></PREF>", "<S:Pref E:PREF >", nullptr},
        {"name bytes", "<ns:a-1 k:v-2=\"x\"></ns:a-1>", "<S:ns:a-1[k:v-2=x] E:ns:a-1 >", nullptr},
        {"byte-order mark", "\xEF\xBB\xBF<a/>", "<S:a E:a >", nullptr},
        {"first byte 0xEF eats three bytes", "\xEF<a<a/>", "<S:a E:a >", nullptr},
        {"comment", "<a><!-- note --><!--x--  -->t</a>", "<S:a T:t| E:a >", nullptr},
        {"comment ends only after a non-name byte", "<a><!-- end--> still --></a>", "<S:a E:a >", nullptr},
        {"text at root level is delivered", "hello<a/>", "<T:hello| S:a E:a >", nullptr},
        {"doctype is an element", "<!DOCTYPE x=\"y\"></DOCTYPE>", "<S:DOCTYPE[x=y] E:DOCTYPE >", nullptr},
        // After "<!-" the first name byte is taken once; the dash is lost.
        {"single dash after !", "<!-x/>", "<S:x E:x >", nullptr},
        {"32 nested elements", nested(32), nestedEvents(32), nullptr},
        {"value cut at 127", "<a v=\"" + std::string(200, 'v') + "\"/>",
         "<S:a[v=" + std::string(127, 'v') + "] E:a >", nullptr},
        {"attribute name cut at 63", "<a " + std::string(70, 'n') + "='1'/>",
         "<S:a[" + std::string(63, 'n') + "=1] E:a >", nullptr},
        {"text run cut at 4095", "<a>" + std::string(5000, 't') + "</a>",
         "<S:a T:" + std::string(4095, 't') + "| E:a >", nullptr},
        {"256 attributes in a tag", manyAttributes(256), manyAttributesEvents(256), nullptr},
        // The cap holds per tag, not for the document.
        {"405 attributes over 101 tags", postOffice(100), postOfficeEvents(100), nullptr},
        {"256 attributes in each of two tags", "<r" + attributeList(256) + ">" + manyAttributes(256) + "</r>",
         "<S:r" + attributeEvents(256) + " S:t" + attributeEvents(256) + " E:t E:r >", nullptr},
    };
    runTable(cases, sizeof cases / sizeof cases[0]);
}

TEST(ZXmlParser, Entities) {
    const Case cases[] = {
        {"five named, any case", "<a>&amp;&LT;&gt;&Quot;&apos;</a>", "<S:a T:&<>\"'| E:a >", nullptr},
        {"a space alone is text", "<a>&#32;</a>", "<S:a T: | E:a >", nullptr},
        {"decimal and hex references as UTF-8", "<a>&#233;&#xE9;&#X20AC;&#x1F600;</a>",
         "<S:a T:\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80| E:a >", nullptr},
        {"unknown and invalid references", "<a>&nbsp;&#;&#x;&#xD800;&#x110000;&#12a;&#0;</a>",
         "<S:a T:???????| E:a >", nullptr},
        {"entity inside text", "<a>R&amp;D dept</a>", "<S:a T:R&D dept| E:a >", nullptr},
        {"attribute values are not decoded", "<a v=\"&amp;\"/>", "<S:a[v=&amp;] E:a >", nullptr},
        {"end of data inside an entity", "<a>&amp", "<S:a ", "Unexpected end of file while parsing entity"},
    };
    runTable(cases, sizeof cases / sizeof cases[0]);
}

TEST(ZXmlParser, SyntaxErrors) {
    const Case cases[] = {
        {"end inside an element, text delivered first", "<a><b>partial", "<S:a S:b T:partial| ",
         "Unexpected end of file not at root level"},
        {"end inside a tag name", "<a><b", "<S:a ", "Start element was not closed"},
        {"end inside a comment", "<a><!-- no end", "<S:a ", "Start element was not closed"},
        {"comment closing after a letter", "<a><!--word--></a>", "<S:a ", "Start element was not closed"},
        {"end inside an attribute value", "<a v=\"abc", "<", "Cannot read attribute"},
        {"unquoted attribute", "<a v=abc>", "<", "Cannot read attribute"},
        {"CDATA section", "<a><![CDATA[x]]></a>", "<S:a ", "Cannot read attribute"},
        {"slash without >", "<a/ >", "<", "Empty element was not closed by />"},
        {"instruction closed by >", "<?xml v='1'>", "<", "Processing instruction was not closed by ?>"},
        {"instruction ? without >", "<?xml ?x>", "<", "Processing instruction was not closed by ?>"},
        {"33 nested elements", nested(33), nestedEvents(32).substr(0, nestedEvents(32).find("E:")),
         "Too many nested elements"},
        {"end tag at root", "<a/></a>", "<S:a E:a ", "End tag at root level"},
        {"mismatched end tag", "<a><b></a></b>", "<S:a S:b ", "End tag not matching start tag"},
        // A document has exactly one root element.
        {"empty stream", "", "<", "Document has no root element"},
        {"declaration only", "<?xml version=\"1.0\"?>\n", "<P:xml[version=1.0] ", "Document has no root element"},
        {"blanks and a comment only", " \n<!-- none -->\n", "<", "Document has no root element"},
        {"text only, delivered first", "no markup", "<T:no markup| ", "Document has no root element"},
        {"a second root element", "<a/>\n<b></b>", "<S:a E:a ", "Document has more than one root element"},
        {"a second root after a closed one", "<a><c/></a><a/>", "<S:a S:c E:c E:a ",
         "Document has more than one root element"},
        {"257 attributes in a tag", manyAttributes(257), "<", "Too many attributes"},
        {"257 attributes in an end tag", "<a></a" + attributeList(257) + ">", "<S:a ", "Too many attributes"},
        {"257 attributes in an instruction", "<?p" + attributeList(257) + "?>", "<", "Too many attributes"},
        {"long start tag is remembered cut", "<" + std::string(70, 'x') + "></" + std::string(70, 'x') + ">",
         "<S:" + std::string(70, 'x') + " ", "End tag not matching start tag"},
    };
    runTable(cases, sizeof cases / sizeof cases[0]);
}

TEST(ZXmlParser, HandlerStopsTheParse) {
    const char* doc = "<a><b>one</b><c>two</c></a>";
    for (const char* stop : {"S:b", "T:one|", "E:b"}) {
        SCOPED_TRACE(stop);
        StringStream in(doc);
        Recorder r;
        r.stopAt = stop;
        r.parse(in);
        EXPECT_EQ(0, r.get_error());
        const std::string expected = std::string("<S:a S:b ") + (std::string(stop) == "S:b" ? "" : "T:one| ") +
                                     (std::string(stop) == "E:b" ? "E:b " : "");
        EXPECT_EQ(expected, r.events);
    }
}

TEST(ZXmlParser, ErrorStaysUntilCleared) {
    Recorder r;
    StringStream bad("<a>");
    r.parse(bad);
    EXPECT_EQ(1, r.get_error());
    StringStream good("<a/>");
    r.parse(good);
    EXPECT_EQ(1, r.get_error());
    r.set_error(std::string(300, 'm').c_str());
    EXPECT_EQ(255u, std::string(r.get_error_text()).size());
}

// Serves the bytes before failAt, then fails device reads with errno set (a
// file that is a directory, a disk that returns EIO): every read from then
// on, or only the next failures reads, after which the rest is served.
class FailingStream : public StringStream {
public:
    FailingStream(std::string data, size_t failAt, int error, int failures)
        : StringStream(std::move(data), 2), failAt(failAt), error(error), failures(failures) {}
    int i_read(char* buf, unsigned int len) override {
        if (pos < failAt)
            return StringStream::i_read(buf, std::min<unsigned>(len, static_cast<unsigned>(failAt - pos)));
        if (failures == 0)
            return StringStream::i_read(buf, len);
        if (failures > 0)
            --failures;
        errno = error;
        return -1;
    }
    size_t failAt;
    int error;
    int failures;
};

// A device error is no end of data: the parse fails with a text of its own,
// told to the error handler, wherever the read fails (also after a complete
// document, whose end was never seen), and nothing after it is read.
TEST(ZXmlParser, DeviceErrorFailsTheParse) {
    const std::string eio = "Cannot read the document: Input/output error";
    const std::string isdir = "Cannot read the document: Is a directory";
    struct Row {
        const char* name;
        std::string before;  // what the device serves before it fails
        int error;
        int failures;        // -1: every later read fails
        std::string events;
        std::string text;
    };
    const Row rows[] = {
        {"first read", "", EISDIR, -1, "<X:" + isdir + " ", isdir},
        {"after a complete document", "<a/>", EIO, -1, "<S:a E:a X:" + eio + " ", eio},
        {"inside an element", "<a><b>", EIO, -1, "<S:a S:b X:" + eio + " ", eio},
        {"inside a tag", "<a><b", EIO, -1, "<S:a X:" + eio + " ", eio},
        {"inside text", "<a>partial", EIO, -1, "<S:a X:" + eio + " ", eio},
        {"inside an entity", "<a>&am", EIO, -1, "<S:a X:" + eio + " ", eio},
        {"inside an attribute", "<a v='x", EIO, -1, "<X:" + eio + " ", eio},
        {"inside a comment", "<a><!-- c", EIO, -1, "<S:a X:" + eio + " ", eio},
        {"one failure, then the rest", "<a>", EIO, 1, "<S:a X:" + eio + " ", eio},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FailingStream in(row.before + "text</a>", row.before.size(), row.error, row.failures);
        Recorder r;
        r.parse(in);
        EXPECT_EQ(row.events, r.events);
        EXPECT_EQ(1, r.get_error());
        EXPECT_EQ(row.text, r.get_error_text());
    }
}

// Keeps the attribute lookups made during start_element.
class Lookup : public ZXmlParser {
public:
    std::string found;
    bool start_element(const char*, const xml_attr* attrs) override {
        for (const char* key : {"name", "NAME", "Type", "missing"}) {
            const char* v = get_xml_attr(attrs, key);
            found += std::string(key) + "=" + (v ? v : "(null)") + ";";
        }
        EXPECT_EQ(nullptr, get_xml_attr(attrs, nullptr));
        return true;
    }
};

TEST(ZXmlParser, AttributeLookupIgnoresCaseAndTakesTheLastDuplicate) {
    StringStream in("<e Name=\"first\" type='t' name=\"second\"/>");
    Lookup p;
    p.parse(in);
    EXPECT_EQ("name=second;NAME=second;Type=t;missing=(null);", p.found);
    EXPECT_EQ(nullptr, get_xml_attr(nullptr, "name"));
}

TEST(FputsXml, EscapesMarkupCharacters) {
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"a<b>c&d\"e'f", "a&lt;b&gt;c&amp;d&quot;e'f"},
        {"plain", "plain"},
        {"", ""},
        {"&&", "&amp;&amp;"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        StringStream s("");
        fputs_xml(s, row.in);
        s.flush();
        EXPECT_EQ(row.out, s.out);
    }
    StringStream s("");
    fputs_xml(s, nullptr);
    EXPECT_EQ(0u, s.pendingOutput());

    // Escaped text reads back as the original.
    StringStream w("");
    w.puts("<a>");
    fputs_xml(w, "x < y & \"z\"");
    w.puts("</a>");
    w.flush();
    StringStream r(w.out);
    Recorder rec;
    rec.parse(r);
    EXPECT_EQ("<S:a T:x < y & \"z\"| E:a >", rec.events);
}

}  // namespace
