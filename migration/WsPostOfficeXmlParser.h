#ifndef ZELVO_MIGRATION_WSPOSTOFFICEXMLPARSER_H
#define ZELVO_MIGRATION_WSPOSTOFFICEXMLPARSER_H

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "foundation/xml/ZXmlParser.h"
#include "migration/LogStream.h"
#include "migration/WsXmlRegion.h"
#include "migration/WebStarPostOffice.h"

// Reads the post-office list. Only the region below the element whose "name"
// is "MDG" (any case) counts: its children are post offices (level 2), their
// children properties (level 3) keyed by "name", and the values of the
// "Extension" property (level 4) the SMTP domains. Post offices are appended
// to the caller's vector as their elements end.
class WsPostOfficeXmlParser : public zelvo::utils::ZXmlParser {
public:
    WsPostOfficeXmlParser(std::vector<boost::shared_ptr<WebStarPostOffice>>& out, LogStream& log);

    bool start_element(const char* name, const zelvo::utils::xml_attr* attrs) override;
    bool end_element(const char* name) override;
    bool text(const char* text) override;

    // False once a post office without "name" or a stray text ended the parse.
    bool isOk() const { return ok; }

private:
    WsXmlRegion mdgLevel;  // element depth below the start word
    bool ok;
    boost::shared_ptr<WebStarPostOffice> current;
    std::string propertyName;
    std::vector<boost::shared_ptr<WebStarPostOffice>>* out;
    LogStream* log;
};

#endif
