// `backoffice batch`: one run of the order-processing batch for an installation.
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <sstream>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "batch/batch_lock.h"
#include "commands/commands.h"
#include "commands/use_installation.h"
#include "installation/setting_check.h"
#include "ordexa/batch_progress.h"
#include "ordexa/exchange/cc_order_process.h"
#include "platform/data/transaction.h"
#include "platform/automation/text.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace backoffice {
namespace {

// The batch ran, but an instance or a stage stopped before its work was done.
constexpr int kExitStageStopped = 4;

// Collects what the stages report, shows export progress on a terminal and
// prints the summary at the end.
class Summary : public ordexa::BatchProgress {
public:
    explicit Summary(bool terminal) : terminal_(terminal), lap_(std::chrono::steady_clock::now()) {}

    void ExportStarted(const std::string& bisid, int32_t orders) override { instances_[bisid].waiting = orders; }
    void OrdersExported(const std::string& bisid, int32_t done, int32_t total) override {
        instances_[bisid].exported = done;
        if (terminal_ && total >= 100) {
            std::cout << "\r  exporting BISID " << bisid << ": " << done << "/" << total << " orders" << std::flush;
            progressShown_ = true;
        }
    }
    void OrderNotExported(const std::string& orderId, const std::string& reason) override {
        // one line per reason, not per order: the order's id is left out of it
        std::string why = TerminalText(reason);
        for (size_t at; !orderId.empty() && (at = why.find(orderId)) != std::string::npos;)
            why.replace(at, orderId.size(), "<id>");
        ++notExported_[why];
    }
    void ConfirmationsApplied(const std::string& bisid, int32_t orders) override { instances_[bisid].confirmed += orders; }
    void ConfirmationsNotApplied(const std::string& bisid, int32_t refused, int32_t unmatched) override {
        instances_[bisid].refused += refused;
        instances_[bisid].unmatched += unmatched;
    }
    void LinesAllocated(int32_t allocated, int32_t notAllocated) override {
        CloseExports();
        allocationSeconds_ += Lap();
        allocated_ += allocated;
        notAllocated_ += notAllocated;
    }
    void LinesBilled(int32_t lines) override {
        CloseExports();
        billingSeconds_ += Lap();
        billed_ += lines;
    }
    void OrdersClosed(int32_t orders) override {
        CloseExports();
        closingSeconds_ += Lap();
        closed_ += orders;
    }
    void BatchStopped(const std::string& reason) override { stopped_ = TerminalText(reason); }
    void PartStopped(const std::string& part, const std::string& reason) override {
        partsStopped_.emplace_back(part, TerminalText(reason));
    }
    // The batch, or a part of it, ended before its work was done.
    bool Stopped() const { return !stopped_.empty() || !partsStopped_.empty(); }

    // The stages' counts and seconds for BATCHRUN.STAGES. A stage's seconds run
    // from the end of the stage before (the broker's acknowledgements count
    // with the allocation that follows them).
    std::string StagesJson() {
        CloseExports();
        int32_t exported = 0, confirmed = 0;
        for (const auto& [bisid, i] : instances_) {
            exported += i.exported;
            confirmed += i.confirmed;
        }
        auto stage = [](const char* name, nlohmann::ordered_json counts, double seconds) {
            return nlohmann::ordered_json{{"name", name}, {"counts", std::move(counts)}, {"seconds", seconds}};
        };
        nlohmann::ordered_json stages = nlohmann::ordered_json::array();
        stages.push_back(stage("export and confirmations",
                               {{"instances", instances_.size()}, {"exported", exported}, {"confirmed", confirmed}},
                               exportSeconds_));
        stages.push_back(stage("allocation", {{"allocated", allocated_}, {"notAllocated", notAllocated_}}, allocationSeconds_));
        stages.push_back(stage("line status", {{"billed", billed_}}, billingSeconds_));
        stages.push_back(stage("closing", {{"closed", closed_}}, closingSeconds_));
        return stages.dump();
    }

