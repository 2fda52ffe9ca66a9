#ifndef ZELVO_MIGRATION_WSXMLREGION_H
#define ZELVO_MIGRATION_WSXMLREGION_H

#include "migration/LogStream.h"

// The depth of the current element below the first one whose "name"
// attribute is the start word (any case): 0 outside it, 1 on it, 2 on its
// children and so on. Every step goes to the debug log.
class WsXmlRegion {
public:
    // startWord must outlive the region.
    WsXmlRegion(const char* startWord, LogStream& log);

    // At an element's start, with its "name" attribute or null.
    void enter(const char* name);
    // At an element's end, once the caller is done with its level.
    void leave();
    int level() const { return depth; }

private:
    const char* startWord;
    int depth;
    LogStream* log;
};

#endif
