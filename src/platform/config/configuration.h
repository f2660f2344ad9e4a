// The configuration store (ProgID "Qxcore.Configuration"): installations of a
// product and settings read from an installation's XML configuration files.
//
// An installation is a folder named by VENDALO_HOME (several folders may be
// listed, separated by ":"; the first is the main one). It holds
// config/VendaloConfiguration.xml, config/SiteConfiguration.xml, data/, log/
// and the temporary EDI folder Vendalo/TempEdiFtp.
//
// A configuration file looks like:
//   <Configuration product="Vendalo">
//     <ConnectionString>Provider=SQLite;Data Source=/srv/shop/data/vendalo.db</ConnectionString>
//     <Section name="GENERAL_PARAMETERS">
//       <Setting name="HomeOrganisation" type="Long">1</Setting>
//     </Section>
//   </Configuration>
// A setting's type is "String" (the default), "Long", "Double" or "Boolean".
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace qx {

// The installation record: name, folder, configuration folder (neither ends in a separator).
struct Installation {
    std::string Name;
    std::string Folder;
    std::string ConfigFolder;
};

// Error numbers of the configuration store.
namespace config_err {
constexpr int32_t SettingNotFound = static_cast<int32_t>(0x8004000Fu);
constexpr int32_t NotWellFormed = static_cast<int32_t>(0x80040110u);
constexpr int32_t NotLoaded = static_cast<int32_t>(0x80040113u);
constexpr int32_t TypeMismatch = static_cast<int32_t>(0x80040114u);
constexpr int32_t PermissionDenied = 70;
constexpr int32_t FileNotFound = 53;
}  // namespace config_err

class IConfiguration : public ole::Object {
public:
    // The installations of a product, in order (empty when none is set up).
    virtual std::vector<Installation> GetInstallations(const std::string& product) = 0;
    // Loads an XML configuration file; later reads answer from it. Anything but
    // a regular file (a FIFO, a folder) is refused as unreadable (70).
    virtual void LoadFile(const std::string& path) = 0;
    // The connection string of the loaded product configuration.
    virtual std::string GetConnectionString(const std::string& product) = 0;
    // A setting's value, typed as its file declares it.
    virtual ole::Variant GetValue(const std::string& section, const std::string& name) = 0;
    // Loads the product's configuration of the first installation.
    virtual void LoadProduct(const std::string& product, int32_t flags) = 0;
    // A handle of the loaded configuration, for the back-end components.
    virtual int32_t GetHandle() = 0;
};

// The installations named by VENDALO_HOME.
std::vector<Installation> InstallationsFromEnvironment();

// A setting as the installation writes it (type, default value) and, for a
// "Long", the range of values it accepts. The lists of these are the one
// description of the settings: `init` and `upgrade` write them, `check` and the
// runs test the files against them.
struct ConfigSetting {
    std::string section, name, type, value;
    int64_t least = INT32_MIN, most = INT32_MAX;
};

// Why `value` does not fit the setting (wrong type for its declared type, out
// of range), or "" when it does.
std::string SettingValueProblem(const ConfigSetting& setting, const std::string& value);

// "path:line:column" of a byte offset into a file's text, for error texts.
std::string FilePosition(const std::string& path, const std::string& text, ptrdiff_t offset);

// Writes a configuration file in the form above (used by `backoffice init`):
// whole or not at all (os::WriteFileAtomically), readable by its owner only
// (0600) from the first byte on.
void WriteConfigurationFile(const std::string& path, const std::string& product, const std::string& connectionString,
                            const std::vector<ConfigSetting>& settings);

// The file loaded under a handle (back-end components read it).
std::string ConfigurationFileOfHandle(int32_t handle);

// A new configuration store object (what "Qxcore.Configuration" creates).
std::shared_ptr<IConfiguration> NewConfiguration();

void RegisterConfiguration();  // "Qxcore.Configuration"

}  // namespace qx
