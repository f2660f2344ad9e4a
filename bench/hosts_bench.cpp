// Baskets submitted per second through `backoffice serve`: 16 client threads,
// each with a kept-alive HTTP connection, create a basket, add a line, put the
// priced basket and submit it (the shop API, four requests per submission), on
// a demo installation. On PostgreSQL with one host and with two hosts (two
// `backoffice serve` on copies of one installation, the same schema; clients
// alternate between them); on SQLite with one host.
//
//   HostSubmissions@pg/bare   16 threads of bare libpq clients making what a
//                             submission makes, request by request: the checks
//                             the host makes (user, partner, product; at PUT
//                             and at submit the basket, partner, currency,
//                             addresses, product; a card authorisation), the
//                             basket header and line, their update, and the
//                             order transaction (claim, address snapshots,
//                             header, line, events, basket deletion), prepared
//                             once, one round trip each
//   HostSubmissions/bare      the same through the bare SQLite C API
//   .../bare_writes           the writes alone, without the checks and events
//                             (the reference of earlier rounds)
//
// So the ratio to bare is the host's request path over the database's share
// of the same statements. The "submissions" counter is per second of wall
// time. The clients are bare sockets (bare_http_client.h): the shop's web
// pages run on machines of their own. Note that the host, the database server and the clients share the
// machine's cores: with few cores a second host adds processes, not CPU. So
// that a larger machine's capacity can be worked out, the runs through hosts
// also report the CPU milliseconds per submission spent in the hosts
// ("host_cpu_ms") and, on PostgreSQL, in the database server's processes
// ("server_cpu_ms": the postmaster and its children, those ended included;
// the bare PostgreSQL clients report it too).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "bare_http_client.h"
#include "bench_support.h"
#include "demo_basket.h"
#include "platform/data/ado.h"
#include "platform/os/proc_stat.h"
#include "serve_process.h"

namespace {

using namespace bench_support;

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kClients = 16;
constexpr int kBaskets = 50;  // per client and run

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// `backoffice init --demo` in a folder of its own (on PostgreSQL in a schema of
// its own), copied once per further host, each copy served by its own process.
class DemoHosts {
public:
    DemoHosts(Database db, int hosts) {
        static int serial = 0;
        parent_ = fs::temp_directory_path() /
                  ("backoffice_hosts_bench_" + std::to_string(getpid()) + "_" + std::to_string(++serial));
        fs::remove_all(parent_);
        fs::create_directories(parent_);
        fs::path first = parent_ / "host-1";
        std::string init = std::string("'") + BACKOFFICE_BINARY + "' init --demo --home " + Quoted(first.string());
        if (db == Database::PostgreSQL) {
            schema_ = "hosts_" + std::to_string(getpid()) + "_" + std::to_string(serial);
            Admin("CREATE SCHEMA " + schema_);
            init += " --connection " + Quoted(bench_support::BenchPostgres() + ";Schema=" + schema_);
        }
        std::string output = Shell(init);
        if (!fs::exists(first / "config" / "SiteConfiguration.xml"))
            throw std::runtime_error("backoffice init failed: " + output);
        shopKey_ = testing_support::SettingOf(first / "config" / "SiteConfiguration.xml", "API", "ShopApiKey");
        for (int i = 2; i <= hosts; ++i) {
            fs::path copy = parent_ / ("host-" + std::to_string(i));
            fs::copy(first, copy, fs::copy_options::recursive);
            fs::remove(copy / "log" / "vendalo.log");
        }
        for (int i = 1; i <= hosts; ++i)
            hosts_.push_back(std::make_unique<testing_support::ServeProcess>(parent_ / ("host-" + std::to_string(i))));
    }
    ~DemoHosts() {
        hosts_.clear();
        if (!schema_.empty()) {
            try {
                Admin("DROP SCHEMA " + schema_ + " CASCADE");
            } catch (...) {
                std::fprintf(stderr, "bench: schema %s is left in the cluster\n", schema_.c_str());
            }
        }
        std::error_code ec;
        fs::remove_all(parent_, ec);
    }

