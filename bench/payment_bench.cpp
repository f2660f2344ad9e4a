// `backoffice pay` of 1,000 orders against the gateway simulator over HTTPS on
// loopback, each order with a young checkout authorisation and one allocated
// line, so the run is one capture per order. The simulator answers every
// request after a fixed latency (kLatencyMs), as a real gateway takes its time,
// and the run sends up to kAtOnce requests at once (OutsideCallsAtOnce).
//
//   PayRun/bare     the same captures by a hand-written program: kAtOnce threads,
//                   each with its own bare database handle and gateway client,
//                   recording each request before it is sent and storing its
//                   reply, the line's status, its event and the completed
//                   request in one transaction
//   PayRun/backoffice  the payment run as the host does it (a process of its own)
//
// Both sides check that they did the same work: the same GATEWAYREQUEST rows
// (by operation, state and code), line and order statuses and captures logged.
// The aim is a run within 1.3 times kOrders x kLatencyMs / kAtOnce. The
// counters give payments per second and the run's time against that floor.
//
// On PostgreSQL ("PayRun@pg/...") both sides run on an installation in the
// benchmarks' cluster.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>
#include <type_traits>

#include "bench_support.h"
#include "ordexa/payment/card_vault.h"
#include "ordexa/payment/checkout_authorization.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/data/transaction.h"
#include "platform/gateway/gateway_client.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;

namespace fs = std::filesystem;
constexpr int kOrders = 1000;
constexpr int kLatencyMs = 50;  // what the simulated gateway takes per request
constexpr int kAtOnce = 8;      // requests in flight at once: OutsideCallsAtOnce's default
// The time the gateway alone needs for the run's requests, kAtOnce at a time.
constexpr double kFloorSeconds = kOrders * kLatencyMs / 1000.0 / kAtOnce;

// The simulator over HTTPS with a certificate of a CA made for the run.
class Gateway {
public:
    Gateway(const fs::path& dir, int latencyMs) : dir_(dir), process_(Start(dir, latencyMs)) {}
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(process_.Port()) + "/ics"; }
    std::string Ca() const { return (dir_ / "ca.pem").string(); }

private:
    // The certificates first, then the simulator serving with them.
    static SimulatorProcess Start(const fs::path& dir, int latencyMs) {
        Shell("cd '" + dir.string() +
              "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
              "-days 1 -subj '/CN=bench CA' && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
              "-keyout server.key -out server.csr -subj '/CN=127.0.0.1' && printf 'subjectAltName=IP:127.0.0.1\\n' > "
              "ext.cnf && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem "
              "-days 1 -extfile ext.cnf");
        return SimulatorProcess({GATEWAY_SIMULATOR_BINARY, "serve", "--cert", (dir / "server.pem").string(), "--key",
                                 (dir / "server.key").string(), "--latency-ms", std::to_string(latencyMs), "--port-file",
                                 (dir / "port").string()},
                                dir, "gateway simulator");
    }

    fs::path dir_;
    SimulatorProcess process_;
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

// kOrders baskets authorised at checkout (kAtOnce at a time: the gateway takes
// its time), submitted and allocated, with their events.
void PlaceOrders(const bench_support::BenchInstallation& inst) {
    ordexa::CheckoutCard card;
    card.number = "4111111111111111";
    card.expiryMonth = "12";
    card.expiryYear = "2099";
    card.firstName = "Bench";
    card.lastName = "Customer";
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kAtOnce; ++t)
        threads.emplace_back([&] {
            Sls_ResetThreadState();
            auto c = Sls_GetOpenConnection(inst.ConnectionString());
            for (int i = next++; i < kOrders; i = next++) {
                std::string id = Sls_CreateGUID();
                c->Execute("INSERT INTO BASKETHEADER (BASKETID, CURRENCYCODE, TOTAL) VALUES (?, 'EUR', 120)", nullptr, -1, {id});
                if (ordexa::AuthorizeBasketCheckout(id, card).status != ordexa::CheckoutAuthorization::Status::Authorized)
                    abort();
                ado::Transaction tx(*c);
                c->Execute("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, ORDERSTATUS, WEBPAYMENTMETHOD) VALUES (?, 'EUR', 4, 2)",
                           nullptr, -1, {id});
                c->Execute("INSERT INTO ORDERLINE (ORDERID, LINENR, AMOUNT, ORDERDISCOUNT, LINETAX, LINEFREIGHT, "
                           "LINEFREIGHTTAX, LINESTATUS) VALUES (?, 1, 100, 0, 19, 1, 0, 1)",
                           nullptr, -1, {id});
                // the timeline as submission and allocation left it: the capture's event follows on from it
                c->Execute("INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, LINENR, STATUSAFTER, WHAT, ACTOR) "
                           "VALUES (?, 1, ?, NULL, 4, 'submitted', 'bench'), (?, 2, ?, 1, 1, 'allocated', 'bench')",
                           nullptr, -1, {id, ole::Date::Now(), id, ole::Date::Now()});
                c->Execute("DELETE FROM BASKETHEADER WHERE BASKETID = ?", nullptr, -1, {id});
                tx.Commit();
            }
            c->Close();
        });
    for (auto& t : threads) t.join();
}

