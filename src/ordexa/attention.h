// What needs an operator: the orders stuck on their road (not exported, not
// confirmed, not acknowledged, not captured, not allocated after their time)
// and the card orders the gateway stopped (7: authorisation declined; 8: a
// capture refused, or a request whose outcome is unknown). Each item says
// why, since when, and which operator actions apply (operator_actions.h).
//
// "since" is when the order entered its status (the order's last event of its
// header; for a line, the line's). An order the operator marked handled
// leaves the list until its status changes again. Every value is bound; the
// list is cut at kAttentionLimit items, oldest first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace ordexa {

// How long an order may wait in a status before it needs attention.
struct AttentionLimits {
    int exportMinutes = 30;        // in 0: the batch runs every five minutes
    int confirmMinutes = 240;      // in 1: the back end confirms within hours
    int acknowledgeMinutes = 60;   // in 2: the broker stage posts with every batch
    int captureMinutes = 60;       // in 4, a line at 1: the payment run captures every fifteen minutes
    int allocationHours = 48;      // in 4, a line at 0 the back end was asked about
};

inline constexpr size_t kAttentionLimit = 1000;

struct AttentionItem {
    std::string orderId;
    int32_t status = 0;
    std::string reason;  // words: "not exported", "capture refused", ...
    ole::Date since;     // UTC
    std::string detail;  // the gateway's text, the export group, why it cannot go on
    std::vector<std::string> actions;  // "capture-again", "mark-handled", ...
};

// The items, oldest first.
std::vector<AttentionItem> OrdersNeedingAttention(const AttentionLimits& limits);

}  // namespace ordexa
