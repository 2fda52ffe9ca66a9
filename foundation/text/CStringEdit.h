#ifndef ZELVO_FOUNDATION_TEXT_CSTRINGEDIT_H
#define ZELVO_FOUNDATION_TEXT_CSTRINGEDIT_H

namespace zelvo {
namespace utils {

// In-place editing of NUL-terminated texts. Functions given a buffer size
// never write beyond it.

// Replaces every from by to; the count. A NUL from replaces nothing.
int strreplchr(char* s, char from, char to);

// Copies the text between the first open and the next close after it into
// dst when it has at most dstSize - 2 characters and returns dst; null
// otherwise. dst is emptied first when it has a byte.
char* strextr(char* dst, const char* s, unsigned long dstSize, char open, char close);
// The same with a bool result; dstSize 0 gives false without touching dst.
bool strgetstr(const char* s, char open, char close, char* dst, unsigned long dstSize);

// Replaces s by the text between the first open and the next close; false
// (s unchanged) when either is missing.
bool strstrip(char* s, char open, char close);

// Removes each span from the first open through the next close, both
// included, until no such pair is left.
void strremovestr(char* s, char open, char close);

// Removes every character that occurs in set.
void strremovechr(char* s, const char* set);

// Replaces the occurrences of needle from left to right, each search
// starting after the previous replacement. False as soon as the text with
// its NUL would exceed size (the replacements so far are kept) or for an
// empty needle; true when none is left.
bool strreplstr(char* s, unsigned long size, const char* needle, const char* repl);

// Inserts ins at pos, cutting the end of the text (and of ins, when it is
// longer than the room) so that everything fits size bytes with its NUL.
// False when pos > strlen(s) or size < strlen(s) + 1.
bool strinsertstr(char* s, unsigned long size, const char* ins, unsigned long pos);

// Removes one trailing LF, CR LF or CR.
void strrmln(char* s);

// Removes all trailing whitespace. 0 when a non-whitespace character
// remains or s was empty; 1 when nothing is left of a non-empty s.
int strip_crlf(char* s);

// Lower-cases ASCII letters in place.
void strlwr(char* s);
void z_strlwr(char* s);

// strtok_r.
char* z_strtok_r(char* s, const char* delim, char** save);

// Token enumerator: skips delimiters, copies the token up to the next
// delimiter (the cursor stays on it) when it is shorter than dstSize. False
// at the end of the text, or for a token too long for dst (dst empty, the
// cursor past the token).
bool strEnum(char** cursor, const char* delims, char* dst, unsigned long dstSize);

// strEnum where a quoteOpen character starts a span that runs to the next
// quoteClose (or the end) and hides delimiters; quotes stay in the token.
bool strEnum2(char** cursor, const char* delims, char quoteOpen, char quoteClose, char* dst,
              unsigned long dstSize);

} // namespace utils
} // namespace zelvo

#endif
