#ifndef ZELVO_FOUNDATION_XML_ZXMLPARSER_H
#define ZELVO_FOUNDATION_XML_ZXMLPARSER_H

#include "foundation/streams/ZStream.h"

namespace zelvo {
namespace utils {

// One attribute of a tag. Lists handed to handlers hold the attributes in
// reverse document order and are freed as soon as the handler returns.
struct xml_attr {
    static constexpr unsigned NameSize = 64;    // 63 characters kept
    static constexpr unsigned ValueSize = 128;  // 127 characters kept, as written
    char name[NameSize];
    char value[ValueSize];
    xml_attr* next;
};

// The value of the first attribute in list order whose name equals name,
// ignoring ASCII case (so the last of duplicated names in the document);
// null when there is none.
const char* get_xml_attr(const xml_attr* list, const char* name);

// Writes text with <, >, & and " escaped; other bytes unchanged.
void fputs_xml(ZStream& out, const char* text);

// Streaming XML parser: reads a ZStream byte by byte and reports elements,
// processing instructions and text runs to the virtual handlers. A handler
// returning false ends the parse silently (get_error() stays 0). The first
// syntax error ends it with get_error() 1 and its message in
// get_error_text(); no handler is told. A failed device read (not the end of
// the data) ends it with get_error() 1, "Cannot read the document: " and the
// system's reason, and that text goes to error(). Names and texts handed to
// handlers are valid only during the call.
//
// A document has exactly one root element: a stream without one (empty, or
// only a declaration, comments or text) fails with "Document has no root
// element" at its end, and a second one with "Document has more than one
// root element" at its start tag.
//
// Limits: 32 nested elements, 256 attributes per tag (more fail the parse
// with "Too many attributes"), names of 63 characters on the element stack,
// 4095 characters per text run or tag name; longer texts are cut silently.
// Entities: amp, lt, gt, quot, apos (any case) and numeric references
// (&#N; &#xN;, written as UTF-8); any other entity becomes '?'.
class ZXmlParser {
public:
    static constexpr unsigned MaxDepth = 32;
    // Attributes of one tag: each takes a node of its own, so the bound keeps
    // a hostile tag from taking memory without end (256 nodes are 50 KB).
    static constexpr unsigned MaxAttributes = 256;
    static constexpr unsigned ErrorTextSize = 256;

    ZXmlParser();
    virtual ~ZXmlParser();

    virtual void start_document();
    virtual void end_document();
    virtual bool start_element(const char* name, const xml_attr* attrs);
    virtual bool processing_instruction(const char* name, const xml_attr* attrs);
    virtual bool end_element(const char* name);
    virtual bool text(const char* text);
    // Called by parse only for a failed device read; subclasses may also use
    // it for errors of their own.
    virtual void error(const char* message);

    // Parses the whole stream. Does not reset an earlier error.
    void parse(ZStream& in);

    int get_error() const { return errorFlag; }
    const char* get_error_text() const { return errorText; }
    void set_error(const char* message);

private:
    int errorFlag;
    char errorText[ErrorTextSize];
};

}  // namespace utils
}  // namespace zelvo

#endif
