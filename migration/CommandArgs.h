#ifndef ZELVO_MIGRATION_COMMANDARGS_H
#define ZELVO_MIGRATION_COMMANDARGS_H

#include <iostream>
#include <string>

// The parsed command line.
struct CommandArgs {
    CommandArgs();

    std::string targetUser;
    std::string targetPass;
    std::string sourcePath;
    std::string sourceHost; // no option sets it: the source IMAP host
    int sourcePort;
    std::string targetHost;
    bool quiet;
    bool help; // accepted, not acted upon
    bool debug;
};

// The option table: "" (no one-letter options), then entries 1 to 8.
extern const char* const options[];

// Parses a whole command line at construction. Words that are not options
// are ignored wherever they stand, also around and after "--". argv is
// rewritten while parsing (see getopts), so it must be writable.
class CommandArgsReader {
public:
    CommandArgsReader(int argc, char** argv);

    bool isValid() const { return valid; }
    // Copies the parsed record into out; always true.
    bool get(CommandArgs& out) const;
    // The last rejected option word that could be named (cut at its "="),
    // or empty.
    const std::string& getInvalidOption() const { return invalidOption; }
    // True when an option word was rejected (named or not).
    bool optionsRejected() const { return optionRejected; }
    // True when a --source-port value was not a whole number from 1 to
    // 65535; getInvalidPort is the last such value, as given.
    bool portRejected() const { return badPort; }
    const std::string& getInvalidPort() const { return invalidPort; }
    // True when --source-port came without a value.
    bool portValueMissing() const { return portMissing; }

private:
    CommandArgs args;
    bool valid;
    bool optionRejected;
    bool badPort;
    bool portMissing;
    std::string invalidOption;
    std::string invalidPort;
};

// The usage text: 17 lines and an empty one.
void printUsage(std::ostream& out = std::cout);

// Fills out from the command line; false when it is not usable, after the
// complaints and the usage text were written to out.
bool testCommandLineArguments(int argc, char** argv, CommandArgs& out,
                              std::ostream& console = std::cout);

#endif
