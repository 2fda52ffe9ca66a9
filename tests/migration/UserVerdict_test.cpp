#include "migration/UserVerdict.h"

#include <gtest/gtest.h>

namespace {

FolderOutcome folder(FolderOutcome::State state, unsigned copied = 0)
{
    FolderOutcome f;
    f.state = state;
    f.copied = copied;
    return f;
}

} // namespace

// What the driver tells and counts of a user, from the copier's outcome
// alone: as the exit status follows the run's outcome.
TEST(UserVerdictTest, OutcomeToVerdict)
{
    using F = FolderOutcome;
    const F copied = folder(F::Copied, 1);
    const F failed = folder(F::Failed);
    struct Case {
        const char* name;
        bool listed;
        ImapCopyist::Result result;
        bool connectionsCut;
        std::vector<FolderOutcome> folders;
        // The verdict: work left undone, "Connection error.", mail not
        // copied, the user's line, complete.
        bool undone, connectionError, notCopied, line, complete;
    } cases[] = {
        {"every folder copied", true, ImapCopyist::Ok, false, {copied, copied}, false, false, false, true, true},
        {"no folder at all", true, ImapCopyist::Ok, false, {}, false, false, false, true, true},
        {"a folder whose message did not arrive", true, ImapCopyist::Ok, false, {copied, failed}, false, false, false,
         true, false},
        {"a folder that failed before any mail moved", true, ImapCopyist::FolderFailed, false, {failed, failed}, false,
         false, false, true, false},
        {"a connection that broke", true, ImapCopyist::ConnectionError, false, {copied, failed}, false, true, false,
         true, false},
        {"an interrupt that cut a folder after some mail", true, ImapCopyist::Ok, false,
         {copied, folder(F::Cut, 1), folder(F::Cut)}, true, false, false, true, false},
        {"an interrupt before any mail moved", true, ImapCopyist::Ok, false, {folder(F::Cut), folder(F::Cut)}, true,
         false, true, false, false},
        {"a cut connection that broke a folder before any mail", true, ImapCopyist::ConnectionError, true,
         {folder(F::Cut), folder(F::Cut)}, true, false, true, false, false},
        {"a cut connection after every folder was copied", true, ImapCopyist::Ok, true, {copied}, false, false, false,
         true, true},
        {"a cut connection after a folder failed on its own", true, ImapCopyist::FolderFailed, true, {copied, failed},
         true, false, false, true, false},
        {"a listing that failed", false, ImapCopyist::FolderFailed, false, {failed, failed}, false, false, false,
         false, false},
        {"a listing the cut connection broke", false, ImapCopyist::FolderFailed, true, {failed}, true, false, true,
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImapCopyist::Outcome o;
        o.listed = c.listed;
        o.result = c.result;
        o.connectionsCut = c.connectionsCut;
        o.folders = c.folders;
        const UserVerdict v = userVerdict(o);
        EXPECT_EQ(c.undone, v.workLeftUndone);
        EXPECT_EQ(c.connectionError, v.connectionError);
        EXPECT_EQ(c.notCopied, v.mailNotCopied);
        EXPECT_EQ(c.line, v.migratedLine);
        EXPECT_EQ(c.complete, v.complete);
    }
}
