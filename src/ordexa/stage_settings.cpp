#include "ordexa/stage_settings.h"

#include "interfaces/vendalo/sales_parameter.h"
#include "shared/lib_sales.h"

namespace ordexa {

std::string SalesParameter(const std::string& name, const std::string& label) {
    try {
        return Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter")->GetParameterValue(name);
    } catch (...) {
        Sls_RaiseError(label);
    }
}

std::string InstallationConnectionString(const std::string& label) {
    try {
        return Sls_ConnectionString();
    } catch (...) {
        Sls_RaiseError(label);
    }
}

std::optional<std::string> MerchantIdOfCurrency(const ado::ConnectionPtr& connection, const std::string& currency) {
    auto rs = connection->Execute("SELECT MERCHANTID FROM MERCHANTIDBYCURRENCY WHERE CURRENCYCODE = ?", nullptr, -1,
                                  {ole::Variant(currency)});
    if (!rs || rs->Eof()) return std::nullopt;
    return rs->Fields(0).Value().Text();
}

}  // namespace ordexa
