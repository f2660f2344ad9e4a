#include "interfaces/vendalo/sales_parameter.h"

#include <cstring>

#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"
#include "vendalo/register.h"

namespace vendalo {
namespace {

struct SettingSection {
    const char* name;
    const char* section;
};

// Names are compared in this order, exactly and with case; the first match decides the section.
const SettingSection kSettings[] = {
    {"CyberSource Serverhost", "DIRECTPAYMENT_PARAMETERS"},
    {"Authorization Hard Expiration", "DIRECTPAYMENT_PARAMETERS"},
    {"Authorization Soft Expiration", "DIRECTPAYMENT_PARAMETERS"},
    {"Reallocation", "DIRECTPAYMENT_PARAMETERS"},
    {"Creditcard Ordertype for Backend", "DIRECTPAYMENT_PARAMETERS"},
    {"BackendSalesOrderType BillingStepNumber", "DIRECTPAYMENT_PARAMETERS"},
    {"InvoiceText", "DIRECTPAYMENT_PARAMETERS"},
    {"FreightPartNumber", "FREIGHT_PARAMETERS"},
    {"Freight Unit-code", "FREIGHT_PARAMETERS"},
    {"Multiple Ship-from Zones", "FREIGHT_PARAMETERS"},
    {"Ship-from Zone", "FREIGHT_PARAMETERS"},
    {"CreditCardUse", "GENERAL_PARAMETERS"},
    {"EnableFreight", "GENERAL_PARAMETERS"},
    {"TaxSource", "GENERAL_PARAMETERS"},
    {"BIC Virtual Directory", "GENERAL_PARAMETERS"},
    {"HomeOrganisation", "GENERAL_PARAMETERS"},
    {"SubmittedOrderListPage", "GENERAL_PARAMETERS"},
    {"EnableGetInventoryButton", "GENERAL_PARAMETERS"},
    {"EnableATPCheckButtons", "GENERAL_PARAMETERS"},
};

const char* kPrefix = "Vendalo.SalesParameter.GetParameterValue(): ";

class SalesParameter : public ISalesParameter {
public:
    std::string GetParameterValue(const std::string& parameter) override {
        std::shared_ptr<qx::IConfiguration> config;
        std::string directory;
        std::string trimmed = ole::TrimBlanks(parameter);
        try {
            config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
            // the last installation's file is the one read
            for (const auto& installation : config->GetInstallations("Vendalo")) directory = installation.ConfigFolder;
            config->LoadFile(directory + "/VendaloConfiguration.xml");
            const char* section = nullptr;
            for (const auto& s : kSettings)
                if (trimmed == s.name) {
                    section = s.section;
                    break;
                }
            std::string result;
            if (section) {
                result = config->GetValue(section, parameter).ToString();
            } else {
                // An unknown name is a caller's mistake: it answers "" as always, and is logged as a warning
                // so that a misspelt setting does not pass unnoticed.
                Sls_LogWarning(std::string(kPrefix) + "Parameter " + trimmed + " not found");
            }
            config.reset();
            return result;
        } catch (...) {
            config.reset();
            ole::SlsErrorInfo current = ole::CurrentError();
            std::string label;
            switch (current.Number) {
                case qx::config_err::PermissionDenied:
                    label = std::string(kPrefix) + "Access denied for configuration file " + directory +
                            "/VendaloConfiguration.xml";
                    break;
                case qx::config_err::SettingNotFound:
                    label = std::string(kPrefix) + "Parameter '" + trimmed + "' is not found " +
                            "in configuration file ..\\config\\VendaloConfiguration.xml";
                    break;
                case qx::config_err::NotLoaded:
                    label = "Vendalo.SalesParameter.GetParameterValue(): Configuration store not loaded";
                    break;
                case qx::config_err::TypeMismatch:
                    label = std::string(kPrefix) + "Type of parameter '" + trimmed + "' is not valid OR " +
                            "The datatype of the new value is not equal " + "to the type of the item";
                    break;
                default: label = std::string(kPrefix) + "Unknown error " + current.Description;
            }
            Sls_RaiseError(label);
        }
    }
};

}  // namespace

void RegisterSalesParameter() { ole::RegisterClass<SalesParameter>("Vendalo.SalesParameter"); }

}  // namespace vendalo
