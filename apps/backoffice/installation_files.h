// The configuration files of a new installation.
#pragma once

#include <filesystem>
#include <string>

namespace backoffice {

// The membership service account that the batch logs on with (SiteConfiguration.xml, MemScriptUser).
inline const std::string kServiceAccount = "memscript";

// config/VendaloConfiguration.xml: the connection string and every sales parameter with its default.
void WriteVendaloConfiguration(const std::filesystem::path& home, const std::string& connectionString);
// config/labels/<locale>.txt: the label catalogues shipped with the system (English 1033, Dutch 1043),
// read by the message manager of callers that have none of their own.
void WriteLabelCatalogues(const std::filesystem::path& home);
// config/SiteConfiguration.xml: section MEMBERSHIP with MemScriptUser, MemScriptCode and LDAPRoot.
void WriteSiteConfiguration(const std::filesystem::path& home, const std::string& serviceCode);

}  // namespace backoffice
