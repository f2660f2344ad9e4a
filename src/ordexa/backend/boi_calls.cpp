#include "ordexa/backend/boi_calls.h"

#include "ordexa/batch_progress.h"
#include "ordexa/exchange/exchange_record.h"
#include "platform/automation/error.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"

namespace ordexa {

using ole::Variant;

BoiCall::BoiCall(int32_t bisid_, std::string object_, std::string orderId_, int32_t lineNr_)
    : bisid(bisid_), object(std::move(object_)), orderId(std::move(orderId_)), lineNr(lineNr_),
      exchangeId_(Sls_CreateGUID()) {}

ado::BatchStatement BoiCall::Completion(const std::string& outcome, const std::string& detail) const {
    Variant duration = Variant::Null();
    if (Sent())
        duration = Variant(static_cast<int32_t>(std::min<int64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count(),
            INT32_MAX)));
    std::string text = detail.empty() ? object : object + ": " + detail;
    return {"UPDATE EXCHANGE SET OUTCOME = ?, DURATIONMS = ?, DETAIL = ? WHERE EXCHANGEID = ? AND OUTCOME = ?",
            {Variant(outcome.substr(0, 30)), duration, Variant(text.substr(0, 2000)), Variant(exchangeId_),
             Variant(boi_outcome::kSent)}};
}

void RecordBoiCallsSent(const ado::ConnectionPtr& connection, const std::vector<BoiCall>& calls) {
    if (calls.empty()) return;
    std::vector<ExchangeRecord> records;
    records.reserve(calls.size());
    for (const auto& call : calls) {
        ExchangeRecord r;
        r.id = call.ExchangeId();
        r.kind = exchange_kind::kBusinessObjectCall;
        r.outcome = boi_outcome::kSent;
        r.bisid = call.bisid;
        r.orderIds = {call.orderId};
        r.reference = std::to_string(call.lineNr);
        r.detail = call.object;
        records.push_back(std::move(r));
    }
    ado::Transaction tx(*connection);
    connection->ExecuteBatch(ExchangeStatements(records));
    tx.Commit();  // on record before the first call leaves
}

int32_t CloseAbandonedBoiCalls(const ado::ConnectionPtr& connection) {
    int32_t closed = 0;
    connection->Execute("UPDATE EXCHANGE SET OUTCOME = ? WHERE KIND = ? AND OUTCOME = ?", &closed, -1,
                        {Variant(boi_outcome::kOutcomeUnknown), Variant(exchange_kind::kBusinessObjectCall),
                         Variant(boi_outcome::kSent)});
    return std::max(closed, 0);
}

void StageStop::Stop(const std::string& label) {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    if (!description_.empty()) return;
    label_ = label;
    description_ = ole::CurrentDescription();
    reason_ = ole::ReasonOf(ole::CurrentError());
}

bool StageStop::Report(const std::string& part, std::string& label, std::string& description) {
    if (!Stopped()) return false;
    StopBatchPart(part, reason_);
    label = label_;
    description = description_;
    return true;
}

}  // namespace ordexa
