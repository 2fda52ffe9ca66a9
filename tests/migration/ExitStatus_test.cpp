#include "migration/ExitStatus.h"

#include <gtest/gtest.h>

TEST(ExitStatusTest, OutcomeToStatus)
{
    struct Case {
        int result;
        bool aborted, errors;
        int status;
    } cases[] = {
        {0, false, false, 0},  {0, false, true, 1},   {0, true, false, 130},
        {0, true, true, 130},  {-2, false, false, 2}, {-3, false, false, 3},
        {-4, false, false, 4}, {-5, false, true, 5},  {-10, false, false, 10},
        {-10, true, true, 10}, {-4, true, false, 4},  {-1, false, false, 1},
        {7, false, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.result) + (c.aborted ? " aborted" : "") +
                     (c.errors ? " errors" : ""));
        RunOutcome o;
        o.startResult = c.result;
        o.aborted = c.aborted;
        o.summaryHasErrors = c.errors;
        EXPECT_EQ(c.status, exitStatusFor(o));
        // An ERROR line fails a run the summary calls clean.
        o.summaryHasErrors = false;
        o.errorLines = true;
        EXPECT_EQ(c.status == 0 ? 1 : c.status, exitStatusFor(o));
    }
    EXPECT_EQ(255, kExitRejected);
}

TEST(ExitStatusTest, SummaryErrorsAreTheFailureCounters)
{
    struct Summary {
        unsigned domainsOk, usersOk, foldersOk, messagesOk;
        unsigned domainsFailed, usersFailed, foldersFailed, messagesFailed;
    };
    EXPECT_FALSE(summaryHasErrors(Summary{3, 4, 5, 6, 0, 0, 0, 0}));
    EXPECT_TRUE(summaryHasErrors(Summary{0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(summaryHasErrors(Summary{0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_TRUE(summaryHasErrors(Summary{0, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(summaryHasErrors(Summary{0, 0, 0, 0, 0, 0, 0, 1}));
}
