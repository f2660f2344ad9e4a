#include "ordexa/payment/gateway_requests.h"

#include <algorithm>

#include "ordexa/exchange/exchange_record.h"
#include "ordexa/payment/payment_logs.h"
#include "platform/automation/text.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

Variant TextOrNull(const std::string& text) { return text.empty() ? ole::Null : Variant(text); }

// Writes the "sent" row and commits it; returns its sequence.
int64_t InsertSent(const ado::ConnectionPtr& connection, const GatewayRequestSubject& s, const std::string& clientRequestId) {
    // The caller's open transaction would hold the row back until its own commit.
    ado::ConnectionPtr writer = connection;
    if (connection->InTransaction()) writer = Sls_GetOpenConnection(connection->ConnectionString);
    ado::Transaction tx(*writer);
    int64_t sequence = NextSequenceValue(writer, "GATEWAYREQUEST");
    writer->Execute(
        "INSERT INTO GATEWAYREQUEST (REQUESTSEQ, MERCHANT_REF_NUMBER, OPERATION, LINENRS, AMOUNT, CURRENCY, "
        "PRIOR_REQUEST_ID, CLIENT_REQUEST_ID, SENT_DATETIME, STATE) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 'SENT')",
        nullptr, -1,
        {Variant(sequence), Variant(s.reference), Variant(s.operation), TextOrNull(s.lineNrs), TextOrNull(s.amount),
         TextOrNull(s.currency), TextOrNull(s.priorRequestId), Variant(clientRequestId), Variant(ole::Date::Now())});
    tx.Commit();
    return sequence;
}

}  // namespace

bool IsCaptureOperation(const std::string& operation) {
    return operation == gateway_operation::Capture || operation == gateway_operation::AuthorizationAndCapture;
}

bool IsAuthorizationOperation(const std::string& operation) {
    return operation == gateway_operation::CheckoutAuthorization || operation == gateway_operation::Authorization ||
           operation == gateway_operation::Renewal;
}

RecordedGatewayRequest RecordedGatewayRequest::Send(qx::IGatewayClient& client, const ado::ConnectionPtr& connection,
                                                    const GatewayRequestSubject& subject) {
    RecordedGatewayRequest request;
    request.clientRequestId_ = qx::NewClientRequestId();
    client.SetValue("client_request_id", request.clientRequestId_);
    request.sequence_ = InsertSent(connection, subject, request.clientRequestId_);
    request.sentAt_ = std::chrono::steady_clock::now();
    try {
        client.Send();
    } catch (const ole::AutomationError& e) {
        if (e.Number() == qx::gateway_err::NotSent || e.Number() == qx::gateway_err::Rejected) {
            try {
                ado::ConnectionPtr writer = connection;
                if (connection->InTransaction()) writer = Sls_GetOpenConnection(connection->ConnectionString);
                CompleteGatewayRequest(writer, request.sequence_, "NOTSENT", "", "", request.Milliseconds());
            } catch (...) {
                // the row stays open: an operator resolves it; the send's own error is the one to report
            }
        }
        throw;
    }
    return request;
}

void RecordedGatewayRequest::Complete(const ado::ConnectionPtr& connection, const qx::IGatewayClient& client) const {
    if (!CompleteGatewayRequest(connection, sequence_, "ANSWERED", client.GetReplyValue("request_id"),
                                client.GetReplyValue("ics_rcode"), Milliseconds()))
        ole::Raise(kOutcomeUnknownPending,
                   "Gateway request " + clientRequestId_ + " was settled meanwhile; its reply is not stored again",
                   "CCPayment");
}

bool CompleteGatewayRequest(const ado::ConnectionPtr& connection, int64_t sequence, const std::string& state,
                            const std::string& requestId, const std::string& icsRcode, std::optional<int64_t> durationMs) {
    // The exchange is recorded with the completion, in the same round trip: the
    // rows are copied from the request this statement completed (its completion
    // time is the one bound here), never its amount or anything of the card.
    Variant now(ole::Date::Now());
    std::string id = Sls_CreateGUID();
    std::string outcome = state == "ANSWERED" ? "answered " + ole::TrimBlanks(icsRcode).substr(0, 10)
                                              : ole::LowerCase(state);
    auto results = connection->ExecuteBatch(
        {{"UPDATE GATEWAYREQUEST SET STATE = ?, COMPLETED_DATETIME = ?, REQUEST_ID = ?, ICS_RCODE = ? "
          "WHERE REQUESTSEQ = ? AND STATE = 'SENT'",
          {Variant(state), now, TextOrNull(ole::TrimBlanks(requestId).substr(0, 50)),
           TextOrNull(ole::TrimBlanks(icsRcode).substr(0, 10)), Variant(sequence)}},
         {"INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, DURATIONMS, REFERENCE, DETAIL) SELECT ?, ?, ?, ?, ?, "
          "CLIENT_REQUEST_ID, OPERATION || ' ' || COALESCE(REQUEST_ID, '') FROM GATEWAYREQUEST "
          "WHERE REQUESTSEQ = ? AND STATE = ? AND COMPLETED_DATETIME = ?",
          {Variant(id), Variant(Sls_EventTimeNow()), Variant(exchange_kind::kGatewayRequest), Variant(outcome.substr(0, 30)),
           durationMs ? Variant(static_cast<int32_t>(std::min<int64_t>(*durationMs, INT32_MAX))) : Variant::Null(),
           Variant(sequence), Variant(state), now}},
         {"INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) SELECT MERCHANT_REF_NUMBER, ? FROM GATEWAYREQUEST "
          "WHERE REQUESTSEQ = ? AND STATE = ? AND COMPLETED_DATETIME = ?",
          {Variant(id), Variant(sequence), Variant(state), now}}});
    return results.front().affected > 0;
}

std::vector<GatewayRequestRow> OpenGatewayRequests(const ado::ConnectionPtr& connection, const std::string& reference) {
    auto rs = connection->Execute(
        "SELECT REQUESTSEQ, MERCHANT_REF_NUMBER, OPERATION, LINENRS, AMOUNT, CURRENCY, PRIOR_REQUEST_ID, "
        "CLIENT_REQUEST_ID, SENT_DATETIME FROM GATEWAYREQUEST WHERE MERCHANT_REF_NUMBER = ? AND STATE = 'SENT' "
        "ORDER BY REQUESTSEQ",
        nullptr, -1, {Variant(reference)});
    std::vector<GatewayRequestRow> rows;
    for (; rs && !rs->Eof(); rs->MoveNext()) {
        GatewayRequestRow row;
        row.sequence = rs->Fields(0).Value().ToLongLong();
        row.subject = {rs->Fields(1).Value().Text(), rs->Fields(2).Value().Text(), rs->Fields(3).Value().Text(),
                       rs->Fields(4).Value().Text(), rs->Fields(5).Value().Text(), rs->Fields(6).Value().Text()};
        row.clientRequestId = rs->Fields(7).Value().Text();
        row.sent = rs->Fields(8).Value();
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string OutcomeUnknownText(const GatewayRequestRow& row) {
    const GatewayRequestSubject& s = row.subject;
    std::string what = s.amount.empty() ? "" : s.amount + " " + s.currency + ", ";
    return "The outcome of " + s.operation + " request " + row.clientRequestId + " of " + s.reference + " (" + what +
           "sent " + row.sent.Text() + ") is unknown: nothing more is sent for it until `backoffice pay resolve --order " +
           s.reference + "` settles it";
}

}  // namespace ordexa