    // lostEntries: log entries that could not be written during the batch.
    void Print(std::ostream& out, const std::string& home, int64_t lostEntries) const {
        if (progressShown_) out << "\n";
        out << "Batch finished for the installation " << home << "\n";
        if (instances_.empty()) out << "  no instance exported or confirmed orders\n";
        for (const auto& [bisid, i] : instances_)
            out << "  BISID " << ole::EscapeControls(bisid) << ": " << i.exported << " order(s) exported, "
                << i.confirmed << " confirmation(s) applied\n";
        int32_t refused = 0, unmatched = 0;
        for (const auto& [bisid, i] : instances_) {
            refused += i.refused;
            unmatched += i.unmatched;
        }
        if (refused + unmatched > 0)
            out << "  confirmation entries refused: " << refused + unmatched << " (" << unmatched
                << " naming no order): see `backoffice exchanges --kind \"refused entry\"`\n";
        if (!notExported_.empty()) {
            int32_t skipped = 0;
            for (const auto& [why, n] : notExported_) skipped += n;
            out << "  orders the export skipped: " << skipped << " (they stay to be exported; the log names them)\n";
            for (const auto& [why, n] : notExported_) out << "    " << n << ": " << why << "\n";
        }
        out << "  lines allocated: " << allocated_ << " (not allocated: " << notAllocated_ << ")\n";
        out << "  lines reported billed: " << billed_ << "\n";
        out << "  orders closed: " << closed_ << "\n";
        for (const auto& [part, reason] : partsStopped_)
            out << "  stopped: " << ole::EscapeControls(part) << ": " << reason << "\n";
        if (!stopped_.empty()) out << "  the batch stopped early: " << stopped_ << "\n";
        if (lostEntries > 0)
            out << "  log: " << qx::LogFilePath() << " could not be written: " << lostEntries
                << " entries (failures among them) are lost\n";
        else
            out << "  log: " << qx::LogFilePath() << "\n";
    }

    // What each instance did: {BISID, COUNTNAME, count} for table BATCHTOTAL.
    std::vector<std::tuple<std::string, std::string, int32_t>> Counts() const {
        std::vector<std::tuple<std::string, std::string, int32_t>> counts;
        for (const auto& [bisid, i] : instances_)
            for (auto [name, n] : {std::pair{"exported", i.exported}, std::pair{"confirmed", i.confirmed},
                                   std::pair{"refused", i.refused}, std::pair{"unmatched", i.unmatched}})
                if (n > 0) counts.emplace_back(bisid, name, n);
        return counts;
    }

private:
    // Seconds since the last lap.
    double Lap() {
        auto now = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(now - lap_).count();
        lap_ = now;
        return seconds;
    }
    // The instances' exports and confirmations end where the first later stage reports.
    void CloseExports() {
        if (exportsClosed_) return;
        exportSeconds_ = Lap();
        exportsClosed_ = true;
    }

    struct Instance {
        int32_t waiting = 0, exported = 0, confirmed = 0, refused = 0, unmatched = 0;
    };
    bool terminal_;
    bool progressShown_ = false;
    std::map<std::string, Instance> instances_;
    std::map<std::string, int32_t> notExported_;  // orders the export left out, by reason
    int32_t allocated_ = 0, notAllocated_ = 0, billed_ = 0, closed_ = 0;
    std::string stopped_;
    std::vector<std::pair<std::string, std::string>> partsStopped_;  // in the order they stopped
    std::chrono::steady_clock::time_point lap_;
    bool exportsClosed_ = false;
    double exportSeconds_ = 0, allocationSeconds_ = 0, billingSeconds_ = 0, closingSeconds_ = 0;
};

// Who started a run: the schedule (the command line), or an operator at the console.
struct BatchTrigger {
    std::string operatorName;  // "" for the schedule
};

// The run's row in BATCHRUN, and what it did per instance added to BATCHTOTAL in
// the same transaction, for the operator page and the metrics; a run that
// cannot be recorded is logged and still counts as run.
void RecordBatchRun(const std::string& connectionString, const std::string& batchId, ole::Date started, int32_t durationMs, int outcome,
                    const std::string& summary, const BatchTrigger& trigger, Summary& counts) {
    try {
        auto c = ado::OpenConnection(connectionString);
        ado::Transaction tx(*c);
        bool byOperator = !trigger.operatorName.empty();
        c->Execute("INSERT INTO BATCHRUN (BATCHID, STARTED, FINISHED, DURATIONMS, OUTCOME, SUMMARY, RUNTRIGGER, "
                   "OPERATORNAME, STAGES) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   nullptr, -1,
                   {batchId, started, ole::Date::Now(), durationMs, static_cast<int16_t>(outcome), summary,
                    ole::Variant(byOperator ? "operator" : "schedule"),
                    byOperator ? ole::Variant(trigger.operatorName) : ole::Variant::Null(),
                    ole::Variant(counts.StagesJson())});
        // batches run one at a time (the batch lock): the row is not raced for
        for (const auto& [bisid, name, n] : counts.Counts()) {
            int32_t changed = 0;
            c->Execute("UPDATE BATCHTOTAL SET TOTAL = TOTAL + ? WHERE BISID = ? AND COUNTNAME = ?", &changed, -1,
                       {ole::Variant(static_cast<int64_t>(n)), bisid, name});
            if (changed == 0)
                c->Execute("INSERT INTO BATCHTOTAL (BISID, COUNTNAME, TOTAL) VALUES (?, ?, ?)", nullptr, -1,
                           {bisid, name, ole::Variant(static_cast<int64_t>(n))});
        }
        tx.Commit();
        c->Close();
    } catch (...) {
        Sls_LogWarning("backoffice batch", "the run could not be recorded in BATCHRUN");
    }
}

}  // namespace

