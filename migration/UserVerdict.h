#ifndef ZELVO_MIGRATION_USERVERDICT_H
#define ZELVO_MIGRATION_USERVERDICT_H

#include "migration/ImapCopyist.h"

// What the driver makes of the copy of one user's mailbox.
struct UserVerdict {
    // An interrupt left a folder or message of the user uncopied: the run
    // was aborted.
    bool workLeftUndone = false;
    // "Connection error.": a connection broke that no interrupt cut.
    bool connectionError = false;
    // The user is named as created without his mail (the interrupt kept it
    // from moving) instead of getting his "was migrated" line.
    bool mailNotCopied = false;
    // "User ... was migrated (...)" with the copy's counts.
    bool migratedLine = false;
    // Every listed folder copied: the user counts as migrated.
    bool complete = false;
};

UserVerdict userVerdict(const ImapCopyist::Outcome& copied);

#endif
