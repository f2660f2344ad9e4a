// The EDI export of web orders with five lines each to a local file:
// "Ordexa.WebOrderExport" against the bare SQLite C API doing the same work on
// the same file in the same run: the same selection, the same rows read per
// order (header, lines, the order's address snapshots), the same bytes
// written in groups of 200 orders with one write and one fsync each, and the
// same status updates, one transaction per group. Both keep what they learn of
// the master data (partner, back end, address codes, user) for the run. The
// orders have random ids, a PO number each, a text on every line and their
// even lines go to a building site that is sent in full (LAD); the files of
// the system and of the bare program must be the same bytes (SHA-256).
//
// Run with 1,000, 10,000 and (on SQLite) 100,000 waiting orders: the time per
// order ("order" counter) and the peak resident memory of the run
// ("peak_rss_MiB") should not grow with the number of orders.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "bench_support.h"
#include "ordexa/exchange/web_order_export.h"
#include "platform/config/configuration.h"
#include "platform/masterdata/membership.h"
#include "platform/os/durable_file.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"

namespace {

namespace fs = std::filesystem;
using namespace bench_support;
using ole::Variant;

constexpr int kLines = 5;
constexpr size_t kGroup = 200;

const char* kMasterData =
    "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (1, 'ow4');"
    "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'alignment', 'left');"
    "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'itemsegmentationmask', '****');"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CUSTOMERCODE, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
    "SHIPPINGADDRESSID, BISID) VALUES (2, 'Noordhaven', 'C1002', 'EUR', 'ROAD', 21, 22, 1);"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, CITY1, COUNTRYCODE, BISADDRESSCODE) "
    "VALUES (21, 2, 'Noordhaven Machinery', 'Groningen', 'NL', 'C10020010');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, CITY1, COUNTRYCODE, BISADDRESSCODE) "
    "VALUES (22, 2, 'Noordhaven Machinery', 'Delfzijl', 'NL', 'C10020020');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, CITY1, COUNTRYCODE, BISADDRESSCODE) "
    "VALUES (23, 2, 'Noordhaven site', 'Eemshaven', 'NL', '');"
    "INSERT INTO WEBUSER (USERID, COMMONNAME, BUSINESSPARTNERID) VALUES ('jdevries', 'Jan de Vries', 2)";

const char* kSelect =
    "SELECT ORDERID, BUSINESSPARTNERID FROM ORDERHEADER WHERE ORDERSTATUS = 0 And (BISID = ? Or BISID IS NULL)  "
    "ORDER BY BUSINESSPARTNERID, ORDERDATE, ORDERID";
const char* kMark = "UPDATE ORDERHEADER SET ORDERSTATUS = 1, BISID = ? WHERE ORDERID = ? AND ORDERSTATUS + 0 = 0";

// The id of the nth order: random looking, the same in every installation.
std::string OrderId(int n) {
    std::string id = os::Sha256Hex("order-" + std::to_string(n)).substr(0, 32);
    for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}
// The line text of a line: under 60 characters (one LTX record) and without the field separator.
std::string LineText(int line) { return "Line " + std::to_string(line) + ": mark the crates with the PO number"; }
const char* kSiteSnapshot =
    "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, STREET1, CITY1, ZIPCODE, PHONE) "
    "VALUES (?, 23, 'NL', 'Noordhaven site', 'Oostpolderweg 7', 'Eemshaven', '9979 xp', '+31 596 000')";