    std::vector<pid_t> HostPids() const {
        std::vector<pid_t> pids;
        for (const auto& host : hosts_) pids.push_back(host->Pid());
        return pids;
    }

    // A kept-alive client of the i-th host (round robin).
    std::unique_ptr<BareHttpClient> Client(int i) const {
        return std::make_unique<BareHttpClient>(hosts_[static_cast<size_t>(i) % hosts_.size()]->Port(), shopKey_);
    }

private:
    static void Admin(const std::string& sql) {
        auto c = std::make_shared<ado::Connection>();
        c->Open(bench_support::BenchPostgres());
        c->ExecuteScript(sql);
        c->Close();
        ado::ClearConnectionPool();
    }

    fs::path parent_;
    std::string schema_;
    std::string shopKey_;
    std::vector<std::unique_ptr<testing_support::ServeProcess>> hosts_;
};

// One client's baskets: the four requests of each, a clear 503 (busy database)
// retried as the shop does. Returns the baskets submitted; a wrong answer ends it.
int SubmitBaskets(BareHttpClient& c, int client, int baskets, std::string& wrong) {
    auto call = [&](const std::function<BareHttpClient::Answer()>& send, int expected) -> std::optional<json> {
        for (int attempt = 0; attempt < 100; ++attempt) {
            BareHttpClient::Answer r = send();
            if (r.status == expected) return json::parse(r.body, nullptr, false);
            if (r.status != 503) {
                wrong = std::to_string(r.status) + " " + (r.status < 0 ? "no answer" : r.body);
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        wrong = "still 503 after 100 attempts";
        return std::nullopt;
    };
    int submitted = 0;
    for (int k = 0; k < baskets; ++k) {
        auto created = call([&] {
            return c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump());
        }, 201);
        if (!created) break;
        std::string id = (*created)["header"]["BASKETID"];
        std::string path = "/api/v1/baskets/" + id;
        auto filled = call([&] {
            return c.Post(path + "/lines", testing_support::DemoLineRequest());
        }, 201);
        if (!filled) break;
        json basket = testing_support::ReadyForSubmission(*filled, "hosts " + std::to_string(client));
        if (!call([&] { return c.Put(path, basket.dump()); }, 200)) break;
        if (!call([&] { return c.Post(path + "/submit", ""); }, 201)) break;
        ++submitted;
    }
    return submitted;
}

// CPU seconds of a process (with reaped: those of the children it waited for).
double CpuSeconds(pid_t pid, bool reaped = false) { return os::ProcStat(std::to_string(pid)).CpuSeconds(reaped); }

// The benchmarks' PostgreSQL server: its postmaster (the parent of a backend).
pid_t PostmasterPid() {
    auto c = std::make_shared<ado::Connection>();
    c->Open(bench_support::BenchPostgres());
    auto backend = static_cast<pid_t>(c->Execute("SELECT pg_backend_pid()")->Fields(0).Value().ToLong());
    c->Close();
    os::ProcStat stat(std::to_string(backend));
    return stat.Found() ? static_cast<pid_t>(stat.Field(4)) : -1;
}

// CPU seconds of the server: the postmaster, its live children and those ended.
double ServerCpuSeconds(pid_t postmaster) {
    double seconds = CpuSeconds(postmaster, true);
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    for (dirent* e; proc && (e = readdir(proc.get()));) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        os::ProcStat stat(e->d_name);
        if (stat.Found() && static_cast<pid_t>(stat.Field(4)) == postmaster) seconds += stat.CpuSeconds();
    }
    return seconds;
}

// Runs `work(client)` on kClients threads at once; returns the sum of what they return.
int OnClientThreads(const std::function<int(int)>& work) {
    std::atomic<int> total{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) threads.emplace_back([&, i] { total += work(i); });
    for (auto& t : threads) t.join();
    return total;
}

template <Database kDb>
void HostSubmissions(benchmark::State& state, int hosts) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    DemoHosts demo(kDb, hosts);
    std::vector<std::unique_ptr<BareHttpClient>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(demo.Client(i));
    std::mutex mutex;
    std::string wrong;
    auto run = [&](int baskets) {
        return OnClientThreads([&](int i) {
            std::string failure;
            int submitted = SubmitBaskets(*clients[static_cast<size_t>(i)], i, baskets, failure);
            if (!failure.empty()) {
                std::lock_guard lock(mutex);
                wrong = failure;
            }
            return submitted;
        });
    };
    run(1);  // every connection open, every host warm
    pid_t postmaster = kDb == Database::PostgreSQL ? PostmasterPid() : -1;
    auto hostCpu = [&] {
        double seconds = 0;
        for (pid_t pid : demo.HostPids()) seconds += CpuSeconds(pid);
        return seconds;
    };
    double hostBefore = hostCpu(), serverBefore = postmaster > 0 ? ServerCpuSeconds(postmaster) : 0;
    double clientBefore = CpuSeconds(getpid());
    int64_t submitted = 0;
    for (auto _ : state) submitted += run(kBaskets);
    if (!wrong.empty()) state.SkipWithError(("a request failed: " + wrong).c_str());
    state.counters["submissions"] = benchmark::Counter(static_cast<double>(submitted), benchmark::Counter::kIsRate);
    if (submitted > 0) {
        state.counters["host_cpu_ms"] = (hostCpu() - hostBefore) * 1000 / static_cast<double>(submitted);
        state.counters["client_cpu_ms"] = (CpuSeconds(getpid()) - clientBefore) * 1000 / static_cast<double>(submitted);
        if (postmaster > 0)
            state.counters["server_cpu_ms"] = (ServerCpuSeconds(postmaster) - serverBefore) * 1000 / static_cast<double>(submitted);
    }
}

