#ifndef ZELVO_MIGRATION_GETOPTS_H
#define ZELVO_MIGRATION_GETOPTS_H

// A small parser of long options (matched by unambiguous prefix) and compact
// groups of one-letter options, with process-wide state in the manner of a
// C library routine. Its own namespace keeps its globals apart from the C
// library's getopt variables of the same names.
namespace cmdline {

// Value of the option just returned, or null.
extern char* optarg;
// Index of the next word to examine.
extern int optind;
// When not 0, complaints are written to standard error.
extern int opterr;
// Index of the word holding the option just examined (0 before one is found).
extern int optopt;

// Results besides the (positive) index of the option found.
enum {
    GETOPTS_RESET = 0,      // reset call, or no table
    GETOPTS_END = -1,       // no further option; optind is the first remaining word
    GETOPTS_NO_SHORT = -2,  // table entry 0 is missing
    GETOPTS_AMBIGUOUS = -3,
    GETOPTS_UNKNOWN = -4,
    GETOPTS_HAS_VALUE = -5, // a value was given to a flag
    GETOPTS_NO_VALUE = -6,  // a required value is missing
};

// table[0]: the one-letter options (letter k stands for entry k + 1);
// table[1..n]: long names matched against the word without its first
// character ("-" or "+"); a trailing "=" marks a required value, "?" an
// optional one; a null pointer ends the table.
//
// Returns the entry index of the option found, or one of the results above.
// Non-option words are moved behind the options, in their order; parsing
// stops at the first word "--". The "=" of each option word examined is
// overwritten by NUL, so argv and its strings must be writable.
//
// A call with null argv resets the state (also the table's size when table
// is null too); a call with null table only forgets the table's size.
int getopts(int argc, char** argv, const char* const* table);

} // namespace cmdline

#endif
