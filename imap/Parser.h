#pragma once

#include <string>

#include "imap/ResponseResult.h"

// Reads one server response node by node and classifies whole responses.
// Malformed input throws ImapParserException. The parser keeps a reference to
// the text: the caller keeps it alive.
class Parser {
public:
    explicit Parser(const std::string& text);

    // Next node: a "(...)" or "[...]" group with its brackets, or a string
    // value. False at the end (out unchanged) or after trailing blanks (out
    // empty).
    bool getNode(std::string& out);
    // The next node read as a mailbox name (readAString): no bracket group,
    // no NIL. False at the end or after trailing blanks (out empty).
    bool getMailbox(std::string& out);
    // getNode, then the outer brackets of a group removed.
    bool getNodeData(std::string& out);
    // Everything after the blanks at the position, unchanged.
    bool getRest(std::string& out);

    void parseResponse(ResponseResult& result);
    void parseResponseTagged(ResponseResult& result);
    void parseResponseUnTagged(ResponseResult& result);
    void parseResponseUnTaggedGroup2(ResponseResult& result);
    void parseResponseUnTaggedGroup3(ResponseResult& result);
    void parseResponseOption(ResponseResult& result);

    // True when every character is a decimal digit (also for "").
    static bool isNumber(const std::string& s);

private:
    const std::string& text;
    std::string::const_iterator position;
};
