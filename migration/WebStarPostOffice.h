#ifndef ZELVO_MIGRATION_WEBSTARPOSTOFFICE_H
#define ZELVO_MIGRATION_WEBSTARPOSTOFFICE_H

#include <string>
#include <vector>

// One post office (mail domain) of the source server, as its preference
// file describes it.
struct WebStarPostOffice {
    std::string name;         // "name" attribute of its element
    std::string displayName;  // part of the user file's name; domain description on the target
    std::string root;         // directory of its user file, absolute or relative to the source path
    // In file order: the first is the domain, the others its aliases.
    std::vector<std::string> smtpDomains;
};

#endif
