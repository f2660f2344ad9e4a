// The line status stage (the billing step reported to the back end) against
// the ERP simulator's business objects over HTTP on loopback, "ow" path: one
// UpdateOrderStatus call per captured line, on record before it leaves.
//
//   LineStatus/delayed  the stage against a back end that answers after 50 ms,
//                       1,000 orders of 2 captured lines: its time against
//                       calls x 50 ms / OutsideCallsAtOnce (8), the counter
//                       "of_ideal"; every line must end reported, every call
//                       completed as billed, every line with its event;
//                       "call_ms" is a call's mean time as the stage saw it
//                       and "outside_s" the stage's time beyond its calls
//                       side by side (wall - calls x call_ms / 8): what the
//                       stage itself adds, apart from a loaded machine's
//                       slower calls
//
// The same runs on PostgreSQL ("LineStatus@pg/delayed").
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench_support.h"
#include "ordexa/exchange/batch_stage.h"
#include "platform/backend/business_objects.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"

namespace {

constexpr int kOrders = 1000;
constexpr int kLinesPerOrder = 2;
constexpr int kCalls = kOrders * kLinesPerOrder;
constexpr int kDelayMs = 50;
constexpr int kAtOnce = 8;  // OutsideCallsAtOnce's default

using bench_support::Database;

// An installation with kOrders card orders of BIS 1 waiting for fulfilment,
// their lines captured (each with the event of its capture), and the delayed
// simulator's book of them.
struct Setup {
    bench_support::BenchInstallation inst;
    std::unique_ptr<bench_support::SimulatorProcess> erp;
    explicit Setup(Database db) : inst(db) {
        qx::WriteConfigurationFile((inst.Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                                   inst.ConnectionString(),
                                   {{"DIRECTPAYMENT_PARAMETERS", "BackendSalesOrderType BillingStepNumber", "Long", "7"}});
        Sls_ResetThreadState();
        bench_support::WriteSalesOrderBook(inst.Home(), kOrders, kLinesPerOrder);
        erp = bench_support::StartErpBusinessObjects(ERP_SIMULATOR_BINARY, inst.Home(), kDelayMs);
        auto c = Sls_GetOpenConnection(inst.ConnectionString());
        ado::Transaction tx(*c);
        bench_support::StoreBoiInstance(*c, bench_support::BoiUrl(*erp));
        for (int i = 0; i < kOrders; ++i) {
            std::string id = Sls_CreateGUID();
            c->Execute("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, ORDERSTATUS, WEBPAYMENTMETHOD, BISID, SALESORDERNR) "
                       "VALUES (?, 'EUR', 4, 2, 1, ?)",
                       nullptr, -1, {id, bench_support::SalesOrder(i)});
            for (int l = 1; l <= kLinesPerOrder; ++l) {
                c->Execute("INSERT INTO ORDERLINE (ORDERID, LINENR, AMOUNT, LINESTATUS) VALUES (?, ?, 10, 2)", nullptr, -1,
                           {id, l});
                c->Execute("INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, LINENR, STATUSAFTER, WHAT, ACTOR) "
                           "VALUES (?, ?, ?, ?, 2, 'captured', 'bench')",
                           nullptr, -1, {id, l, ole::Date::Now(), l});
            }
        }
        tx.Commit();
        c->Close();
    }
};

// The rows the stage leaves: lines reported, calls completed as billed, events of the report.
std::string RowsLeft(const std::string& connectionString) {
    auto rs = Sls_GetDisconnectedRecordset(
        "SELECT (SELECT COUNT(*) FROM ORDERLINE WHERE LINESTATUS = 3), "
        "(SELECT COUNT(*) FROM EXCHANGE e JOIN EXCHANGEORDER o ON o.EXCHANGEID = e.EXCHANGEID WHERE e.KIND = "
        "'business object call' AND e.OUTCOME = 'billed' AND e.DETAIL = 'UpdateOrderStatus' AND e.DURATIONMS IS NOT "
        "NULL), "
        "(SELECT COUNT(*) FROM ORDEREVENT WHERE STATUSBEFORE = 2 AND STATUSAFTER = 3 AND WHAT = 'billing reported')",
        connectionString);
    return rs->Fields(0).Value().Text() + " lines, " + rs->Fields(1).Value().Text() + " calls, " +
           rs->Fields(2).Value().Text() + " events";
}

// The stage against a back end that answers after kDelayMs: calls side by side.
template <Database kDb>
void LineStatus_delayed(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    const std::string expected = std::to_string(kCalls) + " lines, " + std::to_string(kCalls) + " calls, " +
                                 std::to_string(kCalls) + " events";
    double wall = 0, waited = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup(kDb);
        auto waitedBefore = qx::BoiWaitTime();
        state.ResumeTiming();
        auto started = std::chrono::steady_clock::now();
        Sls_GetComponent<ordexa::IBatchStage>("Ordexa.CCOrderStatus")->Run();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.PauseTiming();
        waited += std::chrono::duration<double>(qx::BoiWaitTime() - waitedBefore).count();
        std::string rowsLeft = RowsLeft(setup.inst.ConnectionString());
        if (rowsLeft != expected) {
            state.SkipWithError(("the stage left " + rowsLeft).c_str());
            break;  // the timer may not run again after an error
        }
        state.ResumeTiming();
    }
    double ideal = kCalls * (kDelayMs / 1000.0) / kAtOnce;
    double runs = static_cast<double>(state.iterations());
    state.counters["of_ideal"] = wall / runs / ideal;
    state.counters["call_ms"] = waited / runs / kCalls * 1000;
    state.counters["outside_s"] = (wall - waited / kAtOnce) / runs;
}

}  // namespace

BENCHMARK(LineStatus_delayed<Database::SQLite>)
    ->Name("LineStatus/delayed")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(LineStatus_delayed<Database::PostgreSQL>)
    ->Name("LineStatus@pg/delayed")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
