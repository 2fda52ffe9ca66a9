#include "migration/WsXmlRegion.h"

#include <strings.h>

WsXmlRegion::WsXmlRegion(const char* startWord, LogStream& log) : startWord(startWord), depth(0), log(&log) {}

void WsXmlRegion::enter(const char* name) {
    if (depth != 0)
        ++depth;
    else if (name != nullptr && strcasecmp(name, startWord) == 0)
        depth = 1;
    if (name != nullptr)
        log->log(LogStream::Debug, "mdgLevel: %d; attr value: %s\n", depth, name);
}

void WsXmlRegion::leave() {
    log->log(LogStream::Debug, "mdgLevel: %d; end of element\n", depth);
    if (depth > 0)
        --depth;
}
