// A basket's first moments: Create, five AddLine calls and a Restore, through
// "Vendalo.Basket" against the bare SQLite C API running the statements the
// basket store runs, on the same file (or a bare libpq client running them
// prepared, one round trip each, on the same schema).
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_support.h"
#include "interfaces/vendalo/basket.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;
using ole::Variant;

constexpr int kLines = 5;
const char* kPartner =
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
    "SHIPPINGADDRESSID) VALUES (10, 'Acme', 'EUR', 'DHL', 100, 101)";
const ole::Date kRequested = ole::Date::FromParts(2026, 3, 2);

template <Database kDb>
void BasketCreateAddRestore(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    inst.Exec(kPartner);
    auto basket = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    for (auto _ : state) {
        Variant b = basket->Create("bench", 10);
        for (int i = 1; i <= kLines; ++i) basket->AddLine(b, 500 + i, i, kRequested, false, "");
        auto id = b.As<ole::Dictionary>()->Item("header").As<ado::Recordset>()->Fields("BASKETID").Value().ToString();
        auto restored = basket->Restore(id);
        if (restored->Item("lines").As<ado::Recordset>()->RecordCount() != kLines) state.SkipWithError("lines missing");
    }
}
BENCHMARK(BasketCreateAddRestore<Database::SQLite>)->Name("BasketCreateAddRestore/basket")->UseRealTime();
BENCHMARK(BasketCreateAddRestore<Database::PostgreSQL>)->Name("BasketCreateAddRestore@pg/basket")->UseRealTime();

void BasketCreateAddRestoreBare(benchmark::State& state) {
    BenchInstallation inst;
    inst.Exec(kPartner);
    BareSQLite db(inst.DatabaseFile());
    std::string requested = kRequested.Iso();  // the data layer stores dates as this text
    int serial = 0;
    for (auto _ : state) {
        char id[40];
        std::snprintf(id, sizeof id, "%032X", ++serial);
        auto bindId = [&](sqlite3_stmt* stmt) { sqlite3_bind_text(stmt, 1, id, 32, SQLITE_STATIC); };

        // Create: the customer's defaults, the (empty) basket rows, the header row
        sqlite3_stmt* partner = db.Statement(
            "SELECT POSTALADDRESSID, SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, NAME, ORDERREQUESTURL "
            "FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?");
        sqlite3_bind_int64(partner, 1, 10);
        db.ReadAll(partner);
        sqlite3_stmt* header = db.Statement("SELECT * FROM BASKETHEADER WHERE BASKETID = ?");
        bindId(header);
        db.ReadAll(header);
        sqlite3_stmt* lines = db.Statement("SELECT * FROM BASKETLINE WHERE BASKETID = ? ORDER BY BASKETLINENR");
        bindId(lines);
        db.ReadAll(lines);
        std::string now = ole::Date::Now().Iso();
        db.Exec("BEGIN IMMEDIATE");
        sqlite3_stmt* insertHeader = db.Statement(
            "INSERT INTO BASKETHEADER (BASKETID, BASKETDATE, USERID, BUSINESSPARTNERID, BILLINGADDRESSID, "
            "SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        bindId(insertHeader);
        sqlite3_bind_text(insertHeader, 2, now.data(), static_cast<int>(now.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insertHeader, 3, "bench", 5, SQLITE_STATIC);
        sqlite3_bind_int64(insertHeader, 4, 10);
        sqlite3_bind_int64(insertHeader, 5, 100);
        sqlite3_bind_int64(insertHeader, 6, 101);
        sqlite3_bind_text(insertHeader, 7, "EUR", 3, SQLITE_STATIC);
        sqlite3_bind_text(insertHeader, 8, "DHL", 3, SQLITE_STATIC);
        db.Run(insertHeader);
        db.Exec("COMMIT");

        // AddLine: each line is stored in a transaction of its own
        for (int i = 1; i <= kLines; ++i) {
            db.Exec("BEGIN IMMEDIATE");
            sqlite3_stmt* insertLine = db.Statement(
                "INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, PRODUCTCONFIGURABLE, "
                "PRODUCTCONFIGID) VALUES (?, ?, ?, ?, ?, ?, ?)");
            bindId(insertLine);
            sqlite3_bind_int64(insertLine, 2, i);
            sqlite3_bind_int64(insertLine, 3, 500 + i);
            sqlite3_bind_double(insertLine, 4, i);
            sqlite3_bind_text(insertLine, 5, requested.data(), static_cast<int>(requested.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(insertLine, 6, 0);
            sqlite3_bind_text(insertLine, 7, "", 0, SQLITE_STATIC);
            db.Run(insertLine);
            db.Exec("COMMIT");
        }

        // Restore
        header = db.Statement("SELECT * FROM BASKETHEADER WHERE BASKETID = ?");
        bindId(header);
        db.ReadAll(header);
        lines = db.Statement("SELECT * FROM BASKETLINE WHERE BASKETID = ? ORDER BY BASKETLINENR");
        bindId(lines);
        if (db.ReadAll(lines) != kLines) state.SkipWithError("lines missing");
    }
}
BENCHMARK(BasketCreateAddRestoreBare)->Name("BasketCreateAddRestore/bare")->UseRealTime();

void BasketCreateAddRestoreBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    inst.Exec(kPartner);
    BarePostgres db(inst);
    const char* selectHeader = "SELECT * FROM BASKETHEADER WHERE BASKETID = $1";
    const char* selectLines = "SELECT * FROM BASKETLINE WHERE BASKETID = $1 ORDER BY BASKETLINENR";
    std::string requested = kRequested.Iso();
    int serial = 0;
    for (auto _ : state) {
        char id[40];
        std::snprintf(id, sizeof id, "%032X", ++serial);

        // Create: the customer's defaults, the (empty) basket rows, the header row
        db.Run("SELECT POSTALADDRESSID, SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, NAME, ORDERREQUESTURL "
               "FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = $1",
               {"10"});
        db.Run(selectHeader, {id});
        db.Run(selectLines, {id});
        std::string now = ole::Date::Now().Iso();
        db.Exec("BEGIN");
        db.Run("INSERT INTO BASKETHEADER (BASKETID, BASKETDATE, USERID, BUSINESSPARTNERID, BILLINGADDRESSID, "
               "SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
               {id, now.c_str(), "bench", "10", "100", "101", "EUR", "DHL"});
        db.Exec("COMMIT");

        // AddLine: each line is stored in a transaction of its own
        for (int i = 1; i <= kLines; ++i) {
            std::string nr = std::to_string(i), sku = std::to_string(500 + i);
            db.Exec("BEGIN");
            db.Run("INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, PRODUCTCONFIGURABLE, "
                   "PRODUCTCONFIGID) VALUES ($1, $2, $3, $4, $5, $6, $7)",
                   {id, nr.c_str(), sku.c_str(), nr.c_str(), requested.c_str(), "0", ""});
            db.Exec("COMMIT");
        }

        // Restore
        db.Run(selectHeader, {id});
        if (db.Run(selectLines, {id}) != kLines) state.SkipWithError("lines missing");
    }
}
BENCHMARK(BasketCreateAddRestoreBarePostgres)->Name("BasketCreateAddRestore@pg/bare")->UseRealTime();

}  // namespace
