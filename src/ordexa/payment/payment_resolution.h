// Resolving a gateway request whose outcome is unknown: its GATEWAYREQUEST row
// is still open (a crash between sending it and storing its reply, a lost or
// unreadable reply), and nothing more is sent for its order or basket. The
// gateway is asked what became of it ("ics_query" with
// "query_client_request_id"); where it cannot tell, the operator states it.
// Then what the reply would have done is done, and the row is completed as
// RESOLVED, in one transaction under the order's payment lock:
// - a capture (CAPTURE, AUTH_CAPTURE): taken, its lines go from 1 to 2; not
//   taken, they stay at 1 for the next payment run. BILLINGLOG records it.
// - an authorisation (CHECKOUT_AUTH, AUTH, RENEWAL): approved, an
//   AUTHORIZATIONLOG row with its request id and amount, which later captures
//   use; declined, a row with AUTH_RCODE 0 and the order to 7; never seen by
//   the gateway, nothing (the next run authorises as it needs).
// - a credit: REFUNDLOG records whether it was credited.
// An order held in 8 for the request goes back to 4 once none of its requests
// is open (7 after a declined authorisation; an order with a refused capture,
// lines at 4, stays in 8).
//
// An order of an older version, in 8 with its latest BILLINGLOG row without
// ICS_RCODE and no open request, is resolved from that row as before.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ordexa {

struct Resolution {
    std::string operation;         // of the request resolved (CAPTURE for an older version's)
    bool done = false;             // captured, authorised, credited
    bool gatewayAnswered = false;  // false: decided by the operator's statement
    std::string requestId;         // the gateway's id of the request, when known
    std::string clientRequestId;   // the request that was resolved
    int32_t lines = 0;             // of a capture: lines set to 2 (done) or left at 1
    size_t stillOpen = 0;          // requests of the order or basket still to resolve
};

// Raised when there is nothing to resolve, and when neither the gateway nor the
// operator can tell what happened (or they disagree, or the request may still
// be under way at the gateway).
constexpr int32_t kNothingToResolve = static_cast<int32_t>(0x80040506u);
constexpr int32_t kResolutionNeeded = static_cast<int32_t>(0x80040507u);

// Resolves the oldest open request of an order or basket (`reference`).
// operatorSays: what the operator states (done or not), used when the gateway
// cannot tell; requestId: the gateway's id of the request, when the operator
// knows it (needed to state an authorisation done). Raises with a clear text;
// changes nothing then.
// actor and note: the operator who resolves and why; the order's event of the
// resolution names them (an order that stays in 8 gets an event of its own).
// An order in 8 whose capture the gateway refused has nothing to resolve: the
// error says that `pay capture-again` is its next step.
Resolution ResolveUnknownOutcome(const std::string& reference, std::optional<bool> operatorSays,
                                 const std::string& requestId, const std::string& actor = "",
                                 const std::string& note = "");

}  // namespace ordexa
