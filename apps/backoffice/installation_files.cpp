#include "installation_files.h"

#include <vector>

#include "config/configuration.h"
#include "exchange/exchange_folder_mode.h"

namespace backoffice {

namespace {

const char* kPayment = "DIRECTPAYMENT_PARAMETERS";
const char* kFreight = "FREIGHT_PARAMETERS";
const char* kGeneral = "GENERAL_PARAMETERS";

// Defaults a new shop can start with; the administrators change them in the file.
const std::vector<qx::ConfigSetting> kSalesParameters = {
    {kPayment, "CyberSource Serverhost", "String", "simulator"},  // the embedded gateway simulator
    {kPayment, "Authorization Hard Expiration", "Long", "168"},   // hours: a card authorisation lasts a week
    {kPayment, "Authorization Soft Expiration", "Long", "24"},
    {kPayment, "Reallocation", "Long", "24"},                     // hours between two allocation checks of a line
    {kPayment, "Creditcard Ordertype for Backend", "String", "CC"},
    {kPayment, "BackendSalesOrderType BillingStepNumber", "Long", "7"},
    {kPayment, "InvoiceText", "String", "Paid by credit card"},
    {kFreight, "FreightPartNumber", "String", "FREIGHT"},
    {kFreight, "Freight Unit-code", "String", "PCS"},
    {kFreight, "Multiple Ship-from Zones", "Long", "0"},
    {kFreight, "Ship-from Zone", "Long", "1"},
    {kGeneral, "CreditCardUse", "Long", "1"},
    {kGeneral, "EnableFreight", "Long", "1"},
    {kGeneral, "TaxSource", "String", "Web"},
    {kGeneral, "BIC Virtual Directory", "String", "/vendalo"},
    {kGeneral, "HomeOrganisation", "Long", "1"},
    {kGeneral, "SubmittedOrderListPage", "String", "/shop/orders/submitted"},
    {kGeneral, "EnableGetInventoryButton", "Long", "1"},
    {kGeneral, "EnableATPCheckButtons", "Long", "1"},
    // the folders shared with the back end, which runs as another user of the group
    {ordexa::kExchangeSection, ordexa::kFolderModeSetting, "String", ordexa::kDefaultFolderModeText},
};

}  // namespace

void WriteVendaloConfiguration(const std::filesystem::path& home, const std::string& connectionString) {
    qx::WriteConfigurationFile((home / "config" / "VendaloConfiguration.xml").string(), "Vendalo", connectionString,
                               kSalesParameters);
}

void WriteSiteConfiguration(const std::filesystem::path& home, const std::string& serviceCode) {
    qx::WriteConfigurationFile((home / "config" / "SiteConfiguration.xml").string(), "Site", "",
                               {{"MEMBERSHIP", "MemScriptUser", "String", kServiceAccount},
                                {"MEMBERSHIP", "MemScriptCode", "String", serviceCode},
                                {"MEMBERSHIP", "LDAPRoot", "String", ""}});
}

}  // namespace backoffice
