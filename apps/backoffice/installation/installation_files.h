// What an installation holds besides its database: folders, configuration
// files with their settings, keys. `init` and `upgrade` run the same list of
// installation parts; each part makes what it stands for when it is missing
// and never overwrites what is there, so adding a file, a key or a setting to
// every installation is one entry here (a setting: one line in a settings
// list; a file or key: one InstallationPart).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/config/configuration.h"

namespace backoffice {

// The membership service account that the batch logs on with (SiteConfiguration.xml, MemScriptUser).
inline const std::string kServiceAccount = "memscript";

// What the parts work with.
struct InstallationContext {
    std::filesystem::path home;
    std::string connectionString;  // written only into a new VendaloConfiguration.xml
    std::string serviceCode;       // the service account's code; "" when this run does not know it
    bool newDatabase = false;      // init made the database's tables in this run
    bool demo = false;             // a demo installation: its broker may order for the demo's partners
};

struct InstallationPart {
    std::string what;  // shown when the part made something, e.g. "config/SiteConfiguration.xml"
    // Makes what is missing; returns what it added (empty: nothing was missing).
    std::function<std::vector<std::string>(const InstallationContext&)> make;
};

// Every part, in the order they run. VendaloConfiguration.xml comes last: its
// presence marks a complete installation.
const std::vector<InstallationPart>& InstallationParts();

// Runs every part; returns what was added, one "<part>: <item>" per addition.
std::vector<std::string> MakeMissingParts(const InstallationContext& context);

// The settings of VendaloConfiguration.xml and SiteConfiguration.xml with the
// values a new installation starts with (keys and codes freshly made).
std::vector<qx::ConfigSetting> VendaloSettings();
std::vector<qx::ConfigSetting> SiteSettings(const InstallationContext& context);

// Adds to the configuration file at path every setting it lacks (by section
// and name) and, for a new file, the connection string; values already there
// stay as they are. The file is written atomically, readable by its owner
// only, and only when something was added. Returns the names added.
std::vector<std::string> AddMissingSettings(const std::filesystem::path& path, const std::string& product,
                                            const std::string& connectionString,
                                            const std::vector<qx::ConfigSetting>& settings);

// Takes every right of group and others from config/, data/, log/ and the
// temporary EDI folder, from what they hold, and from the SQLite database file
// (with its -wal and -shm files) wherever the connection string puts it: the
// modes init gives, for an installation an older version left readable.
// Symbolic links are not followed. Returns what changed ("data/ 0755 -> 0700");
// with ModeAction::Report, what would change, changing nothing.
enum class ModeAction { Change, Report };
std::vector<std::string> RestrictInstallationToOwner(const std::filesystem::path& home,
                                                     const std::string& connectionString,
                                                     ModeAction action = ModeAction::Change);

// A new random API key (48 letters and digits).
std::string NewApiKey();

}  // namespace backoffice
