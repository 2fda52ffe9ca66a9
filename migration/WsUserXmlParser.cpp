#include "migration/WsUserXmlParser.h"

#include <strings.h>

using zelvo::utils::get_xml_attr;
using zelvo::utils::xml_attr;

namespace {
const char* const StartWord = "RecipientDB";
const char* const DefaultSection = "Default";
}  // namespace

WsUserXmlParser::WsUserXmlParser(std::vector<boost::shared_ptr<WebStarUser>>& out, const std::string& domain,
                                 LogStream& log)
    : mdgLevel(StartWord, log), inDefault(false), ok(true), out(&out), domain(&domain), log(&log) {}

bool WsUserXmlParser::start_element(const char*, const xml_attr* attrs) {
    const char* name = get_xml_attr(attrs, "name");
    mdgLevel.enter(name);
    const int level = mdgLevel.level();

    if (level == 2) {
        if (name != nullptr && strcasecmp(name, DefaultSection) == 0)
            inDefault = true;
    } else if (level == 3 && inDefault) {
        if (name == nullptr) {
            ok = false;
            return false;
        }
        current.reset(new WebStarUser());
        current->name = name;
        current->domain = *domain;
    } else if (level == 4 && inDefault && name != nullptr) {
        propertyName = name;
    }
    return true;
}

bool WsUserXmlParser::end_element(const char*) {
    const int level = mdgLevel.level();
    if (level == 2) {
        inDefault = false;
    } else if (level == 3 && inDefault) {
        if (current)
            out->push_back(current);
        current.reset();
    } else if (level == 4 && inDefault) {
        propertyName.clear();
    }
    mdgLevel.leave();
    return true;
}

bool WsUserXmlParser::text(const char* text) {
    log->log(LogStream::Debug, "\ttext: %s\n", text);
    if (mdgLevel.level() != 4 || !inDefault)
        return true;
    if (!current || propertyName.empty()) {
        ok = false;
        return false;
    }
    // Keys compare exactly, as the server writes them.
    std::string& fullName = current->fullName;
    if (propertyName == "password") {
        current->password = text;
    } else if (propertyName == "firstname") {
        fullName = fullName.empty() ? std::string(text) : std::string(text) + " " + fullName;
    } else if (propertyName == "lastname") {
        fullName = fullName.empty() ? std::string(text) : fullName + " " + text;
    }
    return true;
}
