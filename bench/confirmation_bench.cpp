// Importing a confirmation file of 100,000 EDI entries through
// "Ordexa.WebOrderConfirmation", against the bare SQLite C API (or a bare libpq
// client, one round trip per statement) doing the same work in one
// transaction: reading the file line by line, checking each entry as the
// import does (clean text, not empty, an order id not seen before), reading
// and updating each order, writing its event, and recording the file and each
// entry without order in EXCHANGE. The orders have random ids and belong to a
// few partners with many orders each; one entry in 500 names no order, one in
// 1,000 repeats the one before, one in 2,000 has no sales order number. After
// each run the statuses, events and records are checked on either side.
//
// "ConfirmationImportXml" imports the same entries as an XML confirmation
// (indented, as back ends write it) and compares it with the system's own EDI
// import ("/bare" there is the EDI import): the ratio is the price of the XML
// format, and should stay below 2.
//
// "ConfirmationMemory/<entries>" reports the process's peak memory after
// importing 10,000, 100,000 or 1,000,000 entries; run each alone
// (--benchmark_filter='ConfirmationMemory/100000$'), as the peak is the process's;
// the million only with BACKOFFICE_BENCH_MILLION set.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unordered_set>

#include "bench_support.h"
#include "ordexa/exchange/web_order_confirmation.h"
#include "platform/automation/text.h"
#include "platform/format/text_encoding.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;

constexpr int kEntries = 100000;
constexpr int kPartners = 20;

// A random-looking, fixed order id for each number.
std::string OrderId(uint64_t i) {
    auto mix = [](uint64_t x) {
        x += 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    };
    char id[40];
    std::snprintf(id, sizeof id, "%016llX%016llX", static_cast<unsigned long long>(mix(i)),
                  static_cast<unsigned long long>(mix(i + (1ull << 40))));
    return id;
}

// What line i of the file holds.
enum class Line { Entry, Unknown, Repeat, NoNumber };
Line LineKind(int i) {
    if (i % 500 == 499) return Line::Unknown;
    if (i % 1000 == 998) return Line::Repeat;
    if (i % 2000 == 1001) return Line::NoNumber;
    return Line::Entry;
}
std::string LineText(int i) {
    switch (LineKind(i)) {
        case Line::Unknown: return OrderId(1000000000ull + i) + ";SO" + std::to_string(i);
        case Line::Repeat: return OrderId(i - 1) + ";SO-AGAIN";
        case Line::NoNumber: return OrderId(i) + ";";
        default: return OrderId(i) + ";SO" + std::to_string(i);
    }
}

// What both sides must leave: orders moved on with their events, and the records of the file.
struct Expected {
    int confirmed = 0, refused = 0;
};
Expected ExpectedOf(int entries) {
    Expected e;
    for (int i = 0; i < entries; ++i) {
        Line kind = LineKind(i);
        if (kind == Line::Entry) ++e.confirmed;
        if (kind == Line::Unknown || kind == Line::NoNumber) ++e.refused;
    }
    return e;
}
const char* const kCheck =
    "SELECT (SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS <> 1 AND SALESORDERNR LIKE 'SO%'), "
    "(SELECT COUNT(*) FROM ORDEREVENT WHERE WHAT = 'confirmed'), "
    "(SELECT COUNT(*) FROM EXCHANGE WHERE KIND = 'confirmation file'), "
    "(SELECT COUNT(*) FROM EXCHANGE WHERE KIND = 'refused entry')";
std::string CheckText(int confirmed, int events, int files, int refused) {
    return std::to_string(confirmed) + " confirmed, " + std::to_string(events) + " events, " + std::to_string(files) +
           " file records, " + std::to_string(refused) + " refused entries";
}
// What differs from what both sides must leave, or "".
std::string Check(const std::string& found, int entries) {
    Expected e = ExpectedOf(entries);
    // the orders have no earlier event: the confirmed event follows only an event of status 1, on either side
    std::string expected = CheckText(e.confirmed, 0, 1, e.refused);
    return found == expected ? "" : "found " + found + ", expected " + expected;
}
std::string Check(BareSQLite& db, int entries) {
    sqlite3_stmt* s = db.Statement(kCheck);
    sqlite3_step(s);
    std::string found = CheckText(sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2),
                                  sqlite3_column_int(s, 3));
    sqlite3_reset(s);
    return Check(found, entries);
}
std::string Check(BarePostgres& db, int entries) {
    db.Run(kCheck, std::vector<const char*>{});
    return Check(CheckText(std::stoi(db.Value(0, 0)), std::stoi(db.Value(0, 1)), std::stoi(db.Value(0, 2)),
                           std::stoi(db.Value(0, 3))),
          entries);
}

