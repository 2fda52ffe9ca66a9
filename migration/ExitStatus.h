#ifndef ZELVO_MIGRATION_EXITSTATUS_H
#define ZELVO_MIGRATION_EXITSTATUS_H

// Exit status of a rejected command line (or a socket layer that would not start).
constexpr int kExitRejected = 255;

// What a finished run tells the shell.
struct RunOutcome {
    int startResult = 0;          // result of the driver's start: 0, -2, -3, -4, -5 or -10
    bool aborted = false;         // an interrupt stopped the run with work left undone
    bool summaryHasErrors = false; // some failure counter of the summary is not zero
    bool errorLines = false;      // the run wrote an ERROR line
};

// 2, 3, 4, 5 or 10 for the driver's failure results -2, -3, -4, -5 and -10
// (a failed phase says more than the abort that may have come with it);
// otherwise 130 after an abort, 1 when the summary counts errors or an
// ERROR line was written, else 0.
// Any other non-zero result is a failure too: 1.
int exitStatusFor(const RunOutcome& outcome);

// True when any failure counter of a migration summary is not zero.
template <typename Summary>
bool summaryHasErrors(const Summary& s)
{
    return s.domainsFailed != 0 || s.usersFailed != 0 || s.foldersFailed != 0 ||
           s.messagesFailed != 0;
}

#endif
