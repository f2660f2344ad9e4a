#include "ordexa/batch_progress.h"

#include <set>

#include "shared/lib_sales.h"

namespace ordexa {

namespace {
thread_local BatchProgress* tProgress = nullptr;
thread_local std::set<std::string> tStopped;
}  // namespace

BatchProgress* CurrentBatchProgress() { return tProgress; }
void SetBatchProgress(BatchProgress* progress) { tProgress = progress; }

bool StopBatchPart(const std::string& part, const std::string& reason) {
    if (!tStopped.insert(part).second) return false;
    if (tProgress) tProgress->PartStopped(part, reason);
    return true;
}

void ClearStoppedBatchParts() { tStopped.clear(); }

std::string ConnectionSilence(const std::shared_ptr<ado::Connection>& connection) {
    try {
        if (!connection) return "no connection";
        connection->Execute("SELECT 1");
        return "";
    } catch (...) {
        std::string why = ole::ReasonOf(ole::CurrentError());
        return why.empty() ? "the database does not answer" : why;
    }
}

std::string DatabaseSilence() {
    std::string why;
    // a pooled connection whose server went away fails once; a new one tells whether it is back.
    // Opened here rather than through Sls_GetOpenConnection, which logs each failure.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            ado::OpenConnection(Sls_ConnectionString())->Execute("SELECT 1");
            return "";
        } catch (...) {
            why = ole::ReasonOf(ole::CurrentError());  // a broken connection is not pooled again
        }
    }
    return why.empty() ? "the database does not answer" : why;
}

}  // namespace ordexa
