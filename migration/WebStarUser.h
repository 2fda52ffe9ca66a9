#ifndef ZELVO_MIGRATION_WEBSTARUSER_H
#define ZELVO_MIGRATION_WEBSTARUSER_H

#include <string>

// One user of a source post office.
struct WebStarUser {
    std::string domain;    // the post office's first SMTP domain
    std::string name;      // login name without the domain
    std::string password;  // in clear
    std::string fullName;  // first name, a space, last name; either alone when only one is set
};

#endif
