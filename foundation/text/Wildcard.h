#ifndef ZELVO_FOUNDATION_TEXT_WILDCARD_H
#define ZELVO_FOUNDATION_TEXT_WILDCARD_H

#include <string>

namespace zelvo {
namespace utils {

// Flags of fnmatch; bits may be combined.
enum WildcardFlags {
    WildcardNoEscape = 1, // '\' is an ordinary character
    WildcardPathname = 2, // '/' is matched only by '/'
    WildcardPeriod = 4,   // a leading '.' is matched only by '.'
    WildcardCaseFold = 8, // ASCII letters compare regardless of case
};

// Shell-style matching of name against pattern ('*', '?', bracket
// expressions, '\' escapes). 0 when name matches, 1 otherwise. A leading
// period is one at the start of name or, with WildcardPathname, after '/'.
template <typename CharT>
int fnmatch(const CharT* pattern, const CharT* name, int flags);

extern template int fnmatch<unsigned char>(const unsigned char*, const unsigned char*, int);
extern template int fnmatch<wchar_t>(const wchar_t*, const wchar_t*, int);

// fnmatch without escapes, folding case when asked.
bool fileNameMatch(const char* pattern, const char* name, bool caseInsensitive);
bool fileNameMatch(const wchar_t* pattern, const wchar_t* name, bool caseInsensitive);
bool fileNameMatch(const std::string& pattern, const std::string& name, bool caseInsensitive);
bool fileNameMatch(const std::wstring& pattern, const std::wstring& name, bool caseInsensitive);

// fileNameMatch that also lets "name." and "name.*" (so "*.*") match a
// name without an extension, as Windows does.
bool fileNameMatchWindows(const std::string& pattern, const std::string& name,
                          bool caseInsensitive);

} // namespace utils
} // namespace zelvo

#endif
