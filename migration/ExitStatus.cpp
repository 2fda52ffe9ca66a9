#include "migration/ExitStatus.h"

int exitStatusFor(const RunOutcome& outcome)
{
    switch (outcome.startResult) {
    case 0:
        break;
    case -2:
    case -3:
    case -4:
    case -5:
    case -10:
        return -outcome.startResult;
    default:
        return 1;
    }
    if (outcome.aborted)
        return 130;
    return outcome.summaryHasErrors || outcome.errorLines ? 1 : 0;
}