// The timeline's event of a confirmed order, as the confirmation import writes it.
OrderEvent ConfirmedEvent(const std::string& reference, const std::string& id, int status, const std::string& number) {
    return {id, std::nullopt, 1, status, "confirmed", "batch bench", reference, "sales order " + number};
}

void StoreOrders(BareSQLite& db, int entries) {
    db.Exec("BEGIN IMMEDIATE");
    for (int i = 0; i < entries; ++i) {
        sqlite3_stmt* insert = db.Statement(
            "INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS, WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL, SALESORDERNR, "
            "BUSINESSPARTNERID, CUSTOMERPONR) VALUES (?, 1, ?, ?, '', ?, ?)");
        std::string id = OrderId(i), po = "PO-" + std::to_string(i);
        sqlite3_bind_text(insert, 1, id.data(), 32, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, i % 3 == 0 ? 2 : 1);
        if (i % 7 == 0)
            sqlite3_bind_text(insert, 3, "https://broker.example/ack", -1, SQLITE_STATIC);
        else
            sqlite3_bind_null(insert, 3);
        sqlite3_bind_int(insert, 4, 1 + i % kPartners);
        sqlite3_bind_text(insert, 5, po.c_str(), -1, SQLITE_TRANSIENT);
        db.Run(insert);
    }
    db.Exec("COMMIT");
}

enum class Format { Edi, Xml };

void WriteFile(const std::string& file, int entries, Format format) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (format == Format::Edi) {
        for (int i = 0; i < entries; ++i) out << LineText(i) << "\r\n";
        return;
    }
    out << "<?xml version=\"1.0\"?>\n<BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\">\n  <Body>\n"
           "    <QxOrderConfirmation xmlns=\"urn:schemas-biztalk-org:vorn-com/QxOrderConfirmation\">\n";
    for (int i = 0; i < entries; ++i) {
        std::string line = LineText(i);
        size_t at = line.find(';');
        out << "      <SalesOrder>\n        <WebOrderId>" << line.substr(0, at) << "</WebOrderId>\n        <SalesOrderNr>"
            << line.substr(at + 1) << "</SalesOrderNr>\n      </SalesOrder>\n";
    }
    out << "    </QxOrderConfirmation>\n  </Body>\n</BizTalk>\n";
}

const char* const kReset[] = {"UPDATE ORDERHEADER SET ORDERSTATUS = 1, SALESORDERNR = ''", "DELETE FROM ORDEREVENT",
                              "DELETE FROM EXCHANGEORDER", "DELETE FROM EXCHANGE"};

// Every order back in status 1, no events or records, and the back end's file written again.
void Prepare(BareSQLite& db, const std::string& file, int entries, Format format = Format::Edi) {
    for (const char* sql : kReset) db.Exec(sql);
    WriteFile(file, entries, format);
}

// On PostgreSQL: the orders stored in one statement, and reset with fresh statistics.
void StoreOrders(BarePostgres& db, int entries) {
    std::vector<std::string> ids;
    db.Exec("BEGIN");
    for (int from = 0; from < entries; from += 1000) {
        std::string values;
        for (int i = from; i < std::min(entries, from + 1000); ++i)
            values += std::string(values.empty() ? "" : ",") + "('" + OrderId(i) + "', 1, " + (i % 3 == 0 ? "2" : "1") +
                      ", " + (i % 7 == 0 ? "'https://broker.example/ack'" : "NULL") + ", '', " +
                      std::to_string(1 + i % kPartners) + ", 'PO-" + std::to_string(i) + "')";
        db.Exec(("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS, WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL, SALESORDERNR, "
                 "BUSINESSPARTNERID, CUSTOMERPONR) VALUES " + values).c_str());
    }
    db.Exec("COMMIT");
}
void Prepare(BarePostgres& db, const std::string& file, int entries, Format format = Format::Edi) {
    for (const char* sql : kReset) db.Exec(sql);
    db.Exec("VACUUM ANALYZE ORDERHEADER");
    WriteFile(file, entries, format);
}

double PeakMegabytes() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// A million entries take a minute to set up: only with BACKOFFICE_BENCH_MILLION set.
void MillionWhenAsked(benchmark::internal::Benchmark* b) {
    if (std::getenv("BACKOFFICE_BENCH_MILLION")) b->Arg(1000000);
}

