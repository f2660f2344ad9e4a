#include "platform/register.h"

#include "config/configuration.h"
#include "data/ado.h"
#include "format/data_functions.h"
#include "log/log.h"
#include "masterdata/business_partner.h"
#include "masterdata/product_configuration.h"

namespace qx {

void RegisterPlatformComponents() {
    ado::RegisterComponents();
    RegisterConfiguration();
    RegisterLog();
    RegisterBusinessPartner();
    RegisterDataFunctions();
    RegisterProductConfiguration();
}

}  // namespace qx
