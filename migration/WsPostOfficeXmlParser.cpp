#include "migration/WsPostOfficeXmlParser.h"

#include <strings.h>

using zelvo::utils::get_xml_attr;
using zelvo::utils::xml_attr;

namespace {
const char* const StartWord = "MDG";
}

WsPostOfficeXmlParser::WsPostOfficeXmlParser(std::vector<boost::shared_ptr<WebStarPostOffice>>& out, LogStream& log)
    : mdgLevel(0), ok(true), out(&out), log(&log) {}

bool WsPostOfficeXmlParser::start_element(const char*, const xml_attr* attrs) {
    const char* name = get_xml_attr(attrs, "name");
    if (mdgLevel != 0)
        ++mdgLevel;
    else if (name != nullptr && strcasecmp(name, StartWord) == 0)
        mdgLevel = 1;
    if (name != nullptr)
        log->log(LogStream::Debug, "mdgLevel: %d; attr value: %s\n", mdgLevel, name);

    if (mdgLevel == 2) {
        if (name == nullptr) {
            ok = false;
            return false;
        }
        current.reset(new WebStarPostOffice());
        current->name = name;
    } else if (mdgLevel == 3 && name != nullptr) {
        propertyName = name;
    }
    return true;
}

bool WsPostOfficeXmlParser::end_element(const char*) {
    log->log(LogStream::Debug, "mdgLevel: %d; end of element\n", mdgLevel);
    if (mdgLevel == 2) {
        if (current)
            out->push_back(current);
        current.reset();
    } else if (mdgLevel == 3) {
        propertyName.clear();
    }
    if (mdgLevel > 0)
        --mdgLevel;
    return true;
}

bool WsPostOfficeXmlParser::text(const char* text) {
    log->log(LogStream::Debug, "\ttext: %s\n", text);
    if (mdgLevel < 2)
        return true;
    if (!current) {
        ok = false;
        return false;
    }
    // Keys compare exactly, as the server writes them.
    if (propertyName == "displayname")
        current->displayName = text;
    else if (propertyName == "root")
        current->root = text;
    else if (propertyName == "Extension" && mdgLevel == 4)
        current->smtpDomains.push_back(text);
    return true;
}
