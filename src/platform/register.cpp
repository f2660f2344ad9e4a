#include "platform/register.h"

#include "backend/backend_selector.h"
#include "config/configuration.h"
#include "data/ado.h"
#include "log/log.h"
#include "masterdata/business_partner.h"
#include "masterdata/configurator.h"
#include "masterdata/membership.h"

namespace qx {

void RegisterPlatformComponents() {
    ado::RegisterComponents();
    RegisterConfiguration();
    RegisterLog();
    RegisterBusinessPartner();
    RegisterConfigurator();
    RegisterMembership();
    RegisterBackendSelector();
}

}  // namespace qx
