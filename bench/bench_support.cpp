#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <fstream>
#include <map>
#include <sstream>

#include "all/register_all.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/data/driver.h"
#include "platform/log/log.h"
#include "platform/masterdata/membership.h"
#include "platform/os/durable_file.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"

namespace bench_support {

std::string Shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

namespace fs = std::filesystem;

std::string BenchPostgres() {
    const char* given = std::getenv("BACKOFFICE_BENCH_PG");
    return given ? given : "";
}

bool DatabaseAvailable(benchmark::State& state, Database db) {
    if (db == Database::SQLite || !BenchPostgres().empty()) return true;
    state.SkipWithError("no PostgreSQL cluster given (BACKOFFICE_BENCH_PG)");
    return false;
}

BenchInstallation::BenchInstallation(Database db) {
    // a folder of its own each time: components keep what they read per VENDALO_HOME
    static int serial = 0;
    ++serial;
    home_ = fs::temp_directory_path() / ("backoffice_bench_" + std::to_string(getpid()) + "_" + std::to_string(serial));
    fs::remove_all(home_);
    for (const char* folder : {"config", "log", "data"}) fs::create_directories(home_ / folder);
    file_ = (home_ / "data" / "vendalo.db").string();
    connectionString_ = "Provider=SQLite;Data Source=" + file_;
    if (db == Database::PostgreSQL) {
        schema_ = "bench_" + std::to_string(getpid()) + "_" + std::to_string(serial);
        auto admin = std::make_shared<ado::Connection>();
        admin->Open(BenchPostgres());
        admin->ExecuteScript("CREATE SCHEMA " + schema_);
        admin->Close();
        connectionString_ = BenchPostgres() + ";Schema=" + schema_;
    }
    qx::WriteConfigurationFile((home_ / "config" / "VendaloConfiguration.xml").string(), "Vendalo", connectionString_, {});
    setenv("VENDALO_HOME", home_.c_str(), 1);
    RegisterAllComponents();
    Sls_ResetThreadState();
    qx::ResetLogs();

    auto create = std::make_shared<ado::Connection>();
    create->Open(connectionString_ + (schema_.empty() ? ";Mode=Create" : ""));
    std::ifstream schema(fs::path(BACKOFFICE_SOURCE_DIR) / "sql" / "schema.sql");
    std::ostringstream text;
    text << schema.rdbuf();
    create->ExecuteScript(text.str());
    create->Close();
}

BenchInstallation::~BenchInstallation() {
    ado::ClearConnectionPool();
    if (!schema_.empty()) {
        try {
            auto admin = std::make_shared<ado::Connection>();
            admin->Open(BenchPostgres());
            admin->ExecuteScript("DROP SCHEMA " + schema_ + " CASCADE");
            admin->Close();
            ado::ClearConnectionPool();
        } catch (...) {
            std::fprintf(stderr, "bench: schema %s is left in the cluster\n", schema_.c_str());
        }
    }
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

BarePostgres::BarePostgres(const BenchInstallation& inst) {
    auto options = ado::detail::ParseConnectionString(BenchPostgres());
    std::string settings = "-c search_path=" + inst.PostgresSchema();
    const char* keys[] = {"host", "port", "dbname", "user", "password", "options", nullptr};
    std::string values[] = {options.Get("host"), options.Get("port"), options.Get("database"), options.Get("user id"),
                            options.Get("password"), settings};
    const char* given[7];
    for (int i = 0; i < 6; ++i) given[i] = values[i].empty() ? nullptr : values[i].c_str();
    given[6] = nullptr;
    conn_ = PQconnectdbParams(keys, given, 0);
    if (PQstatus(conn_) != CONNECTION_OK) Fail("connect");
}

BarePostgres::~BarePostgres() {
    if (last_) PQclear(last_);
    PQfinish(conn_);
}

void BarePostgres::Fail(const std::string& what) const {
    std::fprintf(stderr, "bare PostgreSQL: %s: %s\n", what.c_str(), PQerrorMessage(conn_));
    std::abort();
}

void BarePostgres::Exec(const char* sql) {
    PGresult* res = PQexec(conn_, sql);
    auto status = PQresultStatus(res);
    PQclear(res);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(sql);
}

int BarePostgres::Run(const char* sql, std::initializer_list<const char*> params) {
    return Run(sql, std::vector<const char*>(params));
}

void BarePostgres::Execute(const char* sql, const std::vector<const char*>& params) {
    auto& name = prepared_[sql];
    if (name.empty()) {
        name = "s" + std::to_string(prepared_.size());
        PGresult* res = PQprepare(conn_, name.c_str(), sql, 0, nullptr);
        auto status = PQresultStatus(res);
        PQclear(res);
        if (status != PGRES_COMMAND_OK) Fail(sql);
    }
    if (last_) PQclear(last_);
    last_ = PQexecPrepared(conn_, name.c_str(), static_cast<int>(params.size()), params.data(), nullptr, nullptr, 0);
    auto status = PQresultStatus(last_);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(sql);
}

BarePostgres::Rows BarePostgres::Query(const char* sql, const std::vector<const char*>& params) {
    Execute(sql, params);
    Rows rows(last_, &PQclear);
    last_ = nullptr;
    return rows;
}

int BarePostgres::Run(const char* sql, const std::vector<const char*>& params) {
    Execute(sql, params);
    if (PQresultStatus(last_) == PGRES_COMMAND_OK) return std::atoi(PQcmdTuples(last_));
    int rows = PQntuples(last_), columns = PQnfields(last_);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            std::string text(PQgetvalue(last_, r, c), static_cast<size_t>(PQgetlength(last_, r, c)));
            benchmark::DoNotOptimize(text);
        }
    return rows;
}

std::string BarePostgres::Value(int row, int column) const {
    return std::string(PQgetvalue(last_, row, column), static_cast<size_t>(PQgetlength(last_, row, column)));
}

std::string ColumnText(sqlite3_stmt* s, int column) {
    const unsigned char* text = sqlite3_column_text(s, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(s, column)))
                : std::string();
}

