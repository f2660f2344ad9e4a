#include "platform/register.h"

#include "config/configuration.h"
#include "data/ado.h"
#include "format/data_functions.h"
#include "log/log.h"
#include "masterdata/business_partner.h"

namespace qx {

void RegisterPlatformComponents() {
    ado::RegisterComponents();
    RegisterConfiguration();
    RegisterLog();
    RegisterBusinessPartner();
    RegisterDataFunctions();
}

}  // namespace qx
