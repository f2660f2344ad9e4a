// What a batch has done so far, for the host that runs it: the stages report
// here, and a host that wants a summary or progress on a terminal listens.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ado {
class Connection;
}

namespace ordexa {

class BatchProgress {
public:
    virtual ~BatchProgress() = default;
    // An instance's export has begun with this many orders waiting.
    virtual void ExportStarted(const std::string& bisid, int32_t orders) {}
    // Orders of an instance written to its export file and marked exported (cumulative within the run).
    virtual void OrdersExported(const std::string& bisid, int32_t done, int32_t total) {}
    // An order the export left out (it stays to be exported), and why: the
    // first error's reason (ole::ReasonOf), raw.
    virtual void OrderNotExported(const std::string& orderId, const std::string& reason) {}
    // Orders whose confirmation was applied (status moved on from 1).
    virtual void ConfirmationsApplied(const std::string& bisid, int32_t orders) {}
    // Confirmation entries refused (kept in the rejected file), and entries naming no order of the database.
    virtual void ConfirmationsNotApplied(const std::string& bisid, int32_t refused, int32_t unmatched) {}
    // Lines the back end confirmed as allocated, and lines it was asked about but did not allocate.
    virtual void LinesAllocated(int32_t allocated, int32_t notAllocated) {}
    // Lines whose billing the back end accepted (CCBilled -> BackendBilled).
    virtual void LinesBilled(int32_t lines) {}
    // Fully billed orders closed.
    virtual void OrdersClosed(int32_t orders) {}
    // The batch ended before its last stage. A reason is what went wrong first
    // (ole::ReasonOf), raw; the whole error is in the log.
    virtual void BatchStopped(const std::string& reason) {}
    // A part of the batch ("BISID 2", "allocation") stopped before its work was
    // done; told once per part and batch.
    virtual void PartStopped(const std::string& part, const std::string& reason) {}
};

// The listener of this thread's batch, or nullptr. Set by the host around a run.
BatchProgress* CurrentBatchProgress();
void SetBatchProgress(BatchProgress* progress);

// A part of this thread's batch could not finish: recorded, and the listener
// told, the first time in the batch; false when the part had stopped already,
// so that its reason is logged once however often it is met. The caller logs.
bool StopBatchPart(const std::string& part, const std::string& reason);
// Forgets the parts stopped: a new batch begins.
void ClearStoppedBatchParts();

// One short statement on the given connection: "" when it answers, else why
// not (the connection was lost: whatever the stage still does on it fails too).
std::string ConnectionSilence(const std::shared_ptr<ado::Connection>& connection);

// One short statement on a fresh connection (a second try after a connection
// the server dropped); "" when the database answers, else why not.
std::string DatabaseSilence();

}  // namespace ordexa