int ColumnIndex(sqlite3_stmt* s, const char* name) {
    for (int i = 0; i < sqlite3_column_count(s); ++i)
        if (std::strcmp(sqlite3_column_name(s, i), name) == 0) return i;
    std::abort();
}

std::string ValueText(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column), static_cast<size_t>(PQgetlength(r, row, column)));
}

void AddMembershipServiceAccount(const BenchInstallation& inst) {
    auto code = qx::HashAccessCode("bench-code");
    auto c = std::make_shared<ado::Connection>();
    c->Open(inst.ConnectionString());
    c->Execute("INSERT INTO WEBUSER (USERID, PASSWORDSALT, PASSWORDHASH) VALUES ('memscript', ?, ?)", nullptr, -1,
               {ole::Variant(code.salt), ole::Variant(code.hash)});
    c->Close();
    qx::WriteConfigurationFile((inst.Home() / "config" / "SiteConfiguration.xml").string(), "Site", "",
                               {{"MEMBERSHIP", "MemScriptUser", "String", "memscript"},
                                {"MEMBERSHIP", "MemScriptCode", "String", "bench-code"},
                                {"MEMBERSHIP", "LDAPRoot", "String", ""}});
}

void SetPerOrderCounters(benchmark::State& state, int orders) {
    state.SetItemsProcessed(state.iterations() * orders);
    state.counters["order"] =
        benchmark::Counter(orders, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void AppendOrderEvents(BareSQLite& db, const std::vector<OrderEvent>& events) {
    for (const auto& statement : OrderEventStatements(events)) {
        sqlite3_stmt* stmt = db.Statement(statement.sql.c_str());
        int index = 0;
        for (const auto& v : statement.params) {
            ++index;
            if (v.IsNull()) {
                sqlite3_bind_null(stmt, index);
            } else if (v.Type() == ole::VarType::String) {
                std::string text = v.ToString();
                sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            } else if (v.Type() == ole::VarType::Date) {
                std::string text = v.ToDate().Iso();
                sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_int64(stmt, index, v.ToLongLong());
            }
        }
        db.Run(stmt);
    }
}

void AppendOrderEvents(BarePostgres& db, const std::vector<OrderEvent>& events) {
    for (const auto& statement : OrderEventStatements(events)) {
        std::string sql;
        int marker = 0;
        for (char c : statement.sql) sql += c == '?' ? "$" + std::to_string(++marker) : std::string(1, c);
        std::vector<std::string> texts;
        texts.reserve(statement.params.size());
        for (const auto& v : statement.params) texts.push_back(v.Type() == ole::VarType::Date ? v.ToDate().Iso() : v.Text());
        std::vector<const char*> params;
        for (size_t i = 0; i < texts.size(); ++i) params.push_back(statement.params[i].IsNull() ? nullptr : texts[i].c_str());
        db.Run(sql.c_str(), params);
    }
}

void CheckSameBytes(benchmark::State& state, const std::string& work, const std::string& file) {
    static std::map<std::string, std::string> noted;  // work -> SHA-256 of its file
    std::string sha = os::Sha256Hex(os::ReadRegularFile(file));
    auto [at, first] = noted.emplace(work, sha);
    if (!first && at->second != sha)
        state.SkipWithError((work + ": the file differs from that of the first run (SHA-256 " + sha + " against " +
                             at->second + ")").c_str());
}

namespace {

// The rows 1..n as column i, in the database's own words.
std::string Series(Database db, int n) {
    if (db == Database::PostgreSQL) return "generate_series(1, " + std::to_string(n) + ") AS s(i)";
    return "(WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < " + std::to_string(n) +
           ") SELECT i FROM r) AS s";
}

}  // namespace

void StoreRealisticOrders(const BenchInstallation& inst, Database db, int orders, int partners) {
    const bool pg = db == Database::PostgreSQL;
    const std::string partner = "(999 + i % " + std::to_string(partners) + " + 1)";
    const std::string randomId = pg ? "upper(md5(random()::text || i))" : "hex(randomblob(16))";
    const std::string date = pg ? "TIMESTAMP '2025-03-01 00:00:00' + (i % 365) * INTERVAL '1 day' + (i * 7 % 86400) * "
                                  "INTERVAL '1 second'"
                                : "datetime('2025-03-01', '+' || (i % 365) || ' days', '+' || (i * 7 % 86400) || ' seconds')";
    const std::string kinds = "(SELECT 0 AS k UNION ALL SELECT 1 UNION ALL SELECT 2) AS kind";
    const std::string lines =
        "(SELECT 1 AS n UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4 UNION ALL SELECT 5) AS l";
    std::string sql =
        "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (1, 'ow4');"
        "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'alignment', 'left');"
        "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'itemsegmentationmask', '****');"
        "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CUSTOMERCODE, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
        "SHIPPINGADDRESSID, BISID) SELECT 999 + i, 'Partner ' || (999 + i), 'C' || (999 + i), 'EUR', 'ROAD', "
        "(999 + i) * 10, (999 + i) * 10 + 1, 1 FROM " + Series(db, partners) + ";"
        // the goods address has a back-end code ("000" at its end: none for "ow4"); the site has none
        "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, NAME2, STREET1, CITY1, ZIPCODE, COUNTRYCODE, PHONE, "
        "BISADDRESSCODE) SELECT (999 + i) * 10 + k, 999 + i, CASE k WHEN 0 THEN 'Invoices ' WHEN 1 THEN 'Goods ' "
        "ELSE 'Building site ' END || (999 + i), 'Attn. receiving', 'Harbour road ' || (k + 1), 'Eemshaven', "
        "'9979 xp', 'NL', '+31 596 000 ' || k, CASE k WHEN 2 THEN '' ELSE 'C' || (999 + i) || k || '0000' END FROM " +
        Series(db, partners) + ", " + kinds + ";"
        "INSERT INTO WEBUSER (USERID, COMMONNAME, BUSINESSPARTNERID) SELECT 'user' || (999 + i), "
        "'Buyer ' || (999 + i), 999 + i FROM " + Series(db, partners) + ";"
        "INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, BUSINESSPARTNERID, "
        "CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, SALESORDERNR, DISCOUNTPERC, CUSTOMERPONR, WEBPAYMENTMETHOD, "
        "CUSTOMERCODE, HEADERTEXT) SELECT " + randomId + ", 'EUR', 'user' || " + partner + ", " + partner +
        " * 10 + 1, " + partner + " * 10, " + partner + ", 'ROAD', 'Week ' || (i % 52 + 1), 0, " + date +
        ", '', 0, 'PO-' || " + partner + " || '-' || i, 1, 'C' || " + partner +
        ", CASE WHEN i % 4 = 0 THEN 'Deliver before noon, gate 3' END FROM " + Series(db, orders) + ";"
        "INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
        "DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, LINETEXT, REQUESTDATE, LINESTATUS, PARTNUMBER) SELECT h.ORDERID, l.n, "
        "100 + l.n, 'PCS', CASE WHEN l.n % 2 = 0 THEN h.BUSINESSPARTNERID * 10 + 2 ELSE h.SHIPPINGADDRESSID END, "
        "l.n * 2, 0.45 * l.n, 0, 0, 0.9 * l.n * l.n, 0, 'Line ' || l.n || ' of ' || h.CUSTOMERPONR || "
        "': mark the crates with the PO number', '2026-04-01', 0, 'PART-' || (100 + l.n) FROM ORDERHEADER h, " + lines + ";"
        "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, CITY1, ZIPCODE, PHONE) "
        "SELECT h.ORDERID, a.ADDRESSID, a.COUNTRYCODE, a.NAME1, a.NAME2, a.STREET1, a.CITY1, a.ZIPCODE, a.PHONE "
        "FROM ORDERHEADER h JOIN ADDRESS a ON a.BUSINESSPARTNERID = h.BUSINESSPARTNERID AND "
        "a.ADDRESSID IN (h.SHIPPINGADDRESSID, h.BUSINESSPARTNERID * 10 + 2);";
    if (pg)
        inst.Exec(sql + "VACUUM ANALYZE ORDERHEADER; VACUUM ANALYZE ORDERLINE; VACUUM ANALYZE ADDRESSHISTORY");
    else
        inst.Exec("BEGIN;" + sql + "COMMIT; ANALYZE");
}

std::unique_ptr<SimulatorProcess> StartErpBusinessObjects(const std::string& binary,
                                                          const std::filesystem::path& folder, int delayMs) {
    return std::make_unique<SimulatorProcess>(
        std::vector<std::string>{binary, "boi", "--archive", folder.string(), "--boi-delay-ms", std::to_string(delayMs),
                                 "--port-file", (folder / "port").string()},
        folder, "ERP simulator");
}

std::string BoiUrl(const SimulatorProcess& erp) { return "http://127.0.0.1:" + std::to_string(erp.Port()) + "/boi"; }

std::string SalesOrder(int i) { return "SO" + std::to_string(1000000 + i); }

void WriteSalesOrderBook(const std::filesystem::path& folder, int orders, int linesPerOrder) {
    std::ofstream book(folder / "sales-orders");
    for (int i = 0; i < orders; ++i) {
        book << SalesOrder(i) << " " << i;
        for (int l = 1; l <= linesPerOrder; ++l) book << " " << l;
        book << "\n";
    }
    if (!book.flush()) throw std::runtime_error("cannot write the sales order book in " + folder.string());
}

void StoreBoiInstance(ado::Connection& connection, const std::string& boiUrl) {
    connection.Execute("INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (1, 'ow4')");
    connection.Execute("INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'componentid', 'OW4'), (1, 'boiurl', ?)",
                       nullptr, -1, {boiUrl});
}

}  // namespace bench_support
