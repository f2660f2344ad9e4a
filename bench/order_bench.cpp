// Submitting a five-line basket as an order through "Vendalo.Order", against the
// bare SQLite C API doing the same work on the same file in one transaction: the
// basket claim, the address reads and snapshots, the header and line inserts, the
// order's and its lines' events and the basket deletion. The bare program keeps
// its connection and statements; the system opens a (pooled) connection per call
// and builds its statements as text. After each run both sides must have written
// the same rows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/order.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;
using ole::Variant;

constexpr int kLines = 5;
// Stores a basket the way the web shop leaves it before submission.
void StoreBasket(BareSQLite& db, const char* id) {
    sqlite3_stmt* header = db.Statement(
        "INSERT INTO BASKETHEADER (BASKETID, BASKETNAME, BASKETDATE, USERID, BUSINESSPARTNERID, BILLINGADDRESSID, "
        "SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, CALCULATETAX, SUBTOTAL, TOTAL) "
        "VALUES (?, 'Weekly order', '2026-12-08 10:00:00', 'bench', 10, 100, 101, 'EUR', 'DHL', 1, 125, 151.25)");
    sqlite3_bind_text(header, 1, id, 32, SQLITE_STATIC);
    db.Run(header);
    for (int i = 1; i <= kLines; ++i) {
        sqlite3_stmt* line = db.Statement(
            "INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, ADDRESSID, PRODUCTUNITCODE, "
            "PRODUCTPRICE, LINEAMOUNT, TAXAMOUNT, TAXCODE, PARTNUMBER) "
            "VALUES (?, ?, ?, 2, '2026-12-24 00:00:00', 101, 'PCE', 12.5, 25, 5.25, 'H', 'P-100')");
        sqlite3_bind_text(line, 1, id, 32, SQLITE_STATIC);
        sqlite3_bind_int(line, 2, i);
        sqlite3_bind_int(line, 3, 500 + i);
        db.Run(line);
    }
}

const char* kStoreBasketHeader =
    "INSERT INTO BASKETHEADER (BASKETID, BASKETNAME, BASKETDATE, USERID, BUSINESSPARTNERID, BILLINGADDRESSID, "
    "SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, CALCULATETAX, SUBTOTAL, TOTAL) "
    "VALUES ($1, 'Weekly order', '2026-12-08 10:00:00', 'bench', 10, 100, 101, 'EUR', 'DHL', TRUE, 125, 151.25)";
const char* kStoreBasketLine =
    "INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, ADDRESSID, PRODUCTUNITCODE, "
    "PRODUCTPRICE, LINEAMOUNT, TAXAMOUNT, TAXCODE, PARTNUMBER) "
    "VALUES ($1, $2, $3, 2, '2026-12-24 00:00:00', 101, 'PCE', 12.5, 25, 5.25, 'H', 'P-100')";

void StoreBasket(BarePostgres& db, const char* id) {
    db.Run(kStoreBasketHeader, {id});
    for (int i = 1; i <= kLines; ++i) {
        std::string nr = std::to_string(i), sku = std::to_string(500 + i);
        db.Run(kStoreBasketLine, {id, nr.c_str(), sku.c_str()});
    }
}

void NextId(char* id, int serial) { std::snprintf(id, 33, "%032X", serial); }

// The events the submission writes: the order's and each line's first status.
std::vector<OrderEvent> SubmittedEvents(const char* id) {
    std::vector<OrderEvent> events{{id, std::nullopt, std::nullopt, 0, "submitted", "", "", ""}};
    for (int i = 1; i <= kLines; ++i) events.push_back({id, i, std::nullopt, 0, "submitted", "", "", ""});
    return events;
}

// What `submitted` submissions must have written, checked after the run: any difference fails it.
const char* const kWritten =
    "SELECT (SELECT COUNT(*) FROM ORDERHEADER WHERE TOTAL = 151.25), (SELECT COUNT(*) FROM ORDERLINE WHERE AMOUNT = 25), "
    "(SELECT COUNT(*) FROM ADDRESSHISTORY), (SELECT COUNT(*) FROM ORDEREVENT), (SELECT COUNT(*) FROM BASKETHEADER) + "
    "(SELECT COUNT(*) FROM BASKETLINE)";
void CheckWritten(benchmark::State& state, const std::vector<std::string>& counts, int submitted) {
    std::string found = counts[0] + " orders, " + counts[1] + " lines, " + counts[2] + " snapshots, " + counts[3] +
                        " events, " + counts[4] + " basket rows";
    std::string expected = std::to_string(submitted) + " orders, " + std::to_string(kLines * submitted) + " lines, " +
                           std::to_string(2 * submitted) + " snapshots, " + std::to_string((kLines + 1) * submitted) +
                           " events, 0 basket rows";
    if (found != expected) state.SkipWithError(("wrote " + found + ", expected " + expected).c_str());
}
void CheckWritten(benchmark::State& state, BareSQLite& db, int submitted) {
    sqlite3_stmt* s = db.Statement(kWritten);
    sqlite3_step(s);
    std::vector<std::string> counts;
    for (int i = 0; i < 5; ++i) counts.push_back(ColumnText(s, i));
    sqlite3_reset(s);
    CheckWritten(state, counts, submitted);
}
void CheckWritten(benchmark::State& state, BarePostgres& db, int submitted) {
    db.Run(kWritten, std::vector<const char*>{});
    CheckWritten(state, {db.Value(0, 0), db.Value(0, 1), db.Value(0, 2), db.Value(0, 3), db.Value(0, 4)}, submitted);
}

