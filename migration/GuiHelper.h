#ifndef ZELVO_MIGRATION_GUIHELPER_H
#define ZELVO_MIGRATION_GUIHELPER_H

#include <string>

class LogStream;

// Self-contained checks of whether a migration can start. None writes a
// message of its own.
class GuiHelper {
public:
    enum TestResult {
        Success = 0,
        Failure = 1,
        LoginRefused = 2,
        NoConnection = 3,
        ZevImapFound = 4,     // the target server answers on the port
        WebStarImapFound = 5, // a 4D WebSTAR IMAP service answers
        NoImapFound = 6,      // nothing, or another server
    };

    // Reads the post offices and counts their users. A null log drops the
    // reader's messages; a given log is left enabled and without debug lines.
    static int test4DCfg(const std::string& path, unsigned& domains, unsigned& users, LogStream* log);
    // Reads the greeting of "localhost" at port.
    static int test4DImap(unsigned port);
    // Opens the administration session, with a login when user is not empty.
    static int testZEVInternal(const std::string& host, const std::string& user, const std::string& password,
                               LogStream* log);
    static int testZEV(const std::string& host, const std::string& user, const std::string& password,
                       LogStream* log);
    static int testZEV(const std::string& host, LogStream* log);
};

#endif
