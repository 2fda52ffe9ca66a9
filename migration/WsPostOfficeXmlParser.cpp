#include "migration/WsPostOfficeXmlParser.h"

using zelvo::utils::get_xml_attr;
using zelvo::utils::xml_attr;

namespace {
const char* const StartWord = "MDG";
}

WsPostOfficeXmlParser::WsPostOfficeXmlParser(std::vector<boost::shared_ptr<WebStarPostOffice>>& out, LogStream& log)
    : mdgLevel(StartWord, log), ok(true), out(&out), log(&log) {}

bool WsPostOfficeXmlParser::start_element(const char*, const xml_attr* attrs) {
    const char* name = get_xml_attr(attrs, "name");
    mdgLevel.enter(name);
    const int level = mdgLevel.level();

    if (level == 2) {
        if (name == nullptr) {
            ok = false;
            return false;
        }
        current.reset(new WebStarPostOffice());
        current->name = name;
    } else if (level == 3 && name != nullptr) {
        propertyName = name;
    }
    return true;
}

bool WsPostOfficeXmlParser::end_element(const char*) {
    const int level = mdgLevel.level();
    if (level == 2) {
        if (current)
            out->push_back(current);
        current.reset();
    } else if (level == 3) {
        propertyName.clear();
    }
    mdgLevel.leave();
    return true;
}

bool WsPostOfficeXmlParser::text(const char* text) {
    log->log(LogStream::Debug, "\ttext: %s\n", text);
    const int level = mdgLevel.level();
    if (level < 2)
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
    else if (propertyName == "Extension" && level == 4)
        current->smtpDomains.push_back(text);
    return true;
}
