#include "platform/masterdata/configurator.h"

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"

namespace qx {
namespace {

class Configurator : public IConfigurator {
public:
    std::string GetVariantOptions(const std::string& configurationId, const std::string& orderId,
                                  const std::string& lineNumber) override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT VARIANTOPTIONS FROM PRODUCTCONFIGURATION WHERE CONFIGID = ?", nullptr, -1,
                             {configurationId});
        bool found = !rs->Eof();
        std::string text = found ? rs->Fields(0).Value().Text() : "";
        c->Close();
        // A line that names a lost configuration must not reach the back end without its options.
        if (!found)
            ole::Raise(kConfigurationNotFound,
                       "Product configuration '" + configurationId + "' of order '" + orderId + "' line " +
                           lineNumber + " does not exist",
                       "QxConfigurator.Configurator");
        return text;
    }
};

}  // namespace

void RegisterConfigurator() { ole::RegisterClass<Configurator>("QxConfigurator.Configurator"); }

}  // namespace qx
