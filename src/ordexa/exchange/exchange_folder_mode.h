// The exchange folders: where the export file, the confirmation file and the
// semaphore files lie, shared with the back end's EDI module, which runs as
// another user of the same group. Everything else of an installation is its
// owner's alone (0700 folders, 0600 files); these folders get the mode of the
// installation's setting FolderMode in section EXCHANGE of
// VendaloConfiguration.xml, an octal text: "0770" (the default: owner and group
// may read, write and enter), "2770" (the same, and files made there take the
// folder's group). An export file the batch creates there gets that mode
// without the execute and special bits ("0660"), so that the back end can read,
// lock and rename it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace ordexa {

inline constexpr const char* kExchangeSection = "EXCHANGE";
inline constexpr const char* kFolderModeSetting = "FolderMode";
inline constexpr const char* kDefaultFolderModeText = "0770";
inline constexpr mode_t kDefaultExchangeFolderMode = 0770;

// "0770", "770", "2770" (at most four octal digits, at most 07777) as a mode;
// nothing for any other text.
std::optional<mode_t> ParseFolderMode(const std::string& text);

// The installation's FolderMode, or the default when the setting is missing;
// raises when the setting is not an octal mode.
mode_t ExchangeFolderMode();

// The mode of a file in a folder of the given mode: the same permissions
// without execute and special bits.
constexpr mode_t ExchangeFileMode(mode_t folderMode) { return folderMode & 0666; }

}  // namespace ordexa
