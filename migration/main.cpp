#include "foundation/system/SocketCalls.h"
#include "migration/CommandArgs.h"
#include "migration/ExitStatus.h"
#include "migration/Interrupt.h"
#include "migration/LogStream.h"

#include <iostream>

namespace {

constexpr int kVersionMajor = 6;
constexpr int kVersionMinor = 7;
constexpr int kVersionPatch = 3;
constexpr int kBuildNumber = 7892;

void printBanner()
{
    std::cout << "Zelvo 4D Migration Tool " << kVersionMajor << '.' << kVersionMinor << '.'
              << kVersionPatch << ". (" << kBuildNumber << ")\n"
              << "Copyright (c) Zelvo Software. All rights reserved.\n";
    std::cout.flush();
}

// The run proper, between a usable command line and the closing of the
// socket layer. Returns the exit status.
int run(const CommandArgs& args)
{
    Interrupt::install();

    RunOutcome outcome;
    {
        LogStream log(&std::cout);
        log.setMode(!args.quiet, args.debug);
        // The migration driver is started here once it exists: its start
        // result, its abort flag and the summary's failure counters fill the
        // outcome, and the driver is deleted before the log goes. Until then
        // the run ends with the console log in place and nothing migrated.
        outcome.aborted = Interrupt::pending();
    }
    return exitStatusFor(outcome);
}

} // namespace

int main(int argc, char** argv)
{
    if (zelvo::tiny::initSockets() != 0) {
        zelvo::tiny::closeSockets();
        return kExitRejected;
    }
    printBanner();

    int status = kExitRejected;
    {
        CommandArgs args;
        if (testCommandLineArguments(argc, argv, args))
            status = run(args);
    }
    zelvo::tiny::closeSockets();
    return status;
}
