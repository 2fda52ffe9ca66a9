#pragma once

#include <cstdint>
#include <ostream>
#include <string>

// One parsed server response (see Parser::parseResponse).
class ResponseResult {
public:
    ResponseResult() = default;

    void clear();

    bool isTagged() const { return tagged; }
    int getType() const { return type; }
    std::string getTag() const { return tag; }
    std::string getString() const { return string; }
    std::string getCode() const { return code; }
    unsigned getNumber() const { return number; }
    std::string getData() const { return data; }

    void dump(std::ostream& out) const;

    bool tagged = false;
    int type = 0;          // keyword id from the tables below, 0 when none
    std::string tag;       // tag of a tagged response
    std::string string;    // remaining text
    std::string code;      // bracketed response code, brackets included
    uint32_t number = 0;   // message number, or UIDVALIDITY/UIDNEXT/UNSEEN value
    std::string data;      // PERMANENTFLAGS list, parentheses included
};

struct ResponseKeyword {
    const char* word;
    int id;
};

// Status words after a tag: OK 100, NO 101, BAD 102, PREAUTH 103, BYE 104.
constexpr int imapResponseGroup1Size = 5;
extern const ResponseKeyword imapResponseGroup1[imapResponseGroup1Size];

// Untagged data words (CAPABILITY 200, LIST 201, LSUB 202, STATUS 203, ...).
constexpr int imapResponseGroup2Size = 18;
extern const ResponseKeyword imapResponseGroup2[imapResponseGroup2Size];

// Words after a number: EXISTS 211, RECENT 212, EXPUNGE 301, AEXPUNGE 300,
// FETCH 302, AFETCH 303.
constexpr int imapResponseGroup3Size = 6;
extern const ResponseKeyword imapResponseGroup3[imapResponseGroup3Size];

// Words opening a response code (ALERT 1001 ... REFERRAL 1013).
constexpr int imapResponseGroupOptionsSize = 12;
extern const ResponseKeyword imapResponseGroupOptions[imapResponseGroupOptionsSize];

// Exact, case-sensitive lookup; false leaves id unchanged.
bool findResponseKeyword(const ResponseKeyword* table, int rows, const std::string& word, int& id);

// The six system flags a message copy keeps, in the order they are emitted.
constexpr int StdImapFlagCount = 6;
extern const char* const StdImapFlag[StdImapFlagCount];

// Response type ids.
constexpr int ImapResponseOk = 100;
constexpr int ImapResponseNo = 101;
constexpr int ImapResponseBad = 102;
constexpr int ImapResponsePreauth = 103;
constexpr int ImapResponseBye = 104;
constexpr int ImapResponseCapability = 200;
constexpr int ImapResponseList = 201;
constexpr int ImapResponseLsub = 202;
constexpr int ImapResponseStatus = 203;
constexpr int ImapResponseExists = 211;
constexpr int ImapResponseRecent = 212;
constexpr int ImapResponseFetch = 302;
constexpr int ImapResponsePermanentFlags = 1004;
constexpr int ImapResponseUidValidity = 1008;
constexpr int ImapResponseUidNext = 1009;
constexpr int ImapResponseUnseen = 1010;
