// The message manager for callers that have none of their own (ProgID
// "Qxcore.MessageManager"): label texts from the installation's catalogues,
// config/labels/<locale>.txt, one "CODE=text" line per label in UTF-8 (blank
// lines and lines starting with "#" are skipped; the text runs to the end of
// the line). English (1033) and Dutch (1043) are shipped with the system and
// written by `backoffice init`.
//
// A locale without a catalogue gets the English one. A code that its catalogue
// lacks comes back as the code itself; each such code is logged once per
// process and locale as a warning, so that a gap in a catalogue shows in the
// log without flooding it. An object reads a catalogue when it is first asked
// for its locale and keeps it for its own life.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/format/message_manager.h"

namespace qx {

// The locale whose catalogue stands in for a locale that has none.
inline const std::string kFallbackLabelLocale = "1033";

struct ShippedLabelCatalogue {
    std::string locale;     // "1033"
    std::string_view text;  // the file's content
};
// The catalogues shipped with the system, English first.
const std::vector<ShippedLabelCatalogue>& ShippedLabelCatalogues();

// The catalogue file of a locale under a configuration folder:
// <configFolder>/labels/<locale>.txt.
std::string LabelCatalogueFile(const std::string& configFolder, const std::string& locale);

// Writes every shipped catalogue into <configFolder>/labels, replacing what is
// there (each file durably, whole or not at all); throws std::system_error or
// std::filesystem::filesystem_error with the path on failure.
void WriteShippedLabelCatalogues(const std::string& configFolder);

void RegisterLabelCatalogue();  // "Qxcore.MessageManager"

}  // namespace qx
