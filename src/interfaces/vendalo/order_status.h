// The statuses that carry an order through both libraries: ORDERHEADER.ORDERSTATUS
// and ORDERLINE.LINESTATUS. The numbers are what the database, the back end's
// reports and stored rows know, so they never change; the names are for people.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/variant.h"

namespace vendalo {

enum class OrderStatus : int32_t {
    ToBeProcessed = 0,            // submitted, waiting for the export
    Processed = 1,                // exported to the back end
    ReqlinkToBeAcknowledged = 2,  // confirmed; a broker order waiting for its acknowledgement
    ReqlinkAcknowledged = 3,
    CCPaymentToBeFulfilled = 4,   // confirmed; a card order whose lines are captured and billed
    Paid = 5,                     // every line billed: closed
    Acknowledged = 6,             // confirmed; neither a card nor a broker order
    OrderAuthorizationIssue = 7,
    OrderBillingIssue = 8,
};

enum class OrderLineStatus : int32_t {
    NotAllocated = 0,
    Allocated = 1,       // the back end allocated it: due for capture
    CCBilled = 2,        // captured at the gateway
    BackendBilled = 3,   // the capture reported to the back end
    LineBillingIssue = 4,
};

// The name of a status for people ("?" for a number that is no status; a
// number read from the database is cast to the enumeration first).
inline const char* StatusName(OrderStatus status) {
    switch (status) {
        case OrderStatus::ToBeProcessed: return "ToBeProcessed";
        case OrderStatus::Processed: return "Processed";
        case OrderStatus::ReqlinkToBeAcknowledged: return "ReqlinkToBeAcknowledged";
        case OrderStatus::ReqlinkAcknowledged: return "ReqlinkAcknowledged";
        case OrderStatus::CCPaymentToBeFulfilled: return "CCPaymentToBeFulfilled";
        case OrderStatus::Paid: return "Paid";
        case OrderStatus::Acknowledged: return "Acknowledged";
        case OrderStatus::OrderAuthorizationIssue: return "OrderAuthorizationIssue";
        case OrderStatus::OrderBillingIssue: return "OrderBillingIssue";
    }
    return "?";
}

inline const char* StatusName(OrderLineStatus status) {
    switch (status) {
        case OrderLineStatus::NotAllocated: return "NotAllocated";
        case OrderLineStatus::Allocated: return "Allocated";
        case OrderLineStatus::CCBilled: return "CCBilled";
        case OrderLineStatus::BackendBilled: return "BackendBilled";
        case OrderLineStatus::LineBillingIssue: return "LineBillingIssue";
    }
    return "?";
}

// The value a statement binds for a status (both columns are SMALLINT).
inline ole::Variant StatusValue(OrderStatus status) { return ole::Variant(static_cast<int16_t>(status)); }
inline ole::Variant StatusValue(OrderLineStatus status) { return ole::Variant(static_cast<int16_t>(status)); }

// The guard of a change that must find the row still in the status it left
// ("ORDERSTATUS + 0 = 4"). It is an expression, not the bare column, so that no
// status index answers it: the key decides the plan, whatever the statistics
// say about the statuses.
inline std::string StatusGuard(OrderStatus status) {
    return "ORDERSTATUS + 0 = " + std::to_string(static_cast<int32_t>(status));
}
inline std::string StatusGuard(OrderLineStatus status) {
    return "LINESTATUS + 0 = " + std::to_string(static_cast<int32_t>(status));
}

}  // namespace vendalo
