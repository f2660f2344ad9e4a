#include "installation_files.h"

#include <vector>

#include "config/configuration.h"
#include "format/label_catalogue.h"

namespace backoffice {

namespace {

const char* kPayment = "DIRECTPAYMENT_PARAMETERS";
const char* kFreight = "FREIGHT_PARAMETERS";
const char* kGeneral = "GENERAL_PARAMETERS";
const char* kEdi = "EDI_PARAMETERS";
const char* kGateway = "PAYMENT_GATEWAY";
const char* kCardData = "CARD_DATA";

// Defaults a new shop can start with; the administrators change them in the file.
const std::vector<qx::ConfigSetting> kSalesParameters = {
    // the gateway: a URL, or a host[:port] meaning https://host[:port]/; plain http only on loopback.
    // The default is the gateway simulator that `make run` starts for the demo.
    {kPayment, "CyberSource Serverhost", "String", "http://127.0.0.1:18490/"},
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
    {kEdi, "ConfirmationArchiveDays", "Long", "30"},  // applied confirmation files kept in archive/
    {kGeneral, "ShowTaxOnInvoiceOrders", "Long", "0"},  // order forms of invoice orders show no tax
    // How the gateway is reached: CA certificates to verify it with (empty: the
    // system's), and time-outs in seconds for the connection and a whole request.
    {kGateway, "CAFile", "String", ""},
    {kGateway, "ConnectTimeout", "Long", "10"},
    {kGateway, "RequestTimeout", "Long", "60"},
    // days after which a checkout authorisation whose basket was never submitted loses its sealed card number
    {kCardData, "UnsubmittedCheckoutDays", "Long", "30"},
};

}  // namespace

void WriteVendaloConfiguration(const std::filesystem::path& home, const std::string& connectionString) {
    qx::WriteConfigurationFile((home / "config" / "VendaloConfiguration.xml").string(), "Vendalo", connectionString,
                               kSalesParameters);
}

void WriteLabelCatalogues(const std::filesystem::path& home) {
    qx::WriteShippedLabelCatalogues((home / "config").string());
}

void WriteSiteConfiguration(const std::filesystem::path& home, const std::string& serviceCode) {
    qx::WriteConfigurationFile((home / "config" / "SiteConfiguration.xml").string(), "Site", "",
                               {{"MEMBERSHIP", "MemScriptUser", "String", kServiceAccount},
                                {"MEMBERSHIP", "MemScriptCode", "String", serviceCode},
                                {"MEMBERSHIP", "LDAPRoot", "String", ""}});
}

}  // namespace backoffice