int RunBatch(const std::optional<std::string>& given, const BatchTrigger& trigger) {
    int exitCode = 0;
    auto home = UseInstallation("batch", given, exitCode);
    if (!home) return exitCode;
    // a batch reports its failures only in the log: without one it does not start
    try {
        qx::CheckLogWritable();
    } catch (const std::system_error& e) {
        std::cerr << "backoffice batch: cannot start: " << ole::EscapeControls(e.what()) << "\n";
        return 1;
    }
    // a setting the stages cannot use stops the stages that read it: the summary names it
    std::vector<std::string> settingFindings;
    try {
        settingFindings = SettingFindings(*home);
    } catch (const std::exception& e) {
        std::cerr << "backoffice batch: cannot start: " << Reason(e) << "\n";
        return 1;
    }
    std::string connectionString;
    try {
        connectionString = Sls_ConnectionString();
        ado::OpenConnection(connectionString)->Close();
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice batch: cannot start: " << Reason(e) << "\n";
        return 1;
    }
    std::string holder;
    std::unique_ptr<BatchLock> lock;
    try {
        lock = BatchLock::TryAcquire(*home, connectionString, holder);
    } catch (const std::exception& e) {
        std::cerr << "backoffice batch: cannot start: " << Reason(e) << "\n";
        return 1;
    }
    if (!lock) {
        std::cerr << "backoffice batch: a batch is already running for this installation ("
                  << ole::EscapeControls(holder) << ")\n";
        return 3;
    }
    // the orders' timelines name the run by the id of its BATCHRUN row
    const std::string batchId = Sls_CreateGUID();
    OrderEventRun eventRun("batch " + batchId);
    qx::LogContext logged(qx::LogField::Batch, batchId);
    Summary summary(isatty(STDOUT_FILENO));
    for (const auto& finding : settingFindings) summary.PartStopped("setting", finding);
    ordexa::SetBatchProgress(&summary);
    ole::Date started = ole::Date::Now();
    auto clock = std::chrono::steady_clock::now();
    int outcome = 2;  // failed, unless the run comes back
    int64_t lostBefore = qx::LostLogEntries(), lost = 0;
    std::ostringstream text;
    try {
        auto process = ole::CreateObjectAs<ordexa::ICCOrderProcess>("Ordexa.CCOrderProcess");
        process->Run();
        ordexa::SetBatchProgress(nullptr);
        lost = qx::LostLogEntries() - lostBefore;
        // a batch whose failures could not all be logged did not succeed
        outcome = summary.Stopped() || lost > 0 ? 1 : 0;
        summary.Print(text, *home, lost);
        std::cout << text.str();
    } catch (const std::exception& e) {
        ordexa::SetBatchProgress(nullptr);
        text << "The batch failed: " << Reason(e) << "\n";
        std::cerr << "backoffice batch: " << ole::EscapeControls(text.str());
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - clock).count();
    RecordBatchRun(connectionString, batchId, started, static_cast<int32_t>(ms), outcome, text.str(), trigger, summary);
    if (outcome == 2 || lost > 0) return 1;
    return summary.Stopped() ? kExitStageStopped : 0;
}

void AddBatchCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("batch", "run one batch: export, confirmations, later stages, closing paid orders");
    command->footer(
        "For every back-end instance of the export registry: the semaphore handshake, the export of new\n"
        "orders and the import of confirmations; then the later stages and the closing of fully billed\n"
        "orders. Prints a summary. Exits 0 when the batch ran (failures of single orders are in the log),\n"
        "4 when it ran but an instance or a stage stopped before its work was done (the summary says which\n"
        "and why), 1 when it could not start or its log could not be written, 2 for a wrong command line,\n"
        "3 when another batch or payment run of the installation holds the lock.");
    auto home = std::make_shared<std::optional<std::string>>();
    AddHomeOption(*command, *home);
    auto trigger = std::make_shared<BatchTrigger>();
    // the console's "Run batch now" names its operator in the run's BATCHRUN row
    command->add_option("--operator", trigger->operatorName, "the operator who started the run at the console")
        ->group("");
    command->callback([home, trigger, &selected] { selected = [home, trigger] { return RunBatch(*home, *trigger); }; });
}

}  // namespace backoffice
