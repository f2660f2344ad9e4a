// Resolving a capture whose outcome is unknown. Such an order waits in
// ORDERSTATUS 8 with the captured lines still at 1, and the latest BILLINGLOG
// row of the order has no ICS_RCODE and names the request (CLIENT_REQUEST_ID).
// The gateway is asked what became of that request ("ics_query" with
// "query_client_request_id"); where it cannot tell, the operator states it.
// Captured: the lines go to 2. Not captured: they stay at 1, so the next
// payment run captures them. Either way the order goes back to 4, and a
// BILLINGLOG row records the answer, all in one transaction under the order's
// payment lock.
#pragma once

#include <optional>
#include <string>

namespace ordexa {

struct Resolution {
    bool captured = false;
    bool gatewayAnswered = false;   // false: decided by the operator's statement
    std::string billRequestId;      // the capture's request id, when known
    std::string clientRequestId;    // the request that was resolved
    int32_t lines = 0;              // lines set to 2 (captured) or left at 1
};

// Raised when the order has no capture to resolve, when neither the gateway
// nor the operator can tell what happened, or when they disagree.
constexpr int32_t kNothingToResolve = static_cast<int32_t>(0x80040506u);
constexpr int32_t kResolutionNeeded = static_cast<int32_t>(0x80040507u);

// operatorSays: what the operator states (captured or not), used when the
// gateway cannot tell; billRequestId: the capture's request id, when the
// operator knows it. Raises with a clear text; changes nothing then.
Resolution ResolveUnknownCapture(const std::string& orderId, std::optional<bool> operatorSays,
                                 const std::string& billRequestId);

}  // namespace ordexa
