// The allocation stage over 10,000 lines (1,000 card orders of 10 lines, young
// authorisations) against the ERP simulator's business objects over HTTP on
// loopback, "ow" path: one Allocate call and one guarded update per line.
//
//   Allocation/bare   the bare database doing the stage's statements: the row
//                     set, one authorisation query per order and one update per
//                     line, an order's updates in one transaction, prepared once
//                     (no back end)
//   Allocation/boi    the 10,000 business-object calls alone, through the same
//                     HTTP client (what the back end costs)
//   Allocation/stage  Ordexa.CCAllocation as the batch runs it
//
// The counters give lines per second and the share of the stage's wall time
// spent waiting for the business objects. The stage and the bare statements
// also run on PostgreSQL ("Allocation@pg/..."); the business-object calls touch
// no database, so they are measured once.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "bench_support.h"
#include "ordexa/exchange/batch_stage.h"
#include "platform/backend/business_objects.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr int kOrders = 1000;
constexpr int kLinesPerOrder = 10;
constexpr int kLines = kOrders * kLinesPerOrder;

// `erp-simulator boi` on a folder whose book names the sales orders.
class Erp {
public:
    explicit Erp(const fs::path& dir) {
        std::vector<std::string> args = {ERP_SIMULATOR_BINARY, "boi", "--archive", dir.string(), "--port-file",
                                         (dir / "port").string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) abort();
        for (int i = 0; i < 200 && !fs::exists(dir / "port"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::ifstream in(dir / "port");
        in >> port_;
    }
    ~Erp() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/boi"; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

std::string SalesOrder(int i) { return "SO" + std::to_string(1000000 + i); }

using bench_support::Database;

// An installation with kOrders confirmed card orders of BIS 1 and the simulator's book of them.
struct Setup {
    bench_support::BenchInstallation inst;
    std::unique_ptr<Erp> erp;
    explicit Setup(Database db = Database::SQLite) : inst(db) {
        qx::WriteConfigurationFile((inst.Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                                   inst.ConnectionString(),
                                   {{"DIRECTPAYMENT_PARAMETERS", "Reallocation", "Long", "24"},
                                    {"DIRECTPAYMENT_PARAMETERS", "Authorization Hard Expiration", "Long", "168"}});
        Sls_ResetThreadState();
        std::ofstream book(inst.Home() / "sales-orders");
        for (int i = 0; i < kOrders; ++i) {
            book << SalesOrder(i) << " " << i;
            for (int l = 1; l <= kLinesPerOrder; ++l) book << " " << l;
            book << "\n";
        }
        book.close();
        erp = std::make_unique<Erp>(inst.Home());
        auto c = Sls_GetOpenConnection(inst.ConnectionString());
        ado::Transaction tx(*c);
        c->Execute("INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (1, 'ow4')");
        c->Execute("INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'componentid', 'OW4'), (1, 'boiurl', ?)",
                   nullptr, -1, {erp->Url()});
        c->Execute("INSERT INTO ORDEREXPORTFILE (BISID, EXPORTMESSAGETYPE) VALUES (1, '0')");
        for (int i = 0; i < kOrders; ++i) {
            std::string id = Sls_CreateGUID();
            c->Execute("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, ORDERSTATUS, WEBPAYMENTMETHOD, BISID, SALESORDERNR) "
                       "VALUES (?, 'EUR', 4, 2, 1, ?)",
                       nullptr, -1, {id, SalesOrder(i)});
            c->Execute("INSERT INTO AUTHORIZATIONLOG (MERCHANT_REF_NUMBER, AUTH_RCODE, REQUEST_DATETIME, LOGSEQ) "
                       "VALUES (?, 1, ?, ?)",
                       nullptr, -1, {id, ole::Date::Now(), i + 1});
            for (int l = 1; l <= kLinesPerOrder; ++l)
                c->Execute("INSERT INTO ORDERLINE (ORDERID, LINENR, AMOUNT, LINESTATUS) VALUES (?, ?, 10, 0)", nullptr, -1,
                           {id, l});
        }
        tx.Commit();
        c->Close();
    }
};

void Allocation_bare(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup;
        bench_support::BareSQLite db(setup.inst.DatabaseFile());
        state.ResumeTiming();
        auto* rows = db.Statement(
            "SELECT b.ALLOCATIONDATE, b.ORDERID, b.LINENR, a.SALESORDERNR, a.BISID "
            "FROM ORDERHEADER a JOIN ORDERLINE b ON a.ORDERID = b.ORDERID "
            "WHERE a.SALESORDERNR IS NOT NULL AND b.LINESTATUS = 0 AND a.ORDERSTATUS = 4 ORDER BY b.ORDERID, b.LINENR");
        std::vector<std::pair<std::string, int>> lines;
        while (sqlite3_step(rows) == SQLITE_ROW)
            lines.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(rows, 1)), sqlite3_column_int(rows, 2));
        sqlite3_reset(rows);
        std::string order;
        for (const auto& [id, nr] : lines) {
            if (id != order) {
                if (!order.empty()) db.Exec("COMMIT");
                order = id;
                auto* auth = db.Statement("SELECT MAX(REQUEST_DATETIME) FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1");
                sqlite3_bind_text(auth, 1, id.c_str(), -1, SQLITE_TRANSIENT);
                db.ReadAll(auth);
                db.Exec("BEGIN");
            }
            auto* update = db.Statement(
                "UPDATE ORDERLINE SET LINESTATUS = 1, ALLOCATIONDATE = ? WHERE ORDERID = ? AND LINENR = ? AND LINESTATUS = 0");
            sqlite3_bind_text(update, 1, "2026-01-01 00:00:00", -1, SQLITE_STATIC);
            sqlite3_bind_text(update, 2, id.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(update, 3, nr);
            db.Run(update);
        }
        db.Exec("COMMIT");
        if (static_cast<int>(lines.size()) != kLines) state.SkipWithError("the lines were not all read");
    }
    state.counters["lines_per_s"] = benchmark::Counter(kLines * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Allocation_boi(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup;
        qx::BoiEndpoint endpoint;
        endpoint.url = setup.erp->Url();
        state.ResumeTiming();
        for (int i = 0; i < kLines; ++i)
            qx::PostBoiRequest(endpoint, qx::BoiRequestDocument("Allocate", "ow4", "OW4",
                                                                {{"SalesOrder", SalesOrder(i / kLinesPerOrder)},
                                                                 {"PositionNumber", i % kLinesPerOrder + 1}}));
    }
    state.counters["calls_per_s"] = benchmark::Counter(kLines * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The same statements through a bare libpq client: prepared, one round trip each.
void Allocation_barePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup(Database::PostgreSQL);
        bench_support::BarePostgres db(setup.inst);
        state.ResumeTiming();
        auto rows = db.Query(
            "SELECT b.ALLOCATIONDATE, b.ORDERID, b.LINENR, a.SALESORDERNR, a.BISID "
            "FROM ORDERHEADER a JOIN ORDERLINE b ON a.ORDERID = b.ORDERID "
            "WHERE a.SALESORDERNR IS NOT NULL AND b.LINESTATUS = 0 AND a.ORDERSTATUS = 4 ORDER BY b.ORDERID, b.LINENR",
            {});
        std::vector<std::pair<std::string, std::string>> lines;
        for (int r = 0; r < PQntuples(rows.get()); ++r)
            lines.emplace_back(PQgetvalue(rows.get(), r, 1), PQgetvalue(rows.get(), r, 2));
        std::string order;
        for (const auto& [id, nr] : lines) {
            if (id != order) {
                if (!order.empty()) db.Exec("COMMIT");
                order = id;
                db.Run("SELECT MAX(REQUEST_DATETIME) FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = $1 AND AUTH_RCODE = 1",
                       {id.c_str()});
                db.Exec("BEGIN");
            }
            db.Run("UPDATE ORDERLINE SET LINESTATUS = 1, ALLOCATIONDATE = $1 WHERE ORDERID = $2 AND LINENR = $3 AND "
                   "LINESTATUS = 0",
                   {"2026-01-01 00:00:00", id.c_str(), nr.c_str()});
        }
        db.Exec("COMMIT");
        if (static_cast<int>(lines.size()) != kLines) state.SkipWithError("the lines were not all read");
    }
    state.counters["lines_per_s"] = benchmark::Counter(kLines * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

template <Database kDb>
void Allocation_stage(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    double wall = 0, waited = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup(kDb);
        auto waitedBefore = qx::BoiWaitTime();
        state.ResumeTiming();
        auto started = std::chrono::steady_clock::now();
        Sls_GetComponent<ordexa::IBatchStage>("Ordexa.CCAllocation")->Run();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.PauseTiming();
        waited += std::chrono::duration<double>(qx::BoiWaitTime() - waitedBefore).count();
        auto allocated = Sls_GetDisconnectedRecordset("SELECT COUNT(*) FROM ORDERLINE WHERE LINESTATUS = 1",
                                                      setup.inst.ConnectionString());
        if (allocated->Fields(0).Value().ToLong() != kLines) state.SkipWithError("not every line was allocated");
        state.ResumeTiming();
    }
    state.counters["lines_per_s"] = benchmark::Counter(kLines * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["boi_share"] = wall > 0 ? waited / wall : 0;
}

}  // namespace

BENCHMARK(Allocation_bare)->Name("Allocation/bare")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Allocation_boi)->Name("Allocation/boi")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Allocation_stage<Database::SQLite>)->Name("Allocation/stage")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Allocation_barePostgres)->Name("Allocation@pg/bare")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Allocation_stage<Database::PostgreSQL>)
    ->Name("Allocation@pg/stage")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
