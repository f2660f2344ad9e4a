#include "ordexa/exchange/exchange_folder_mode.h"

#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"

namespace ordexa {

std::optional<mode_t> ParseFolderMode(const std::string& text) {
    std::string digits = ole::TrimBlanks(text);
    if (digits.empty() || digits.size() > 4) return std::nullopt;
    mode_t mode = 0;
    for (char c : digits) {
        if (c < '0' || c > '7') return std::nullopt;
        mode = mode * 8 + static_cast<mode_t>(c - '0');
    }
    return mode;
}

mode_t ExchangeFolderMode() {
    auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
    config->LoadProduct("Vendalo", 0);
    std::string text;
    try {
        text = config->GetValue(kExchangeSection, kFolderModeSetting).Text();
    } catch (const ole::AutomationError& e) {
        if (e.Number() != qx::config_err::SettingNotFound) throw;
        return kDefaultExchangeFolderMode;
    }
    auto mode = ParseFolderMode(text);
    if (!mode)
        ole::Raise(ole::err::InvalidProcedureCall,
                   std::string("The setting ") + kFolderModeSetting + " of section " + kExchangeSection +
                       " in VendaloConfiguration.xml is not an octal permission mode such as " +
                       kDefaultFolderModeText + ": '" + text + "'",
                   "Qxcore.Configuration");
    return *mode;
}

}  // namespace ordexa
