#include "foundation/text/Search.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace zelvo {
namespace utils {

namespace {

bool sameLetter(char a, char b)
{
    const unsigned char x = static_cast<unsigned char>(a), y = static_cast<unsigned char>(b);
    return x == y || ((x | 0x20) == (y | 0x20) && (x | 0x20) >= 'a' && (x | 0x20) <= 'z');
}

template <typename Index>
Index* computeTable(const char* pattern, Index none)
{
    const std::size_t len = std::strlen(pattern);
    Index* table = static_cast<Index*>(std::malloc((len + 1) * sizeof(Index)));
    if (table == nullptr)
        return nullptr;
    table[0] = none;
    for (std::size_t i = 0; i < len; ++i) {
        Index k = table[i] + 1;
        while (k > 0 && !sameLetter(pattern[i], pattern[k - 1]))
            k = table[k - 1] + 1;
        table[i + 1] = k;
    }
    return table;
}

template <typename Index>
const char* match(const char* text, const char* pattern, unsigned long maxLen, const Index* table,
                  Index none)
{
    if (*pattern == '\0')
        return text;
    if (table == nullptr)
        return nullptr;
    Index j = 0;
    for (unsigned long pos = 0; text[pos] != '\0' && (maxLen == 0 || pos < maxLen);) {
        while (j != none && !sameLetter(pattern[j], text[pos]))
            j = table[j];
        ++pos;
        ++j;
        if (pattern[j] == '\0')
            return text + pos - j;
    }
    return nullptr;
}

} // namespace

int* kmp_compute_retarget(const char* pattern)
{
    return computeTable<int>(pattern, -1);
}

unsigned long* kmp_compute_retarget_x64(const char* pattern)
{
    return computeTable<unsigned long>(pattern, ~0UL);
}

void kmp_free_retarget(int* table)
{
    std::free(table);
}

void kmp_free_retarget_x64(unsigned long* table)
{
    std::free(table);
}

const char* kmp_match(const char* text, const char* pattern, int maxLen, const int* table)
{
    return match<int>(text, pattern, maxLen > 0 ? static_cast<unsigned long>(maxLen) : 0, table, -1);
}

const char* kmp_match_x64(const char* text, const char* pattern, unsigned long maxLen,
                          const unsigned long* table)
{
    return match<unsigned long>(text, pattern, maxLen, table, ~0UL);
}

const char* stristr(const char* text, const char* pattern)
{
    return strinstr(text, pattern, 0);
}

const char* strinstr(const char* text, const char* pattern, unsigned long maxLen)
{
    if (*pattern == '\0')
        return text;
    unsigned long* table = kmp_compute_retarget_x64(pattern);
    const char* found = kmp_match_x64(text, pattern, maxLen, table);
    kmp_free_retarget_x64(table);
    return found;
}

int strbeginstr(const char* s, const char* prefix)
{
    const std::size_t n = std::strlen(prefix);
    if (std::strlen(s) < n)
        return -1;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char a = static_cast<unsigned char>(s[i]);
        const unsigned char b = static_cast<unsigned char>(prefix[i]);
        if (a != b)
            return a - b;
    }
    return 0;
}

int stribeginstr(const char* s, const char* prefix)
{
    if (s == nullptr || prefix == nullptr)
        return INT_MAX;
    const std::size_t n = std::strlen(prefix);
    if (std::strlen(s) < n)
        return -1;
    return ::strncasecmp(s, prefix, n);
}

} // namespace utils
} // namespace zelvo
