// `backoffice pay` of 1,000 orders against the gateway simulator over HTTPS on
// loopback, each order with a young checkout authorisation and one allocated
// line, so the run is one capture per order. The simulator answers every
// request after a fixed latency (kLatencyMs), as a real gateway takes its time.
//
//   PayRun/bare     the same number of requests through the gateway client
//                   alone (status queries): the time spent waiting for the gateway
//   PayRun/backoffice  the payment run as the host does it (a process of its own)
//
// The ratio of the two is the run's cost per request over the gateway's own; the
// counters give payments per second and the share of the run's wall time that
// it spent waiting for the gateway (measured by the client).
//
// On PostgreSQL ("PayRun@pg/...") the host runs on an installation in the
// benchmarks' cluster; the reference stays the gateway requests alone, as they
// are what the run waits for on either database.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>

#include "bench_support.h"
#include "ordexa/payment/card_vault.h"
#include "ordexa/payment/checkout_authorization.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/data/transaction.h"
#include "platform/gateway/gateway_client.h"
#include "shared/lib_sales.h"

extern char** environ;

namespace {

using namespace bench_support;

namespace fs = std::filesystem;
constexpr int kOrders = 1000;
constexpr int kLatencyMs = 20;  // what the simulated gateway takes per request

// The simulator over HTTPS with a certificate of a CA made for the run.
class Gateway {
public:
    Gateway(const fs::path& dir, int latencyMs) : dir_(dir) {
        Shell("cd '" + dir.string() +
              "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
              "-days 1 -subj '/CN=bench CA' && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
              "-keyout server.key -out server.csr -subj '/CN=127.0.0.1' && printf 'subjectAltName=IP:127.0.0.1\\n' > "
              "ext.cnf && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem "
              "-days 1 -extfile ext.cnf");
        std::vector<std::string> args = {GATEWAY_SIMULATOR_BINARY, "serve", "--port-file", (dir / "port").string(),
                                         "--cert", (dir / "server.pem").string(), "--key", (dir / "server.key").string(),
                                         "--latency-ms", std::to_string(latencyMs)};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) abort();
        for (int i = 0; i < 200 && !fs::exists(dir / "port"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        port_ = std::stoi(Shell("cat '" + (dir / "port").string() + "'"));
    }
    ~Gateway() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/ics"; }
    std::string Ca() const { return (dir_ / "ca.pem").string(); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

void Configure(const bench_support::BenchInstallation& inst, const Gateway& gateway) {
    qx::WriteConfigurationFile((inst.Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                               inst.ConnectionString(),
                               {{"DIRECTPAYMENT_PARAMETERS", "CyberSource Serverhost", "String", gateway.Url()},
                                {"DIRECTPAYMENT_PARAMETERS", "Authorization Hard Expiration", "Long", "168"},
                                {"DIRECTPAYMENT_PARAMETERS", "Authorization Soft Expiration", "Long", "24"},
                                {"PAYMENT_GATEWAY", "CAFile", "String", gateway.Ca()}});
    Sls_ResetThreadState();
    ordexa::EnsureCardKeyFile(inst.Home());
    inst.Exec("INSERT INTO CURRENCY (CURRENCYCODE, DESCRIPTION, DECIMALS, EURO, LOCALEID, HOMECURRENCY) "
              "VALUES ('EUR', 'Euro', 2, TRUE, 1043, TRUE);"
              "INSERT INTO MERCHANTIDBYCURRENCY (CURRENCYCODE, MERCHANTID) VALUES ('EUR', 'merchant_eur')");
}

// kOrders baskets authorised at checkout, submitted and allocated.
void PlaceOrders(const bench_support::BenchInstallation& inst) {
    ordexa::CheckoutCard card;
    card.number = "4111111111111111";
    card.expiryMonth = "12";
    card.expiryYear = "2099";
    card.firstName = "Bench";
    card.lastName = "Customer";
    auto c = Sls_GetOpenConnection(inst.ConnectionString());
    for (int i = 0; i < kOrders; ++i) {
        std::string id = Sls_CreateGUID();
        c->Execute("INSERT INTO BASKETHEADER (BASKETID, CURRENCYCODE, TOTAL) VALUES (?, 'EUR', 120)", nullptr, -1, {id});
        if (ordexa::AuthorizeBasketCheckout(id, card).status != ordexa::CheckoutAuthorization::Status::Authorized) abort();
        ado::Transaction tx(*c);
        c->Execute("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, ORDERSTATUS, WEBPAYMENTMETHOD) VALUES (?, 'EUR', 4, 2)",
                   nullptr, -1, {id});
        c->Execute("INSERT INTO ORDERLINE (ORDERID, LINENR, AMOUNT, ORDERDISCOUNT, LINETAX, LINEFREIGHT, LINEFREIGHTTAX, "
                   "LINESTATUS) VALUES (?, 1, 100, 0, 19, 1, 0, 1)",
                   nullptr, -1, {id});
        c->Execute("DELETE FROM BASKETHEADER WHERE BASKETID = ?", nullptr, -1, {id});
        tx.Commit();
    }
    c->Close();
}


template <Database kDb>
void PayRun_backoffice(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    double wall = 0, waited = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench_support::BenchInstallation inst(kDb);
        Gateway gateway(inst.Home(), kLatencyMs);
        Configure(inst, gateway);
        PlaceOrders(inst);
        state.ResumeTiming();
        std::string output = Shell(std::string("'") + BACKOFFICE_BINARY + "' pay --home '" + inst.Home().string() + "'");
        state.PauseTiming();
        std::smatch m;
        if (!std::regex_search(output, m, std::regex("captured ([0-9]+)")) || std::stoi(m[1]) != kOrders) {
            state.SkipWithError(("not every order was captured: " + output).c_str());
            break;
        }
        if (std::regex_search(output, m, std::regex("time: ([0-9.e+-]+) s, of which waiting for the gateway ([0-9.e+-]+) s"))) {
            wall += std::stod(m[1]);
            waited += std::stod(m[2]);
        }
        state.ResumeTiming();
    }
    state.counters["payments_per_s"] = benchmark::Counter(kOrders * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["gateway_share"] = wall > 0 ? waited / wall : 0;
}

template <Database kDb>
void PayRun_bare(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    for (auto _ : state) {
        state.PauseTiming();
        bench_support::BenchInstallation inst(kDb);
        Gateway gateway(inst.Home(), kLatencyMs);
        Configure(inst, gateway);
        auto client = ole::CreateObjectAs<qx::IGatewayClient>(qx::kGatewayClientProgId);
        client->SetServerHost(gateway.Url());
        client->SetMerchantId("merchant_eur");
        state.ResumeTiming();
        for (int i = 0; i < kOrders; ++i) {
            client->SetValue("ics_applications", "ics_query");
            client->SetValue("query_client_request_id", "none");
            client->Send();
        }
    }
    state.counters["requests_per_s"] = benchmark::Counter(kOrders * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(PayRun_bare<Database::SQLite>)->Name("PayRun/bare")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(PayRun_backoffice<Database::SQLite>)->Name("PayRun/backoffice")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(PayRun_bare<Database::PostgreSQL>)->Name("PayRun@pg/bare")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(PayRun_backoffice<Database::PostgreSQL>)
    ->Name("PayRun@pg/backoffice")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
