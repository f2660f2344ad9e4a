// Business-object calls on record, and the frame the stages that make them
// share (the allocation check and the line status run).
//
// Every call changes state in the back end, so it is an EXCHANGE row of kind
// "business object call" (the object in DETAIL, the instance in BISID, the
// order in EXCHANGEORDER, the line in REFERENCE) written and committed with
// OUTCOME "sent" before it leaves, and completed with its outcome and
// DURATIONMS in the transaction that sets the statuses of its answer. A call
// that got no answer is completed as "outcome unknown"; a row still "sent"
// when a stage begins was left by a run that ended in the middle (a crash, a
// lost database) and is closed as "outcome unknown" too. Calls recorded
// together and not made because an earlier call of their order failed are
// completed as "not sent".
//
// Calls may also go on record ahead, "queued": a page of orders is recorded in
// one transaction, and each order's calls are marked "sent" in a transaction
// that commits before they leave (the one that writes the answers of the order
// before it). A "queued" row is therefore a call that never left: one the run
// leaves behind (it stopped, or a crash ended it) is closed as "not sent".
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/data/ado.h"

namespace ordexa {

namespace boi_outcome {
inline constexpr const char* kSent = "sent";
inline constexpr const char* kOutcomeUnknown = "outcome unknown";
inline constexpr const char* kNotSent = "not sent";
inline constexpr const char* kQueued = "queued";  // on record ahead, not yet marked to leave
}  // namespace boi_outcome

class BoiCall {
public:
    BoiCall(int32_t bisid, std::string object, std::string orderId, int32_t lineNr);

    const std::string& ExchangeId() const { return exchangeId_; }
    // Marks the moment the call leaves (its duration runs from here).
    void Started() { started_ = std::chrono::steady_clock::now(); }
    bool Sent() const { return started_ != std::chrono::steady_clock::time_point{}; }
    // The statement that completes the row, for the batch of the statuses the
    // answer sets; detail is added to the object's name ("Allocate: ...").
    ado::BatchStatement Completion(const std::string& outcome, const std::string& detail = "") const;

    int32_t bisid;
    std::string object, orderId;
    int32_t lineNr;

private:
    std::string exchangeId_;
    std::chrono::steady_clock::time_point started_{};
};

class StageStop;

// The calls of one order of a page, asked one after the other; `marked` once
// they read "sent" on record (committed).
struct PagedBoiCalls {
    std::vector<BoiCall> calls;
    bool marked = false;
};

// The orders of a run go in pages of consecutive orders, one page a job: at
// most kBoiOrdersPerPage, and small enough that every thread gets a page.
inline constexpr size_t kBoiOrdersPerPage = 32;
size_t BoiCallPageSize(size_t orders, int atOnce);

// Writes the calls of a page of orders and commits them, in one transaction:
// the first order's with calls "sent" (and marked), the others' "queued". When
// it raises, no call is on record and none may leave. The connection must not
// be inside a transaction.
void RecordBoiCallPage(const ado::ConnectionPtr& connection, const std::vector<PagedBoiCalls*>& page);

// Asks a page's orders in turn: ask(k, next) for the k-th, where `next` is the
// order whose calls the transaction of its answers marks "sent" (nullptr for
// the last, or once the run stopped). A stopped run asks no more orders, but
// one whose calls read "sent" is asked all the same.
void AskBoiCallPage(const std::vector<PagedBoiCalls*>& page, const StageStop& stop,
                    const std::function<void(size_t k, PagedBoiCalls* next)>& ask);

// Before an order's calls leave: commits their mark "sent" when the order
// before it did not (it wrote nothing).
void MarkBoiCallsSentNow(const ado::ConnectionPtr& connection, PagedBoiCalls& order);

// Adds to the statements of an order's answers the one that marks the next
// order's calls "sent"; true when it did (the caller sets next->marked once
// they committed).
bool AddMarkOfNext(std::vector<ado::BatchStatement>& statements, const PagedBoiCalls* next);

// Closes the rows a stage left "sent" as "outcome unknown" and those it left
// "queued" as "not sent"; how many. Only one batch runs at a time, so such a
// row at a stage's start is no call in flight.
int32_t CloseAbandonedBoiCalls(const ado::ConnectionPtr& connection);

// Closes the rows left "queued" as "not sent", at the end of a run whose jobs
// have all returned; how many.
int32_t CloseQueuedBoiCalls(const ado::ConnectionPtr& connection);

// What the jobs of one run of a stage share: a connection that was lost ends
// the run; the first such failure is kept for the stage to report (once, from
// its own thread, where its batch's progress lives).
class StageStop {
public:
    bool Stopped() const { return stopped_.load(); }
    // Keeps the failure being handled when it is the first; stops the run.
    void Stop(const std::string& label);
    // After the jobs, on the stage's thread: reports the part stopped and
    // gives the failure's label and description for the stage to log; false
    // when nothing stopped.
    bool Report(const std::string& part, std::string& label, std::string& description);

private:
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::string label_, description_, reason_;
};

}  // namespace ordexa
