// Importing a confirmation file of 100,000 EDI entries through
// "Ordexa.WebOrderConfirmation", against the bare SQLite C API (or a bare libpq
// client, one round trip per statement) reading the same file and applying the
// same reads and updates in one transaction.
//
// "ConfirmationImportXml" imports the same 100,000 entries as an XML
// confirmation (indented, as back ends write it) and compares it with the
// system's own EDI import ("/bare" there is the EDI import): the ratio is the
// price of the XML format, and should stay below 2.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>

#include "bench_support.h"
#include "ordexa/exchange/web_order_confirmation.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;

constexpr int kEntries = 100000;

std::string OrderId(int i) {
    char id[40];
    std::snprintf(id, sizeof id, "%032X", i);
    return id;
}

// The timeline's event of a confirmed order, as the confirmation import writes it.
OrderEvent ConfirmedEvent(const std::string& file, const std::string& id, int status, const std::string& number) {
    return {id, std::nullopt, 1, status, "confirmed", "batch bench", file, "sales order " + number};
}

void StoreOrders(BareSQLite& db) {
    db.Exec("BEGIN IMMEDIATE");
    for (int i = 0; i < kEntries; ++i) {
        sqlite3_stmt* insert = db.Statement(
            "INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS, WEBPAYMENTMETHOD, SALESORDERNR) VALUES (?, 1, ?, '')");
        std::string id = OrderId(i);
        sqlite3_bind_text(insert, 1, id.data(), 32, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, i % 3 == 0 ? 2 : 1);
        db.Run(insert);
    }
    db.Exec("COMMIT");
}

enum class Format { Edi, Xml };

void WriteFile(const std::string& file, Format format = Format::Edi);

// Every order back in status 1, and the back end's file written again.
void Prepare(BareSQLite& db, const std::string& file, Format format = Format::Edi) {
    db.Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 1, SALESORDERNR = ''");
    WriteFile(file, format);
}

void WriteFile(const std::string& file, Format format) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (format == Format::Edi) {
        for (int i = 0; i < kEntries; ++i) out << OrderId(i) << ";SO" << i << "\r\n";
        return;
    }
    out << "<?xml version=\"1.0\"?>\n<BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\">\n  <Body>\n"
           "    <QxOrderConfirmation xmlns=\"urn:schemas-biztalk-org:vorn-com/QxOrderConfirmation\">\n";
    for (int i = 0; i < kEntries; ++i)
        out << "      <SalesOrder>\n        <WebOrderId>" << OrderId(i) << "</WebOrderId>\n        <SalesOrderNr>SO" << i
            << "</SalesOrderNr>\n      </SalesOrder>\n";
    out << "    </QxOrderConfirmation>\n  </Body>\n</BizTalk>\n";
}

// On PostgreSQL: the orders stored in one statement, every order back in status
// 1 with fresh statistics, and the file written again.
void StoreOrders(BarePostgres& db) {
    db.Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS, WEBPAYMENTMETHOD, SALESORDERNR) "
            "SELECT lpad(upper(to_hex(i)), 32, '0'), 1, CASE WHEN i % 3 = 0 THEN 2 ELSE 1 END, '' "
            "FROM generate_series(0, 99999) AS i");
}
void Prepare(BarePostgres& db, const std::string& file, Format format = Format::Edi) {
    db.Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 1, SALESORDERNR = ''");
    db.Exec("VACUUM ANALYZE ORDERHEADER");
    WriteFile(file, format);
}

