// What the HTTP layer adds to a call: GET /api/v1/baskets/{id} over one
// kept-alive connection to the host (in this process, on loopback) against
// Vendalo.Basket.Restore called in-process on the same installation
// ("RestoreBasket/bare"). The difference per request is the HTTP layer's cost:
// parsing, routing, the key check, JSON and the loopback round trip. The same
// on PostgreSQL ("RestoreBasket@pg/..."): the host reads the installation's
// connection string, so both sides run on the benchmarks' cluster.
//
// The client is a bare socket that sends the request's bytes and reads the
// answer by its Content-Length, so that what is measured is the host, not an
// HTTP library's client. "RestoreBasket/loopback" is the floor: the same
// client against a thread that answers every request with the host's answer's
// bytes, without parsing anything; what the host adds over the in-process call
// is then the loopback round trip (the floor) and its own work.
//
// Real time on a shared machine of few cores mostly measures how long each
// thread waits for a core, so both sides also report what this process spends
// per request: CPU microseconds ("cpu_us": the client, the host's threads and
// the in-process call) and context switches ("switches"); the database
// server's share is the same on both sides.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "bare_http_client.h"
#include "bench_support.h"
#include "http/http_host.h"
#include "interfaces/vendalo/basket.h"
#include "shared/lib_sales.h"

namespace {

using bench_support::Database;

// This process's CPU and context switches from construction to Report.
class ProcessCost {
public:
    ProcessCost() : start_(Now()) {}
    void Report(benchmark::State& state) const {
        Sample end = Now();
        auto perRequest = benchmark::Counter::kAvgIterations;
        state.counters["cpu_us"] = benchmark::Counter(end.cpuUs - start_.cpuUs, perRequest);
        state.counters["switches"] = benchmark::Counter(end.switches - start_.switches, perRequest);
    }

private:
    struct Sample {
        double cpuUs, switches;
    };
    static Sample Now() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        auto us = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); };
        return {us(usage.ru_utime) + us(usage.ru_stime), static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw)};
    }
    Sample start_;
};

constexpr const char* kShopKey = "bench-shop-key-0123456789abcdef0123456789abcdef";

// An installation with a five-line basket and the host serving it. Each run has
// its own: an installation names the process's VENDALO_HOME while it lives.
struct Setup {
    bench_support::BenchInstallation inst;
    std::string basketId;
    std::unique_ptr<backoffice::http::HttpHost> host;
    std::thread serving;
    int port = -1;

    explicit Setup(Database db) : inst(db) {
        inst.Exec(
            "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
            "SHIPPINGADDRESSID) VALUES (2, 'Bench', 'EUR', 'ROAD', 21, 22)");
        auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
        ole::Variant basket = baskets->Create("bench", 2);
        for (int i = 0; i < 5; ++i) baskets->AddLine(basket, 101 + i, 3, ole::Date::Today(), false, "");
        basketId = basket.As<ole::Dictionary>()->Item("header").As<ado::Recordset>()->Fields("BASKETID").Value().Text();
        backoffice::HostSettings settings;
        settings.workers = 4;
        settings.shopApiKey = kShopKey;
        settings.operatorApiKey = "bench-operator-key-0123456789abcdef0123456789ab";
        host = std::make_unique<backoffice::http::HttpHost>(inst.Home(), settings);
        port = host->Bind("127.0.0.1", 0);
        serving = std::thread([this] { host->Serve(); });
        // one answer before measuring: the first request opens the host's connections
        bench_support::BareHttpClient(port, kShopKey).Get("/api/v1/baskets/" + basketId);
    }
    ~Setup() {
        host->Stop();
        serving.join();
    }
};

template <Database kDb>
void RestoreBare(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    Setup s(kDb);
    auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    ProcessCost cost;
    for (auto _ : state) benchmark::DoNotOptimize(baskets->Restore(s.basketId));
    cost.Report(state);
}
BENCHMARK(RestoreBare<Database::SQLite>)->Name("RestoreBasket/bare")->UseRealTime();
BENCHMARK(RestoreBare<Database::PostgreSQL>)->Name("RestoreBasket@pg/bare")->UseRealTime();

template <Database kDb>
void RestoreOverHttp(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    Setup s(kDb);
    bench_support::BareHttpClient client(s.port, kShopKey);
    std::string request = client.Request("GET", "/api/v1/baskets/" + s.basketId, ""), answer;
    ProcessCost cost;
    for (auto _ : state) {
        if (!client.Exchange(request, answer) || answer.rfind("HTTP/1.1 200 ", 0) != 0) {
            state.SkipWithError("the host did not answer 200");
            break;
        }
    }
    cost.Report(state);
}
BENCHMARK(RestoreOverHttp<Database::SQLite>)->Name("RestoreBasket/http_keepalive")->UseRealTime();
BENCHMARK(RestoreOverHttp<Database::PostgreSQL>)->Name("RestoreBasket@pg/http_keepalive")->UseRealTime();

// The floor: the host's answer's bytes sent back by a thread that reads each
// request up to its blank line and parses nothing.
void LoopbackFloor(benchmark::State& state) {
    Setup s(Database::SQLite);
    std::string request, answer;
    {
        bench_support::BareHttpClient first(s.port, kShopKey);
        request = first.Request("GET", "/api/v1/baskets/" + s.basketId, "");
        first.Exchange(request, answer);
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        state.SkipWithError("no loopback listener");
        close(listener);
        return;
    }
    std::thread echo([&] {
        int fd = accept(listener, nullptr, nullptr);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string pending;
        char buffer[8192];
        for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            pending.append(buffer, static_cast<size_t>(got));
            for (size_t end; (end = pending.find("\r\n\r\n")) != std::string::npos;) {
                pending.erase(0, end + 4);
                send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
        }
        close(fd);
    });
    {
        bench_support::BareHttpClient client(ntohs(address.sin_port), kShopKey);
        std::string echoed;
        ProcessCost cost;
        for (auto _ : state) benchmark::DoNotOptimize(client.Exchange(request, echoed));
        cost.Report(state);
    }
    echo.join();
    close(listener);
}
BENCHMARK(LoopbackFloor)->Name("RestoreBasket/loopback")->UseRealTime();

}  // namespace
