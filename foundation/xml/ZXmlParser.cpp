#include "foundation/xml/ZXmlParser.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelvo {
namespace utils {

namespace {

constexpr unsigned RunSize = 4096;   // text run and tag name share it; 4095 kept
constexpr unsigned StackNameSize = 64;
constexpr unsigned EntitySize = 16;  // 15 characters kept
constexpr int Eof = -1;

// Character classes are plain ASCII: the locale never decides.
bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isAlnum(int c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isNameByte(int c) { return isAlnum(c) || c == '-' || c == ':'; }
int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool equalsIgnoreCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

void freeList(xml_attr* list) {
    while (list != nullptr) {
        xml_attr* next = list->next;
        std::free(list);
        list = next;
    }
}

// Code point of a numeric reference ("#65", "#x41"), or -1.
long numericReference(const char* name) {
    if (name[0] != '#')
        return -1;
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const char* p = name + (hex ? 2 : 1);
    if (*p == '\0')
        return -1;
    long value = 0;
    for (; *p != '\0'; ++p) {
        int digit;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (hex && lower(*p) >= 'a' && lower(*p) <= 'f')
            digit = lower(*p) - 'a' + 10;
        else
            return -1;
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF)
            return -1;
    }
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF))
        return -1;
    return value;
}

// The bytes an entity stands for; returns their count (1 to 4).
int decodeEntity(const char* name, char out[4]) {
    static const struct {
        const char* name;
        char ch;
    } named[] = {{"amp", '&'}, {"gt", '>'}, {"lt", '<'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& e : named) {
        if (equalsIgnoreCase(name, e.name)) {
            out[0] = e.ch;
            return 1;
        }
    }
    const long cp = numericReference(name);
    if (cp < 0) {
        out[0] = '?';
        return 1;
    }
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// The working state of one parse call.
class ParseRun {
public:
    ParseRun(ZXmlParser& handler, ZStream& in) : h(handler), in(in) {}
    ~ParseRun() { freeList(attrs); }

    void run();

private:
    enum class Outcome { Continue, Stop };

    // Bytes come straight from the stream's buffer; one fill per buffer.
    int get() {
        if (pushed != Eof) {
            const int c = pushed;
            pushed = Eof;
            return c;
        }
        if (in.readCount > 0) {
            --in.readCount;
            return static_cast<unsigned char>(*in.readPtr++);
        }
        if (readError != 0)
            return Eof;
        const int c = in.fill();
        // A failed read is no end of data: from here on every read gives
        // Eof, and the first step that meets it fails with the read error.
        if (c == Eof && !in.endOfData)
            readError = errno != 0 ? errno : EIO;
        return c;
    }
    void unget(int c) { pushed = c; }

    // A read error replaces whatever the step that met its Eof would report,
    // and is also told to the error handler.
    Outcome fail(const char* message) {
        if (readError == 0) {
            h.set_error(message);
            return Outcome::Stop;
        }
        char reason[128];
        char text[ZXmlParser::ErrorTextSize];
        std::snprintf(text, sizeof text, "Cannot read the document: %s",
                      strerror_r(readError, reason, sizeof reason));
        h.set_error(text);
        h.error(h.get_error_text());
        return Outcome::Stop;
    }

    void clearRun() {
        len = 0;
        buf[0] = '\0';
        blank = true;
    }
    void append(char c) {
        if (len < RunSize - 1)
            buf[len++] = c;
    }

    Outcome entity();
    Outcome markup();
    Outcome comment();
    Outcome attribute();

    ZXmlParser& h;
    ZStream& in;
    int pushed = Eof;
    int readError = 0;  // errno of a failed device read
    char buf[RunSize];
    unsigned len = 0;
    bool blank = true;
    char stack[ZXmlParser::MaxDepth][StackNameSize];
    unsigned depth = 0;
    bool rootSeen = false;  // a document has exactly one root element
    xml_attr* attrs = nullptr;
    unsigned attrCount = 0;  // nodes in attrs
};

void ParseRun::run() {
    h.start_document();

    const int first = get();
    if (first == 0xEF) {
        // A UTF-8 byte-order mark; its other two bytes are not examined.
        get();
        get();
    } else if (first != Eof) {
        unget(first);
    }

    clearRun();
    for (;;) {
        const int c = get();
        if (c == Eof && readError != 0) {
            fail(nullptr);
            return;
        }
        if (c == Eof) {
            if (!blank && len > 0) {
                buf[len] = '\0';
                if (!h.text(buf))
                    return;
            }
            if (depth != 0)
                fail("Unexpected end of file not at root level");
            else if (!rootSeen)
                fail("Document has no root element");
            else
                h.end_document();
            return;
        }
        if (isSpace(c)) {
            append(static_cast<char>(c));
        } else if (c == '<') {
            if (!blank) {
                unget(c);
                buf[len] = '\0';
                if (!h.text(buf))
                    return;
                clearRun();
                continue;
            }
            clearRun();
            if (markup() == Outcome::Stop)
                return;
            clearRun();
        } else if (c == '&') {
            if (entity() == Outcome::Stop)
                return;
        } else {
            append(static_cast<char>(c));
            blank = false;
        }
    }
}

ParseRun::Outcome ParseRun::entity() {
    char name[EntitySize];
    unsigned n = 0;
    for (;;) {
        const int c = get();
        if (c == Eof)
            return fail("Unexpected end of file while parsing entity");
        if (c == ';')
            break;
        if (n < EntitySize - 1)
            name[n++] = static_cast<char>(c);
    }
    name[n] = '\0';
    char bytes[4];
    const int count = decodeEntity(name, bytes);
    for (int i = 0; i < count; ++i)
        append(bytes[i]);
    blank = false;
    return Outcome::Continue;
}

ParseRun::Outcome ParseRun::markup() {
    bool startTag = true;
    bool endTag = false;
    bool instruction = false;

    int c = get();
    for (;;) {
        if (c == Eof)
            return fail("Start element was not closed");
        if (c == '/') {
            startTag = false;
            endTag = true;
        } else if (c == '?') {
            startTag = false;
            endTag = false;
            instruction = true;
        } else if (c == '!') {
            int next = get();
            if (next == '-') {
                next = get();
                if (next == '-')
                    return comment();
            }
            if (next == Eof)
                return fail("Start element was not closed");
            // "<!DOCTYPE": a start tag whose name begins with that byte.
            startTag = true;
            endTag = false;
            instruction = false;
            c = next;
            break;
        } else {
            break;
        }
        c = get();
    }

    len = 0;
    while (isNameByte(c)) {
        append(static_cast<char>(c));
        c = get();
    }
    buf[len] = '\0';
    while (isSpace(c))
        c = get();

    for (;;) {
        if (c == Eof)
            return fail("Start element was not closed");
        if (startTag && c == '/') {
            if (get() != '>')
                return fail("Empty element was not closed by />");
            endTag = true;
            break;
        }
        if (c == '>') {
            if (instruction)
                return fail("Processing instruction was not closed by ?>");
            break;
        }
        if (instruction && c == '?') {
            if (get() != '>')
                return fail("Processing instruction was not closed by ?>");
            break;
        }
        unget(c);
        if (attribute() == Outcome::Stop)
            return Outcome::Stop;
        c = get();
    }

    if (startTag) {
        if (depth == 0 && rootSeen)
            return fail("Document has more than one root element");
        rootSeen = true;
        if (depth >= ZXmlParser::MaxDepth)
            return fail("Too many nested elements");
        // Names longer than a stack entry are kept cut, as they are compared.
        const std::size_t kept = ::strnlen(buf, StackNameSize - 1);
        std::memcpy(stack[depth], buf, kept);
        stack[depth][kept] = '\0';
        ++depth;
        if (!h.start_element(buf, attrs))
            return Outcome::Stop;
    } else if (instruction) {
        if (!h.processing_instruction(buf, attrs))
            return Outcome::Stop;
    }
    if (endTag) {
        if (depth == 0)
            return fail("End tag at root level");
        --depth;
        if (!equalsIgnoreCase(buf, stack[depth]))
            return fail("End tag not matching start tag");
        if (!h.end_element(buf))
            return Outcome::Stop;
    }
    freeList(attrs);
    attrs = nullptr;
    attrCount = 0;
    return Outcome::Continue;
}

ParseRun::Outcome ParseRun::attribute() {
    char name[xml_attr::NameSize];
    unsigned n = 0;
    int c = get();
    while (isNameByte(c)) {
        if (n < xml_attr::NameSize - 1)
            name[n++] = static_cast<char>(c);
        c = get();
    }
    name[n] = '\0';
    if (n == 0 || c == Eof)
        return fail("Cannot read attribute");
    while (isSpace(c) || c == '=')
        c = get();
    if (c != '"' && c != '\'')
        return fail("Cannot read attribute");
    const int quote = c;

    char value[xml_attr::ValueSize];
    unsigned v = 0;
    for (;;) {
        c = get();
        if (c == Eof)
            return fail("Cannot read attribute");
        if (c == quote)
            break;
        if (v < xml_attr::ValueSize - 1)
            value[v++] = static_cast<char>(c);
    }
    value[v] = '\0';

    do
        c = get();
    while (isSpace(c));
    if (c != Eof)
        unget(c);

    if (attrCount == ZXmlParser::MaxAttributes)
        return fail("Too many attributes");
    xml_attr* node = static_cast<xml_attr*>(std::calloc(1, sizeof(xml_attr)));
    if (node == nullptr)
        return fail("Cannot read attribute");
    std::memcpy(node->name, name, n + 1);
    std::memcpy(node->value, value, v + 1);
    node->next = attrs;
    attrs = node;
    ++attrCount;
    return Outcome::Continue;
}

// Ends at the first "-->" whose first '-' follows a byte that is not a name
// byte; right after "<!--" the previous byte counts as a name byte.
ParseRun::Outcome ParseRun::comment() {
    bool prevName = true;
    for (;;) {
        const int c = get();
        if (c == Eof)
            return fail("Start element was not closed");
        if (c == '-' && !prevName) {
            const int second = get();
            if (second == Eof)
                return fail("Start element was not closed");
            if (second == '-') {
                const int third = get();
                if (third == Eof)
                    return fail("Start element was not closed");
                if (third == '>')
                    return Outcome::Continue;
                unget(third);
            } else {
                unget(second);
            }
            prevName = true;
            continue;
        }
        prevName = isNameByte(c);
    }
}

}  // namespace

const char* get_xml_attr(const xml_attr* list, const char* name) {
    if (name == nullptr)
        return nullptr;
    for (; list != nullptr; list = list->next) {
        if (equalsIgnoreCase(list->name, name))
            return list->value;
    }
    return nullptr;
}

void fputs_xml(ZStream& out, const char* text) {
    if (text == nullptr)
        return;
    const char* plain = text;
    for (const char* p = text;; ++p) {
        const char* escape = nullptr;
        switch (*p) {
        case '<':
            escape = "&lt;";
            break;
        case '>':
            escape = "&gt;";
            break;
        case '&':
            escape = "&amp;";
            break;
        case '"':
            escape = "&quot;";
            break;
        default:
            break;
        }
        if (escape == nullptr && *p != '\0')
            continue;
        if (p > plain)
            out.write(plain, static_cast<unsigned long>(p - plain));
        if (*p == '\0')
            return;
        out.puts(escape);
        plain = p + 1;
    }
}

ZXmlParser::ZXmlParser() : errorFlag(0) { errorText[0] = '\0'; }

ZXmlParser::~ZXmlParser() {}

void ZXmlParser::start_document() {}
void ZXmlParser::end_document() {}
bool ZXmlParser::start_element(const char*, const xml_attr*) { return true; }
bool ZXmlParser::processing_instruction(const char*, const xml_attr*) { return true; }
bool ZXmlParser::end_element(const char*) { return true; }
bool ZXmlParser::text(const char*) { return true; }
void ZXmlParser::error(const char*) {}

void ZXmlParser::set_error(const char* message) {
    std::strncpy(errorText, message != nullptr ? message : "", ErrorTextSize - 1);
    errorText[ErrorTextSize - 1] = '\0';
    errorFlag = 1;
}

void ZXmlParser::parse(ZStream& in) {
    ParseRun run(*this, in);
    run.run();
}

}  // namespace utils
}  // namespace zelvo
