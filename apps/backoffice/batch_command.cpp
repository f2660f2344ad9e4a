// `backoffice batch`: one run of the order-processing batch for an installation.
#include <unistd.h>

#include <iostream>
#include <map>

#include "batch_lock.h"
#include "batch_progress.h"
#include "commands.h"
#include "exchange/cc_order_process.h"
#include "lib_sales.h"
#include "log/log.h"
#include "use_installation.h"

namespace backoffice {
namespace {

// Collects what the stages report, shows export progress on a terminal and
// prints the summary at the end.
class Summary : public ordexa::BatchProgress {
public:
    explicit Summary(bool terminal) : terminal_(terminal) {}

    void ExportStarted(const std::string& bisid, int32_t orders) override { instances_[bisid].waiting = orders; }
    void OrdersExported(const std::string& bisid, int32_t done, int32_t total) override {
        instances_[bisid].exported = done;
        if (terminal_ && total >= 100) {
            std::cout << "\r  exporting BISID " << bisid << ": " << done << "/" << total << " orders" << std::flush;
            progressShown_ = true;
        }
    }
    void ConfirmationsApplied(const std::string& bisid, int32_t orders) override { instances_[bisid].confirmed += orders; }
    void OrdersClosed(int32_t orders) override { closed_ += orders; }
    void BatchStopped(const std::string& reason) override { stopped_ = Reason(reason); }

    void Print(std::ostream& out, const std::string& home) const {
        if (progressShown_) out << "\n";
        out << "Batch finished for the installation " << home << "\n";
        if (instances_.empty()) out << "  no instance exported or confirmed orders\n";
        for (const auto& [bisid, i] : instances_)
            out << "  BISID " << bisid << ": " << i.exported << " order(s) exported, " << i.confirmed
                << " confirmation(s) applied\n";
        out << "  orders closed: " << closed_ << "\n";
        if (!stopped_.empty()) out << "  the batch stopped early: " << stopped_ << "\n";
        out << "  log: " << qx::LogFilePath() << "\n";
    }

private:
    struct Instance {
        int32_t waiting = 0, exported = 0, confirmed = 0;
    };
    bool terminal_;
    bool progressShown_ = false;
    std::map<std::string, Instance> instances_;
    int32_t closed_ = 0;
    std::string stopped_;
};

}  // namespace

int RunBatch(const CommandLine& line) {
    int exitCode = 0;
    auto home = UseInstallation(line, exitCode);
    if (!home) return exitCode;
    std::string connectionString;
    try {
        connectionString = Sls_ConnectionString();
        auto probe = std::make_shared<ado::Connection>();
        probe->Open(connectionString);
        probe->Close();
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice batch: cannot start: " << Reason(e.Description()) << "\n";
        return 1;
    }
    std::string holder;
    std::unique_ptr<BatchLock> lock;
    try {
        lock = BatchLock::TryAcquire(*home, connectionString, holder);
    } catch (const std::exception& e) {
        std::cerr << "backoffice batch: cannot start: " << Reason(e.what()) << "\n";
        return 1;
    }
    if (!lock) {
        std::cerr << "backoffice batch: a batch is already running for this installation (" << holder << ")\n";
        return 3;
    }
    Summary summary(isatty(STDOUT_FILENO));
    ordexa::SetBatchProgress(&summary);
    auto process = ole::CreateObjectAs<ordexa::ICCOrderProcess>("Ordexa.CCOrderProcess");
    process->Run();
    ordexa::SetBatchProgress(nullptr);
    summary.Print(std::cout, *home);
    return 0;
}

}  // namespace backoffice
