#include "installation/setting_check.h"

#include <pugixml.hpp>

#include <map>
#include <utility>

#include "installation/installation_files.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/os/durable_file.h"

namespace backoffice {

std::vector<std::string> SettingFindings(const std::filesystem::path& home, const std::set<std::string>& sections) {
    const std::string path = (home / "config" / "VendaloConfiguration.xml").string();
    // the store raises the same error texts (unreadable, not well-formed with its position) as every run
    qx::NewConfiguration()->LoadFile(path);
    const std::string text = os::ReadRegularFile(path);
    pugi::xml_document doc;
    doc.load_buffer(text.data(), text.size());
    std::map<std::pair<std::string, std::string>, qx::ConfigSetting> known;
    for (auto& s : VendaloSettings()) known[{s.section, s.name}] = s;
    std::vector<std::string> findings;
    for (pugi::xml_node section : doc.child("Configuration").children("Section"))
        for (pugi::xml_node setting : section.children("Setting")) {
            std::string sectionName = section.attribute("name").value();
            if (!sections.empty() && !sections.count(sectionName)) continue;
            std::string name = ole::TrimBlanks(setting.attribute("name").value());
            std::string type = setting.attribute("type").as_string("String");
            std::string where = qx::FilePosition(path, text, setting.offset_debug()) + ": " +
                                ole::EscapeControls(sectionName + "/" + name) + ": ";
            if (type != "String" && type != "Long" && type != "Double" && type != "Boolean") {
                findings.push_back(where + "unknown type \"" + ole::EscapeControls(type) + "\"");
                continue;
            }
            auto it = known.find({sectionName, name});
            // a setting this version does not describe is read by the type its file declares
            qx::ConfigSetting rule = it != known.end() ? it->second : qx::ConfigSetting{sectionName, name, type, ""};
            std::string problem = qx::SettingValueProblem(rule, setting.text().get());
            if (!problem.empty()) findings.push_back(where + problem);
        }
    return findings;
}

}  // namespace backoffice
