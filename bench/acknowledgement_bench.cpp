// The batch's broker acknowledgements against a broker that answers after
// 50 ms: 1,000 orders waiting for their acknowledgement, each with a URL of its
// own on the broker simulator (loopback), so one post per order, each on record
// as sent before it leaves and completed with the orders' new status.
//
//   Acknowledgements/delayed  Ordexa.Reqlink as the batch runs it, with the
//                             default OutsideCallsAtOnce (8): its time against
//                             posts x 50 ms / 8, the counter "of_ideal"
//
// After the run every order must be acknowledged, completed on record once,
// and the broker must have taken exactly one post on each order's URL. The same
// on PostgreSQL ("Acknowledgements@pg/delayed").
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <map>

#include "bench_support.h"
#include "interfaces/vendalo/order_status.h"
#include "ordexa/exchange/batch_stage.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/reqlink/reqlink.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"

namespace {

namespace fs = std::filesystem;
using bench_support::Database;
using ole::Variant;

constexpr int kOrders = 1000;
constexpr int kDelayMs = 50;
constexpr int kAtOnce = 8;  // OutsideCallsAtOnce's default

// `broker-simulator serve` answering every post after delayMs, journalling each in the folder.
class Broker {
public:
    Broker(const fs::path& dir, int delayMs)
        : journal_(dir / "journal"),
          process_({BROKER_SIMULATOR_BINARY, "serve", "--journal", journal_.string(), "--latency-ms",
                    std::to_string(delayMs), "--port-file", (dir / "port").string()},
                   dir, "broker simulator") {}
    std::string Url(int order) const { return "http://127.0.0.1:" + std::to_string(process_.Port()) + Path(order); }
    static std::string Path(int order) { return "/ack/" + std::to_string(order); }

    // The posts taken, by path. A journal line is one JSON object whose string
    // values escape their quotes, so the first "path":" is the field.
    std::map<std::string, int> PostsByPath() const {
        std::map<std::string, int> posts;
        std::ifstream in(journal_);
        const std::string key = "\"path\":\"";
        for (std::string line; std::getline(in, line);) {
            size_t at = line.find(key);
            if (at == std::string::npos) continue;
            at += key.size();
            ++posts[line.substr(at, line.find('"', at) - at)];
        }
        return posts;
    }

private:
    fs::path journal_;
    bench_support::SimulatorProcess process_;
};

int Status(vendalo::OrderStatus s) { return static_cast<int>(s); }

// An installation whose broker may be acknowledged on loopback, with kOrders
// orders of one line waiting for their acknowledgement, each on its own URL.
struct Setup {
    bench_support::BenchInstallation inst;
    std::unique_ptr<Broker> broker;
    explicit Setup(Database db) : inst(db) {
        qx::WriteConfigurationFile((inst.Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                                   inst.ConnectionString(),
                                   {{"GENERAL_PARAMETERS", "SubmittedOrderListPage", "String", "http://shop/orders"}});
        qx::WriteConfigurationFile((inst.Home() / "config" / "SiteConfiguration.xml").string(), "Site", "",
                                   {{"API", ordexa::kBrokerAcknowledgementHosts, "String", "127.0.0.1"}});
        Sls_ResetThreadState();
        fs::create_directories(inst.Home() / "broker");
        broker = std::make_unique<Broker>(inst.Home() / "broker", kDelayMs);
        auto c = Sls_GetOpenConnection(inst.ConnectionString());
        ado::Transaction tx(*c);
        for (int i = 0; i < kOrders; ++i) {
            std::string id = Sls_CreateGUID();
            c->Execute("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, ORDERSTATUS, CUSTOMERPONR, ACKNOWLEDGEMENTURL) "
                       "VALUES (?, 'EUR', ?, ?, ?)",
                       nullptr, -1,
                       {id, Status(vendalo::OrderStatus::ReqlinkToBeAcknowledged), "REQ-" + std::to_string(i),
                        broker->Url(i)});
            c->Execute("INSERT INTO ORDERLINE (ORDERID, LINENR, QUANTITY, AMOUNT, LINESTATUS) VALUES (?, 1, 3, 30, 0)",
                       nullptr, -1, {id});
        }
        tx.Commit();
        c->Close();
    }
};

// What is wrong with what the stage left, or "": every order acknowledged, one
// completed post on record per order, and one post on each order's URL.
std::string Fault(const Setup& setup) {
    auto rs = Sls_GetDisconnectedRecordset(
        "SELECT (SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS = ?), "
        "(SELECT COUNT(*) FROM EXCHANGE WHERE KIND = ?), "
        "(SELECT COUNT(DISTINCT o.ORDERID) FROM EXCHANGE e JOIN EXCHANGEORDER o ON o.EXCHANGEID = e.EXCHANGEID "
        "WHERE e.KIND = ? AND e.OUTCOME = ? AND e.DURATIONMS IS NOT NULL)",
        setup.inst.ConnectionString(),
        {Variant(Status(vendalo::OrderStatus::ReqlinkAcknowledged)), Variant(ordexa::exchange_kind::kBrokerPost),
         Variant(ordexa::exchange_kind::kBrokerPost), Variant("acknowledged")});
    std::string found = rs->Fields(0).Value().Text() + " acknowledged, " + rs->Fields(1).Value().Text() +
                        " posts on record, " + rs->Fields(2).Value().Text() + " orders completed";
    const std::string n = std::to_string(kOrders);
    if (found != n + " acknowledged, " + n + " posts on record, " + n + " orders completed")
        return "the stage left " + found;
    auto posts = setup.broker->PostsByPath();
    if (posts.size() != static_cast<size_t>(kOrders)) return "the broker took posts on " + std::to_string(posts.size()) + " paths";
    for (int i = 0; i < kOrders; ++i)
        if (auto p = posts.find(Broker::Path(i)); p == posts.end() || p->second != 1)
            return "the broker took " + std::to_string(p == posts.end() ? 0 : p->second) + " posts on " + Broker::Path(i);
    return "";
}

template <Database kDb>
void Acknowledgements_delayed(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    double wall = 0;
    std::string fault;
    for (auto _ : state) {
        state.PauseTiming();
        Setup setup(kDb);
        state.ResumeTiming();
        auto started = std::chrono::steady_clock::now();
        Sls_GetComponent<ordexa::IBatchStage>("Ordexa.Reqlink")->Run();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.PauseTiming();
        if (fault.empty()) fault = Fault(setup);
        state.ResumeTiming();
    }
    // after the loop: the library refuses to resume timing once a run is marked failed
    if (!fault.empty()) return state.SkipWithError(fault.c_str());
    double ideal = kOrders * (kDelayMs / 1000.0) / kAtOnce;
    state.counters["ideal_s"] = ideal;
    state.counters["of_ideal"] = wall / state.iterations() / ideal;
}

}  // namespace

BENCHMARK(Acknowledgements_delayed<Database::SQLite>)
    ->Name("Acknowledgements/delayed")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(Acknowledgements_delayed<Database::PostgreSQL>)
    ->Name("Acknowledgements@pg/delayed")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