template <Database kDb>
void SubmitBasket(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    inst.Exec(kAcmeMasterData);
    std::unique_ptr<BareSQLite> lite;
    std::unique_ptr<BarePostgres> pg;
    if constexpr (kDb == Database::SQLite)
        lite = std::make_unique<BareSQLite>(inst.DatabaseFile());
    else
        pg = std::make_unique<BarePostgres>(inst);
    auto order = Sls_GetComponent<vendalo::IOrder>("Vendalo.Order");
    int serial = 0;
    char id[40];
    for (auto _ : state) {
        state.PauseTiming();
        NextId(id, ++serial);
        if constexpr (kDb == Database::SQLite)
            StoreBasket(*lite, id);
        else
            StoreBasket(*pg, id);
        auto basket = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket")->Restore(id);
        state.ResumeTiming();
        order->SubmitBasket(Variant(basket));
    }
    if constexpr (kDb == Database::SQLite)
        CheckWritten(state, *lite, serial);
    else
        CheckWritten(state, *pg, serial);
}
BENCHMARK(SubmitBasket<Database::SQLite>)->Name("SubmitBasket/order")->UseRealTime();
BENCHMARK(SubmitBasket<Database::PostgreSQL>)->Name("SubmitBasket@pg/order")->UseRealTime();