// An installation with the master data, the membership service account and n waiting orders.
class ExportInstallation {
public:
    explicit ExportInstallation(int orders, Database database = Database::SQLite)
        : inst_(database), file_((inst_.Home() / "orders.edi").string()) {
        inst_.Exec(kMasterData);
        AddMembershipServiceAccount(inst_);
        if (database == Database::PostgreSQL) {
            StorePostgres(orders);
            return;
        }
        BareSQLite db(inst_.DatabaseFile());
        db.Exec("BEGIN");
        for (int n = 1; n <= orders; ++n) {
            std::string orderId = OrderId(n);
            const char* id = orderId.c_str();
            std::string po = "PO-" + std::to_string(n);
            sqlite3_stmt* h = db.Statement(
                "INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, SALESORDERNR, DISCOUNTPERC, "
                "CUSTOMERPONR, WEBPAYMENTMETHOD, CUSTOMERCODE) VALUES (?, 'EUR', 'jdevries', 22, 21, 2, 'ROAD', "
                "'Week 12', 0, '2026-03-02 09:30:00', '', 0, ?, 1, 'C1002')");
            sqlite3_bind_text(h, 1, id, 32, SQLITE_STATIC);
            sqlite3_bind_text(h, 2, po.c_str(), -1, SQLITE_TRANSIENT);
            db.Run(h);
            for (int line = 1; line <= kLines; ++line) {
                sqlite3_stmt* l = db.Statement(
                    "INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, "
                    "DISCOUNTPERC, DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINESTATUS, PARTNUMBER, "
                    "LINETEXT) VALUES (?, ?, ?, 'PCS', ?, ?, 0.45, 0, 0, ?, 0, '2026-04-01 00:00:00', 0, ?, ?)");
                std::string part = "PART-" + std::to_string(line), text = LineText(line);
                sqlite3_bind_text(l, 1, id, 32, SQLITE_STATIC);
                sqlite3_bind_int(l, 2, line);
                sqlite3_bind_int(l, 3, 100 + line);
                sqlite3_bind_int(l, 4, line % 2 == 0 ? 23 : 22);
                sqlite3_bind_double(l, 5, line * 2.0);
                sqlite3_bind_double(l, 6, line * 0.9);
                sqlite3_bind_text(l, 7, part.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_text(l, 8, text.c_str(), -1, SQLITE_TRANSIENT);
                db.Run(l);
            }
            sqlite3_stmt* a = db.Statement(
                "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, CITY1) "
                "VALUES (?, 22, 'NL', 'Noordhaven Machinery', 'Delfzijl')");
            sqlite3_bind_text(a, 1, id, 32, SQLITE_STATIC);
            db.Run(a);
            sqlite3_stmt* site = db.Statement(kSiteSnapshot);
            sqlite3_bind_text(site, 1, id, 32, SQLITE_STATIC);
            db.Run(site);
        }
        db.Exec("COMMIT");
    }

    const std::string& File() const { return file_; }
    const std::string& DatabaseFile() const { return inst_.DatabaseFile(); }
    const BenchInstallation& Installation() const { return inst_; }

    // The same orders on PostgreSQL, each set in one statement.
    void StorePostgres(int orders) {
        std::string n = std::to_string(orders),
                    id = "upper(substr(encode(sha256(convert_to('order-' || n, 'UTF8')), 'hex'), 1, 32))";
        inst_.Exec("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                   "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, SALESORDERNR, DISCOUNTPERC, "
                   "CUSTOMERPONR, WEBPAYMENTMETHOD, CUSTOMERCODE) SELECT " + id + ", 'EUR', 'jdevries', 22, 21, 2, "
                   "'ROAD', 'Week 12', 0, '2026-03-02 09:30:00', '', 0, 'PO-' || n, 1, 'C1002' "
                   "FROM generate_series(1, " + n + ") AS n;"
                   "INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, "
                   "DISCOUNTPERC, DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINESTATUS, PARTNUMBER, LINETEXT) "
                   "SELECT " + id + ", line, 100 + line, 'PCS', CASE WHEN line % 2 = 0 THEN 23 ELSE 22 END, line * 2.0, "
                   "0.45, 0, 0, line * 0.9, 0, '2026-04-01 00:00:00', 0, 'PART-' || line, "
                   "'Line ' || line || ': mark the crates with the PO number' FROM generate_series(1, " + n + ") AS n, "
                   "generate_series(1, 5) AS line;"
                   "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, STREET1, CITY1, ZIPCODE, PHONE) "
                   "SELECT " + id + ", 23, 'NL', 'Noordhaven site', 'Oostpolderweg 7', 'Eemshaven', '9979 xp', "
                   "'+31 596 000' FROM generate_series(1, " + n + ") AS n;"
                   "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, CITY1) "
                   "SELECT " + id + ", 22, 'NL', 'Noordhaven Machinery', 'Delfzijl' FROM generate_series(1, " + n + ") AS n;"
                   "VACUUM ANALYZE ORDERHEADER; VACUUM ANALYZE ORDERLINE; VACUUM ANALYZE ADDRESSHISTORY");
    }
    void Reset(BarePostgres& db) const {
        db.Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 0, BISID = NULL");
        db.Exec("VACUUM ANALYZE ORDERHEADER");
        fs::remove(file_);
    }
    static int Marked(BarePostgres& db) {
        db.Run("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS = 1", {});
        return std::stoi(db.Value(0, 0));
    }

    // Every order waiting again, no export file.
    void Reset(BareSQLite& db) const {
        db.Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 0, BISID = NULL");
        fs::remove(file_);
    }

    static int Marked(BareSQLite& db) {
        sqlite3_stmt* s = db.Statement("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS = 1");
        sqlite3_step(s);
        return sqlite3_column_int(s, 0);
    }

private:
    BenchInstallation inst_;
    std::string file_;
};

template <class Bare>
void Check(benchmark::State& state, Bare& db, const ExportInstallation& inst, int orders, Database database) {
    if (ExportInstallation::Marked(db) != orders || !fs::exists(inst.File())) {
        state.SkipWithError("orders not marked");
        return;
    }
    state.counters["bytes"] = static_cast<double>(fs::file_size(inst.File()));
    CheckSameBytes(state, "OrderExport" + std::to_string(orders) + (database == Database::PostgreSQL ? "@pg" : ""),
                   inst.File());
}

// The process's peak resident memory is its kernel high-water mark, which
// writing "5" to clear_refs resets: what a run needed, on top of what was resident before it.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

double PeakMemoryMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024;  // kB
    return 0;
}

