#include "platform/register.h"

#include "platform/backend/backend_selector.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/format/data_functions.h"
#include "platform/format/label_catalogue.h"
#include "platform/gateway/gateway_client.h"
#include "platform/log/log.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/configurator.h"
#include "platform/masterdata/currency.h"
#include "platform/masterdata/locale.h"
#include "platform/masterdata/membership.h"
#include "platform/masterdata/product_catalog.h"
#include "platform/masterdata/product_configuration.h"
#include "platform/masterdata/referential_checker.h"

namespace qx {

void RegisterPlatformComponents() {
    ado::RegisterComponents();
    RegisterConfiguration();
    RegisterLog();
    RegisterBusinessPartner();
    RegisterCurrency();
    RegisterLocale();
    RegisterConfigurator();
    RegisterMembership();
    RegisterBackendSelector();
    RegisterDataFunctions();
    RegisterLabelCatalogue();
    RegisterProductConfiguration();
    RegisterReferentialChecker();
    RegisterProductCatalog();
    RegisterGatewayClient();
}

}  // namespace qx
