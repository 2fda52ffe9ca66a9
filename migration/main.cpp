#include "foundation/system/SocketCalls.h"
#include "migration/CommandArgs.h"
#include "migration/ExitStatus.h"
#include "migration/Interrupt.h"
#include "migration/LogStream.h"
#include "migration/MigrationSummary.h"
#include "migration/Migrator.h"

#include <csignal>
#include <exception>
#include <iostream>
#include <memory>

// The run's driver, where the interrupt path finds it. Emptied before the
// console log it refers to is destroyed.
std::unique_ptr<Migrator> migrator;

namespace {

constexpr int kVersionMajor = 6;
constexpr int kVersionMinor = 7;
constexpr int kVersionPatch = 3;
constexpr int kBuildNumber = 7892;
// The run's result when the driver ended by an exception (exit status 1).
constexpr int kRunStoppedByException = -1;

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
    Interrupt::installStopSignals();

    RunOutcome outcome;
    {
        LogStream log(&std::cout);
        log.setMode(!args.quiet, args.debug);
        MigrationSummary summary;
        // An interrupt before the driver exists has nothing to stop.
        Interrupt::reset();
        migrator.reset(new Migrator(args, log, summary));
        try {
            outcome.startResult = migrator->start();
        } catch (const std::exception& e) {
            // Whatever went wrong, the target's IMAP bindings are still put
            // back, and the exit status tells when they are not.
            log.log(LogStream::Error, "Migration stopped: %s\n", e.what());
            outcome.startResult = migrator->restoreBeforeExit() ? kRunStoppedByException : -10;
        }
        outcome.aborted = migrator->interruptLeftWorkUndone();
        outcome.summaryHasErrors = summaryHasErrors(summary);
        outcome.errorLines = log.errorLines > 0;
        // The driver goes before the log it writes to.
        migrator.reset();
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
