#ifndef ZELVO_MIGRATION_WSUSERXMLPARSER_H
#define ZELVO_MIGRATION_WSUSERXMLPARSER_H

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "foundation/xml/ZXmlParser.h"
#include "migration/LogStream.h"
#include "migration/WsXmlRegion.h"
#include "migration/WebStarUser.h"

// Reads one post office's user file. Only the region below the element whose
// "name" is "RecipientDB" (any case) counts: its children are sections
// (level 2), and only the users (level 3) of the section named "Default" (any
// case) are read, with their properties (level 4) keyed by "name". Users are
// appended to the caller's vector as their elements end.
class WsUserXmlParser : public zelvo::utils::ZXmlParser {
public:
    // domain is the post office's first SMTP domain; it must outlive the parse.
    WsUserXmlParser(std::vector<boost::shared_ptr<WebStarUser>>& out, const std::string& domain, LogStream& log);

    bool start_element(const char* name, const zelvo::utils::xml_attr* attrs) override;
    bool end_element(const char* name) override;
    bool text(const char* text) override;

    // False once a user without "name" or a property text without a key ended the parse.
    bool isOk() const { return ok; }

private:
    WsXmlRegion mdgLevel;  // element depth below the start word
    bool inDefault;
    bool ok;
    boost::shared_ptr<WebStarUser> current;
    std::string propertyName;
    std::vector<boost::shared_ptr<WebStarUser>>* out;
    const std::string* domain;
    LogStream* log;
};

#endif
