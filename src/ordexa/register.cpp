#include "ordexa/register.h"

#include "ordexa/exchange/cc_order_process.h"
#include "ordexa/exchange/ftp.h"
#include "ordexa/exchange/web_order_confirmation.h"
#include "ordexa/exchange/web_order_export.h"
#include "ordexa/payment/cc_allocation.h"
#include "ordexa/payment/cc_order_status.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/reqlink/reqlink.h"
#include "platform/automation/component.h"

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
