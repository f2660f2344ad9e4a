#include "platform/config/configuration.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/os/durable_file.h"

namespace qx {
namespace {

const char* kSource = "Qxcore.Configuration";

std::mutex gHandleMutex;
std::map<int32_t, std::string>& Handles() {
    static std::map<int32_t, std::string> handles;
    return handles;
}

std::string StripTrailingSeparator(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

class Configuration : public IConfiguration {
public:
    std::vector<Installation> GetInstallations(const std::string&) override { return InstallationsFromEnvironment(); }

    void LoadFile(const std::string& path) override {
        std::string text;
        try {
            // a FIFO or a device in place of the file would hang the reader
            text = os::ReadRegularFile(path);
        } catch (const std::system_error& e) {
            int error = e.code().value();
            if (error == ENOENT || error == ENOTDIR)
                ole::Raise(config_err::FileNotFound, "File not found: " + path, kSource);
            if (error == EACCES || error == EPERM)
                ole::Raise(config_err::PermissionDenied, "Permission denied: " + path, kSource);
            if (error == EINVAL)
                ole::Raise(config_err::PermissionDenied, "Permission denied: " + path + " is not a regular file",
                           kSource);
            ole::Raise(config_err::PermissionDenied, "Permission denied: " + path + " (" + e.code().message() + ")",
                       kSource);
        }
        pugi::xml_document doc;
        pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size());
        if (!parsed)
            ole::Raise(config_err::NotWellFormed,
                       FilePosition(path, text, parsed.offset) + ": the configuration file is not well-formed: " +
                           parsed.description(),
                       kSource);
        pugi::xml_node root = doc.child("Configuration");
        if (!root)
            ole::Raise(config_err::NotWellFormed, "The configuration file " + path + " has no Configuration element",
                       kSource);
        connectionString_ = root.child_value("ConnectionString");
        settings_.clear();
        for (pugi::xml_node section : root.children("Section"))
            for (pugi::xml_node setting : section.children("Setting"))
                settings_[{section.attribute("name").value(), ole::TrimBlanks(setting.attribute("name").value())}] = {
                    setting.attribute("type").as_string("String"), setting.text().get(), setting.offset_debug()};
        loadedFile_ = path;
        text_ = std::move(text);
        loaded_ = true;
    }

    std::string GetConnectionString(const std::string&) override {
        RequireLoaded();
        if (connectionString_.empty())
            ole::Raise(config_err::SettingNotFound, "The connection string is not set in " + loadedFile_, kSource);
        return connectionString_;
    }

    ole::Variant GetValue(const std::string& section, const std::string& name) override {
        RequireLoaded();
        // names match without surrounding blanks
        auto it = settings_.find({section, ole::TrimBlanks(name)});
        if (it == settings_.end())
            ole::Raise(config_err::SettingNotFound, "Setting '" + name + "' not found in section '" + section + "'",
                       kSource);
        const auto& [type, value, offset] = it->second;
        const std::string where = FilePosition(loadedFile_, text_, offset) + ": ";
        try {
            if (type == "Long") return ole::Variant(ole::Variant(value).ToLong());
            if (type == "Double") return ole::Variant(ole::Variant(value).ToDouble());
            if (type == "Boolean") return ole::Variant(ole::Variant(value).ToBool());
        } catch (const ole::AutomationError&) {
            ole::Raise(config_err::TypeMismatch, where + "the value of setting '" + name + "' is not of type " + type,
                       kSource);
        }
        if (type != "String")
            ole::Raise(config_err::TypeMismatch, where + "setting '" + name + "' has the unknown type " + type, kSource);
        return ole::Variant(value);
    }

    void LoadProduct(const std::string& product, int32_t) override {
        auto installations = GetInstallations(product);
        if (installations.empty())
            ole::Raise(config_err::NotLoaded, "No installation of " + product + " is set up (VENDALO_HOME)", kSource);
        LoadFile(installations.front().ConfigFolder + "/" + product + "Configuration.xml");
    }

    int32_t GetHandle() override {
        RequireLoaded();
        std::lock_guard lock(gHandleMutex);
        for (auto& [handle, file] : Handles())
            if (file == loadedFile_) return handle;
        int32_t handle = static_cast<int32_t>(Handles().size()) + 1;
        Handles()[handle] = loadedFile_;
        return handle;
    }

private:
    void RequireLoaded() const {
        if (!loaded_) ole::Raise(config_err::NotLoaded, "Configuration store not loaded", kSource);
    }

    bool loaded_ = false;
    std::string loadedFile_;
    std::string text_;  // the file's text, for the positions in error texts
    std::string connectionString_;
    struct Stored {
        std::string type, value;
        ptrdiff_t offset;
    };
    std::map<std::pair<std::string, std::string>, Stored> settings_;
};

}  // namespace

std::string SettingValueProblem(const ConfigSetting& setting, const std::string& value) {
    try {
        if (setting.type == "Long") {
            int64_t v = ole::Variant(value).ToLong();
            if (ole::TrimBlanks(value).find_first_not_of("+-0123456789") != std::string::npos)
                return "\"" + ole::EscapeControls(value) + "\" is no whole number";
            if (v < setting.least || v > setting.most)
                return std::to_string(v) + " is out of range (" + std::to_string(setting.least) + " to " +
                       std::to_string(setting.most) + ")";
        } else if (setting.type == "Double") {
            ole::Variant(value).ToDouble();
        } else if (setting.type == "Boolean") {
            ole::Variant(value).ToBool();
        }
    } catch (const ole::AutomationError&) {
        return "\"" + ole::EscapeControls(value) + "\" is no " +
               (setting.type == "Long" ? std::string("whole number") : setting.type);
    }
    return "";
}

std::string FilePosition(const std::string& path, const std::string& text, ptrdiff_t offset) {
    if (offset < 0 || static_cast<size_t>(offset) > text.size()) return path;
    size_t line = 1, column = 1;
    for (ptrdiff_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return path + ":" + std::to_string(line) + ":" + std::to_string(column);
}

std::vector<Installation> InstallationsFromEnvironment() {
    std::vector<Installation> result;
    const char* home = std::getenv("VENDALO_HOME");
    if (!home || !*home) return result;
    std::string list(home);
    size_t start = 0;
    while (start <= list.size()) {
        size_t colon = list.find(':', start);
        std::string folder = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!folder.empty()) {
            std::error_code ec;
            std::filesystem::path absolute = std::filesystem::absolute(folder, ec);
            std::string path = StripTrailingSeparator(ec ? folder : absolute.lexically_normal().string());
            result.push_back({"Vendalo", path, path + "/config"});
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return result;
}

void WriteConfigurationFile(const std::string& path, const std::string& product, const std::string& connectionString,
                            const std::vector<ConfigSetting>& settings) {
    pugi::xml_document doc;
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    auto root = doc.append_child("Configuration");
    root.append_attribute("product") = product.c_str();
    if (!connectionString.empty()) root.append_child("ConnectionString").text() = connectionString.c_str();
    std::map<std::string, pugi::xml_node> sections;
    for (const auto& s : settings) {
        auto& section = sections[s.section];
        if (!section) {
            section = root.append_child("Section");
            section.append_attribute("name") = s.section.c_str();
        }
        auto node = section.append_child("Setting");
        node.append_attribute("name") = s.name.c_str();
        if (!s.type.empty() && s.type != "String") node.append_attribute("type") = s.type.c_str();
        node.text() = s.value.c_str();
    }
    std::ostringstream text;
    doc.save(text, "  ");
    try {
        // the file holds the database password or the service account's code
        os::WriteFileAtomically(path, text.str(), 0600);
    } catch (const std::system_error& e) {
        ole::Raise(config_err::PermissionDenied, "Permission denied: " + std::string(e.what()), kSource);
    }
}

std::string ConfigurationFileOfHandle(int32_t handle) {
    std::lock_guard lock(gHandleMutex);
    auto it = Handles().find(handle);
    return it == Handles().end() ? std::string() : it->second;
}

std::shared_ptr<IConfiguration> NewConfiguration() { return std::make_shared<Configuration>(); }

void RegisterConfiguration() { ole::RegisterClass<Configuration>("Qxcore.Configuration"); }

}  // namespace qx
