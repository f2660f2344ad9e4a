// Inserting rows and reading them back: the data layer against the bare SQLite
// C API doing the same statements on the same file (or a bare libpq client, each
// statement prepared once, one round trip each). Each iteration writes 100 rows
// in one transaction, reads them back column by column and deletes them.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_support.h"
#include "platform/data/ado.h"

namespace {

using namespace bench_support;
using ole::Variant;

constexpr int kRows = 100;
const char* kTable =
    "CREATE TABLE BENCHITEM (BATCH INTEGER NOT NULL, ID INTEGER NOT NULL, NAME VARCHAR(40), "
    "QTY DOUBLE PRECISION, PRICE NUMERIC(19,4), DAY DATE, PRIMARY KEY (BATCH, ID))";
const char* kInsert = "INSERT INTO BENCHITEM (BATCH, ID, NAME, QTY, PRICE, DAY) VALUES (?, ?, ?, ?, ?, ?)";
const char* kSelect = "SELECT * FROM BENCHITEM WHERE BATCH = ?";
const char* kDelete = "DELETE FROM BENCHITEM WHERE BATCH = ?";
const ole::Date kDay = ole::Date::FromParts(2026, 3, 2);

std::string Name(int id) { return "item " + std::to_string(id); }

// Reads every field of every row, as a caller of the recordset does.
int ReadAll(ado::Recordset& rs) {
    int rows = 0;
    int fields = rs.FieldCount();
    for (; !rs.Eof(); rs.MoveNext(), ++rows)
        for (int i = 0; i < fields; ++i) benchmark::DoNotOptimize(rs.Fields(i).Value());
    return rows;
}

template <Database kDb>
void InsertAndReadExecute(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    inst.Exec(kTable);
    int batch = 0;
    for (auto _ : state) {
        ++batch;
        auto c = std::make_shared<ado::Connection>();
        c->Open(inst.ConnectionString());
        c->BeginTrans();
        for (int id = 1; id <= kRows; ++id)
            c->Execute(kInsert, nullptr, -1, {batch, id, Name(id), id * 1.5, ole::Currency::FromDouble(id * 0.25), kDay});
        c->CommitTrans();
        auto rs = std::make_shared<ado::Recordset>();
        rs->CursorLocation = ado::adUseClient;
        rs->Open(kSelect, c, ado::adOpenStatic, ado::adLockReadOnly, -1, {batch});
        if (ReadAll(*rs) != kRows) state.SkipWithError("rows missing");
        c->Execute(kDelete, nullptr, -1, {batch});
        c->Close();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(InsertAndReadExecute<Database::SQLite>)->Name("InsertAndRead/execute")->UseRealTime();
BENCHMARK(InsertAndReadExecute<Database::PostgreSQL>)->Name("InsertAndRead@pg/execute")->UseRealTime();

template <Database kDb>
void InsertAndReadRecordset(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    inst.Exec(kTable);
    int batch = 0;
    for (auto _ : state) {
        ++batch;
        auto c = std::make_shared<ado::Connection>();
        c->Open(inst.ConnectionString());
        auto rs = std::make_shared<ado::Recordset>();
        rs->CursorLocation = ado::adUseClient;
        rs->Open(kSelect, c, ado::adOpenStatic, ado::adLockBatchOptimistic, -1, {batch});
        for (int id = 1; id <= kRows; ++id) {
            rs->AddNew();
            rs->Fields("BATCH") = batch;
            rs->Fields("ID") = id;
            rs->Fields("NAME") = Name(id);
            rs->Fields("QTY") = id * 1.5;
            rs->Fields("PRICE") = ole::Currency::FromDouble(id * 0.25);
            rs->Fields("DAY") = kDay;
        }
        rs->UpdateBatch();
        auto back = std::make_shared<ado::Recordset>();
        back->CursorLocation = ado::adUseClient;
        back->Open(kSelect, c, ado::adOpenStatic, ado::adLockReadOnly, -1, {batch});
        if (ReadAll(*back) != kRows) state.SkipWithError("rows missing");
        c->Execute(kDelete, nullptr, -1, {batch});
        c->Close();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(InsertAndReadRecordset<Database::SQLite>)->Name("InsertAndRead/recordset")->UseRealTime();
BENCHMARK(InsertAndReadRecordset<Database::PostgreSQL>)->Name("InsertAndRead@pg/recordset")->UseRealTime();

void InsertAndReadBare(benchmark::State& state) {
    BenchInstallation inst;
    inst.Exec(kTable);
    BareSQLite db(inst.DatabaseFile());
    std::string day = kDay.Iso();  // the data layer stores dates as this text
    int batch = 0;
    for (auto _ : state) {
        ++batch;
        db.Exec("BEGIN IMMEDIATE");
        for (int id = 1; id <= kRows; ++id) {
            sqlite3_stmt* insert = db.Statement(kInsert);
            std::string name = Name(id);
            sqlite3_bind_int64(insert, 1, batch);
            sqlite3_bind_int64(insert, 2, id);
            sqlite3_bind_text(insert, 3, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
            sqlite3_bind_double(insert, 4, id * 1.5);
            sqlite3_bind_double(insert, 5, id * 0.25);
            sqlite3_bind_text(insert, 6, day.data(), static_cast<int>(day.size()), SQLITE_TRANSIENT);
            db.Run(insert);
        }
        db.Exec("COMMIT");
        sqlite3_stmt* select = db.Statement(kSelect);
        sqlite3_bind_int64(select, 1, batch);
        if (db.ReadAll(select) != kRows) state.SkipWithError("rows missing");
        sqlite3_stmt* remove = db.Statement(kDelete);
        sqlite3_bind_int64(remove, 1, batch);
        db.Run(remove);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(InsertAndReadBare)->Name("InsertAndRead/bare")->UseRealTime();

void InsertAndReadBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    inst.Exec(kTable);
    BarePostgres db(inst);
    const char* insert = "INSERT INTO BENCHITEM (BATCH, ID, NAME, QTY, PRICE, DAY) VALUES ($1, $2, $3, $4, $5, $6)";
    const char* select = "SELECT * FROM BENCHITEM WHERE BATCH = $1";
    const char* remove = "DELETE FROM BENCHITEM WHERE BATCH = $1";
    std::string day = kDay.Iso();
    int batch = 0;
    for (auto _ : state) {
        std::string batchText = std::to_string(++batch);
        db.Exec("BEGIN");
        for (int id = 1; id <= kRows; ++id) {
            char qty[40], price[40];
            std::snprintf(qty, sizeof qty, "%.17g", id * 1.5);
            std::snprintf(price, sizeof price, "%.4f", id * 0.25);
            std::string idText = std::to_string(id), name = Name(id);
            db.Run(insert, {batchText.c_str(), idText.c_str(), name.c_str(), qty, price, day.c_str()});
        }
        db.Exec("COMMIT");
        if (db.Run(select, {batchText.c_str()}) != kRows) state.SkipWithError("rows missing");
        db.Run(remove, {batchText.c_str()});
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(InsertAndReadBarePostgres)->Name("InsertAndRead@pg/bare")->UseRealTime();

}  // namespace
