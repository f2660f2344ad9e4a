// Prices against the bare SQLite C API on the same file in the same run.
//
// WebPricePage: the web prices of a page of 50 products for one partner and day.
//   /system  50 Pricing.GetWebPrice calls on one object (each asks the currency
//            component for the home currency and calls the procedure GetPrice on
//            a pooled connection), reading the price properties;
//   /list    one Pricing.GetWebPrices call for the 50 products;
//   /bare    50 runs of one prepared statement with the same precedence query,
//            the home currency known beforehand;
//   /http_batch  one POST /api/v1/prices/web for the 50 products to the host
//            (in this process, on loopback, one kept-alive connection), the
//            answer parsed as JSON.
// PriceImport: a price list of 100,000 list prices (25,000 products, four
//   quarters each, the rows in random order).
//   /system  Vendalo.PriceListImport.ImportText: parse, validate, sort, then per key
//            its stored ranges read once and the referential check, per row the
//            overlap checks against the key's ranges and the insert, in one
//            transaction;
//   /bare    the same work by hand: the lines split into fields, each row's
//            product, dates and price checked, the rows sorted by product and
//            date, then in one transaction per product the references checked
//            and its stored ranges read, per row the overlap checked against
//            them and the insert, the statements prepared once.
//   After each run both sides must have stored the same prices (count and sum).
// Both report rows per second.
//
// The same work on PostgreSQL ("@pg"): the system calls the database function
// GETPRICE where SQLite runs the registered query, and the bare libpq client
// runs the same statements prepared once, one round trip each.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>
#include <cstdlib>
#include <memory>
#include <string>

#include <thread>

#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "http/http_host.h"
#include "interfaces/vendalo/price_list_import.h"
#include "interfaces/vendalo/pricing.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;

constexpr int kPage = 50;
constexpr int kProducts = 1000;
constexpr int kImportProducts = 25000;
const char* kQuarters[] = {"2024-01-01", "2024-04-01", "2024-07-01", "2024-10-01", ""};

// Products with list prices in EUR and USD; every other one with a customer price of partner 10.
void StorePrices(BareSQLite& db) {
    db.Exec("BEGIN");
    db.Exec("INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('EUR', 2, 1)");
    db.Exec("INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('USD', 2, 0)");
    db.Exec("INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME) VALUES (10, 'Acme')");
    for (int p = 1; p <= kProducts; ++p) {
        sqlite3_stmt* list = db.Statement(
            "INSERT INTO PRODUCTPRICE VALUES (?, '2024-01-01 00:00:00', ?, NULL, ?, NULL, NULL)");
        for (const char* currency : {"EUR", "USD"}) {
            sqlite3_bind_int(list, 1, p);
            sqlite3_bind_text(list, 2, currency, 3, SQLITE_STATIC);
            sqlite3_bind_double(list, 3, 10 + p / 100.0);
            db.Run(list);
            sqlite3_reset(list);
        }
        if (p % 2 == 0) {
            sqlite3_stmt* customer = db.Statement(
                "INSERT INTO CUSTOMERPRICE VALUES (10, ?, '2024-01-01 00:00:00', 'USD', NULL, ?, 5, NULL)");
            sqlite3_bind_int(customer, 1, p);
            sqlite3_bind_double(customer, 2, 9 + p / 100.0);
            db.Run(customer);
        }
    }
    db.Exec("COMMIT");
}

// The same prices on PostgreSQL, stored set-wise, with fresh statistics.
void StorePrices(const BenchInstallation& inst) {
    std::string products = std::to_string(kProducts);
    inst.Exec("INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('EUR', 2, TRUE);"
              "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('USD', 2, FALSE);"
              "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME) VALUES (10, 'Acme');"
              "INSERT INTO PRODUCTPRICE SELECT p, '2024-01-01 00:00:00', c, NULL, 10 + p / 100.0, NULL, NULL "
              "FROM generate_series(1, " + products + ") AS p, (VALUES ('EUR'), ('USD')) AS v(c);"
              "INSERT INTO CUSTOMERPRICE SELECT 10, p, '2024-01-01 00:00:00', 'USD', NULL, 9 + p / 100.0, 5, NULL "
              "FROM generate_series(2, " + products + ", 2) AS p;"
              "ANALYZE");
}

