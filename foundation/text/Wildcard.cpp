#include "foundation/text/Wildcard.h"

namespace zelvo {
namespace utils {

namespace {

// tolower of the C locale, for any character value.
template <typename CharT>
CharT foldCase(CharT c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<CharT>(c - 'A' + 'a') : c;
}

template <typename CharT>
class Matcher {
public:
    explicit Matcher(const CharT* nameStart) : start(nameStart) {}

    int match(const CharT* p, const CharT* n, int flags) const;

private:
    bool has(int flagsNow, int f) const { return (flagsNow & f) != 0; }
    CharT fold(CharT c, int flagsNow) const
    {
        return has(flagsNow, WildcardCaseFold) ? foldCase(c) : c;
    }
    bool leadingPeriod(const CharT* n, int flagsNow) const
    {
        return has(flagsNow, WildcardPeriod) && *n == '.' &&
               (n == start || (has(flagsNow, WildcardPathname) && n[-1] == '/'));
    }
    // Matches one name character against the bracket expression at p (after
    // its '['); advances p past the closing ']'. -1: the pattern ended inside.
    int bracket(const CharT*& p, CharT c, int flagsNow) const;

    const CharT* start;
};

template <typename CharT>
int Matcher<CharT>::bracket(const CharT*& p, CharT c, int f) const
{
    const bool negate = *p == '!' || *p == '^';
    if (negate)
        ++p;
    const CharT folded = fold(c, f);
    bool matched = false;
    for (;;) {
        CharT lo = *p;
        if (lo == 0)
            return -1;
        ++p;
        if (lo == ']')
            break;
        if (lo == '\\' && !has(f, WildcardNoEscape)) {
            lo = *p;
            if (lo == 0)
                return -1;
            ++p;
        }
        if (*p == '-' && p[1] != 0 && p[1] != ']') {
            CharT hi = p[1];
            p += 2;
            if (hi == '\\' && !has(f, WildcardNoEscape)) {
                hi = *p;
                if (hi == 0)
                    return -1;
                ++p;
            }
            // Only the folded ends count (tolower, as glibc does): the raw
            // range "[Z-a]" would also take "_" and "^".
            if (fold(lo, f) <= folded && folded <= fold(hi, f))
                matched = true;
        } else if (fold(lo, f) == folded) {
            matched = true;
        }
    }
    return matched != negate ? 1 : 0;
}

// Greedy matching: a '*' first takes nothing, and on a mismatch only the
// last '*' seen takes one more character and the rest is tried again. An
// earlier '*' never needs to grow: whatever it could take, the last one can
// take instead, since a '*' that cannot cross '/' (WildcardPathname) is
// followed by a literal '/' before any later '*' of another part of the name.
// So the time is at most the pattern's length times the name's.
template <typename CharT>
int Matcher<CharT>::match(const CharT* p, const CharT* n, int f) const
{
    const CharT* starPattern = nullptr; // the pattern after the last '*'
    const CharT* starName = nullptr;    // where the rest is tried next
    for (;;) {
        bool ok = true;
        CharT c = *p++;
        switch (c) {
        case 0:
            if (*n == 0)
                return 0;
            ok = false;
            break;
        case '?':
            if (*n == 0 || (has(f, WildcardPathname) && *n == '/') || leadingPeriod(n, f))
                ok = false;
            else
                ++n;
            break;
        case '*':
            if (leadingPeriod(n, f)) {
                ok = false;
                break;
            }
            while (*p == '*')
                ++p;
            if (*p == 0) {
                if (has(f, WildcardPathname))
                    for (const CharT* q = n; *q; ++q)
                        if (*q == '/')
                            return 1;
                return 0;
            }
            if (*p == '/' && has(f, WildcardPathname)) {
                while (*n && *n != '/')
                    ++n;
                ok = *n != 0;
                break;
            }
            // The rest of the pattern is matched without the period rule.
            f &= ~WildcardPeriod;
            starPattern = p;
            starName = n;
            break;
        case '[':
            if (*n == 0 || (has(f, WildcardPathname) && *n == '/') || leadingPeriod(n, f) ||
                bracket(p, *n, f) != 1)
                ok = false;
            else
                ++n;
            break;
        case '\\':
            if (!has(f, WildcardNoEscape) && *p != 0)
                c = *p++;
            [[fallthrough]];
        default:
            if (*n == 0 || fold(c, f) != fold(*n, f))
                ok = false;
            else
                ++n;
            break;
        }
        if (ok)
            continue;
        // The last '*' takes one more character, unless it cannot.
        if (starPattern == nullptr || *starName == 0 || (has(f, WildcardPathname) && *starName == '/'))
            return 1;
        p = starPattern;
        n = ++starName;
    }
}

} // namespace

template <typename CharT>
int fnmatch(const CharT* pattern, const CharT* name, int flags)
{
    return Matcher<CharT>(name).match(pattern, name, flags);
}

template int fnmatch<unsigned char>(const unsigned char*, const unsigned char*, int);
template int fnmatch<wchar_t>(const wchar_t*, const wchar_t*, int);

namespace {

int nameFlags(bool caseInsensitive)
{
    return WildcardNoEscape | (caseInsensitive ? WildcardCaseFold : 0);
}

} // namespace

bool fileNameMatch(const char* pattern, const char* name, bool caseInsensitive)
{
    return fnmatch(reinterpret_cast<const unsigned char*>(pattern),
                   reinterpret_cast<const unsigned char*>(name), nameFlags(caseInsensitive)) == 0;
}

bool fileNameMatch(const wchar_t* pattern, const wchar_t* name, bool caseInsensitive)
{
    return fnmatch(pattern, name, nameFlags(caseInsensitive)) == 0;
}

bool fileNameMatch(const std::string& pattern, const std::string& name, bool caseInsensitive)
{
    return fileNameMatch(pattern.c_str(), name.c_str(), caseInsensitive);
}

bool fileNameMatch(const std::wstring& pattern, const std::wstring& name, bool caseInsensitive)
{
    return fileNameMatch(pattern.c_str(), name.c_str(), caseInsensitive);
}

bool fileNameMatchWindows(const std::string& pattern, const std::string& name,
                          bool caseInsensitive)
{
    if (fileNameMatch(pattern, name, caseInsensitive))
        return true;
    if (pattern.empty())
        return name.empty();
    if (name.find('.') == std::string::npos && pattern.back() == '.')
        return fileNameMatch(pattern.substr(0, pattern.size() - 1), name, caseInsensitive);
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0)
        return fileNameMatch(pattern.substr(0, pattern.size() - 2), name, caseInsensitive);
    return false;
}

} // namespace utils
} // namespace zelvo
