// The allocation stage over 10,000 lines (1,000 card orders of 10 lines, young
// authorisations) against the ERP simulator's business objects over HTTP on
// loopback, "ow" path: one Allocate call per line, on record before it leaves.
//
//   Allocation/bare   the bare database doing the stage's statements: the row
//                     set, one authorisation query per order; per order one
//                     transaction recording its calls as sent (EXCHANGE and
//                     EXCHANGEORDER), and one with each line's guarded update,
//                     its call's completion and its event, prepared once (no
//                     back end); it must leave the rows the stage leaves
//   Allocation/delayed  the stage against a back end that answers after 50 ms,
//                     1,000 orders of 2 lines: its time against calls x 50 ms /
//                     OutsideCallsAtOnce (8), the counter "of_ideal"
//   Allocation/boi    the 10,000 business-object calls alone, through the same
//                     HTTP client (what the back end costs)
//   Allocation/stage  Ordexa.CCAllocation as the batch runs it
//
// The counters give lines per second and the share of the stage's wall time
// spent waiting for the business objects. The stage and the bare statements
// also run on PostgreSQL ("Allocation@pg/..."); the business-object calls touch
// no database, so they are measured once.
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

namespace fs = std::filesystem;
constexpr int kOrders = 1000;
constexpr int kLinesPerOrder = 10;
constexpr int kLines = kOrders * kLinesPerOrder;
constexpr int kDelayedLinesPerOrder = 2;
constexpr int kDelayMs = 50;
constexpr int kAtOnce = 8;  // OutsideCallsAtOnce's default

// `erp-simulator boi` on a folder whose book names the sales orders.
class Erp {
public:
    explicit Erp(const fs::path& dir, int delayMs = 0)
        : process_(bench_support::StartErpBusinessObjects(ERP_SIMULATOR_BINARY, dir, delayMs)) {}
    std::string Url() const { return bench_support::BoiUrl(*process_); }

private:
    std::unique_ptr<bench_support::SimulatorProcess> process_;
};

using bench_support::Database;

