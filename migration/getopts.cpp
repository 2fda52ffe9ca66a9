#include "migration/getopts.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace cmdline {

char* optarg = nullptr;
int optind = 1;
int opterr = 1;
int optopt = 1;

namespace {

char* pa = nullptr;     // text after the "=" of the current option word
char* po = nullptr;     // option word being matched (whole word inside a compact group)
int tblsize = 0;        // index of the table's terminator; 0 = not computed
int coptid = 0;         // next letter of a compact group in po; 0 = not in a group
int optend = 0;         // index of the first "--", or argc; 0 = not computed
int optnum = 0;         // end of the option area

bool isOptionWord(const char* w)
{
    return (w[0] == '-' || w[0] == '+') && w[1] != '\0';
}

// The entry's value rule: '=', '?' or 0 for a flag.
char valueMarker(const char* entry)
{
    const std::size_t n = std::strlen(entry);
    if (n == 0)
        return 0;
    const char last = entry[n - 1];
    return last == '=' || last == '?' ? last : 0;
}

// The entry is exactly the first m characters (plus its marker).
bool exactAt(const char* entry, int m)
{
    const char c = entry[m];
    return c == '\0' || ((c == '=' || c == '?') && entry[m + 1] == '\0');
}

// Index of letter c in the one-letter list plus 1, or 0.
int letterIndex(const char* letters, char c)
{
    const char* p = std::strchr(letters, c);
    return p ? static_cast<int>(p - letters) + 1 : 0;
}

void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
void complain(const char* format, ...)
{
    if (opterr == 0)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

const char* programName(char** argv)
{
    return argv[0] ? argv[0] : "";
}

// Takes the value of entry k from "=" or from the next word.
int valueStep(int k, char marker, char** argv)
{
    if (pa) {
        optarg = pa;
        return k;
    }
    if (optind < optnum) {
        char* next = argv[optind];
        if ((next[0] != '-' && next[0] != '+') || next[1] == '\0') {
            optarg = next;
            ++optind;
            return k;
        }
    }
    if (marker == '?')
        return k;
    complain("%s: option '%s' requires an argument\n", programName(argv), argv[optopt]);
    return GETOPTS_NO_VALUE;
}

int compactStep(char** argv, const char* const* table)
{
    const char c = po[coptid];
    ++coptid;
    optarg = nullptr;
    const int k = letterIndex(table[0], c);
    if (k == 0) {
        complain("%s: illegal option '%s'\n", programName(argv), argv[optopt]);
        return GETOPTS_UNKNOWN;
    }
    const bool more = po[coptid] != '\0';
    const char marker = k < tblsize ? valueMarker(table[k]) : 0;
    if (marker) {
        if (!more)
            return valueStep(k, marker, argv);
        if (marker == '?')
            return k;
        complain("%s: compact option '%c' in '%s' requires an argument\n", programName(argv), c,
                 argv[optopt]);
        return GETOPTS_NO_VALUE;
    }
    if (more || pa == nullptr)
        return k;
    complain("%s: illegal argument '%s' for compact option '%c' in '%s'\n", programName(argv), pa,
             c, argv[optopt]);
    return GETOPTS_HAS_VALUE;
}

} // namespace

int getopts(int argc, char** argv, const char* const* table)
{
    if (argv == nullptr) {
        optarg = nullptr;
        optind = 1;
        optopt = 1;
        coptid = 0;
        optnum = 0;
        optend = 0;
        if (table == nullptr)
            tblsize = 0;
        return GETOPTS_RESET;
    }
    if (table == nullptr) {
        tblsize = 0;
        return GETOPTS_RESET;
    }

    if (optend == 0) {
        optend = argc > 1 ? argc : 1;
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--") == 0) {
                optend = i;
                break;
            }
        }
        optnum = optend;
    }
    if (tblsize == 0) {
        if (table[0] == nullptr) {
            complain("%s: short options list missing, it must be at least an empty string\n",
                     programName(argv));
            return GETOPTS_NO_SHORT;
        }
        while (table[tblsize] != nullptr)
            ++tblsize;
    }

    if (coptid != 0) {
        if (po[coptid] != '\0')
            return compactStep(argv, table);
        coptid = 0;
    }

    optarg = nullptr;
    optopt = 0;
    if (optind >= optnum)
        return GETOPTS_END;

    // Move non-option words behind the options, keeping their order.
    while (!isOptionWord(argv[optind])) {
        char* word = argv[optind];
        for (int i = optind; i < optend - 1; ++i)
            argv[i] = argv[i + 1];
        argv[optend - 1] = word;
        --optnum;
        if (optind >= optnum) {
            po = word;
            return GETOPTS_END;
        }
    }

    const int i = optind;
    optopt = i;
    optind = i + 1;
    po = argv[i] + 1;
    char* eq = std::strchr(po, '=');
    if (eq) {
        *eq = '\0';
        pa = eq + 1;
    } else {
        pa = nullptr;
    }
    const int len = static_cast<int>(std::strlen(po));

    // "-=x" or "--=x": no name to match (the dash of the long entries
    // does not count as one).
    if (len == 0 || (pa != nullptr && len == 1 && po[0] == '-')) {
        complain("%s: illegal option '%s'\n", programName(argv), argv[optopt]);
        return GETOPTS_UNKNOWN;
    }

    int k = 0;
    if (len == 1)
        k = letterIndex(table[0], po[0]);
    if (k == 0) {
        int best = 0;
        for (int e = 1; e < tblsize; ++e) {
            const char* entry = table[e];
            int m = 0;
            while (entry[m] != '\0' && entry[m] == po[m])
                ++m;
            if (m > best) {
                best = m;
                k = e;
            } else if (m == best && m == len && k != 0) {
                if (exactAt(table[k], m))
                    continue;
                if (exactAt(entry, m)) {
                    k = e;
                    continue;
                }
                complain("%s: ambiguous option '%s'\n", programName(argv), argv[optopt]);
                return GETOPTS_AMBIGUOUS;
            }
        }
        if (best < len) {
            po = argv[i];
            coptid = 1;
            return compactStep(argv, table);
        }
    }

    const char marker = k < tblsize ? valueMarker(table[k]) : 0;
    if (marker)
        return valueStep(k, marker, argv);
    if (pa == nullptr)
        return k;
    complain("%s: illegal argument '%s' for option '%s'\n", programName(argv), pa, argv[optopt]);
    return GETOPTS_HAS_VALUE;
}

} // namespace cmdline
