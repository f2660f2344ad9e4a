#include "register.h"

#include "automation/component.h"
#include "backend/cc_allocation.h"
#include "backend/cc_order_status.h"
#include "exchange/cc_order_process.h"
#include "exchange/ftp.h"
#include "exchange/web_order_confirmation.h"
#include "exchange/web_order_export.h"
#include "payment/cc_payment.h"
#include "reqlink/reqlink.h"

namespace ordexa {

void RegisterComponents() {
    ole::RegisterClass<FTP>("Ordexa.FTP");
    RegisterWebOrderExport();
    RegisterWebOrderConfirmation();
    RegisterCCOrderProcess();
    RegisterCCPayment();
    RegisterCCAllocation();
    RegisterCCOrderStatus();
    RegisterReqlink();
}

}  // namespace ordexa
