#include "platform/masterdata/product_configuration.h"

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/automation/guid.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"

namespace qx {
namespace {

const char* kSource = "Qxcore.ProductConfigurationService";

class ProductConfigurationService : public IProductConfigurationService {
public:
    std::string CopyConfiguration(const std::string& configurationId, const std::string& productId,
                                  const std::string& language, const std::string& countryCode) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto source = c->Execute(
            "SELECT PRODUCTID, LANGUAGE, COUNTRYCODE, VARIANTOPTIONS FROM PRODUCTCONFIGURATION WHERE CONFIGID = ?",
            nullptr, -1, {configurationId});
        if (source->Eof())
            ole::Raise(kProductConfigurationNotFound, "Product configuration '" + configurationId + "' not found", kSource);
        ole::Guid guid;
        if (!ole::CreateGuid(guid)) ole::Raise(ole::err::OutOfMemory, "No identifier for the new configuration", kSource);
        std::string newId = ole::GuidText(guid);
        auto given = [&](const std::string& value, const char* field) {
            return value.empty() ? source->Fields(field).Value() : ole::Variant(value);
        };
        ole::Variant product = productId.empty() ? source->Fields("PRODUCTID").Value()
                                                 : ole::Variant(ole::Variant(productId).ToLong());
        c->Execute(
            "INSERT INTO PRODUCTCONFIGURATION (CONFIGID, PRODUCTID, LANGUAGE, COUNTRYCODE, VARIANTOPTIONS) "
            "VALUES (?, ?, ?, ?, ?)",
            nullptr, -1,
            {newId, product, given(language, "LANGUAGE"), given(countryCode, "COUNTRYCODE"),
             source->Fields("VARIANTOPTIONS").Value()});
        c->Close();
        return newId;
    }
};

}  // namespace

void RegisterProductConfiguration() {
    ole::RegisterClass<ProductConfigurationService>("Qxcore.ProductConfigurationService");
}

}  // namespace qx
