#include "register.h"

#include "backend/backend_selector.h"
#include "config/configuration.h"
#include "data/ado.h"
#include "format/data_functions.h"
#include "format/label_catalogue.h"
#include "gateway/gateway_client.h"
#include "log/log.h"
#include "masterdata/business_partner.h"
#include "masterdata/configurator.h"
#include "masterdata/currency.h"
#include "masterdata/locale.h"
#include "masterdata/membership.h"
#include "masterdata/product_catalog.h"
#include "masterdata/product_configuration.h"
#include "masterdata/referential_checker.h"

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