void SetCounters(benchmark::State& state, int orders) {
    state.counters["peak_rss_MiB"] = PeakMemoryMiB();
    SetPerOrderCounters(state, orders);
}

template <int kOrders, Database kDb = Database::SQLite>
void OrderExport(benchmark::State& state) {
    if (!DatabaseAvailable(state, kDb)) return;
    ExportInstallation inst(kOrders, kDb);
    auto db = OpenBare<kDb>(inst.Installation());
    auto exporter = Sls_GetComponent<ordexa::IWebOrderExport>("Ordexa.WebOrderExport");
    auto run = [&] { exporter->Run("1", inst.File(), "", "", "", {"false", "", "", "", "", "", ""}); };
    run();  // the object logs on to the membership directory once, as in a batch
    inst.Reset(db);
    ResetPeakMemory();
    for (auto _ : state) {
        run();
        state.PauseTiming();
        Check(state, db, inst, kOrders, kDb);
        inst.Reset(db);
        state.ResumeTiming();
    }
    SetCounters(state, kOrders);
}

// What the bare program keeps of the master data for a run.
struct MasterData {
    std::string type, alignment, mask, userName;
    int32_t shippingDefault = 0, postalDefault = 0;
    std::map<int32_t, std::string> codes;  // the "ow4" code of an address: the first 3 of its last 4 characters
};

std::string Ow4Code(const std::string& raw) { return (raw.size() > 4 ? raw.substr(raw.size() - 4) : raw).substr(0, 3); }

// The records of a line's address sent in full: the snapshot's columns in the message's order.
std::string LineAddress(const std::string& id, const std::string& lineNr, const std::vector<std::string>& columns) {
    std::string text = "LAD," + id + "," + lineNr + ",DEL,,";
    for (const auto& value : columns) text += "," + value;
    return text + "\r\n";
}
// The snapshot columns of LAD: NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, ZIPCODE (upper case),
// STATEPROVINCE, COUNTRYCODE, PHONE, FAX.
const char* kSnapshots =
    "SELECT ADDRESSID, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, ZIPCODE, STATEPROVINCE, COUNTRYCODE, PHONE, FAX "
    "FROM ADDRESSHISTORY WHERE ORDERID = ?";
std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Number(sqlite3_stmt* s, int column) {
    if (sqlite3_column_type(s, column) == SQLITE_NULL) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", sqlite3_column_double(s, column));
    return text;
}

std::string Compact(const std::string& date) {
    return date.size() < 10 ? "" : date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2);
}

