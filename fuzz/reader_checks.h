// What every confirmation reader promises whatever bytes it is given; a
// broken promise stops the fuzzer with a crash report.
#pragma once

#include <cstdlib>
#include <unordered_set>

#include "ordexa/exchange/confirmation_reader.h"
#include "platform/automation/text.h"
#include "platform/format/text_encoding.h"

namespace fuzzing {

inline void Check(bool promise) {
    if (!promise) std::abort();
}

inline void CheckPromises(const ordexa::ConfirmationRead& read) {
    std::unordered_set<std::string> ids;
    for (const auto& e : read.entries) {
        Check(!e.orderId.empty() && !e.salesOrderNr.empty());
        Check(qx::IsCleanUtf8(e.orderId) && qx::IsCleanUtf8(e.salesOrderNr));
        Check(ids.insert(ole::UpperCase(e.orderId)).second);  // one entry per order id
        Check(e.line >= 1);
    }
    for (const auto& d : read.duplicates) Check(ids.count(ole::UpperCase(d.orderId)) == 1);
    for (const auto& r : read.refused) Check(!r.reason.empty());
    Check(read.YieldsNothing() == !read.whyNone.empty());
    // what a log entry shows of any value is clean text
    for (const auto& r : read.refused) Check(qx::IsCleanUtf8(qx::ShowBytes(r.entry.orderId)));
}

}  // namespace fuzzing
