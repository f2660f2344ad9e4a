#include "platform/register.h"

#include "config/configuration.h"
#include "data/ado.h"
#include "log/log.h"
#include "masterdata/business_partner.h"

namespace qx {

void RegisterPlatformComponents() {
    ado::RegisterComponents();
    RegisterConfiguration();
    RegisterLog();
    RegisterBusinessPartner();
}

}  // namespace qx
