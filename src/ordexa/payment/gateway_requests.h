// The record of every request to the card gateway (table GATEWAYREQUEST): a
// request is written and committed as "sent" before it leaves, and completed
// with its reply in the transaction that stores the reply's log rows and
// statuses. After a crash anywhere between the two, the row stays in STATE
// 'SENT': the request's outcome is unknown, and nothing more is sent for its
// order or basket until `backoffice pay resolve` settles it. A request that
// never reached the gateway (the client raised NotSent or Rejected) is
// completed as 'NOTSENT'. The row holds no card number.
//
// What survives: the "sent" row is committed before Send. On SQLite (WAL,
// synchronous=FULL, the driver's default) a commit is on disk when it
// returns, so it survives a kill and a power cut; on PostgreSQL it is as
// durable as the server's synchronous_commit and fsync settings make it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation/variant.h"
#include "platform/data/ado.h"
#include "platform/gateway/gateway_client.h"

namespace ordexa {

// Raised when an order or basket has a request whose outcome is unknown:
// nothing is sent for it until the request is resolved.
constexpr int32_t kOutcomeUnknownPending = static_cast<int32_t>(0x80040508u);

// GATEWAYREQUEST.OPERATION
namespace gateway_operation {
inline const std::string CheckoutAuthorization = "CHECKOUT_AUTH";
inline const std::string Authorization = "AUTH";  // a stored order's (payment run, manual, allocation stage)
inline const std::string Renewal = "RENEWAL";     // of the lines still to capture, after a capture
inline const std::string AuthorizationAndCapture = "AUTH_CAPTURE";
inline const std::string Capture = "CAPTURE";
inline const std::string Credit = "CREDIT";
}  // namespace gateway_operation

bool IsCaptureOperation(const std::string& operation);        // CAPTURE, AUTH_CAPTURE
bool IsAuthorizationOperation(const std::string& operation);  // CHECKOUT_AUTH, AUTH, RENEWAL

// What a request is about, as its row records it.
struct GatewayRequestSubject {
    std::string reference;  // the order id, or the basket id of a checkout authorisation
    std::string operation;  // gateway_operation
    std::string lineNrs;    // "1,2,5" where lines apply
    std::string amount, currency;
    std::string priorRequestId;  // the authorisation a capture goes against, the capture a credit goes against
};

// One GATEWAYREQUEST row.
struct GatewayRequestRow {
    int64_t sequence = 0;
    GatewayRequestSubject subject;
    std::string clientRequestId;
    ole::Variant sent;  // SENT_DATETIME
};

class RecordedGatewayRequest {
public:
    // Records the request as sent (committed on `connection`, or on a connection
    // of its own when `connection` is inside a transaction), gives the client's
    // request its client_request_id, and sends it. NotSent and Rejected: the row
    // is completed as NOTSENT and the error goes on. Any other error (OutcomeUnknown
    // above all) leaves the row open and goes on.
    static RecordedGatewayRequest Send(qx::IGatewayClient& client, const ado::ConnectionPtr& connection,
                                       const GatewayRequestSubject& subject);

    // Completes the row with the client's reply (REQUEST_ID, ICS_RCODE). Call it
    // inside the transaction that stores the reply's log rows and statuses.
    void Complete(const ado::ConnectionPtr& connection, const qx::IGatewayClient& client) const;

    const std::string& ClientRequestId() const { return clientRequestId_; }
    // Since it was sent.
    int64_t Milliseconds() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sentAt_).count();
    }

private:
    int64_t sequence_ = 0;
    std::string clientRequestId_;
    std::chrono::steady_clock::time_point sentAt_{};
};

// Completes an open row (STATE 'SENT' only): state ANSWERED, NOTSENT or RESOLVED,
// and records the exchange (kind "gateway request": operation, order or basket,
// request id, outcome, duration; never card data) in the same round trip.
// Returns false when the row was no longer open.
bool CompleteGatewayRequest(const ado::ConnectionPtr& connection, int64_t sequence, const std::string& state,
                            const std::string& requestId, const std::string& icsRcode,
                            std::optional<int64_t> durationMs = std::nullopt);

// The open rows of an order or basket, oldest first.
std::vector<GatewayRequestRow> OpenGatewayRequests(const ado::ConnectionPtr& connection, const std::string& reference);

// "The outcome of capture request <id> of <reference> (114.95 EUR, sent ...) is
// unknown: nothing more is sent for it until `backoffice pay resolve --order
// <reference>` settles it"
std::string OutcomeUnknownText(const GatewayRequestRow& row);

}  // namespace ordexa
