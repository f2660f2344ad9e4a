#include "ordexa/backend/boi_calls.h"

#include <algorithm>

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

namespace {

// Writes the rows of `sent` as "sent" and of `queued` as "queued" and commits
// them, in one round trip.
void RecordBoiCalls(const ado::ConnectionPtr& connection, const std::vector<const BoiCall*>& sent,
                    const std::vector<const BoiCall*>& queued) {
    if (sent.empty() && queued.empty()) return;
    std::vector<ExchangeRecord> records;
    records.reserve(sent.size() + queued.size());
    for (const auto* calls : {&sent, &queued})
        for (const BoiCall* call : *calls) {
            ExchangeRecord r;
            r.id = call->ExchangeId();
            r.kind = exchange_kind::kBusinessObjectCall;
            r.outcome = calls == &sent ? boi_outcome::kSent : boi_outcome::kQueued;
            r.bisid = call->bisid;
            r.orderIds = {call->orderId};
            r.reference = std::to_string(call->lineNr);
            r.detail = call->object;
            records.push_back(std::move(r));
        }
    ado::Transaction tx(*connection);
    connection->ExecuteBatch(ExchangeStatements(records));
    tx.Commit();  // on record before the first call leaves
}

// The statement that marks queued calls "sent": it must commit before they leave.
ado::BatchStatement MarkBoiCallsSent(const std::vector<BoiCall>& calls) {
    std::string sql = "UPDATE EXCHANGE SET OUTCOME = ? WHERE OUTCOME = ? AND EXCHANGEID IN (";
    std::vector<Variant> params{Variant(boi_outcome::kSent), Variant(boi_outcome::kQueued)};
    for (size_t i = 0; i < calls.size(); ++i) {
        sql += i == 0 ? "?" : ", ?";
        params.emplace_back(calls[i].ExchangeId());
    }
    return {sql + ")", std::move(params)};
}

}  // namespace

size_t BoiCallPageSize(size_t orders, int atOnce) {
    size_t threads = static_cast<size_t>(std::max(atOnce, 1));
    return std::clamp<size_t>((orders + threads - 1) / threads, 1, kBoiOrdersPerPage);
}

void RecordBoiCallPage(const ado::ConnectionPtr& connection, const std::vector<PagedBoiCalls*>& page) {
    PagedBoiCalls* first = nullptr;  // the first order with calls is asked first: its calls are "sent" at once
    std::vector<const BoiCall*> sent, queued;
    for (PagedBoiCalls* order : page) {
        if (!first && !order->calls.empty()) first = order;
        for (const BoiCall& call : order->calls) (order == first ? sent : queued).push_back(&call);
    }
    RecordBoiCalls(connection, sent, queued);
    if (first) first->marked = true;
}

void AskBoiCallPage(const std::vector<PagedBoiCalls*>& page, const StageStop& stop,
                    const std::function<void(size_t k, PagedBoiCalls* next)>& ask) {
    for (size_t k = 0; k < page.size(); ++k) {
        if (stop.Stopped() && !page[k]->marked) break;
        ask(k, k + 1 < page.size() && !stop.Stopped() ? page[k + 1] : nullptr);
    }
}

void MarkBoiCallsSentNow(const ado::ConnectionPtr& connection, PagedBoiCalls& order) {
    if (order.calls.empty() || order.marked) return;
    ado::Transaction tx(*connection);
    connection->ExecuteBatch({MarkBoiCallsSent(order.calls)});
    tx.Commit();
    order.marked = true;
}

bool AddMarkOfNext(std::vector<ado::BatchStatement>& statements, const PagedBoiCalls* next) {
    if (!next || next->calls.empty() || next->marked) return false;
    statements.push_back(MarkBoiCallsSent(next->calls));
    return true;
}

namespace {

int32_t CloseBoiCalls(const ado::ConnectionPtr& connection, const char* from, const char* to) {
    int32_t closed = 0;
    connection->Execute("UPDATE EXCHANGE SET OUTCOME = ? WHERE KIND = ? AND OUTCOME = ?", &closed, -1,
                        {Variant(to), Variant(exchange_kind::kBusinessObjectCall), Variant(from)});
    return std::max(closed, 0);
}

}  // namespace

int32_t CloseAbandonedBoiCalls(const ado::ConnectionPtr& connection) {
    return CloseBoiCalls(connection, boi_outcome::kSent, boi_outcome::kOutcomeUnknown) +
           CloseQueuedBoiCalls(connection);
}

int32_t CloseQueuedBoiCalls(const ado::ConnectionPtr& connection) {
    return CloseBoiCalls(connection, boi_outcome::kQueued, boi_outcome::kNotSent);
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
