#include "imap/ResponseResult.h"

#include <cstring>

const ResponseKeyword imapResponseGroup1[imapResponseGroup1Size] = {
    {"OK", 100}, {"NO", 101}, {"BAD", 102}, {"PREAUTH", 103}, {"BYE", 104},
};

const ResponseKeyword imapResponseGroup2[imapResponseGroup2Size] = {
    {"LISTRIGHTS", 602}, {"CAPABILITY", 200}, {"LIST", 201},       {"LSUB", 202},
    {"STATUS", 203},     {"SEARCH", 204},     {"SORT", 205},       {"ASORT", 208},
    {"GROUP", 206},      {"AGROUP", 209},     {"FLAGS", 210},      {"ACL", 601},
    {"MYRIGHTS", 603},   {"ANNOTATION", 500}, {"X-WATCH", 600},    {"X-LISTMAP", 604},
    {"X-GETSCRIPT", 605}, {"X-USERINFO", 606},
};

const ResponseKeyword imapResponseGroup3[imapResponseGroup3Size] = {
    {"EXISTS", 211}, {"RECENT", 212}, {"EXPUNGE", 301}, {"AEXPUNGE", 300}, {"FETCH", 302}, {"AFETCH", 303},
};

const ResponseKeyword imapResponseGroupOptions[imapResponseGroupOptionsSize] = {
    {"ALERT", 1001},       {"NEWNAME", 1002},     {"PARSE", 1003},       {"PERMANENTFLAGS", 1004},
    {"READ-ONLY", 1005},   {"READ-WRITE", 1006},  {"TRYCREATE", 1007},   {"UIDVALIDITY", 1008},
    {"UIDNEXT", 1009},     {"UNSEEN", 1010},      {"INTERNALDATE", 1012}, {"REFERRAL", 1013},
};

const char* const StdImapFlag[StdImapFlagCount] = {
    "\\Seen", "\\Answered", "\\Flagged", "\\Deleted", "\\Draft", "\\Recent",
};

bool findResponseKeyword(const ResponseKeyword* table, int rows, const std::string& word, int& id)
{
    for (int i = 0; i < rows; ++i) {
        if (word == table[i].word) {
            id = table[i].id;
            return true;
        }
    }
    return false;
}

void ResponseResult::clear()
{
    tagged = false;
    type = 0;
    number = 0;
    tag.clear();
    string.clear();
    code.clear();
    data.clear();
}

void ResponseResult::dump(std::ostream& out) const
{
    if (tagged)
        out << "Tagged response: tag = " << tag;
    else
        out << "UnTagged response: ";
    out << "  Type = " << type << '\n'
        << "  code = " << code << '\n'
        << "  number = " << number << '\n'
        << "  data = " << data << '\n'
        << "  other = " << string << '\n'
        << '\n';
}
