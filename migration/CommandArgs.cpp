#include "migration/CommandArgs.h"

#include "migration/getopts.h"

#include <cstring>


CommandArgs::CommandArgs()
    : sourcePath("/Applications/4DWebSTAR/MailboxServer"),
      sourceHost("localhost"),
      sourcePort(143),
      targetHost("localhost"),
      quiet(false),
      help(false),
      debug(false)
{
}

const char* const options[] = {
    "",
    "-target-user=",
    "-target-pass=",
    "-target-host=",
    "-source-path=",
    "-source-port=",
    "-quiet",
    "-help",
    "-debug",
    nullptr,
};

namespace {

enum OptionIndex {
    TargetUser = 1,
    TargetPass,
    TargetHost,
    SourcePath,
    SourcePort,
    Quiet,
    Help,
    Debug,
};

constexpr long kHighestPort = 65535;

// A port: decimal digits only, 1 to 65535 (leading zeros allowed); else 0.
int readPort(const char* text)
{
    long value = 0;
    if (*text == '\0')
        return 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        value = value * 10 + (*p - '0');
        if (value > kHighestPort)
            return 0;
    }
    return static_cast<int>(value);
}

// True when an option word (a unique prefix, as the parser took it) names
// --source-port.
bool namesSourcePort(const char* word)
{
    const char* name = options[SourcePort];
    const std::size_t n = std::strlen(word + 1);
    return n > 0 && n < std::strlen(name) && std::strncmp(word + 1, name, n) == 0;
}

// A word such as "-1" or "+143": a signed number, not an option.
bool isSignedNumber(const char* word)
{
    return (word[0] == '-' || word[0] == '+') && word[1] >= '0' && word[1] <= '9';
}

} // namespace

CommandArgsReader::CommandArgsReader(int argc, char** argv)
    : valid(true), optionRejected(false), badPort(false), portMissing(false)
{
    using namespace cmdline;
    getopts(0, nullptr, nullptr);
    opterr = 0;
    while (argc > optind) {
        const int r = getopts(argc, argv, options);
        switch (r) {
        case GETOPTS_END:
            if (argc > optind) {
                // Drop the non-option word (or "--") at optind by making its
                // slot the new word 0, and parse the rest afresh.
                argc -= optind;
                argv[optind] = argv[0];
                argv += optind;
                getopts(0, nullptr, nullptr);
            }
            break;
        case TargetUser:
            if (optarg)
                args.targetUser = optarg;
            break;
        case TargetPass:
            if (optarg)
                args.targetPass = optarg;
            break;
        case TargetHost:
            if (optarg)
                args.targetHost = optarg;
            break;
        case SourcePath:
            if (optarg)
                args.sourcePath = optarg;
            break;
        case SourcePort:
            if (optarg) {
                const int port = readPort(optarg);
                if (port != 0) {
                    args.sourcePort = port;
                } else {
                    badPort = true;
                    invalidPort = optarg;
                    valid = false;
                }
            }
            break;
        case Quiet:
            args.quiet = true;
            break;
        case Help:
            args.help = true;
            break;
        case Debug:
            args.debug = true;
            break;
        case GETOPTS_AMBIGUOUS:
        case GETOPTS_UNKNOWN:
            invalidOption = argv[optopt];
            optionRejected = true;
            valid = false;
            break;
        case GETOPTS_NO_VALUE:
            valid = false;
            if (!namesSourcePort(argv[optopt])) {
                optionRejected = true;
                break;
            }
            // The parser takes no value that starts with "-" or "+" from the
            // next word; a signed number there was meant as the port.
            if (optind < argc && isSignedNumber(argv[optind])) {
                badPort = true;
                invalidPort = argv[optind];
                ++optind;
            } else {
                portMissing = true;
            }
            break;
        case GETOPTS_NO_SHORT:
            // Repeats forever: the table itself is unusable.
            optionRejected = true;
            valid = false;
            return;
        default:
            optionRejected = true;
            valid = false;
            break;
        }
    }
}

bool CommandArgsReader::get(CommandArgs& out) const
{
    out = args;
    return true;
}

void printUsage(std::ostream& out)
{
    out << "Usage: 4d2zev [--target-host HOST] --target-user USER\n"
           "              --target-pass PASSWORD [--source-host HOST] [--source-path PATH]\n"
           "              [--source-port PORT] --quiet --help\n"
           "Options:\n"
           "    --target-user USER      Username of administrative account on ZEV.\n"
           "                            This parameter is required.\n"
           "    --target-pass PASSWORD  Password of administrative account on ZEV.\n"
           "                            This parameter is required.\n"
           "    --target-host HOST      Name or IP address of target ZEV.\n"
           "                            Default value is 'localhost'.\n"
           "    --source-path PATH      Path in localhost filesystem where 4DWebSTAR\n"
           "                            is installed. Default value is\n"
           "                            '/Applications/4DWebSTAR/MailboxServer'\n"
           "    --source-port PORT      Imap server port of 4DWebSTAR server.\n"
           "                            Default value is 143.\n"
           "    --quiet                 Quiet mode.\n"
           "    --help                  Display this information.\n"
           "\n";
    out.flush();
}

bool testCommandLineArguments(int argc, char** argv, CommandArgs& out, std::ostream& console)
{
    if (argc <= 1) {
        printUsage(console);
        return false;
    }
    bool ok = true;
    CommandArgsReader reader(argc, argv);
    if (!reader.isValid()) {
        if (reader.optionsRejected())
            console << "Invalid option " << reader.getInvalidOption() << "\n\n";
        const char* const portRule = ": a port is a whole number from 1 to 65535\n\n";
        if (reader.portRejected())
            console << "Invalid value \"" << reader.getInvalidPort() << "\" of option --source-port" << portRule;
        if (reader.portValueMissing())
            console << "Option --source-port needs a value" << portRule;
        ok = false;
    }
    reader.get(out);
    if (out.targetUser.empty()) {
        console << "Required parameter 'target-user' is missing\n";
        ok = false;
    }
    if (out.targetPass.empty()) {
        console << "Required parameter 'target-pass' is missing\n";
        ok = false;
    }
    if (!ok)
        printUsage(console);
    return ok;
}
