// The operator's actions on one order (the operator console and the command
// line). Each goes through the path that does the same without an operator
// (the payment run's authorisation and capture, the resolution of an unknown
// outcome, the broker's acknowledgement post, the export's marking), and
// writes an event naming the operator (`actor`, Sls_OperatorActor) with the
// operator's note as its detail, in the transaction of its change.
//
// Each checks inside that transaction that the order is still where the
// action applies (the status guarded in the UPDATE, like the batch's guards).
// An order that does not exist raises vendalo::OrderNotFound; one that moved
// on raises kActionNoLongerApplies (ordexa/payment/cc_payment.h), and nothing
// is changed or sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/automation/variant.h"
#include "shared/order_events.h"

namespace ordexa {

struct OperatorAction {
    std::string orderId;
    std::string actor;  // Sls_OperatorActor(name)
    std::string note;   // why: required by callers
};

// An event that keeps the order's status: the operator has seen to it (the
// attention list leaves it out until its status changes).
void MarkHandled(const OperatorAction& action);

// 1 back to 0, for the next batch to export again; refused once the back end
// confirmed it (its sales order number is set).
void ExportAgain(const OperatorAction& action);

// 2: the acknowledgement posted to the broker now; accepted, the order goes to 3.
void SendAcknowledgementNow(const OperatorAction& action);

// 8 after a refused capture: a fresh authorisation and a capture.
void CaptureAgain(const OperatorAction& action);

// 7: a new authorisation of the lines not yet captured.
void AuthorizeAgain(const OperatorAction& action);

// 8 with a request of unknown outcome: resolved with the gateway, or as the
// operator states (`captured`) where the gateway cannot tell.
void ResolveOutcome(const OperatorAction& action, std::optional<bool> captured);

// A credit against the order's latest approved capture with something left to
// credit (`backoffice pay refund`'s path), of `amount` ("12.50"; none: all
// that is left). The order keeps its status; the event says "refunded" or
// "refund declined". Raises kActionNoLongerApplies when nothing is left.
void Refund(const OperatorAction& action, const std::optional<std::string>& amount);

// One event of an order's timeline as it was written.
struct RecordedEvent {
    int32_t seq = 0;
    ole::Date time;  // UTC
    OrderEvent event;
};

// After an action: the order's status and the latest event its actor wrote
// (nothing when the order has none of that actor).
struct ActionOutcome {
    int32_t status = 0;
    std::optional<RecordedEvent> event;
};
ActionOutcome OutcomeOf(const OperatorAction& action);

}  // namespace ordexa