// ---- the bare clients ----------------------------------------------------------

// BareSQLite behind the statements' "$n" markers, so that both bare clients run
// the same texts. SQLite has one writer at a time: the clients take turns
// through a mutex (a transaction, or a statement outside one) rather than
// sleeping in the busy handler, as a careful threaded program would.
class LiteClient {
public:
    explicit LiteClient(const std::string& file) : db_(file) {}
    void Exec(const char* sql) {
        bool begin = std::string_view(sql).rfind("BEGIN", 0) == 0;
        if (begin) writer_.lock();
        db_.Exec(sql);
        if (!begin) writer_.unlock();  // COMMIT
    }
    void Run(const char* sql, std::initializer_list<const char*> params) {
        sqlite3_stmt* stmt = db_.Statement(sql);
        int at = 0;
        for (const char* value : params) {
            std::string marker = "$" + std::to_string(++at);
            int index = sqlite3_bind_parameter_index(stmt, marker.c_str());
            if (value)
                sqlite3_bind_text(stmt, index, value, -1, SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(stmt, index);
        }
        if (sqlite3_get_autocommit(db_.Handle()) && !sqlite3_stmt_readonly(stmt)) {
            std::lock_guard lock(writer_);
            db_.ReadAll(stmt);
        } else {
            db_.ReadAll(stmt);
        }
    }

    // inside the caller's transaction
    friend void AppendOrderEvents(LiteClient& c, const std::vector<OrderEvent>& events) {
        bench_support::AppendOrderEvents(c.db_, events);
    }

private:
    static inline std::mutex writer_;
    BareSQLite db_;
};

// A submission as a careful program makes it, request by request, with the
// same checks the host makes (the shop user's partner and its defaults, the
// product, at PUT and again at submit the partner, currency, addresses and
// product, since master data may change between requests; at submit a card
// authorisation and the order's events): the basket as the shop makes it
// (autocommit), its update, then the order in one transaction. With `checked`
// false only the writes, the reference of earlier rounds.
template <typename Client>
void BareSubmission(Client& db, const char* id, const char* begin, const char* claim, bool checked) {
    const char* partner =
        "SELECT POSTALADDRESSID, SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, NAME FROM BUSINESSPARTNER "
        "WHERE BUSINESSPARTNERID = $1";
    auto checkMasterData = [&] {
        db.Run(partner, {"10"});
        db.Run("SELECT DECIMALS FROM CURRENCY WHERE CURRENCYCODE = $1", {"EUR"});
        db.Run("SELECT ADDRESSID, BUSINESSPARTNERID FROM ADDRESS WHERE ADDRESSID IN ($1, $2)", {"100", "101"});
        db.Run("SELECT UNITCODE, PARTNUMBER FROM PRODUCT WHERE PRODUCTID = $1", {"501"});
    };
    auto readBasket = [&] {
        db.Run("SELECT * FROM BASKETHEADER WHERE BASKETID = $1", {id});
        db.Run("SELECT * FROM BASKETLINE WHERE BASKETID = $1 ORDER BY BASKETLINENR", {id});
    };
    if (checked) {
        db.Run("SELECT BUSINESSPARTNERID FROM WEBUSER WHERE USERID = $1", {"bench"});
        db.Run(partner, {"10"});
    }
    db.Run("INSERT INTO BASKETHEADER (BASKETID, BASKETDATE, USERID, BUSINESSPARTNERID, BILLINGADDRESSID, "
           "SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, CALCULATETAX) "
           "VALUES ($1, '2026-12-08 10:00:00', 'bench', 10, 100, 101, 'EUR', 'DHL', TRUE)",
           {id});
    if (checked) {
        readBasket();
        db.Run("SELECT UNITCODE, PARTNUMBER FROM PRODUCT WHERE PRODUCTID = $1", {"501"});
    }
    db.Run("INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, ADDRESSID, PRODUCTUNITCODE) "
           "VALUES ($1, 1, 501, 5, '2027-01-10 00:00:00', 101, 'PCS')",
           {id});
    db.Exec(begin);
    if (checked) {
        readBasket();
        checkMasterData();
    }
    db.Run("UPDATE BASKETHEADER SET BASKETNAME = 'Weekly order', SUBTOTAL = 6.2, TOTAL = 6.2 WHERE BASKETID = $1", {id});
    db.Run("UPDATE BASKETLINE SET PRODUCTPRICE = 1.24, LINEAMOUNT = 6.2, TAXCODE = 'H', PARTNUMBER = 'P-100' "
           "WHERE BASKETID = $1 AND BASKETLINENR = 1",
           {id});
    db.Exec("COMMIT");
    db.Exec(begin);
    db.Run(claim, {id});
    if (checked) {
        readBasket();
        checkMasterData();
        db.Run("SELECT REQUEST_DATETIME, CLIENT_REQUEST_ID, AUTH_AUTH_AMOUNT FROM AUTHORIZATIONLOG "
               "WHERE MERCHANT_REF_NUMBER = $1 AND AUTH_RCODE = 1 ORDER BY REQUEST_DATETIME DESC LIMIT 1",
               {id});
    }
    for (const char* address : {"100", "101"})
        db.Run("INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
               "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION) "
               "SELECT $1, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, "
               "ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION FROM ADDRESS WHERE ADDRESSID = $2",
               {id, address});
    db.Run("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
           "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, SALESORDERNR, DISCOUNTPERC, "
           "WEBPAYMENTMETHOD, CALCULATETAX, SUBTOTAL, TOTAL, BISID) "
           "VALUES ($1, 'EUR', 'bench', 101, 100, 10, 'DHL', 'Weekly order', 0, '2026-12-08 10:00:00', '', 0, 1, -1, "
           "6.2, 6.2, 1)",
           {id});
    db.Run("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
           "DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINETAX, LINEFREIGHT, TAXCODE, TAXPERCENTAGE, "
           "LINEFREIGHTTAX, LINESTATUS, ORDERDISCOUNT, PARTNUMBER) "
           "VALUES ($1, 1, 501, 'PCS', 101, 5, 1.24, 0, 0, 6.2, 0, '2027-01-10 00:00:00', 0, 0, 'H', 0, 0, 0, 0, 'P-100')",
           {id});
    if (checked)
        AppendOrderEvents(db, {{id, std::nullopt, std::nullopt, 0, "submitted", "bench", "", ""},
                               {id, 1, std::nullopt, 0, "submitted", "bench", "", ""}});
    db.Run("DELETE FROM BASKETLINE WHERE BASKETID = $1", {id});
    db.Run("DELETE FROM BASKETHEADER WHERE BASKETID = $1", {id});
    db.Exec("COMMIT");
}

template <Database kDb>
void HostSubmissionsBare(benchmark::State& state, bool checked) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    inst.Exec(kAcmeMasterData);
    inst.Exec("INSERT INTO WEBUSER (USERID, BUSINESSPARTNERID) VALUES ('bench', 10);"
              "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS) VALUES ('EUR', 2);"
              "INSERT INTO PRODUCT (PRODUCTID, PARTNUMBER, UNITCODE) VALUES (501, 'P-100', 'PCS')");
    using Client = std::conditional_t<kDb == Database::SQLite, LiteClient, BarePostgres>;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        if constexpr (kDb == Database::SQLite)
            clients.push_back(std::make_unique<Client>(inst.DatabaseFile()));
        else
            clients.push_back(std::make_unique<Client>(inst));
    }
    // SQLite takes its write lock at the start; PostgreSQL locks the basket row it claims
    const char* begin = kDb == Database::SQLite ? "BEGIN IMMEDIATE" : "BEGIN";
    const char* claim = kDb == Database::SQLite ? "SELECT BASKETID FROM BASKETHEADER WHERE BASKETID = $1"
                                                : "SELECT BASKETID FROM BASKETHEADER WHERE BASKETID = $1 FOR UPDATE";
    std::atomic<int> serial{0};
    auto run = [&](int baskets) {
        return OnClientThreads([&](int i) {
            for (int k = 0; k < baskets; ++k) {
                char id[40];
                std::snprintf(id, sizeof id, "%032X", ++serial);
                BareSubmission(*clients[static_cast<size_t>(i)], id, begin, claim, checked);
            }
            return baskets;
        });
    };
    run(1);
    pid_t postmaster = kDb == Database::PostgreSQL ? PostmasterPid() : -1;
    double serverBefore = postmaster > 0 ? ServerCpuSeconds(postmaster) : 0;
    int64_t submitted = 0;
    for (auto _ : state) submitted += run(kBaskets);
    state.counters["submissions"] = benchmark::Counter(static_cast<double>(submitted), benchmark::Counter::kIsRate);
    if (postmaster > 0 && submitted > 0)
        state.counters["server_cpu_ms"] = (ServerCpuSeconds(postmaster) - serverBefore) * 1000 / static_cast<double>(submitted);
}

template <Database kDb>
void BareChecked(benchmark::State& state) { HostSubmissionsBare<kDb>(state, true); }
template <Database kDb>
void BareWrites(benchmark::State& state) { HostSubmissionsBare<kDb>(state, false); }
void OneHost(benchmark::State& state) { HostSubmissions<Database::SQLite>(state, 1); }
void OneHostPostgres(benchmark::State& state) { HostSubmissions<Database::PostgreSQL>(state, 1); }
void TwoHostsPostgres(benchmark::State& state) { HostSubmissions<Database::PostgreSQL>(state, 2); }

}  // namespace

BENCHMARK(BareChecked<Database::SQLite>)->Name("HostSubmissions/bare")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BareWrites<Database::SQLite>)
    ->Name("HostSubmissions/bare_writes")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(OneHost)->Name("HostSubmissions/one_host")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BareChecked<Database::PostgreSQL>)
    ->Name("HostSubmissions@pg/bare")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BareWrites<Database::PostgreSQL>)
    ->Name("HostSubmissions@pg/bare_writes")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(OneHostPostgres)->Name("HostSubmissions@pg/one_host")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(TwoHostsPostgres)->Name("HostSubmissions@pg/two_hosts")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
