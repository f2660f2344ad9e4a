#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "config/configuration.h"
#include "data/ado.h"
#include "lib_sales.h"
#include "log/log.h"
#include "register_all.h"

namespace bench_support {

namespace fs = std::filesystem;

BenchInstallation::BenchInstallation() {
    home_ = fs::temp_directory_path() / ("backoffice_bench_" + std::to_string(getpid()));
    fs::remove_all(home_);
    for (const char* folder : {"config", "log", "data"}) fs::create_directories(home_ / folder);
    file_ = (home_ / "data" / "vendalo.db").string();
    connectionString_ = "Provider=SQLite;Data Source=" + file_;
    qx::WriteConfigurationFile((home_ / "config" / "VendaloConfiguration.xml").string(), "Vendalo", connectionString_, {});
    setenv("VENDALO_HOME", home_.c_str(), 1);
    RegisterAllComponents();
    Sls_ResetThreadState();
    qx::ResetLogs();

    auto create = std::make_shared<ado::Connection>();
    create->Open(connectionString_ + ";Mode=Create");
    std::ifstream schema(fs::path(BACKOFFICE_SOURCE_DIR) / "sql" / "schema.sql");
    std::ostringstream text;
    text << schema.rdbuf();
    create->ExecuteScript(text.str());
    create->Close();
}

BenchInstallation::~BenchInstallation() {
    ado::ClearConnectionPool();
    Sls_ResetThreadState();
    qx::ResetLogs();
    unsetenv("VENDALO_HOME");
    std::error_code ec;
    fs::remove_all(home_, ec);
}

void BenchInstallation::Exec(const std::string& sql) const {
    auto c = std::make_shared<ado::Connection>();
    c->Open(connectionString_);
    c->ExecuteScript(sql);
    c->Close();
}

BareSQLite::BareSQLite(const std::string& file) {
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        Fail("open " + file);
    sqlite3_busy_timeout(db_, 10000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA foreign_keys=ON");
}

BareSQLite::~BareSQLite() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
}

void BareSQLite::Fail(const std::string& what) const {
    std::fprintf(stderr, "bare SQLite: %s: %s\n", what.c_str(), db_ ? sqlite3_errmsg(db_) : "no handle");
    std::abort();
}

void BareSQLite::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
}

sqlite3_stmt* BareSQLite::Statement(const char* sql) {
    auto& stmt = statements_[sql];
    if (!stmt) {
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
    } else {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
    return stmt;
}

void BareSQLite::Run(sqlite3_stmt* stmt) {
    if (sqlite3_step(stmt) != SQLITE_DONE) Fail(sqlite3_sql(stmt));
}

int BareSQLite::ReadAll(sqlite3_stmt* stmt) {
    int rows = 0, rc;
    int columns = sqlite3_column_count(stmt);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            switch (sqlite3_column_type(stmt, i)) {
                case SQLITE_INTEGER: benchmark::DoNotOptimize(sqlite3_column_int64(stmt, i)); break;
                case SQLITE_FLOAT: benchmark::DoNotOptimize(sqlite3_column_double(stmt, i)); break;
                case SQLITE_TEXT: {
                    std::string text(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                                     static_cast<size_t>(sqlite3_column_bytes(stmt, i)));
                    benchmark::DoNotOptimize(text);
                    break;
                }
                default: break;
            }
        }
        ++rows;
    }
    if (rc != SQLITE_DONE) Fail(sqlite3_sql(stmt));
    return rows;
}

}  // namespace bench_support
