#include "migration/UserVerdict.h"

UserVerdict userVerdict(const ImapCopyist::Outcome& copied)
{
    UserVerdict v;
    v.complete = copied.complete();
    // A cut connection leaves undone whatever it kept from completing.
    const bool interrupted = copied.interrupted() || copied.connectionsCut;
    v.workLeftUndone = copied.interrupted() || (copied.connectionsCut && !v.complete);
    // Folders that were not listed and counted: nothing was copied, and the
    // user gets no line of its own unless the interrupt's cut was the cause.
    if (!copied.listed) {
        v.mailNotCopied = copied.connectionsCut;
        return v;
    }
    // Once the interrupt has cut the connections, their failures are its own.
    v.connectionError = copied.result == ImapCopyist::ConnectionError && !copied.connectionsCut;
    v.mailNotCopied = !v.complete && interrupted && copied.nothingCopied();
    v.migratedLine = !v.mailNotCopied;
    return v;
}