MasterData ReadMasterData(BareSQLite& db, int32_t partner, const std::string& user) {
    MasterData m;
    sqlite3_stmt* s = db.Statement("SELECT BISID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?");
    sqlite3_bind_int(s, 1, partner);
    sqlite3_step(s);
    int bisid = sqlite3_column_int(s, 0);
    s = db.Statement("SELECT BACKENDTYPE FROM BISINSTANCE WHERE BISID = ?");
    sqlite3_bind_int(s, 1, bisid);
    sqlite3_step(s);
    m.type = ColumnText(s, 0).substr(0, 3);
    s = db.Statement("SELECT NAME, VALUE FROM BISPROPERTY WHERE BISID = ? ORDER BY NAME");
    sqlite3_bind_int(s, 1, bisid);
    while (sqlite3_step(s) == SQLITE_ROW) {
        std::string name = ColumnText(s, 0);
        if (name == "alignment") m.alignment = ColumnText(s, 1);
        if (name == "itemsegmentationmask") m.mask = ColumnText(s, 1);
    }
    for (char& c : m.mask)
        if (c == '*') c = ' ';
    s = db.Statement("SELECT POSTALADDRESSID, SHIPPINGADDRESSID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?");
    sqlite3_bind_int(s, 1, partner);
    sqlite3_step(s);
    m.postalDefault = sqlite3_column_int(s, 0);
    m.shippingDefault = sqlite3_column_int(s, 1);
    for (int32_t address : {m.shippingDefault, m.postalDefault}) {
        s = db.Statement("SELECT BISADDRESSCODE FROM ADDRESS WHERE ADDRESSID = ?");
        sqlite3_bind_int(s, 1, address);
        sqlite3_step(s);
        std::string raw = ColumnText(s, 0);
        m.codes[address] = Ow4Code(raw);
    }
    s = db.Statement("SELECT COMMONNAME FROM WEBUSER WHERE USERID = ?");
    sqlite3_bind_text(s, 1, user.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(s);
    m.userName = ColumnText(s, 0);
    return m;
}

// The record of a group, and the durable copy kept of its bytes, as the export keeps them.
struct GroupRecord {
    std::string id, sha256, archive;
};
GroupRecord KeepGroup(const std::string& path, const std::string& bytes) {
    GroupRecord record{Sls_CreateGUID(), os::Sha256Hex(bytes), ""};
    std::string folder = std::filesystem::path(path).parent_path().string() + "/archive";
    if (::mkdir(folder.c_str(), 0700) == 0) os::SyncParentFolder(folder);
    record.archive = folder + "/1-" + record.id + ".edi";
    os::WriteFileAtomically(record.archive, bytes, 0600);
    return record;
}
const char* kRecordGroup =
    "INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, SHA256, ARCHIVE, FILEOFFSET, "
    "FILELENGTH, ORDERCOUNT) VALUES (?, CURRENT_TIMESTAMP, 'export group', 'written', 1, ?, ?, ?, ?, ?, ?)";
const char* kRecordOrder = "INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) VALUES (?, ?)";
const char* kRecordGroupPg =
    "INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, SHA256, ARCHIVE, FILEOFFSET, "
    "FILELENGTH, ORDERCOUNT) VALUES ($1, CURRENT_TIMESTAMP, 'export group', 'written', 1, $2, $3, $4, $5, $6, $7)";
// The timeline's events of a group's orders, as the export writes them.
std::vector<OrderEvent> ExportedEvents(const std::string& path, const std::vector<std::string>& ids) {
    std::vector<OrderEvent> events;
    for (const auto& id : ids)
        events.push_back({id, std::nullopt, 0, 1, "exported", "batch bench", path + " group " + ids.front(), "EDI, BISID 1"});
    return events;
}

// Writes a group under the file's lock, flushes it, and marks its orders in one transaction.
void WriteGroup(BareSQLite& db, const std::string& path, const std::string& bytes,
                const std::vector<std::string>& ids) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ::flock(fd, LOCK_EX);
    struct stat held {
    }, named{};
    ::fstat(fd, &held);
    ::stat(path.c_str(), &named);
    GroupRecord record = KeepGroup(path, bytes);
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || ::fsync(fd) != 0) std::abort();
    db.Exec("BEGIN IMMEDIATE");
    for (const auto& id : ids) {
        sqlite3_stmt* mark = db.Statement(kMark);
        sqlite3_bind_int(mark, 1, 1);
        sqlite3_bind_text(mark, 2, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
        db.Run(mark);
    }
    sqlite3_stmt* insert = db.Statement(kRecordGroup);
    const std::string* texts[] = {&record.id, &path, &record.sha256, &record.archive};
    for (int i = 0; i < 4; ++i)
        sqlite3_bind_text(insert, i + 1, texts[i]->c_str(), static_cast<int>(texts[i]->size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 5, static_cast<sqlite3_int64>(held.st_size));
    sqlite3_bind_int64(insert, 6, static_cast<sqlite3_int64>(bytes.size()));
    sqlite3_bind_int(insert, 7, static_cast<int>(ids.size()));
    db.Run(insert);
    for (const auto& id : ids) {
        sqlite3_stmt* order = db.Statement(kRecordOrder);
        sqlite3_bind_text(order, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
        sqlite3_bind_text(order, 2, record.id.c_str(), static_cast<int>(record.id.size()), SQLITE_STATIC);
        db.Run(order);
    }
    AppendOrderEvents(db, ExportedEvents(path, ids));
    db.Exec("COMMIT");
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

void BareRun(BareSQLite& db, const std::string& path) {
    const std::string f = ",";
    std::vector<std::pair<std::string, int32_t>> orders;
    sqlite3_stmt* select = db.Statement(kSelect);
    sqlite3_bind_int(select, 1, 1);
    while (sqlite3_step(select) == SQLITE_ROW) orders.emplace_back(ColumnText(select, 0), sqlite3_column_int(select, 1));

    std::map<std::pair<int32_t, std::string>, MasterData> known;
    std::string bytes;
    std::vector<std::string> ids;
    for (const auto& [id, partner] : orders) {
        sqlite3_stmt* h = db.Statement("SELECT * FROM ORDERHEADER WHERE ORDERID = ?");
        sqlite3_bind_text(h, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
        if (sqlite3_step(h) != SQLITE_ROW) std::abort();
        auto column = [&](const char* name) { return ColumnIndex(h, name); };
        static const int userColumn = column("USERID"), shipColumn = column("SHIPPINGADDRESSID"),
                         billColumn = column("BILLINGADDRESSID"), customerColumn = column("CUSTOMERCODE"),
                         nameColumn = column("ORDERLISTNAME"), poColumn = column("CUSTOMERPONR"),
                         dateColumn = column("ORDERDATE"), carrierColumn = column("CARRIERCODE"),
                         currencyColumn = column("CURRENCYCODE"), discountColumn = column("DISCOUNTPERC");
        std::string user = ColumnText(h, userColumn);
        auto key = std::make_pair(partner, user);
        if (!known.count(key)) known.emplace(key, ReadMasterData(db, partner, user));
        MasterData& m = known.at(key);
        int32_t shipping = sqlite3_column_int(h, shipColumn), billing = sqlite3_column_int(h, billColumn);

        // the order's address snapshots: the delivery address's country, the lines' addresses
        std::map<int32_t, std::vector<std::string>> snapshots;
        sqlite3_stmt* a = db.Statement(kSnapshots);
        sqlite3_bind_text(a, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
        while (sqlite3_step(a) == SQLITE_ROW) {
            auto& columns = snapshots[sqlite3_column_int(a, 0)];
            for (int c = 1; c <= 11; ++c) columns.push_back(c == 7 ? Upper(ColumnText(a, c)) : ColumnText(a, c));
        }
        if (!snapshots.count(shipping)) std::abort();

        bytes += "ENV" + f + id + f + "DADuder" + f + "WWW" + f + "ORDER" + f + f + "\r\n";
        bytes += "HDR" + f + id + f + ColumnText(h, customerColumn) + f + ColumnText(h, nameColumn) + f + ColumnText(h, poColumn) + f +
                 Compact(ColumnText(h, dateColumn)) + f + f + m.userName + f + ColumnText(h, carrierColumn) + f +
                 ColumnText(h, currencyColumn) + f + snapshots.at(shipping)[8] + f + f + Number(h, discountColumn) + "\r\n";
        bytes += "HDA" + f + id + f + "DEL" + f + m.codes.at(shipping) + f + "\r\n";
        bytes += "HPA" + f + id + f + "INV" + f + m.codes.at(billing) + f + "\r\n";

        sqlite3_stmt* l = db.Statement("SELECT * FROM ORDERLINE WHERE ORDERID = ?");
        sqlite3_bind_text(l, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
        while (sqlite3_step(l) == SQLITE_ROW) {
            static const int nrColumn = ColumnIndex(l, "LINENR"), partColumn = ColumnIndex(l, "PARTNUMBER"),
                             qtyColumn = ColumnIndex(l, "QUANTITY"), unitColumn = ColumnIndex(l, "UNITCODE"),
                             requestColumn = ColumnIndex(l, "REQUESTDATE"), priceColumn = ColumnIndex(l, "PRICE"),
                             discountAmountColumn = ColumnIndex(l, "DISCOUNTAMOUNT"),
                             addressColumn = ColumnIndex(l, "ADDRESSID"), textColumn = ColumnIndex(l, "LINETEXT");
            std::string part = ColumnText(l, partColumn), lineNr = ColumnText(l, nrColumn);
            std::string item = m.alignment == "left" ? part + m.mask : m.mask + part;
            bytes += "LIN" + f + id + f + lineNr + f + part + f + "ZZ" + f + Number(l, qtyColumn) + f +
                     ColumnText(l, unitColumn) + f + Compact(ColumnText(l, requestColumn)) + f + Number(l, priceColumn) + f + f +
                     Number(l, discountAmountColumn) + f + item + "\r\n";
            int32_t address = sqlite3_column_int(l, addressColumn);
            if (address != shipping) {
                if (!m.codes.count(address)) {
                    sqlite3_stmt* c = db.Statement("SELECT BISADDRESSCODE FROM ADDRESS WHERE ADDRESSID = ?");
                    sqlite3_bind_int(c, 1, address);
                    sqlite3_step(c);
                    m.codes[address] = Ow4Code(ColumnText(c, 0));
                }
                if (!m.codes.at(address).empty()) std::abort();  // the benchmark's site has no code: sent in full
                bytes += LineAddress(id, lineNr, snapshots.at(address));
            }
            std::string text = ColumnText(l, textColumn);
            if (!text.empty()) bytes += "LTX" + f + id + f + lineNr + f + text + "\r\n";
        }
        ids.push_back(id);
        if (ids.size() == kGroup) {
            WriteGroup(db, path, bytes, ids);
            bytes.clear();
            ids.clear();
        }
    }
    if (!ids.empty()) WriteGroup(db, path, bytes, ids);
}

// The same bare work through libpq: every statement prepared once, one round trip each.
const char* kSnapshotsPg =
    "SELECT ADDRESSID, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, ZIPCODE, STATEPROVINCE, COUNTRYCODE, PHONE, FAX "
    "FROM ADDRESSHISTORY WHERE ORDERID = $1";
std::string Number(const PGresult* r, int row, int column) {
    if (PQgetisnull(r, row, column)) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", std::strtod(PQgetvalue(r, row, column), nullptr));
    return text;
}

MasterData ReadMasterData(BarePostgres& db, int32_t partner, const std::string& user) {
    MasterData m;
    std::string p = std::to_string(partner);
    db.Run("SELECT BISID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = $1", {p.c_str()});
    std::string bisid = db.Value(0, 0);
    db.Run("SELECT BACKENDTYPE FROM BISINSTANCE WHERE BISID = $1", {bisid.c_str()});
    m.type = db.Value(0, 0).substr(0, 3);
    auto props = db.Query("SELECT NAME, VALUE FROM BISPROPERTY WHERE BISID = $1 ORDER BY NAME", {bisid.c_str()});
    for (int r = 0; r < PQntuples(props.get()); ++r) {
        std::string name = ValueText(props.get(), r, 0);
        if (name == "alignment") m.alignment = ValueText(props.get(), r, 1);
        if (name == "itemsegmentationmask") m.mask = ValueText(props.get(), r, 1);
    }
    for (char& c : m.mask)
        if (c == '*') c = ' ';
    db.Run("SELECT POSTALADDRESSID, SHIPPINGADDRESSID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = $1", {p.c_str()});
    m.postalDefault = std::stoi(db.Value(0, 0));
    m.shippingDefault = std::stoi(db.Value(0, 1));
    for (int32_t address : {m.shippingDefault, m.postalDefault}) {
        std::string a = std::to_string(address);
        db.Run("SELECT BISADDRESSCODE FROM ADDRESS WHERE ADDRESSID = $1", {a.c_str()});
        std::string raw = db.Value(0, 0);
        m.codes[address] = Ow4Code(raw);
    }
    db.Run("SELECT COMMONNAME FROM WEBUSER WHERE USERID = $1", {user.c_str()});
    m.userName = db.Value(0, 0);
    return m;
}

void WriteGroup(BarePostgres& db, const std::string& path, const std::string& bytes, const std::vector<std::string>& ids) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ::flock(fd, LOCK_EX);
    struct stat held {
    }, named{};
    ::fstat(fd, &held);
    ::stat(path.c_str(), &named);
    GroupRecord record = KeepGroup(path, bytes);
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || ::fsync(fd) != 0) std::abort();
    db.Exec("BEGIN");
    for (const auto& id : ids)
        db.Run("UPDATE ORDERHEADER SET ORDERSTATUS = 1, BISID = $1 WHERE ORDERID = $2 AND ORDERSTATUS + 0 = 0",
               {"1", id.c_str()});
    std::string offset = std::to_string(held.st_size), length = std::to_string(bytes.size()),
                count = std::to_string(ids.size());
    db.Run(kRecordGroupPg, {record.id.c_str(), path.c_str(), record.sha256.c_str(), record.archive.c_str(),
                            offset.c_str(), length.c_str(), count.c_str()});
    for (const auto& id : ids)
        db.Run("INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) VALUES ($1, $2)", {id.c_str(), record.id.c_str()});
    AppendOrderEvents(db, ExportedEvents(path, ids));
    db.Exec("COMMIT");
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

void BareRun(BarePostgres& db, const std::string& path) {
    const std::string f = ",";
    std::vector<std::pair<std::string, int32_t>> orders;
    {
        auto selected = db.Query(
            "SELECT ORDERID, BUSINESSPARTNERID FROM ORDERHEADER WHERE ORDERSTATUS = 0 And (BISID = $1 Or BISID IS NULL) "
            "ORDER BY BUSINESSPARTNERID, ORDERDATE, ORDERID",
            {"1"});
        for (int r = 0; r < PQntuples(selected.get()); ++r)
            orders.emplace_back(ValueText(selected.get(), r, 0), std::stoi(ValueText(selected.get(), r, 1)));
    }
    std::map<std::pair<int32_t, std::string>, MasterData> known;
    std::string bytes;
    std::vector<std::string> ids;
    for (const auto& [id, partner] : orders) {
        auto header = db.Query("SELECT * FROM ORDERHEADER WHERE ORDERID = $1", {id.c_str()});
        const PGresult* h = header.get();
        if (PQntuples(h) != 1) std::abort();
        auto col = [&](const char* name) { return PQfnumber(h, name); };
        std::string user = ValueText(h, 0, col("userid"));
        auto key = std::make_pair(partner, user);
        if (!known.count(key)) known.emplace(key, ReadMasterData(db, partner, user));
        MasterData& m = known.at(key);
        int32_t shipping = std::stoi(ValueText(h, 0, col("shippingaddressid"))),
                billing = std::stoi(ValueText(h, 0, col("billingaddressid")));
        std::map<int32_t, std::vector<std::string>> snapshots;
        {
            auto rows = db.Query(kSnapshotsPg, {id.c_str()});
            for (int r = 0; r < PQntuples(rows.get()); ++r) {
                auto& columns = snapshots[std::stoi(ValueText(rows.get(), r, 0))];
                for (int c = 1; c <= 11; ++c)
                    columns.push_back(c == 7 ? Upper(ValueText(rows.get(), r, c)) : ValueText(rows.get(), r, c));
            }
        }
        if (!snapshots.count(shipping)) std::abort();

        bytes += "ENV" + f + id + f + "DADuder" + f + "WWW" + f + "ORDER" + f + f + "\r\n";
        bytes += "HDR" + f + id + f + ValueText(h, 0, col("customercode")) + f + ValueText(h, 0, col("orderlistname")) + f +
                 ValueText(h, 0, col("customerponr")) + f + Compact(ValueText(h, 0, col("orderdate"))) + f + f + m.userName + f +
                 ValueText(h, 0, col("carriercode")) + f + ValueText(h, 0, col("currencycode")) + f + snapshots.at(shipping)[8] +
                 f + f + Number(h, 0, col("discountperc")) + "\r\n";
        bytes += "HDA" + f + id + f + "DEL" + f + m.codes.at(shipping) + f + "\r\n";
        bytes += "HPA" + f + id + f + "INV" + f + m.codes.at(billing) + f + "\r\n";

        auto lines = db.Query("SELECT * FROM ORDERLINE WHERE ORDERID = $1", {id.c_str()});
        const PGresult* l = lines.get();
        int nr = PQfnumber(l, "linenr"), partColumn = PQfnumber(l, "partnumber"), qty = PQfnumber(l, "quantity"),
            unit = PQfnumber(l, "unitcode"), request = PQfnumber(l, "requestdate"), price = PQfnumber(l, "price"),
            discount = PQfnumber(l, "discountamount"), addressColumn = PQfnumber(l, "addressid"),
            textColumn = PQfnumber(l, "linetext");
        for (int r = 0; r < PQntuples(l); ++r) {
            std::string part = ValueText(l, r, partColumn), lineNr = ValueText(l, r, nr);
            std::string item = m.alignment == "left" ? part + m.mask : m.mask + part;
            bytes += "LIN" + f + id + f + lineNr + f + part + f + "ZZ" + f + Number(l, r, qty) + f +
                     ValueText(l, r, unit) + f + Compact(ValueText(l, r, request)) + f + Number(l, r, price) + f + f +
                     Number(l, r, discount) + f + item + "\r\n";
            int32_t address = std::stoi(ValueText(l, r, addressColumn));
            if (address != shipping) {
                if (!m.codes.count(address)) {
                    std::string a = std::to_string(address);
                    db.Run("SELECT BISADDRESSCODE FROM ADDRESS WHERE ADDRESSID = $1", {a.c_str()});
                    m.codes[address] = Ow4Code(db.Value(0, 0));
                }
                if (!m.codes.at(address).empty()) std::abort();
                bytes += LineAddress(id, lineNr, snapshots.at(address));
            }
            std::string text = ValueText(l, r, textColumn);
            if (!text.empty()) bytes += "LTX" + f + id + f + lineNr + f + text + "\r\n";
        }
        ids.push_back(id);
        if (ids.size() == kGroup) {
            WriteGroup(db, path, bytes, ids);
            bytes.clear();
            ids.clear();
        }
    }
    if (!ids.empty()) WriteGroup(db, path, bytes, ids);
}

template <int kOrders, Database kDb = Database::SQLite>
void OrderExportBare(benchmark::State& state) {
    if (!DatabaseAvailable(state, kDb)) return;
    ExportInstallation inst(kOrders, kDb);
    auto db = OpenBare<kDb>(inst.Installation());
    ResetPeakMemory();
    for (auto _ : state) {
        BareRun(db, inst.File());
        state.PauseTiming();
        Check(state, db, inst, kOrders, kDb);
        inst.Reset(db);
        state.ResumeTiming();
    }
    SetCounters(state, kOrders);
}

BENCHMARK(OrderExport<1000, Database::PostgreSQL>)->Name("OrderExport1000@pg/export")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OrderExportBare<1000, Database::PostgreSQL>)->Name("OrderExport1000@pg/bare")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OrderExport<10000, Database::PostgreSQL>)
    ->Name("OrderExport10000@pg/export")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(OrderExportBare<10000, Database::PostgreSQL>)
    ->Name("OrderExport10000@pg/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

BENCHMARK(OrderExport<1000>)->Name("OrderExport1000/export")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OrderExportBare<1000>)->Name("OrderExport1000/bare")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OrderExport<10000>)
    ->Name("OrderExport10000/export")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(OrderExportBare<10000>)
    ->Name("OrderExport10000/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
// time per order and peak memory should stay as they are at 10,000
BENCHMARK(OrderExport<100000>)
    ->Name("OrderExport100000/export")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(OrderExportBare<100000>)
    ->Name("OrderExport100000/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
