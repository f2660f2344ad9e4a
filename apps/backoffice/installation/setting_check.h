// Tests an installation's VendaloConfiguration.xml against the one list of
// settings (VendaloSettings(): type and range of each). `backoffice check`
// reports what it finds; the batch, the payment run and the host refuse or
// report a setting they could not use before they begin.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace backoffice {

// One line per finding, "<file>:<line>:<column>: <SECTION>/<Name>: <why>", for
// a value of the wrong type or out of range, an unknown type attribute and a
// file that is not well-formed. A file that cannot be read raises
// (ole::AutomationError, as the configuration store raises). With sections
// given, only the settings of those sections are tested.
std::vector<std::string> SettingFindings(const std::filesystem::path& home, const std::set<std::string>& sections = {});

}  // namespace backoffice
