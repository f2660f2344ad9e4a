// The payment run of an installation: every order due is paid by
// Ordexa.CCPayment's Run, up to OutsideCallsAtOnce orders side by side (each
// order's requests one after the other under its payment lock, on its thread's
// own connections), and then the card numbers no longer needed are erased.
// `backoffice pay` runs it under the installation's batch lock; the run itself
// takes only each order's payment lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ordexa {

struct PaymentRunSummary {
    int captured = 0, refused = 0, failed = 0, busy = 0, nothing = 0;
    int unknown = 0;  // of the failed: an outcome unknown, the order in status 8
    int32_t erased = 0;  // card numbers erased
};

// The orders due, by id: status 4 with a line at 1, or with a gateway request
// whose outcome is unknown (their run puts them to 8 and sends nothing).
std::vector<std::string> DueOrders();

// Runs each order; `paid` is told how many are done after each (from the
// threads of the run, one call at a time). Raises, paying nothing, when
// OutsideCallsAtOnce is not a number it can use.
PaymentRunSummary PayOrders(const std::vector<std::string>& orders, const std::function<void(size_t)>& paid = {});

}  // namespace ordexa