template <Database db, Format format = Format::Edi>
void ConfirmationImport(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, db)) return;
    BenchInstallation inst(db);
    std::unique_ptr<BareSQLite> lite;
    std::unique_ptr<BarePostgres> pg;
    if constexpr (db == Database::SQLite) {
        lite = std::make_unique<BareSQLite>(inst.DatabaseFile());
        StoreOrders(*lite);
    } else {
        pg = std::make_unique<BarePostgres>(inst);
        StoreOrders(*pg);
    }
    // in a folder of its own: the import keeps what it applied in archive/ beside the file
    std::filesystem::create_directories(inst.Home() / "edi" / "in");
    std::string file = (inst.Home() / "edi" / "in" / (format == Format::Edi ? "confirm.edi" : "confirm.xml")).string();
    auto importer = Sls_GetComponent<ordexa::IWebOrderConfirmation>("Ordexa.WebOrderConfirmation");
    for (auto _ : state) {
        state.PauseTiming();
        if constexpr (db == Database::SQLite)
            Prepare(*lite, file, format);
        else
            Prepare(*pg, file, format);
        std::filesystem::remove_all(std::filesystem::path(file).parent_path() / "archive");
        state.ResumeTiming();
        importer->Run("1", file, format == Format::Edi ? "" : "1", ";", ordexa::FtpSettings{"false", "", "", "", "", "", ""});
        if (std::filesystem::exists(file)) state.SkipWithError("the file was not consumed");
    }
}
BENCHMARK(ConfirmationImport<Database::SQLite>)->Name("ConfirmationImport/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::PostgreSQL>)->Name("ConfirmationImport@pg/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
// the XML import against the system's EDI import of the same entries
BENCHMARK(ConfirmationImport<Database::SQLite, Format::Xml>)->Name("ConfirmationImportXml/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::SQLite>)->Name("ConfirmationImportXml/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::PostgreSQL, Format::Xml>)->Name("ConfirmationImportXml@pg/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::PostgreSQL>)->Name("ConfirmationImportXml@pg/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void ConfirmationImportBare(benchmark::State& state) {
    BenchInstallation inst;
    BareSQLite db(inst.DatabaseFile());
    StoreOrders(db);
    std::string file = (std::filesystem::temp_directory_path() / "backoffice_bench_confirm.edi").string();
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(db, file);
        state.ResumeTiming();
        std::ifstream in(file, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        in.close();
        std::string line;
        db.Exec("BEGIN IMMEDIATE");
        while (std::getline(content, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t at = line.find(';');
            if (at == std::string::npos || at == 0) continue;
            std::string key = line.substr(0, at), number = line.substr(at + 1);
            sqlite3_stmt* read = db.Statement("SELECT WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID = ?");
            sqlite3_bind_text(read, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            if (sqlite3_step(read) != SQLITE_ROW) continue;
            int status = sqlite3_column_int(read, 0) == 2 ? 4 : (sqlite3_column_bytes(read, 1) > 0 ? 2 : 6);
            sqlite3_reset(read);
            sqlite3_stmt* change = db.Statement(
                "UPDATE ORDERHEADER SET ORDERSTATUS = ?, SALESORDERNR = ? WHERE ORDERID = ? AND ORDERSTATUS + 0 = 1");
            sqlite3_bind_int(change, 1, status);
            sqlite3_bind_text(change, 2, number.data(), static_cast<int>(number.size()), SQLITE_STATIC);
            sqlite3_bind_text(change, 3, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            db.Run(change);
            AppendOrderEvents(db, {ConfirmedEvent(file, key, status, number)});
        }
        // the file's record, as the import writes it
        std::string id = Sls_CreateGUID(), sha = os::Sha256Hex(content.str());
        sqlite3_stmt* record = db.Statement(
            "INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, SHA256) VALUES "
            "(?, CURRENT_TIMESTAMP, 'confirmation file', 'applied', 1, ?, ?)");
        sqlite3_bind_text(record, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(record, 2, file.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(record, 3, sha.c_str(), -1, SQLITE_TRANSIENT);
        db.Run(record);
        db.Exec("COMMIT");
        std::filesystem::remove(file);
    }
}
BENCHMARK(ConfirmationImportBare)->Name("ConfirmationImport/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void ConfirmationImportBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    BarePostgres db(inst);
    StoreOrders(db);
    std::string file = (inst.Home() / "confirm.edi").string();
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(db, file);
        state.ResumeTiming();
        std::ifstream in(file, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        in.close();
        std::string line;
        db.Exec("BEGIN");
        while (std::getline(content, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t at = line.find(';');
            if (at == std::string::npos || at == 0) continue;
            std::string key = line.substr(0, at), number = line.substr(at + 1);
            if (db.Run("SELECT WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID = $1", {key.c_str()}) == 0)
                continue;
            const char* status = db.Value(0, 0) == "2" ? "4" : (!db.Value(0, 1).empty() ? "2" : "6");
            db.Run("UPDATE ORDERHEADER SET ORDERSTATUS = $1, SALESORDERNR = $2 WHERE ORDERID = $3 AND ORDERSTATUS + 0 = 1",
                   {status, number.c_str(), key.c_str()});
            AppendOrderEvents(db, {ConfirmedEvent(file, key, std::atoi(status), number)});
        }
        std::string id = Sls_CreateGUID(), sha = os::Sha256Hex(content.str());
        db.Run("INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, SHA256) VALUES "
               "($1, CURRENT_TIMESTAMP, 'confirmation file', 'applied', 1, $2, $3)",
               {id.c_str(), file.c_str(), sha.c_str()});
        db.Exec("COMMIT");
        std::filesystem::remove(file);
    }
}
BENCHMARK(ConfirmationImportBarePostgres)->Name("ConfirmationImport@pg/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