// An installation with kOrders confirmed card orders of BIS 1 (their lines with
// the event of their submission) and the simulator's book of them.
struct Setup {
    bench_support::BenchInstallation inst;
    std::unique_ptr<Erp> erp;
    explicit Setup(Database db = Database::SQLite, int linesPerOrder = kLinesPerOrder, int delayMs = 0) : inst(db) {
        qx::WriteConfigurationFile((inst.Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                                   inst.ConnectionString(),
                                   {{"DIRECTPAYMENT_PARAMETERS", "Reallocation", "Long", "24"},
                                    {"DIRECTPAYMENT_PARAMETERS", "Authorization Hard Expiration", "Long", "168"}});
        Sls_ResetThreadState();
        bench_support::WriteSalesOrderBook(inst.Home(), kOrders, linesPerOrder);
        erp = std::make_unique<Erp>(inst.Home(), delayMs);
        auto c = Sls_GetOpenConnection(inst.ConnectionString());
        ado::Transaction tx(*c);
        bench_support::StoreBoiInstance(*c, erp->Url());
        c->Execute("INSERT INTO ORDEREXPORTFILE (BISID, EXPORTMESSAGETYPE) VALUES (1, '0')");
        for (int i = 0; i < kOrders; ++i) {
            std::string id = Sls_CreateGUID();
            c->Execute("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, ORDERSTATUS, WEBPAYMENTMETHOD, BISID, SALESORDERNR) "
                       "VALUES (?, 'EUR', 4, 2, 1, ?)",
                       nullptr, -1, {id, bench_support::SalesOrder(i)});
            c->Execute("INSERT INTO AUTHORIZATIONLOG (MERCHANT_REF_NUMBER, AUTH_RCODE, REQUEST_DATETIME, LOGSEQ) "
                       "VALUES (?, 1, ?, ?)",
                       nullptr, -1, {id, ole::Date::Now(), i + 1});
            for (int l = 1; l <= linesPerOrder; ++l) {
                c->Execute("INSERT INTO ORDERLINE (ORDERID, LINENR, AMOUNT, LINESTATUS) VALUES (?, ?, 10, 0)", nullptr, -1,
                           {id, l});
                c->Execute("INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, LINENR, STATUSAFTER, WHAT, ACTOR) "
                           "VALUES (?, ?, ?, ?, 0, 'submitted', 'bench')",
                           nullptr, -1, {id, l, ole::Date::Now(), l});
            }
        }
        tx.Commit();
        c->Close();
    }
};

// The rows the stage leaves: lines allocated, calls completed as allocated, events of the allocation.
std::string RowsLeft(const std::string& connectionString) {
    auto rs = Sls_GetDisconnectedRecordset(
        "SELECT (SELECT COUNT(*) FROM ORDERLINE WHERE LINESTATUS = 1 AND ALLOCATIONDATE IS NOT NULL), "
        "(SELECT COUNT(*) FROM EXCHANGE e JOIN EXCHANGEORDER o ON o.EXCHANGEID = e.EXCHANGEID WHERE e.KIND = "
        "'business object call' AND e.OUTCOME = 'allocated' AND e.DETAIL = 'Allocate' AND e.DURATIONMS IS NOT NULL), "
        "(SELECT COUNT(*) FROM ORDEREVENT WHERE STATUSBEFORE = 0 AND STATUSAFTER = 1 AND WHAT = 'allocated')",
        connectionString);
    return rs->Fields(0).Value().Text() + " lines, " + rs->Fields(1).Value().Text() + " calls, " +
           rs->Fields(2).Value().Text() + " events";
}

const std::string kExpectedRows = std::to_string(kLines) + " lines, " + std::to_string(kLines) + " calls, " +
                                  std::to_string(kLines) + " events";

constexpr const char* kSelectLines =
    "SELECT b.ALLOCATIONDATE, b.ORDERID, b.LINENR, a.SALESORDERNR, a.BISID "
    "FROM ORDERHEADER a JOIN ORDERLINE b ON a.ORDERID = b.ORDERID "
    "WHERE a.SALESORDERNR IS NOT NULL AND b.LINESTATUS = 0 AND a.ORDERSTATUS = 4 ORDER BY b.ORDERID, b.LINENR";
constexpr const char* kAuthorization =
    "SELECT MAX(REQUEST_DATETIME) FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1";
constexpr const char* kSent =
    "INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, FILEOFFSET, FILELENGTH, "
    "ORDERCOUNT, REFERENCE, SHA256, ARCHIVE, DURATIONMS, DETAIL, ENTRYTEXT) VALUES (?, ?, 'business object call', "
    "'sent', 1, NULL, NULL, NULL, 1, ?, NULL, NULL, NULL, 'Allocate', NULL)";
constexpr const char* kSentOrder = "INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) VALUES (?, ?)";
constexpr const char* kAllocate =
    "UPDATE ORDERLINE SET LINESTATUS = 1, ALLOCATIONDATE = ? WHERE ORDERID = ? AND LINENR = ? AND LINESTATUS = 0";
constexpr const char* kComplete =
    "UPDATE EXCHANGE SET OUTCOME = 'allocated', DURATIONMS = 1, DETAIL = 'Allocate' WHERE EXCHANGEID = ? AND "
    "OUTCOME = 'sent'";
constexpr const char* kEvent =
    "INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, LINENR, STATUSBEFORE, STATUSAFTER, WHAT, ACTOR, REFERENCE, "
    "DETAIL) SELECT ?, (SELECT COALESCE(MAX(SEQ), 0) + 1 FROM ORDEREVENT WHERE ORDERID = ?), ?, ?, 0, 1, 'allocated', "
    "'bench', ?, 'business objects of BIS 1' WHERE EXISTS (SELECT 1 FROM ORDERLINE WHERE ORDERID = ? AND LINENR = ? "
    "AND LINESTATUS = 1) AND (SELECT STATUSAFTER FROM ORDEREVENT WHERE ORDERID = ? AND LINENR = ? ORDER BY SEQ DESC "
    "LIMIT 1) = 0";

// The same statement text with "$n" markers for libpq.
std::string Numbered(const char* sql) {
    std::string out;
    int n = 0;
    for (const char* c = sql; *c; ++c) out += *c == '?' ? "$" + std::to_string(++n) : std::string(1, *c);
    return out;
}

void Allocation_bare(benchmark::State& state) {
    std::string rowsLeft;
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup;
        bench_support::BareSQLite db(setup.inst.DatabaseFile());
        state.ResumeTiming();
        auto* rows = db.Statement(kSelectLines);
        std::vector<std::pair<std::string, int>> lines;
        while (sqlite3_step(rows) == SQLITE_ROW)
            lines.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(rows, 1)), sqlite3_column_int(rows, 2));
        sqlite3_reset(rows);
        auto text = [](sqlite3_stmt* s, int i, const std::string& v) { sqlite3_bind_text(s, i, v.c_str(), -1, SQLITE_TRANSIENT); };
        const std::string now = "2026-01-01 00:00:00";
        for (size_t first = 0; first < lines.size();) {
            const std::string& id = lines[first].first;
            size_t end = first;
            while (end < lines.size() && lines[end].first == id) ++end;
            auto* auth = db.Statement(kAuthorization);
            text(auth, 1, id);
            db.ReadAll(auth);
            std::vector<std::string> calls;
            db.Exec("BEGIN");
            for (size_t i = first; i < end; ++i) {
                calls.push_back(Sls_CreateGUID());
                auto* sent = db.Statement(kSent);
                text(sent, 1, calls.back());
                text(sent, 2, now);
                text(sent, 3, std::to_string(lines[i].second));
                db.Run(sent);
                auto* order = db.Statement(kSentOrder);
                text(order, 1, id);
                text(order, 2, calls.back());
                db.Run(order);
            }
            db.Exec("COMMIT");
            db.Exec("BEGIN");
            for (size_t i = first; i < end; ++i) {
                auto* update = db.Statement(kAllocate);
                text(update, 1, now);
                text(update, 2, id);
                sqlite3_bind_int(update, 3, lines[i].second);
                db.Run(update);
            }
            for (size_t i = first; i < end; ++i) {
                auto* complete = db.Statement(kComplete);
                text(complete, 1, calls[i - first]);
                db.Run(complete);
            }
            for (size_t i = first; i < end; ++i) {
                auto* event = db.Statement(kEvent);
                int nr = lines[i].second;
                text(event, 1, id), text(event, 2, id), text(event, 3, now), sqlite3_bind_int(event, 4, nr);
                text(event, 5, calls[i - first]), text(event, 6, id), sqlite3_bind_int(event, 7, nr);
                text(event, 8, id), sqlite3_bind_int(event, 9, nr);
                db.Run(event);
            }
            db.Exec("COMMIT");
            first = end;
        }
        state.PauseTiming();
        rowsLeft = RowsLeft(setup.inst.ConnectionString());
        state.ResumeTiming();
    }
    if (rowsLeft != kExpectedRows) state.SkipWithError(("the bare statements left " + rowsLeft).c_str());
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
                                                                {{"SalesOrder", bench_support::SalesOrder(i / kLinesPerOrder)},
                                                                 {"PositionNumber", i % kLinesPerOrder + 1}}));
    }
    state.counters["calls_per_s"] = benchmark::Counter(kLines * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The same statements through a bare libpq client: prepared, one round trip each.
void Allocation_barePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    static const std::string select = Numbered(kSelectLines), auth = Numbered(kAuthorization), sent = Numbered(kSent),
                             sentOrder = Numbered(kSentOrder), allocate = Numbered(kAllocate),
                             complete = Numbered(kComplete), event = Numbered(kEvent);
    std::string rowsLeft;
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup(Database::PostgreSQL);
        bench_support::BarePostgres db(setup.inst);
        state.ResumeTiming();
        auto rows = db.Query(select.c_str(), {});
        std::vector<std::pair<std::string, std::string>> lines;
        for (int r = 0; r < PQntuples(rows.get()); ++r)
            lines.emplace_back(PQgetvalue(rows.get(), r, 1), PQgetvalue(rows.get(), r, 2));
        const char* now = "2026-01-01 00:00:00";
        for (size_t first = 0; first < lines.size();) {
            const std::string& id = lines[first].first;
            size_t end = first;
            while (end < lines.size() && lines[end].first == id) ++end;
            db.Run(auth.c_str(), {id.c_str()});
            std::vector<std::string> calls;
            db.Exec("BEGIN");
            for (size_t i = first; i < end; ++i) {
                calls.push_back(Sls_CreateGUID());
                db.Run(sent.c_str(), {calls.back().c_str(), now, lines[i].second.c_str()});
                db.Run(sentOrder.c_str(), {id.c_str(), calls.back().c_str()});
            }
            db.Exec("COMMIT");
            db.Exec("BEGIN");
            for (size_t i = first; i < end; ++i) db.Run(allocate.c_str(), {now, id.c_str(), lines[i].second.c_str()});
            for (size_t i = first; i < end; ++i) db.Run(complete.c_str(), {calls[i - first].c_str()});
            for (size_t i = first; i < end; ++i) {
                const char* nr = lines[i].second.c_str();
                db.Run(event.c_str(), {id.c_str(), id.c_str(), now, nr, calls[i - first].c_str(), id.c_str(), nr,
                                       id.c_str(), nr});
            }
            db.Exec("COMMIT");
            first = end;
        }
        state.PauseTiming();
        rowsLeft = RowsLeft(setup.inst.ConnectionString());
        state.ResumeTiming();
    }
    if (rowsLeft != kExpectedRows) state.SkipWithError(("the bare statements left " + rowsLeft).c_str());
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
        std::string rowsLeft = RowsLeft(setup.inst.ConnectionString());
        if (rowsLeft != kExpectedRows) {
            state.SkipWithError(("the stage left " + rowsLeft).c_str());
            break;  // the timer may not run again after an error
        }
        state.ResumeTiming();
    }
    state.counters["lines_per_s"] = benchmark::Counter(kLines * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["boi_share"] = wall > 0 ? waited / wall : 0;
}

// The stage against a back end that answers after kDelayMs: calls side by side.
template <Database kDb>
void Allocation_delayed(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    constexpr int calls = kOrders * kDelayedLinesPerOrder;
    double wall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup(kDb, kDelayedLinesPerOrder, kDelayMs);
        state.ResumeTiming();
        auto started = std::chrono::steady_clock::now();
        Sls_GetComponent<ordexa::IBatchStage>("Ordexa.CCAllocation")->Run();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.PauseTiming();
        std::string expected = std::to_string(calls) + " lines, " + std::to_string(calls) + " calls, " +
                               std::to_string(calls) + " events";
        std::string rowsLeft = RowsLeft(setup.inst.ConnectionString());
        if (rowsLeft != expected) {
            state.SkipWithError(("the stage left " + rowsLeft).c_str());
            break;  // the timer may not run again after an error
        }
        state.ResumeTiming();
    }
    double ideal = calls * (kDelayMs / 1000.0) / kAtOnce;
    state.counters["of_ideal"] = wall / state.iterations() / ideal;
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
BENCHMARK(Allocation_delayed<Database::SQLite>)
    ->Name("Allocation/delayed")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(Allocation_delayed<Database::PostgreSQL>)
    ->Name("Allocation@pg/delayed")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
