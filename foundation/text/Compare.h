#ifndef ZELVO_FOUNDATION_TEXT_COMPARE_H
#define ZELVO_FOUNDATION_TEXT_COMPARE_H

#include <algorithm>
#include <locale>
#include <string>

namespace zelvo {
namespace utils {

// Characters equal after tolower of the locale's ctype facet. With the
// classic locale only ASCII letters fold; other bytes compare exactly.
template <typename CharT>
struct iequal_basic {
    explicit iequal_basic(const std::locale& loc)
        : ctype(&std::use_facet<std::ctype<CharT>>(loc))
    {
    }
    bool operator()(CharT a, CharT b) const { return ctype->tolower(a) == ctype->tolower(b); }

    const std::ctype<CharT>* ctype;
};

template <typename StringT>
bool iEqual(const StringT& a, const StringT& b, const std::locale& loc = std::locale::classic())
{
    if (a.size() != b.size())
        return false;
    return std::equal(a.begin(), a.end(), b.begin(),
                      iequal_basic<typename StringT::value_type>(loc));
}

// b must not be null.
template <typename StringT>
bool iEqual(const StringT& a, const typename StringT::value_type* b,
            const std::locale& loc = std::locale::classic())
{
    return iEqual(a, StringT(b), loc);
}

// First case-insensitive occurrence of needle in haystack: an iterator into
// haystack; end() when absent, begin() for an empty needle.
template <typename StringT>
typename StringT::const_iterator iFind(const StringT& haystack, const StringT& needle,
                                       const std::locale& loc = std::locale::classic())
{
    if (needle.size() > haystack.size())
        return haystack.end();
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       iequal_basic<typename StringT::value_type>(loc));
}

// s without its trailing characters from set; a null set means " \r\n\t".
template <typename StringT>
StringT trimRight(const StringT& s, const typename StringT::value_type* set = nullptr)
{
    static const typename StringT::value_type defaultSet[] = {' ', '\r', '\n', '\t', 0};
    if (s.empty())
        return StringT();
    const typename StringT::size_type last = s.find_last_not_of(set ? set : defaultSet);
    if (last == StringT::npos)
        return StringT();
    return s.substr(0, last + 1);
}

} // namespace utils
} // namespace zelvo

#endif
