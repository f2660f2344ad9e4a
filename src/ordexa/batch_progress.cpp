#include "batch_progress.h"

#include <set>

#include "lib_sales.h"

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
        ole::SlsErrorInfo e = ole::CurrentError();
        std::string why = e.Reason.empty() ? e.Description : e.Reason;
        return why.empty() ? "the database does not answer" : why;
    }
}

std::string DatabaseSilence() {
    std::string why;
    // a pooled connection whose server went away fails once; a new one tells whether it is back.
    // Opened here rather than through Sls_GetOpenConnection, which logs each failure.
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto c = std::make_shared<ado::Connection>();
        try {
            c->Open(Sls_ConnectionString());
            c->Execute("SELECT 1");
            c->Close();
            return "";
        } catch (...) {
            ole::SlsErrorInfo e = ole::CurrentError();
            why = e.Reason.empty() ? e.Description : e.Reason;
            try {
                if (c->State() != ado::adStateClosed) c->Close();
            } catch (...) {
                // a broken connection is not pooled again
            }
        }
    }
    return why.empty() ? "the database does not answer" : why;
}

}  // namespace ordexa
