// Ordexa.CCOrderStatus: a stage of the batch. Every line captured on the web
// side (line status 2) of an order in status 4 is reported to its back end,
// which moves the sales order line on to the billing step
// ("BackendSalesOrderType BillingStepNumber"); a line the back end accepts
// becomes status 3, and the batch closes an order none of whose lines is below 3.
// A line the back end did not answer for stays at 2 and is offered again by the
// next run; a line or order the stage cannot handle is logged and the stage
// goes on with the next order.
#pragma once

#include <cstdint>
#include <string>

#include "ordexa/exchange/batch_stage.h"

namespace ordexa {

// The text of a reason code of the back end ("" for a code outside the table);
// reason 30 names the step number.
std::string OrderStatusReasonText(int32_t reasonCode, int16_t stepNumber);

void RegisterCCOrderStatus();  // "Ordexa.CCOrderStatus"

}  // namespace ordexa