// What a run left in the database, as text: GATEWAYREQUEST rows by operation,
// state and code, lines and orders by status, the successful captures logged
// and the capture events.
std::string WorkDone() {
    std::string text;
    for (const char* sql :
         {"SELECT OPERATION, STATE, ICS_RCODE, COUNT(*) FROM GATEWAYREQUEST GROUP BY OPERATION, STATE, ICS_RCODE "
          "ORDER BY OPERATION, STATE, ICS_RCODE",
          "SELECT 'line', LINESTATUS, COUNT(*) FROM ORDERLINE GROUP BY LINESTATUS ORDER BY LINESTATUS",
          "SELECT 'order', ORDERSTATUS, COUNT(*) FROM ORDERHEADER GROUP BY ORDERSTATUS ORDER BY ORDERSTATUS",
          "SELECT 'captures logged', COUNT(*) FROM BILLINGLOG WHERE ICS_RCODE = '1'",
          "SELECT 'capture events', COUNT(*) FROM ORDEREVENT WHERE WHAT = 'captured'"})
        for (auto rs = Sls_GetDisconnectedRecordset(sql, Sls_ConnectionString()); !rs->Eof(); rs->MoveNext()) {
            for (int i = 0; i < rs->FieldCount(); ++i) text += (i ? " " : "") + rs->Fields(i).Value().Text();
            text += "; ";
        }
    return text;
}

// Both sides must leave exactly this: every order captured once, nothing open.
bool SameWork(benchmark::State& state) {
    std::string n = std::to_string(kOrders);
    std::string expected = "CAPTURE ANSWERED 1 " + n + "; CHECKOUT_AUTH ANSWERED 1 " + n + "; line 2 " + n +
                           "; order 4 " + n + "; captures logged " + n + "; capture events " + n + "; ";
    std::string done = WorkDone();
    if (done == expected) return true;
    state.SkipWithError(("the run did other work: " + done).c_str());
    return false;
}

template <Database kDb>
void PayRun_backoffice(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    double wall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench_support::BenchInstallation inst(kDb);
        Gateway gateway(inst.Home(), kLatencyMs);
        Configure(inst, gateway);
        PlaceOrders(inst);
        state.ResumeTiming();
        auto started = std::chrono::steady_clock::now();
        std::string output = Shell(std::string("'") + BACKOFFICE_BINARY + "' pay --home '" + inst.Home().string() + "'");
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.PauseTiming();
        std::smatch m;
        if (!std::regex_search(output, m, std::regex("captured ([0-9]+)")) || std::stoi(m[1]) != kOrders) {
            state.SkipWithError(("not every order was captured: " + output).c_str());
            break;
        }
        if (!SameWork(state)) break;
        state.ResumeTiming();
    }
    state.counters["payments_per_s"] = benchmark::Counter(kOrders * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_gateway_floor"] = wall / static_cast<double>(state.iterations()) / kFloorSeconds;
}

// A statement of the bare program with "?" markers and text values ("" binds
// NULL); returns the first column of its first row ("" when it yields none).
std::string Do(BareSQLite& db, const char* sql, const std::vector<std::string>& values) {
    sqlite3_stmt* s = db.Statement(sql);
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i].empty())
            sqlite3_bind_null(s, static_cast<int>(i + 1));
        else
            sqlite3_bind_text(s, static_cast<int>(i + 1), values[i].c_str(), -1, SQLITE_TRANSIENT);
    std::string first;
    bool row = false;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        if (!row) first = ColumnText(s, 0), row = true;
    if (rc != SQLITE_DONE) abort();
    return first;
}
std::string Do(BarePostgres& db, const char* sql, const std::vector<std::string>& values) {
    std::string text;
    int n = 0;
    for (const char* c = sql; *c; ++c) text += *c == '?' ? "$" + std::to_string(++n) : std::string(1, *c);
    std::vector<const char*> params;
    for (const auto& v : values) params.push_back(v.empty() ? nullptr : v.c_str());
    auto rows = db.Query(text.c_str(), params);
    return PQntuples(rows.get()) > 0 && PQnfields(rows.get()) > 0 ? ValueText(rows.get(), 0, 0) : "";
}

std::string Now() { return ole::Date::Now().Iso(); }

