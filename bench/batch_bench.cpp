// `backoffice batch` end to end, the program as the timer starts it, on
// realistic waiting orders (bench_support's StoreRealisticOrders): 1,000 and
// 10,000 orders on both databases, 100,000 with BACKOFFICE_BENCH_LARGE set
// (minutes each). Reported: the time per order ("order" counter) and the
// batch's peak resident memory ("peak_rss_MiB"); both
// should stay flat as the orders grow. Each run checks that every order went
// into the export file once and was marked exported. BACKOFFICE_BENCH_SQLITE_CACHE_MIB
// sets the installation's SQLite page cache (else its default applies).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/data/sqlite_cache.h"

namespace {

namespace fs = std::filesystem;
using namespace bench_support;

struct Child {
    int status = -1;
    rusage usage{};
    long peakKiB = 0;
};

// Runs the batch of an installation and waits for it; its summary goes to summary.
// The peak memory comes from /usr/bin/time: a child forked from this program
// would count the pages it shares with it, which grow with the orders stored.
Child RunBatch(const fs::path& home, const fs::path& summary) {
    Child child;
    const fs::path peak = home / "peak-kib";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(summary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        execl("/usr/bin/time", "time", "-f", "%M", "-o", peak.c_str(), BACKOFFICE_BINARY, "batch", "--home",
              home.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    wait4(pid, &child.status, 0, &child.usage);
    std::ifstream in(peak);
    in >> child.peakKiB;
    return child;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int Count(const BenchInstallation& inst, const std::string& sql) {
    auto c = ado::OpenConnection(inst.ConnectionString());
    int n = c->Execute(sql)->Fields(0).Value().ToLong();
    c->Close();
    return n;
}

// The orders the file holds (ENV records), each id once.
size_t OrdersInFile(const std::string& file, size_t& distinct) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    std::vector<std::string> ids;
    while (std::getline(in, line))
        if (line.rfind("ENV,", 0) == 0) ids.push_back(line.substr(4, line.find(',', 4) - 4));
    std::sort(ids.begin(), ids.end());
    distinct = std::unique(ids.begin(), ids.end()) - ids.begin();
    return ids.size();
}

void Batch(benchmark::State& state, Database db) {
    if (!DatabaseAvailable(state, db)) return;
    const int orders = static_cast<int>(state.range(0));
    long peakKiB = 0;
    std::string failure;
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchInstallation inst(db);
            // the settings `init` writes that the batch's stages read
            std::vector<qx::ConfigSetting> settings = {
                {"DIRECTPAYMENT_PARAMETERS", "Reallocation", "Long", "24"},
                {"DIRECTPAYMENT_PARAMETERS", "Authorization Hard Expiration", "Long", "168"}};
            if (const char* cache = std::getenv("BACKOFFICE_BENCH_SQLITE_CACHE_MIB"))
                settings.push_back({ado::kDatabaseSection, ado::kSQLiteCacheSetting, "Long", cache});
            qx::WriteConfigurationFile((inst.Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                                       inst.ConnectionString(), settings);
            StoreRealisticOrders(inst, db, orders, 40);
            AddMembershipServiceAccount(inst);
            std::string file = (inst.Home() / "orders.edi").string();
            inst.Exec("INSERT INTO ORDEREXPORTFILE (BISID, FILENAME, EXPORTMESSAGETYPE, USEFTP) VALUES (1, '" + file +
                      "', '0', 'FALSE')");
            ado::ClearConnectionPool();
            state.ResumeTiming();
            Child child = RunBatch(inst.Home(), inst.Home() / "summary.txt");
            state.PauseTiming();
            peakKiB = std::max(peakKiB, child.peakKiB);
            size_t distinct = 0, written = OrdersInFile(file, distinct);
            int marked = Count(inst, "SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS = 1");
            if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0)
                failure = "the batch exited with " + std::to_string(WEXITSTATUS(child.status)) + ": " +
                          ReadFile(inst.Home() / "summary.txt");
            else if (written != static_cast<size_t>(orders) || distinct != written || marked != orders)
                failure = "the file holds " + std::to_string(written) + " orders (" + std::to_string(distinct) +
                          " distinct), " + std::to_string(marked) + " marked, of " + std::to_string(orders);
            state.counters["user_s"] = static_cast<double>(child.usage.ru_utime.tv_sec) +
                                       child.usage.ru_utime.tv_usec / 1e6;
            state.counters["sys_s"] = static_cast<double>(child.usage.ru_stime.tv_sec) +
                                      child.usage.ru_stime.tv_usec / 1e6;
        }
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            break;
        }
        state.ResumeTiming();
    }
    state.counters["peak_rss_MiB"] = peakKiB / 1024.0;
    SetPerOrderCounters(state, orders);
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1000)->Arg(10000);
    if (std::getenv("BACKOFFICE_BENCH_LARGE")) b->Arg(100000);
    b->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
}

BENCHMARK_CAPTURE(Batch, sqlite, Database::SQLite)->Name("Batch/backoffice")->Apply(Sizes);
BENCHMARK_CAPTURE(Batch, pg, Database::PostgreSQL)->Name("Batch@pg/backoffice")->Apply(Sizes);

}  // namespace
