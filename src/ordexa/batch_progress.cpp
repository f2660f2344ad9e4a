#include "batch_progress.h"

namespace ordexa {

namespace {
thread_local BatchProgress* tProgress = nullptr;
}

BatchProgress* CurrentBatchProgress() { return tProgress; }
void SetBatchProgress(BatchProgress* progress) { tProgress = progress; }

}  // namespace ordexa
