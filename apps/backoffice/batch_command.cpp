// `backoffice batch`: one run of the order-processing batch for an installation.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>

#include "batch_lock.h"
#include "batch_progress.h"
#include "commands.h"
#include "exchange/cc_order_process.h"
#include "lib_sales.h"
#include "log/log.h"

namespace backoffice {
namespace {

namespace fs = std::filesystem;

// The first description of an error: what went wrong, without the frames of
// the methods it passed through.
std::string Reason(const std::string& description) {
    size_t at = description.rfind(" DESC: ");
    if (at == std::string::npos) return description;
    auto part = [&](size_t from, size_t skip) {
        size_t end = description.find("\r\n", from);
        std::string text = description.substr(from + skip, end == std::string::npos ? std::string::npos : end - from - skip);
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    };
    std::string text = part(at, 7);
    size_t info = description.find("\r\n INFO: ", at);
    if (info != std::string::npos && description.find(" METHOD: ", at) > info) text += " (" + part(info + 2, 7) + ")";
    return text;
}

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
    std::string folder = HomeFolder(line);
    if (folder.empty()) {
        std::cerr << "backoffice batch: no installation given: use --home DIR or set VENDALO_HOME\n";
        return 2;
    }
    std::string home = fs::absolute(folder).lexically_normal().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (!fs::exists(fs::path(home) / "config" / "VendaloConfiguration.xml")) {
        std::cerr << "backoffice batch: " << home
                  << " is no installation (config/VendaloConfiguration.xml is missing); make one with `backoffice init`\n";
        return 1;
    }
    setenv("VENDALO_HOME", home.c_str(), 1);
    Sls_ResetThreadState();
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
        lock = BatchLock::TryAcquire(home, connectionString, holder);
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
    summary.Print(std::cout, home);
    return 0;
}

}  // namespace backoffice
