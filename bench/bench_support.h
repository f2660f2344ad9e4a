// What the benchmarks share: a temporary installation on SQLite, and the same
// database file opened with the bare SQLite C API, so that a benchmark can set
// the system against the bare database doing the same statements in one run.
//
// Naming: the bare benchmark of a piece of work is "<Work>/bare"; every other
// benchmark "<Work>/<how>" is reported as a ratio against it (scripts/run-bench.sh).
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <unordered_map>

namespace bench_support {

// A folder with config/VendaloConfiguration.xml, log/ and data/vendalo.db
// holding the schema; VENDALO_HOME names it and every component is registered.
class BenchInstallation {
public:
    BenchInstallation();
    ~BenchInstallation();
    BenchInstallation(const BenchInstallation&) = delete;
    BenchInstallation& operator=(const BenchInstallation&) = delete;

    const std::filesystem::path& Home() const { return home_; }
    const std::string& ConnectionString() const { return connectionString_; }
    const std::string& DatabaseFile() const { return file_; }
    // Runs statements separated by ";" through the data layer (set-up).
    void Exec(const std::string& sql) const;

private:
    std::filesystem::path home_;
    std::string file_;
    std::string connectionString_;
};

// A bare sqlite3 handle with the data layer's pragmas (WAL, synchronous=FULL,
// foreign keys, busy time-out). Statements are prepared once and reused, as a
// careful hand-written program would. Failures abort the benchmark.
class BareSQLite {
public:
    explicit BareSQLite(const std::string& file);
    ~BareSQLite();
    BareSQLite(const BareSQLite&) = delete;
    BareSQLite& operator=(const BareSQLite&) = delete;

    sqlite3* Handle() const { return db_; }
    void Exec(const char* sql);
    // The prepared statement of a text, reset and with its bindings cleared.
    sqlite3_stmt* Statement(const char* sql);
    // Steps a statement that yields no rows.
    void Run(sqlite3_stmt* stmt);
    // Steps through every row and reads every column; returns the rows read.
    int ReadAll(sqlite3_stmt* stmt);

private:
    [[noreturn]] void Fail(const std::string& what) const;

    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace bench_support