// One order's capture as a careful hand-written program does it: the
// authorisation read, the request recorded and committed, sent, and its reply
// stored with the line's status, its event and the completed request.
template <class Bare>
void CaptureBare(Bare& db, qx::IGatewayClient& client, const std::string& orderId) {
    std::string authRequestId = Do(db,
        "SELECT AUTH_REQUEST_ID FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1 "
        "ORDER BY REQUEST_DATETIME DESC, LOGSEQ DESC LIMIT 1", {orderId});
    std::string clientRequestId = qx::NewClientRequestId();
    // as the data layer begins: SQLite takes the write lock at once
    const char* begin = std::is_same_v<Bare, BareSQLite> ? "BEGIN IMMEDIATE" : "BEGIN";
    db.Exec(begin);
    std::string sequence =
        Do(db, "UPDATE PAYMENTLOGSEQUENCE SET LASTVALUE = LASTVALUE + 1 WHERE NAME = 'GATEWAYREQUEST' RETURNING LASTVALUE", {});
    Do(db, "INSERT INTO GATEWAYREQUEST (REQUESTSEQ, MERCHANT_REF_NUMBER, OPERATION, LINENRS, AMOUNT, CURRENCY, "
           "PRIOR_REQUEST_ID, CLIENT_REQUEST_ID, SENT_DATETIME, STATE) VALUES (?, ?, 'CAPTURE', '1', '120', 'EUR', ?, ?, ?, 'SENT')",
       {sequence, orderId, authRequestId, clientRequestId, Now()});
    db.Exec("COMMIT");
    client.SetValue("ics_applications", "ics_bill");
    client.SetValue("client_request_id", clientRequestId);
    client.SetValue("auth_request_id", authRequestId);
    client.SetValue("merchant_ref_number", orderId);
    client.SetValue("currency", "EUR");
    client.SetOfferValue(0, "quantity", "1");
    client.SetOfferValue(0, "amount", "120");
    client.Send();
    std::string code = client.GetReplyValue("ics_rcode"), requestId = client.GetReplyValue("request_id");
    db.Exec(begin);
    std::string logSequence =
        Do(db, "UPDATE PAYMENTLOGSEQUENCE SET LASTVALUE = LASTVALUE + 1 WHERE NAME = 'PAYMENTLOG' RETURNING LASTVALUE", {});
    Do(db, "INSERT INTO BILLINGLOG (ICS_RMSG, BILL_BILL_AMOUNT, ICS_RCODE, BILL_RCODE, BILL_REQUEST_ID, "
           "MERCHANT_REF_NUMBER, CURRENCY, OFFERS, AUTH_REQUEST_ID, ICS_APPLICATIONS, REQUEST_DATETIME, LOGSEQ, "
           "CLIENT_REQUEST_ID) VALUES (?, ?, ?, ?, ?, ?, 'EUR', 'amount=120', ?, 'ics_bill', ?, ?, ?)",
       {client.GetReplyValue("ics_rmsg"), client.GetReplyValue("bill_bill_amount"), code,
        client.GetReplyValue("bill_rcode"), requestId, orderId, authRequestId, Now(), logSequence, clientRequestId});
    Do(db, "UPDATE ORDERLINE SET LINESTATUS = 2 WHERE ORDERID = ? AND LINESTATUS + 0 = 1 AND LINENR IN (1)", {orderId});
    bench_support::AppendOrderEvents(db, {{orderId, 1, 1, 2, "captured", "", clientRequestId, ""}});
    Do(db, "UPDATE GATEWAYREQUEST SET STATE = 'ANSWERED', COMPLETED_DATETIME = ?, REQUEST_ID = ?, ICS_RCODE = ? "
           "WHERE REQUESTSEQ = ? AND STATE = 'SENT'",
       {Now(), requestId, code, sequence});
    db.Exec("COMMIT");
}

template <Database kDb>
void PayRun_bare(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    double wall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench_support::BenchInstallation inst(kDb);
        Gateway gateway(inst.Home(), kLatencyMs);
        Configure(inst, gateway);
        PlaceOrders(inst);
        std::vector<std::string> orders;
        for (auto rs = Sls_GetDisconnectedRecordset("SELECT ORDERID FROM ORDERHEADER ORDER BY ORDERID", inst.ConnectionString());
             !rs->Eof(); rs->MoveNext())
            orders.push_back(rs->Fields(0).Value().Text());
        state.ResumeTiming();
        auto started = std::chrono::steady_clock::now();
        std::atomic<size_t> next{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kAtOnce; ++t)
            threads.emplace_back([&] {
                Sls_ResetThreadState();
                auto db = bench_support::OpenBare<kDb>(inst);
                auto client = ole::CreateObjectAs<qx::IGatewayClient>(qx::kGatewayClientProgId);
                client->SetServerHost(gateway.Url());
                client->SetMerchantId("merchant_eur");
                for (size_t i = next++; i < orders.size(); i = next++) CaptureBare(db, *client, orders[i]);
            });
        for (auto& t : threads) t.join();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.PauseTiming();
        if (!SameWork(state)) break;
        state.ResumeTiming();
    }
    state.counters["payments_per_s"] = benchmark::Counter(kOrders * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_gateway_floor"] = wall / static_cast<double>(state.iterations()) / kFloorSeconds;
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
