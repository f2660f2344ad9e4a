// Ordexa.CCAllocation: a stage of the batch. For every line of a confirmed
// card order (order status 4) not yet allocated (line status 0) it asks the
// order's back end, at most once per "Reallocation" hours, whether stock is
// committed to the line; an allocated line (status 1) is due for capture. On
// the way an order whose last successful authorisation is older than
// "Authorization Hard Expiration" hours is authorised anew for the lines not
// yet captured.
//
// Every line gets its own outcome: a reply the back end did not give for it is
// never read as its answer. A line or order the stage cannot handle (no
// authorisation, an unknown instance, a back end that does not answer) is
// logged under its label, and the stage goes on with the next order.
#pragma once

#include <cstdint>
#include <string>

#include "ordexa/exchange/batch_stage.h"
#include "platform/data/ado.h"

namespace ordexa {

class ICCAllocation : public IBatchStage {
public:
    // Whether the order holds a successful authorisation younger than iHardExpire
    // hours; raises when it holds none at all.
    virtual bool OrderHasValidAuthorization(const std::string& orderId, int16_t iHardExpire,
                                            const ado::ConnectionPtr& connection) = 0;
    // The EXPORTMESSAGETYPE of the instance ("1": XML); raises when the instance has no registry row.
    virtual std::string OrderExportType(int32_t lBisID) = 0;
};

// The message of an "ow" allocation error number ("" for a number outside 1 to 5).
std::string AllocationErrorMessage(int32_t errorNumber);

void RegisterCCAllocation();  // "Ordexa.CCAllocation"

}  // namespace ordexa