void SubmitBasketBare(benchmark::State& state) {
    BenchInstallation inst;
    inst.Exec(kAcmeMasterData);
    BareSQLite db(inst.DatabaseFile());
    int serial = 0;
    char id[40];
    for (auto _ : state) {
        state.PauseTiming();
        NextId(id, ++serial);
        StoreBasket(db, id);
        state.ResumeTiming();
        auto bindId = [&](sqlite3_stmt* stmt, int at) { sqlite3_bind_text(stmt, at, id, 32, SQLITE_STATIC); };
        db.Exec("BEGIN IMMEDIATE");
        sqlite3_stmt* claim = db.Statement("SELECT BASKETID FROM BASKETHEADER WHERE BASKETID = ?");
        bindId(claim, 1);
        db.ReadAll(claim);
        for (int address : {100, 101}) {
            sqlite3_stmt* snapshot = db.Statement("SELECT * FROM ADDRESSHISTORY WHERE ORDERID = ? AND ADDRESSID = ?");
            bindId(snapshot, 1);
            sqlite3_bind_int(snapshot, 2, address);
            db.ReadAll(snapshot);
            sqlite3_stmt* read = db.Statement(
                "SELECT SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, "
                "COUNTRYCODE, PHONE, FAX, COUNTRYNAME FROM ADDRESS WHERE ADDRESSID = ?");
            sqlite3_bind_int(read, 1, address);
            sqlite3_step(read);
            sqlite3_stmt* insert = db.Statement(
                "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
                "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
            bindId(insert, 1);
            sqlite3_bind_int(insert, 2, address);
            int columns[] = {9, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 0};
            for (int k = 0; k < 13; ++k) sqlite3_bind_value(insert, 3 + k, sqlite3_column_value(read, columns[k]));
            db.Run(insert);
            sqlite3_reset(read);
        }
        sqlite3_stmt* header = db.Statement(
            "INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
            "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, HEADERTEXT, SALESORDERNR, "
            "DISCOUNTPERC, CUSTOMERPONR, ACKNOWLEDGEMENTURL, BISID, FREIGHTTOTAL, WEBPAYMENTMETHOD, FREIGHTTAX, "
            "CALCULATETAX, CURRENCYDECIMALS, CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, FREIGHTTAXCODEDESCRIPTION, "
            "FREIGHTTAXPERC, SUBTOTAL, TAXTOTAL, TOTAL, TOTALNETAMOUNT, DISCOUNTTOTAL, CURRENCYSYMBOL) "
            "VALUES (?, 'EUR', 'bench', 101, 100, 10, 'DHL', 'Weekly order', 0, '2026-12-08 10:00:00', NULL, '', 0, "
            "NULL, NULL, NULL, NULL, 1, NULL, -1, NULL, NULL, NULL, NULL, NULL, NULL, 125, NULL, 151.25, NULL, NULL, NULL)");
        bindId(header, 1);
        db.Run(header);
        for (int i = 1; i <= kLines; ++i) {
            sqlite3_stmt* line = db.Statement(
                "INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
                "DISCOUNTAMOUNT, AMOUNT, CONFIGID, CONFIGCOMPLETE, LINETEXT, REQUESTDATE, ALLOCATIONDATE, LINETAX, "
                "LINEFREIGHT, TAXCODE, TAXPERCENTAGE, TAXCODEDESCRIPTION, LINEFREIGHTTAX, LINESTATUS, ORDERDISCOUNT, "
                "PARTNUMBER) VALUES (?, ?, ?, 'PCE', 101, 2, 12.5, 0, 0, 25, NULL, 0, NULL, '2026-12-24 00:00:00', NULL, "
                "5.25, 0, 'H', 0, NULL, 0, 0, 0, 'P-100')");
            bindId(line, 1);
            sqlite3_bind_int(line, 2, i);
            sqlite3_bind_int(line, 3, 500 + i);
            db.Run(line);
        }
        for (const char* sql : {"DELETE FROM BASKETLINE WHERE BASKETID = ?", "DELETE FROM BASKETHEADER WHERE BASKETID = ?"}) {
            sqlite3_stmt* remove = db.Statement(sql);
            bindId(remove, 1);
            db.Run(remove);
        }
        AppendOrderEvents(db, SubmittedEvents(id));
        db.Exec("COMMIT");
    }
    CheckWritten(state, db, serial);
}
BENCHMARK(SubmitBasketBare)->Name("SubmitBasket/bare")->UseRealTime();

// The same statements through a bare libpq client: prepared, one round trip each.
void SubmitBasketBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    inst.Exec(kAcmeMasterData);
    BarePostgres db(inst);
    int serial = 0;
    char id[40];
    for (auto _ : state) {
        state.PauseTiming();
        NextId(id, ++serial);
        StoreBasket(db, id);
        state.ResumeTiming();
        db.Exec("BEGIN");
        db.Run("SELECT BASKETID FROM BASKETHEADER WHERE BASKETID = $1 FOR UPDATE", {id});
        for (const char* address : {"100", "101"}) {
            db.Run("SELECT * FROM ADDRESSHISTORY WHERE ORDERID = $1 AND ADDRESSID = $2", {id, address});
            db.Run("SELECT SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, "
                   "COUNTRYCODE, PHONE, FAX, COUNTRYNAME FROM ADDRESS WHERE ADDRESSID = $1",
                   {address});
            std::string values[13];
            int columns[] = {9, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 0};
            std::vector<const char*> params{id, address};
            for (int k = 0; k < 13; ++k) {
                values[k] = db.Value(0, columns[k]);
                params.push_back(db.IsNull(0, columns[k]) ? nullptr : values[k].c_str());
            }
            db.Run("INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
                   "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION) "
                   "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15)",
                   params);
        }
        db.Run("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
               "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, HEADERTEXT, SALESORDERNR, "
               "DISCOUNTPERC, CUSTOMERPONR, ACKNOWLEDGEMENTURL, BISID, FREIGHTTOTAL, WEBPAYMENTMETHOD, FREIGHTTAX, "
               "CALCULATETAX, CURRENCYDECIMALS, CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, FREIGHTTAXCODEDESCRIPTION, "
               "FREIGHTTAXPERC, SUBTOTAL, TAXTOTAL, TOTAL, TOTALNETAMOUNT, DISCOUNTTOTAL, CURRENCYSYMBOL) "
               "VALUES ($1, 'EUR', 'bench', 101, 100, 10, 'DHL', 'Weekly order', 0, '2026-12-08 10:00:00', NULL, '', 0, "
               "NULL, NULL, NULL, NULL, 1, NULL, -1, NULL, NULL, NULL, NULL, NULL, NULL, 125, NULL, 151.25, NULL, NULL, NULL)",
               {id});
        for (int i = 1; i <= kLines; ++i) {
            std::string nr = std::to_string(i), sku = std::to_string(500 + i);
            db.Run("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
                   "DISCOUNTAMOUNT, AMOUNT, CONFIGID, CONFIGCOMPLETE, LINETEXT, REQUESTDATE, ALLOCATIONDATE, LINETAX, "
                   "LINEFREIGHT, TAXCODE, TAXPERCENTAGE, TAXCODEDESCRIPTION, LINEFREIGHTTAX, LINESTATUS, ORDERDISCOUNT, "
                   "PARTNUMBER) VALUES ($1, $2, $3, 'PCE', 101, 2, 12.5, 0, 0, 25, NULL, 0, NULL, '2026-12-24 00:00:00', "
                   "NULL, 5.25, 0, 'H', 0, NULL, 0, 0, 0, 'P-100')",
                   {id, nr.c_str(), sku.c_str()});
        }
        db.Run("DELETE FROM BASKETLINE WHERE BASKETID = $1", {id});
        db.Run("DELETE FROM BASKETHEADER WHERE BASKETID = $1", {id});
        AppendOrderEvents(db, SubmittedEvents(id));
        db.Exec("COMMIT");
    }
    CheckWritten(state, db, serial);
}
BENCHMARK(SubmitBasketBarePostgres)->Name("SubmitBasket@pg/bare")->UseRealTime();

}  // namespace
