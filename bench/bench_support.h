// What the benchmarks share: a temporary installation on SQLite, and the same
// database file opened with the bare SQLite C API, so that a benchmark can set
// the system against the bare database doing the same statements in one run.
//
// Naming: the bare benchmark of a piece of work is "<Work>/bare"; every other
// benchmark "<Work>/<how>" is reported as a ratio against it (scripts/run-bench.sh).
// The same work on PostgreSQL is named "<Work>@pg/..." and runs against the
// cluster that BACKOFFICE_BENCH_PG names (scripts/run-bench.sh starts one with
// fsync and synchronous commit on); without it those benchmarks are skipped.
#pragma once

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <initializer_list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "shared/order_events.h"
#include "simulator_process.h"

namespace ado {
class Connection;
}

namespace bench_support {

enum class Database { SQLite, PostgreSQL };

// Partner 10 ("Acme", EUR, carrier DHL) with its invoice address 100 and its
// goods address 101: whom the basket and order benchmarks order for.
inline const char* const kAcmeMasterData =
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, SHIPPINGADDRESSID) "
    "VALUES (10, 'Acme', 'EUR', 'DHL', 100, 101);"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (100, 10, 'Acme invoices', 'Main 1', 'Utrecht', '3511AA', 'NL');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (101, 10, 'Acme goods', 'Dock 2', 'Rotterdam', '3011AB', 'NL')";

// Runs a shell command and returns what it printed (standard output and error).
std::string Shell(const std::string& command);

// The connection string of the benchmarks' PostgreSQL cluster, "" when none is given.
std::string BenchPostgres();
// False (and the benchmark marked skipped) when the work is on PostgreSQL and no cluster is given.
bool DatabaseAvailable(benchmark::State& state, Database db);

// A folder with config/VendaloConfiguration.xml and log/, and a database
// holding the schema: data/vendalo.db, or a schema of its own in the
// benchmarks' PostgreSQL cluster. VENDALO_HOME names the folder and every
// component is registered.
class BenchInstallation {
public:
    explicit BenchInstallation(Database db = Database::SQLite);
    ~BenchInstallation();
    BenchInstallation(const BenchInstallation&) = delete;
    BenchInstallation& operator=(const BenchInstallation&) = delete;

    const std::filesystem::path& Home() const { return home_; }
    const std::string& ConnectionString() const { return connectionString_; }
    const std::string& DatabaseFile() const { return file_; }
    const std::string& PostgresSchema() const { return schema_; }
    // Runs statements separated by ";" through the data layer (set-up).
    void Exec(const std::string& sql) const;

private:
    std::filesystem::path home_;
    std::string file_;
    std::string schema_;  // on PostgreSQL
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

// A bare libpq connection to an installation's schema, as a careful
// hand-written client uses it: every statement prepared once (by its text) and
// executed with text parameters, one round trip each. Failures abort.
class BarePostgres {
public:
    explicit BarePostgres(const BenchInstallation& inst);
    ~BarePostgres();
    BarePostgres(const BarePostgres&) = delete;
    BarePostgres& operator=(const BarePostgres&) = delete;

    PGconn* Handle() const { return conn_; }
    void Exec(const char* sql);
    // Runs a prepared statement ("$n" markers; nullptr a NULL) and reads every
    // value of every row; returns the rows read (or the rows changed).
    int Run(const char* sql, std::initializer_list<const char*> params);
    int Run(const char* sql, const std::vector<const char*>& params);
    // A prepared statement's whole result, kept by the caller.
    using Rows = std::unique_ptr<PGresult, void (*)(PGresult*)>;
    Rows Query(const char* sql, const std::vector<const char*>& params);
    // The last result's value of a row and column (valid until the next Run).
    std::string Value(int row, int column) const;
    bool IsNull(int row, int column) const { return PQgetisnull(last_, row, column) == 1; }

private:
    [[noreturn]] void Fail(const std::string& what) const;
    void Execute(const char* sql, const std::vector<const char*>& params);

    PGconn* conn_ = nullptr;
    PGresult* last_ = nullptr;
    std::unordered_map<std::string, std::string> prepared_;  // text -> statement name
};

// The bare client of a piece of work on a database: BareSQLite on the
// installation's file, or BarePostgres on its schema.
template <Database kDb>
auto OpenBare(const BenchInstallation& inst) {
    if constexpr (kDb == Database::SQLite)
        return BareSQLite(inst.DatabaseFile());
    else
        return BarePostgres(inst);
}

// A column of the bare SQLite client's current row as text ("" for NULL).
std::string ColumnText(sqlite3_stmt* s, int column);
// The index of a result column by name; aborts when there is none.
int ColumnIndex(sqlite3_stmt* s, const char* name);
// A value of a libpq result as text ("" for NULL).
std::string ValueText(const PGresult* r, int row, int column);

// The membership service account that the export logs on with: user
// memscript with the code bench-code, in the database and SiteConfiguration.xml.
void AddMembershipServiceAccount(const BenchInstallation& inst);

// The counters of a run over `orders` orders an iteration: items processed and
// the time per order ("order", an inverted rate).
void SetPerOrderCounters(benchmark::State& state, int orders);

// The statements the system writes the orders' timeline with
// (OrderEventStatements), run on a bare database with the same SQL text and
// values, so that a bare program does the work the system does.
void AppendOrderEvents(BareSQLite& db, const std::vector<OrderEvent>& events);
void AppendOrderEvents(BarePostgres& db, const std::vector<OrderEvent>& events);

// That the system and the bare program wrote the same bytes: the first run of a
// piece of work (named as the caller likes, e.g. "XmlOrderExport1000@pg") notes
// the file's SHA-256, every later run of the same work compares its file's with
// it and marks the benchmark failed when they differ.
void CheckSameBytes(benchmark::State& state, const std::string& work, const std::string& file);

// Orders as a shop holds them, stored by the database itself (a few statements):
// `orders` waiting orders with random 32-digit ids, spread over `partners`
// partners (ids 1000 on), each order with a PO number of its own, a date within
// a year and five lines, each with a line text; the even lines go to the
// partner's building site, an address the back end has no code for, so that
// the export sends it in full from the order's snapshot. The master data:
// back-end instance 1 ("ow4"), the partners with their invoice (id*10), goods
// (id*10+1, the default) and site (id*10+2) addresses, and a shop user
// "user<id>" each. Returns nothing: count what the database holds.
void StoreRealisticOrders(const BenchInstallation& inst, Database db, int orders, int partners);

// A simulator of an outside system run for a benchmark (see simulator_process.h).
using SimulatorProcess = simcommon::SimulatorProcess;

// The ERP simulator's business objects (`erp-simulator boi`, the program at
// `binary`) on `folder`, whose file "sales-orders" is its book, answering each
// call after `delayMs`; BoiUrl gives the address an instance's "boiurl" names.
std::unique_ptr<SimulatorProcess> StartErpBusinessObjects(const std::string& binary,
                                                          const std::filesystem::path& folder, int delayMs);
std::string BoiUrl(const SimulatorProcess& erp);

// The sales order number the simulator's book gives the i-th order ("SO1000000"...).
std::string SalesOrder(int i);
// The book in `folder` ("sales-orders"): `orders` sales orders of `linesPerOrder` lines.
void WriteSalesOrderBook(const std::filesystem::path& folder, int orders, int linesPerOrder);
// Back-end instance 1 ("ow4") whose business objects answer at `boiUrl`, on `connection`.
void StoreBoiInstance(ado::Connection& connection, const std::string& boiUrl);

}  // namespace bench_support
