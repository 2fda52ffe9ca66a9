#ifndef ZELVO_FOUNDATION_TEXT_SEARCH_H
#define ZELVO_FOUNDATION_TEXT_SEARCH_H

namespace zelvo {
namespace utils {

// Case-insensitive Knuth-Morris-Pratt search. The tables have
// strlen(pattern) + 1 entries, come from malloc (null when memory is short)
// and are released with the matching kmp_free_retarget. In the unsigned
// table the all-ones value stands for -1.
int* kmp_compute_retarget(const char* pattern);
unsigned long* kmp_compute_retarget_x64(const char* pattern);
void kmp_free_retarget(int* table);
void kmp_free_retarget_x64(unsigned long* table);

// First case-insensitive occurrence of pattern in text, or null. maxLen 0
// searches the whole text; otherwise the occurrence must lie within the
// first maxLen characters. An empty pattern is found at the start.
const char* kmp_match(const char* text, const char* pattern, int maxLen, const int* table);
const char* kmp_match_x64(const char* text, const char* pattern, unsigned long maxLen,
                          const unsigned long* table);

// Case-insensitive strstr, whole text or its first maxLen characters (0:
// whole text). Null also when the search table cannot be allocated.
const char* stristr(const char* text, const char* pattern);
const char* strinstr(const char* text, const char* pattern, unsigned long maxLen);

// -1 when s is shorter than prefix; 0 when s begins with prefix; else the
// difference of the first differing bytes as unsigned values.
int strbeginstr(const char* s, const char* prefix);
// -1 when s is shorter than prefix, 2^31 - 1 for a null argument, else
// strncasecmp over the prefix's length.
int stribeginstr(const char* s, const char* prefix);

} // namespace utils
} // namespace zelvo

#endif