// `fixedEntries` 0: as many as the benchmark's argument says.
template <Database db, Format format = Format::Edi, int fixedEntries = kEntries>
void ConfirmationImport(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, db)) return;
    const int entries = fixedEntries > 0 ? fixedEntries : static_cast<int>(state.range(0));
    BenchInstallation inst(db);
    std::unique_ptr<BareSQLite> lite;
    std::unique_ptr<BarePostgres> pg;
    if constexpr (db == Database::SQLite) {
        lite = std::make_unique<BareSQLite>(inst.DatabaseFile());
        StoreOrders(*lite, entries);
    } else {
        pg = std::make_unique<BarePostgres>(inst);
        StoreOrders(*pg, entries);
    }
    // in a folder of its own: the import keeps what it applied in archive/ beside the file
    std::filesystem::create_directories(inst.Home() / "edi" / "in");
    std::string file = (inst.Home() / "edi" / "in" / (format == Format::Edi ? "confirm.edi" : "confirm.xml")).string();
    auto importer = Sls_GetComponent<ordexa::IWebOrderConfirmation>("Ordexa.WebOrderConfirmation");
    for (auto _ : state) {
        state.PauseTiming();
        if constexpr (db == Database::SQLite)
            Prepare(*lite, file, entries, format);
        else
            Prepare(*pg, file, entries, format);
        std::filesystem::remove_all(std::filesystem::path(file).parent_path() / "archive");
        std::filesystem::remove_all(std::filesystem::path(file).parent_path() / "rejected");
        state.ResumeTiming();
        importer->Run("1", file, format == Format::Edi ? "" : "1", ";", ordexa::FtpSettings{"false", "", "", "", "", "", ""});
        state.PauseTiming();
        std::string problem = std::filesystem::exists(file) ? "the file was not consumed" : "";
        if constexpr (db == Database::SQLite)
            problem += Check(*lite, entries);
        else
            problem += Check(*pg, entries);
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
    state.counters["peak MB"] = PeakMegabytes();
}
BENCHMARK(ConfirmationImport<Database::SQLite>)->Name("ConfirmationImport/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::PostgreSQL>)->Name("ConfirmationImport@pg/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
// the XML import against the system's EDI import of the same entries
BENCHMARK(ConfirmationImport<Database::SQLite, Format::Xml>)->Name("ConfirmationImportXml/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::SQLite>)->Name("ConfirmationImportXml/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::PostgreSQL, Format::Xml>)->Name("ConfirmationImportXml@pg/ordexa")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::PostgreSQL>)->Name("ConfirmationImportXml@pg/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ConfirmationImport<Database::SQLite, Format::Edi, 0>)->Name("ConfirmationMemory")->Arg(10000)->Arg(100000)->Apply(MillionWhenAsked)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The bare program's reading of the file: line by line as the import reads it
// (CR LF, LF or a lone CR end a line), each entry checked as the import checks
// it; `apply` is given each entry taken, `refuse` each entry kept apart.
template <typename Apply, typename Refuse>
void ReadEntries(const std::string& file, Apply apply, Refuse refuse) {
    std::ifstream in(file, std::ios::binary);
    std::unordered_set<std::string> seen;
    std::string line;
    size_t number = 0;
    char c;
    auto take = [&] {
        ++number;
        size_t at = line.find(';');
        if (at == std::string::npos || at == 0) return;
        std::string key = line.substr(0, at), value = line.substr(at + 1);
        if (!qx::IsCleanUtf8(key) || !qx::IsCleanUtf8(value) || value.empty()) {
            refuse(key, line, number, value.empty() ? "the sales order number is empty" : "not text");
            return;
        }
        if (!seen.insert(ole::UpperCase(key)).second) return;
        apply(key, value, line, number);
    };
    while (in.get(c)) {
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        if (c == '\r' && in.peek() == '\n') in.get(c);
        take();
        line.clear();
    }
    if (!line.empty()) take();
}

void ConfirmationImportBare(benchmark::State& state) {
    BenchInstallation inst;
    BareSQLite db(inst.DatabaseFile());
    StoreOrders(db, kEntries);
    std::string file = (inst.Home() / "confirm.edi").string();
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(db, file, kEntries);
        state.ResumeTiming();
        db.Exec("BEGIN IMMEDIATE");
        os::Sha256 sha;
        {
            std::ifstream in(file, std::ios::binary);
            char buffer[65536];
            while (in.read(buffer, sizeof buffer) || in.gcount() > 0) sha.Add(std::string_view(buffer, in.gcount()));
        }
        auto record = [&](const std::string& kind, const std::string& outcome, const std::string& reference,
                          const std::string& detail, const std::string& text, const std::string& orderId) {
            std::string id = Sls_CreateGUID();
            sqlite3_stmt* insert = db.Statement(
                "INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, REFERENCE, DETAIL, "
                "ENTRYTEXT) VALUES (?, CURRENT_TIMESTAMP, ?, ?, 1, ?, ?, ?, ?)");
            for (int k = 0; const std::string* v : std::initializer_list<const std::string*>{&id, &kind, &outcome, &file, &reference, &detail, &text})
                sqlite3_bind_text(insert, ++k, v->c_str(), -1, SQLITE_TRANSIENT);
            db.Run(insert);
            if (orderId.empty()) return;
            sqlite3_stmt* order = db.Statement("INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) VALUES (?, ?)");
            sqlite3_bind_text(order, 1, orderId.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(order, 2, id.c_str(), -1, SQLITE_TRANSIENT);
            db.Run(order);
        };
        int refused = 0;
        auto refuse = [&](const std::string& key, const std::string& line, size_t number, const char* why) {
            record("refused entry", "waiting", file + " line " + std::to_string(number), why, line, key);
            ++refused;
        };
        ReadEntries(file, [&](const std::string& key, const std::string& number, const std::string& line, size_t at) {
            sqlite3_stmt* read = db.Statement("SELECT WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID = ?");
            sqlite3_bind_text(read, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            if (sqlite3_step(read) != SQLITE_ROW) {
                sqlite3_reset(read);
                return refuse(key, line, at, "no order of the database has this id");
            }
            int status = sqlite3_column_int(read, 0) == 2 ? 4 : (sqlite3_column_bytes(read, 1) > 0 ? 2 : 6);
            sqlite3_reset(read);
            sqlite3_stmt* change = db.Statement(
                "UPDATE ORDERHEADER SET ORDERSTATUS = ?, SALESORDERNR = ? WHERE ORDERID = ? AND ORDERSTATUS + 0 = 1");
            sqlite3_bind_int(change, 1, status);
            sqlite3_bind_text(change, 2, number.data(), static_cast<int>(number.size()), SQLITE_STATIC);
            sqlite3_bind_text(change, 3, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            db.Run(change);
            AppendOrderEvents(db, {ConfirmedEvent(file + " line " + std::to_string(at), key, status, number)});
        }, refuse);
        record("confirmation file", "applied", file, std::to_string(refused) + " refused", "", "");
        sqlite3_stmt* sha256 = db.Statement("UPDATE EXCHANGE SET SHA256 = ? WHERE KIND = 'confirmation file'");
        std::string hex = sha.Hex();
        sqlite3_bind_text(sha256, 1, hex.c_str(), -1, SQLITE_TRANSIENT);
        db.Run(sha256);
        db.Exec("COMMIT");
        std::filesystem::remove(file);
        state.PauseTiming();
        std::string problem = Check(db, kEntries);
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
}
BENCHMARK(ConfirmationImportBare)->Name("ConfirmationImport/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void ConfirmationImportBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    BarePostgres db(inst);
    StoreOrders(db, kEntries);
    std::string file = (inst.Home() / "confirm.edi").string();
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(db, file, kEntries);
        state.ResumeTiming();
        db.Exec("BEGIN");
        os::Sha256 sha;
        {
            std::ifstream in(file, std::ios::binary);
            char buffer[65536];
            while (in.read(buffer, sizeof buffer) || in.gcount() > 0) sha.Add(std::string_view(buffer, in.gcount()));
        }
        auto record = [&](const char* kind, const char* outcome, const std::string& reference, const std::string& detail,
                          const std::string& text, const std::string& orderId) {
            std::string id = Sls_CreateGUID();
            db.Run("INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, REFERENCE, DETAIL, "
                   "ENTRYTEXT) VALUES ($1, CURRENT_TIMESTAMP, $2, $3, 1, $4, $5, $6, $7)",
                   {id.c_str(), kind, outcome, file.c_str(), reference.c_str(), detail.c_str(), text.c_str()});
            if (!orderId.empty())
                db.Run("INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) VALUES ($1, $2)", {orderId.c_str(), id.c_str()});
        };
        int refused = 0;
        auto refuse = [&](const std::string& key, const std::string& line, size_t number, const char* why) {
            record("refused entry", "waiting", file + " line " + std::to_string(number), why, line, key);
            ++refused;
        };
        ReadEntries(file, [&](const std::string& key, const std::string& number, const std::string& line, size_t at) {
            if (db.Run("SELECT WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID = $1", {key.c_str()}) == 0)
                return refuse(key, line, at, "no order of the database has this id");
            const char* status = db.Value(0, 0) == "2" ? "4" : (!db.Value(0, 1).empty() ? "2" : "6");
            db.Run("UPDATE ORDERHEADER SET ORDERSTATUS = $1, SALESORDERNR = $2 WHERE ORDERID = $3 AND ORDERSTATUS + 0 = 1",
                   {status, number.c_str(), key.c_str()});
            AppendOrderEvents(db, {ConfirmedEvent(file + " line " + std::to_string(at), key, std::atoi(status), number)});
        }, refuse);
        std::string hex = sha.Hex();
        record("confirmation file", "applied", file, std::to_string(refused) + " refused", "", "");
        db.Run("UPDATE EXCHANGE SET SHA256 = $1 WHERE KIND = 'confirmation file'", {hex.c_str()});
        db.Exec("COMMIT");
        std::filesystem::remove(file);
        state.PauseTiming();
        std::string problem = Check(db, kEntries);
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
}
BENCHMARK(ConfirmationImportBarePostgres)->Name("ConfirmationImport@pg/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
