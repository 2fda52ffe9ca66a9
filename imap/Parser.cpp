#include "imap/Parser.h"

#include <cstdlib>

#include "imap/ImapException.h"
#include "imap/Lexer.h"

namespace lex = zelvo::mail::imap;

namespace {

// Leading decimal digits as a 32-bit number, saturating instead of
// overflowing; no digits give 0.
uint32_t leadingNumber(const std::string& s)
{
    uint64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            break;
        n = n * 10 + static_cast<uint64_t>(c - '0');
        if (n > 0xffffffffULL)
            return 0xffffffffU;
    }
    return static_cast<uint32_t>(n);
}

bool startsWithBracket(const std::string& s)
{
    return !s.empty() && s[0] == '[';
}

} // namespace

Parser::Parser(const std::string& text) : text(text), position(text.begin()) {}

bool Parser::getNode(std::string& out)
{
    if (position == text.end())
        return false;
    out.clear();
    if (!lex::skipSpace(text, position))
        return false;
    if (*position == '(')
        return lex::readParenthesis(text, position, '(', ')', out);
    if (*position == '[')
        return lex::readParenthesis(text, position, '[', ']', out);
    return lex::readString(text, position, out);
}

bool Parser::getMailbox(std::string& out)
{
    return lex::readAString(text, position, out);
}

bool Parser::getNodeData(std::string& out)
{
    if (!getNode(out))
        return false;
    if (!out.empty() && (out[0] == '(' || out[0] == '[')) {
        out.erase(0, 1);
        if (!out.empty())
            out.pop_back();
    }
    return true;
}

bool Parser::getRest(std::string& out)
{
    out.clear();
    if (!lex::skipSpace(text, position))
        return false;
    out.assign(position, text.end());
    position = text.end();
    return true;
}

void Parser::parseResponse(ResponseResult& result)
{
    result.clear();
    std::string first;
    getNode(first);
    if (first == "*") {
        result.tagged = false;
        parseResponseUnTagged(result);
    } else {
        result.tagged = true;
        result.tag = first;
        parseResponseTagged(result);
    }
}

void Parser::parseResponseTagged(ResponseResult& result)
{
    std::string word;
    if (!getNode(word))
        throw ImapParserException("");
    findResponseKeyword(imapResponseGroup1, imapResponseGroup1Size, word, result.type);
    std::string node;
    if (!getNode(node))
        return;
    if (startsWithBracket(node)) {
        result.code = node;
        getRest(result.string);
    } else {
        std::string rest;
        getRest(rest);
        result.string = node + " " + rest;
    }
}

void Parser::parseResponseUnTagged(ResponseResult& result)
{
    std::string word;
    if (!getNode(word))
        throw ImapParserException("");
    if (word == "OK") {
        std::string node;
        if (!getNode(node))
            throw ImapParserException("");
        if (startsWithBracket(node)) {
            result.code = node;
            getRest(result.string);
            parseResponseOption(result);
        } else {
            std::string rest;
            getRest(rest);
            result.string = node + " " + rest;
        }
        return;
    }
    if (findResponseKeyword(imapResponseGroup2, imapResponseGroup2Size, word, result.type)) {
        getRest(result.string);
        return;
    }
    result.number = leadingNumber(word);
    parseResponseUnTaggedGroup3(result);
}

void Parser::parseResponseUnTaggedGroup2(ResponseResult& result)
{
    getRest(result.string);
}

void Parser::parseResponseUnTaggedGroup3(ResponseResult& result)
{
    std::string word;
    if (!getNode(word) || !findResponseKeyword(imapResponseGroup3, imapResponseGroup3Size, word, result.type))
        throw ImapParserException("");
    getRest(result.string);
}

void Parser::parseResponseOption(ResponseResult& result)
{
    std::string inner = result.code;
    lex::trim(inner);
    Parser options(inner);
    std::string word;
    options.getNode(word);
    if (!findResponseKeyword(imapResponseGroupOptions, imapResponseGroupOptionsSize, word, result.type))
        return;
    std::string value;
    options.getNode(value);
    switch (result.type) {
    case ImapResponsePermanentFlags:
        result.data = value;
        break;
    case ImapResponseUidValidity:
    case ImapResponseUidNext:
    case ImapResponseUnseen:
        result.number = leadingNumber(value);
        break;
    default:
        break;
    }
}

bool Parser::isNumber(const std::string& s)
{
    return s.find_first_not_of("0123456789") == std::string::npos;
}