// An installation with the prices; on SQLite the set-up handle stays open for the run.
template <Database kDb>
std::unique_ptr<BareSQLite> StorePrices(const BenchInstallation& inst) {
    if constexpr (kDb == Database::PostgreSQL) {
        StorePrices(inst);
        return nullptr;
    } else {
        auto setup = std::make_unique<BareSQLite>(inst.DatabaseFile());
        StorePrices(*setup);
        return setup;
    }
}

template <Database kDb>
void WebPricePage(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    auto setup = StorePrices<kDb>(inst);
    auto pricing = Sls_GetComponent<vendalo::IPricing>("Vendalo.Pricing");
    ole::Date day = ole::Date::FromParts(2025, 3, 1);
    int first = 1;
    double sum = 0;
    for (auto _ : state) {
        for (int p = first; p < first + kPage; ++p)
            if (pricing->GetWebPrice(p, 10, day, "USD")) sum += pricing->Price().ToDouble();
        first = first + kPage > kProducts ? 1 : first + kPage;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["prices/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kPage), benchmark::Counter::kIsRate);
}
BENCHMARK(WebPricePage<Database::SQLite>)->Name("WebPricePage/system")->UseRealTime();
BENCHMARK(WebPricePage<Database::PostgreSQL>)->Name("WebPricePage@pg/system")->UseRealTime();

template <Database kDb>
void WebPricePageList(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    auto setup = StorePrices<kDb>(inst);
    auto pricing = Sls_GetComponent<vendalo::IPricing>("Vendalo.Pricing");
    ole::Date day = ole::Date::FromParts(2025, 3, 1);
    std::vector<int32_t> page(kPage);
    int first = 1;
    double sum = 0;
    for (auto _ : state) {
        for (int k = 0; k < kPage; ++k) page[static_cast<size_t>(k)] = first + k;
        for (const auto& price : pricing->GetWebPrices(page, 10, day, "USD"))
            if (price) sum += price->Price.ToDouble();
        first = first + kPage > kProducts ? 1 : first + kPage;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["prices/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kPage), benchmark::Counter::kIsRate);
}
BENCHMARK(WebPricePageList<Database::SQLite>)->Name("WebPricePage/list")->UseRealTime();
BENCHMARK(WebPricePageList<Database::PostgreSQL>)->Name("WebPricePage@pg/list")->UseRealTime();

void WebPricePageBare(benchmark::State& state) {
    BenchInstallation inst;
    BareSQLite db(inst.DatabaseFile());
    StorePrices(db);
    const char* query =
        "SELECT PRODUCTID, BUSINESSPARTNERID, CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE, PRICE, DISCOUNTPERC, DISCOUNTAMOUNT FROM ("
        " SELECT * FROM (SELECT 1 AS K, * FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?2 AND PRODUCTID = ?1 AND CURRENCYCODE = ?3"
        "  AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL ORDER BY EFFECTIVEDATE DESC LIMIT 1)"
        " UNION ALL SELECT * FROM (SELECT 2 AS K, * FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ?2 AND PRODUCTID = ?1 AND CURRENCYCODE = ?4"
        "  AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL ORDER BY EFFECTIVEDATE DESC LIMIT 1)"
        " UNION ALL SELECT * FROM (SELECT 3 AS K, NULL, * FROM PRODUCTPRICE WHERE PRODUCTID = ?1 AND CURRENCYCODE = ?3"
        "  AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL ORDER BY EFFECTIVEDATE DESC LIMIT 1)"
        " UNION ALL SELECT * FROM (SELECT 4 AS K, NULL, * FROM PRODUCTPRICE WHERE PRODUCTID = ?1 AND CURRENCYCODE = ?4"
        "  AND EFFECTIVEDATE <= ?5 AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ?5) AND PRICE IS NOT NULL ORDER BY EFFECTIVEDATE DESC LIMIT 1)"
        ") ORDER BY K LIMIT 1";
    int first = 1;
    double sum = 0;
    for (auto _ : state) {
        for (int p = first; p < first + kPage; ++p) {
            sqlite3_stmt* stmt = db.Statement(query);
            sqlite3_bind_int(stmt, 1, p);
            sqlite3_bind_int(stmt, 2, 10);
            sqlite3_bind_text(stmt, 3, "USD", 3, SQLITE_STATIC);
            sqlite3_bind_text(stmt, 4, "EUR", 3, SQLITE_STATIC);
            sqlite3_bind_text(stmt, 5, "2025-03-01 00:00:00", 19, SQLITE_STATIC);
            if (sqlite3_step(stmt) == SQLITE_ROW) sum += sqlite3_column_double(stmt, 5);
        }
        first = first + kPage > kProducts ? 1 : first + kPage;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["prices/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kPage), benchmark::Counter::kIsRate);
}
BENCHMARK(WebPricePageBare)->Name("WebPricePage/bare")->UseRealTime();

// The statement the system sends on PostgreSQL, prepared once.
void WebPricePageBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    StorePrices(inst);
    BarePostgres db(inst);
    int first = 1;
    double sum = 0;
    for (auto _ : state) {
        for (int p = first; p < first + kPage; ++p) {
            std::string product = std::to_string(p);
            if (db.Run("SELECT * FROM GETPRICE($1, $2, $3, $4, $5)",
                       {product.c_str(), "10", "USD", "EUR", "2025-03-01 00:00:00"}) == 1)
                sum += std::strtod(db.Value(0, 5).c_str(), nullptr);
        }
        first = first + kPage > kProducts ? 1 : first + kPage;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["prices/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kPage), benchmark::Counter::kIsRate);
}
BENCHMARK(WebPricePageBarePostgres)->Name("WebPricePage@pg/bare")->UseRealTime();

template <Database kDb>
void WebPricePageHttp(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);  // the host reads the installation's connection string
    auto setup = StorePrices<kDb>(inst);
    backoffice::HostSettings settings;
    settings.workers = 4;
    settings.shopApiKey = "bench-shop-key-0123456789abcdef0123456789abcdef";
    settings.operatorApiKey = "bench-operator-key-0123456789abcdef0123456789ab";
    backoffice::http::HttpHost host(inst.Home(), settings);
    int port = host.Bind("127.0.0.1", 0);
    std::thread serving([&] { host.Serve(); });
    {
        httplib::Client client("127.0.0.1", port);
        client.set_keep_alive(true);
        client.set_tcp_nodelay(true);  // headers and body go in two writes: no wait for the delayed ACK
        client.set_bearer_token_auth(settings.shopApiKey);
        int first = 1;
        double sum = 0;
        for (auto _ : state) {
            nlohmann::json products = nlohmann::json::array();
            for (int p = first; p < first + kPage; ++p) products.push_back(p);
            nlohmann::json body = {{"partner", 10}, {"currency", "USD"}, {"date", "2025-03-01"}, {"products", products}};
            auto r = client.Post("/api/v1/prices/web", body.dump(), "application/json");
            if (!r || r->status != 200) {
                state.SkipWithError("the host did not answer 200");
                break;
            }
            for (const auto& price : nlohmann::json::parse(r->body)["prices"])
                if (!price.is_null()) sum += price["PRICE"].get<double>();
            first = first + kPage > kProducts ? 1 : first + kPage;
        }
        benchmark::DoNotOptimize(sum);
    }
    host.Stop();
    serving.join();
    state.counters["prices/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kPage), benchmark::Counter::kIsRate);
}
BENCHMARK(WebPricePageHttp<Database::SQLite>)->Name("WebPricePage/http_batch")->UseRealTime();
BENCHMARK(WebPricePageHttp<Database::PostgreSQL>)->Name("WebPricePage@pg/http_batch")->UseRealTime();

void StoreProducts(BareSQLite& db) {
    db.Exec("BEGIN");
    db.Exec("INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('EUR', 2, 1)");
    sqlite3_stmt* insert = db.Statement("INSERT INTO PRODUCT (PRODUCTID) VALUES (?)");
    for (int p = 1; p <= kImportProducts; ++p) {
        sqlite3_bind_int(insert, 1, p);
        db.Run(insert);
        sqlite3_reset(insert);
    }
    db.Exec("COMMIT");
}

// Every product's four quarters, the rows in an order of their own (fixed, random-looking).
std::string PriceList() {
    std::vector<std::string> rows;
    char row[96];
    for (int q = 0; q < 4; ++q)
        for (int p = 1; p <= kImportProducts; ++p) {
            std::snprintf(row, sizeof row, "%d,EUR,%s,%s,%d.%02d\n", p, kQuarters[q], kQuarters[q + 1], 10 + q, p % 100);
            rows.push_back(row);
        }
    std::mt19937 random(42);
    std::shuffle(rows.begin(), rows.end(), random);
    std::string csv = "PRODUCTID,CURRENCYCODE,EFFECTIVEDATE,EXPIRYDATE,PRICE\n";
    for (const auto& r : rows) csv += r;
    return csv;
}

// What both sides must have stored: every row, and the sum of the prices in cents.
const char* const kStoredCheck = "SELECT COUNT(*), CAST(ROUND(SUM(PRICE) * 100) AS BIGINT) FROM PRODUCTPRICE";
std::string ExpectedPrices() {
    long long cents = 0;
    for (int q = 0; q < 4; ++q)
        for (int p = 1; p <= kImportProducts; ++p) cents += (10 + q) * 100 + p % 100;
    return std::to_string(4 * kImportProducts) + " rows, " + std::to_string(cents) + " cents";
}
// What differs from what both sides must store, or "".
std::string CheckStored(const std::string& count, const std::string& cents) {
    std::string found = count + " rows, " + cents + " cents";
    return found == ExpectedPrices() ? "" : "stored " + found + ", expected " + ExpectedPrices();
}
std::string CheckStored(BareSQLite& db) {
    sqlite3_stmt* s = db.Statement(kStoredCheck);
    sqlite3_step(s);
    std::string count = ColumnText(s, 0), cents = ColumnText(s, 1);
    sqlite3_reset(s);
    return CheckStored(count, cents);
}
std::string CheckStored(BarePostgres& db) {
    db.Run(kStoredCheck, std::vector<const char*>{});
    return CheckStored(db.Value(0, 0), db.Value(0, 1));
}

// A row of the list as the bare program reads and checks it.
struct PriceRow {
    int product = 0;
    std::string from, to;  // "yyyy-mm-dd 00:00:00"; `to` "" for an open end
    std::string price;     // as written
};

bool IsDate(const std::string& text) {
    int y, m, d;
    char rest;
    return text.size() == 10 && std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &rest) == 3 && m >= 1 && m <= 12 &&
           d >= 1 && d <= 31;
}

// The list split into rows, each checked (a whole product id, dates, an end
// after the start, a price of 0 or more), sorted by product and start.
std::vector<PriceRow> ReadPriceList(const std::string& csv) {
    std::vector<PriceRow> rows;
    size_t at = csv.find('\n') + 1;  // after the header
    std::vector<std::string> fields;
    while (at < csv.size()) {
        size_t end = csv.find('\n', at);
        std::string line = csv.substr(at, end - at);
        at = end == std::string::npos ? csv.size() : end + 1;
        fields.clear();
        for (size_t from = 0;;) {
            size_t comma = line.find(',', from);
            fields.push_back(line.substr(from, comma - from));
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
        if (fields.size() != 5) throw std::runtime_error("a row without five fields");
        PriceRow row;
        char* rest = nullptr;
        long product = std::strtol(fields[0].c_str(), &rest, 10);
        double price = std::strtod(fields[4].c_str(), nullptr);
        if (*rest || product <= 0 || fields[1] != "EUR" || !IsDate(fields[2]) || (!fields[3].empty() && !IsDate(fields[3])) ||
            (!fields[3].empty() && fields[3] <= fields[2]) || price < 0)
            throw std::runtime_error("a row that is not valid: " + line);
        row.product = static_cast<int>(product);
        row.from = fields[2] + " 00:00:00";
        row.to = fields[3].empty() ? "" : fields[3] + " 00:00:00";
        row.price = fields[4];
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const PriceRow& a, const PriceRow& b) {
        return std::tie(a.product, a.from) < std::tie(b.product, b.from);
    });
    return rows;
}

// A key's range as stored or written in this run ("" for an open end).
struct PriceRange {
    std::string from, to;
};

// A row must not overlap its key's stored ranges nor those written before it;
// once checked it is one of them.
void CheckOverlap(std::vector<PriceRange>& ranges, const PriceRow& row) {
    auto end = [](const std::string& to) { return to.empty() ? std::string("9999-12-31 00:00:00") : to; };
    for (const PriceRange& r : ranges)
        if (r.from < end(row.to) && row.from < end(r.to)) throw std::runtime_error("an overlap");
    ranges.push_back({row.from, row.to});
}

// The same products on PostgreSQL, with fresh statistics.
void StoreProducts(const BenchInstallation& inst) {
    inst.Exec("INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('EUR', 2, TRUE);"
              "INSERT INTO PRODUCT (PRODUCTID) SELECT generate_series(1, " + std::to_string(kImportProducts) + ");"
              "ANALYZE");
}

template <Database kDb>
void PriceImport(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    std::unique_ptr<BareSQLite> db;
    if constexpr (kDb == Database::SQLite) {
        db = std::make_unique<BareSQLite>(inst.DatabaseFile());
        StoreProducts(*db);
    } else {
        StoreProducts(inst);
    }
    std::string csv = PriceList();
    auto import = Sls_GetComponent<vendalo::IPriceListImport>("Vendalo.PriceListImport");
    size_t rows = 0;
    for (auto _ : state) {
        auto result = import->ImportText(csv);
        if (!result.Stored()) state.SkipWithError("the price list was refused");
        rows += result.rows;
        state.PauseTiming();
        std::string problem;
        if constexpr (kDb == Database::SQLite) {
            problem = CheckStored(*db);
            db->Exec("DELETE FROM PRODUCTPRICE");
        } else {
            BarePostgres check(inst);
            problem = CheckStored(check);
            inst.Exec("DELETE FROM PRODUCTPRICE");
        }
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(PriceImport<Database::SQLite>)->Name("PriceImport/system")->UseRealTime()->Iterations(1);
BENCHMARK(PriceImport<Database::PostgreSQL>)->Name("PriceImport@pg/system")->UseRealTime()->Iterations(1);

void PriceImportBare(benchmark::State& state) {
    BenchInstallation inst;
    BareSQLite db(inst.DatabaseFile());
    StoreProducts(db);
    std::string csv = PriceList();
    size_t count = 0;
    for (auto _ : state) {
        std::vector<PriceRow> rows = ReadPriceList(csv);
        db.Exec("BEGIN IMMEDIATE");
        int checked = 0;
        std::vector<PriceRange> ranges;
        for (const PriceRow& row : rows) {
            if (row.product != checked) {  // the references and the stored ranges, once per product
                checked = row.product;
                for (const char* check : {"SELECT PRODUCTID FROM PRODUCT WHERE PRODUCTID = ?",
                                          "SELECT CURRENCYCODE FROM CURRENCY WHERE CURRENCYCODE = 'EUR' AND ? > 0"}) {
                    sqlite3_stmt* stmt = db.Statement(check);
                    sqlite3_bind_int(stmt, 1, row.product);
                    db.ReadAll(stmt);
                }
                ranges.clear();
                sqlite3_stmt* stored = db.Statement(
                    "SELECT EFFECTIVEDATE, EXPIRYDATE FROM PRODUCTPRICE WHERE PRODUCTID = ? AND CURRENCYCODE = 'EUR'");
                sqlite3_bind_int(stored, 1, row.product);
                while (sqlite3_step(stored) == SQLITE_ROW) ranges.push_back({ColumnText(stored, 0), ColumnText(stored, 1)});
                sqlite3_reset(stored);
            }
            CheckOverlap(ranges, row);
            sqlite3_stmt* insert = db.Statement(
                "INSERT INTO PRODUCTPRICE(PRODUCTID, EFFECTIVEDATE, CURRENCYCODE, EXPIRYDATE, PRICE, DISCOUNTPERC, "
                "DISCOUNTAMOUNT) VALUES (?, ?, 'EUR', ?, ?, NULL, NULL)");
            sqlite3_bind_int(insert, 1, row.product);
            sqlite3_bind_text(insert, 2, row.from.c_str(), -1, SQLITE_TRANSIENT);
            if (!row.to.empty()) sqlite3_bind_text(insert, 3, row.to.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(insert, 4, std::strtod(row.price.c_str(), nullptr));
            db.Run(insert);
            ++count;
        }
        db.Exec("COMMIT");
        state.PauseTiming();
        std::string problem = CheckStored(db);
        db.Exec("DELETE FROM PRODUCTPRICE");
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(PriceImportBare)->Name("PriceImport/bare")->UseRealTime()->Iterations(1);

// On PostgreSQL the import also holds the price table's advisory lock for its transaction.
void PriceImportBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    StoreProducts(inst);
    BarePostgres db(inst);
    std::string csv = PriceList();
    size_t count = 0;
    for (auto _ : state) {
        std::vector<PriceRow> rows = ReadPriceList(csv);
        db.Exec("BEGIN");
        // Parsed once, planned per run: a generic plan made while the table is nearly
        // empty would scan the whole table for every row once it has grown (the
        // system's statements, not prepared, are planned per run as well).
        db.Exec("SET LOCAL plan_cache_mode = force_custom_plan");
        db.Run("SELECT pg_advisory_xact_lock(hashtext($1), 0)", {"PRODUCTPRICE"});
        int checked = 0;
        std::vector<PriceRange> ranges;
        for (const PriceRow& row : rows) {
            std::string product = std::to_string(row.product);
            if (row.product != checked) {  // the references and the stored ranges, once per product
                checked = row.product;
                db.Run("SELECT PRODUCTID FROM PRODUCT WHERE PRODUCTID = $1", {product.c_str()});
                db.Run("SELECT CURRENCYCODE FROM CURRENCY WHERE CURRENCYCODE = $1", {"EUR"});
                ranges.clear();
                int stored = db.Run("SELECT EFFECTIVEDATE, EXPIRYDATE FROM PRODUCTPRICE WHERE PRODUCTID = $1 AND "
                                    "CURRENCYCODE = $2",
                                    {product.c_str(), "EUR"});
                for (int i = 0; i < stored; ++i) ranges.push_back({db.Value(i, 0), db.Value(i, 1)});
            }
            CheckOverlap(ranges, row);
            db.Run("INSERT INTO PRODUCTPRICE(PRODUCTID, EFFECTIVEDATE, CURRENCYCODE, EXPIRYDATE, PRICE, DISCOUNTPERC, "
                   "DISCOUNTAMOUNT) VALUES ($1, $2, $3, $4, $5, NULL, NULL)",
                   {product.c_str(), row.from.c_str(), "EUR", row.to.empty() ? nullptr : row.to.c_str(), row.price.c_str()});
            ++count;
        }
        db.Exec("COMMIT");
        state.PauseTiming();
        std::string problem = CheckStored(db);
        db.Exec("DELETE FROM PRODUCTPRICE");
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(PriceImportBarePostgres)->Name("PriceImport@pg/bare")->UseRealTime()->Iterations(1);

}  // namespace
