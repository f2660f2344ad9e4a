// The XML export of web orders with five lines each to a local file:
// "Ordexa.WebOrderExport" (message type "1") against the bare SQLite C API and
// pugixml doing the same work on the same file in the same run: the same
// selection, the same rows read per order (header, lines), the same master
// data read once per run (user, addresses, products), the same document built
// with pugixml and written the same way (a temporary file, one write, fsync,
// rename, folder fsync), and the same status updates in one transaction.
//
// Run with 1,000 and 10,000 waiting orders: the time per order ("order"
// counter) should not grow with the number of orders, nor the export's memory
// ("grown_MiB": what a run adds to the resident memory at its fullest, the
// database's page cache included). The same on PostgreSQL
// ("XmlOrderExport...@pg/..."), the bare program a libpq client whose
// statements are prepared once, one round trip each.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <string>

#include "bench_support.h"
#include "ordexa/exchange/web_order_export.h"
#include "platform/config/configuration.h"
#include "platform/masterdata/membership.h"
#include "shared/lib_sales.h"

namespace {

namespace fs = std::filesystem;
using namespace bench_support;
using ole::Variant;

constexpr int kLines = 5;

const char* kMasterData =
    "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (1, 'ow4');"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CUSTOMERCODE, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
    "SHIPPINGADDRESSID, BISID) VALUES (2, 'Noordhaven', 'C1002', 'EUR', 'ROAD', 21, 22, 1);"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, SHORTDESCRIPTION, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (21, 2, 'Invoices', 'Noordhaven Machinery', 'Kade 12', 'Groningen', '9711 AB', 'NL');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, SHORTDESCRIPTION, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (22, 2, 'Warehouse', 'Noordhaven Machinery', 'Industrieweg 40', 'Delfzijl', '9936 HC', 'NL');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, SHORTDESCRIPTION, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (23, 2, 'Building site', 'Noordhaven site', 'Oostpolderweg 7', 'Eemshaven', '9979 XP', 'NL');"
    "INSERT INTO PRODUCT (PRODUCTID, NUMBER, PARTNUMBER, PRODUCTDESCRIPTION, UNITCODE) VALUES"
    " (101, '101', 'PART-1', 'Hexagon bolt M8 x 40', 'PCS'), (102, '102', 'PART-2', 'Flat washer 8 mm', 'PCS'),"
    " (103, '103', 'PART-3', 'Power cable 3 x 2.5', 'PCS'), (104, '104', 'PART-4', 'Centrifugal pump', 'PCS'),"
    " (105, '105', 'PART-5', 'Seal kit', 'PCS');"
    "INSERT INTO WEBUSER (USERID, COMMONNAME, BUSINESSPARTNERID) VALUES ('jdevries', 'Jan de Vries', 2)";

const char* kSelect =
    "SELECT ORDERID, BUSINESSPARTNERID FROM ORDERHEADER WHERE ORDERSTATUS = 0 And (BISID = ? Or BISID IS NULL)  "
    "ORDER BY BUSINESSPARTNERID, ORDERDATE, ORDERID";
const char* kMark = "UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND ORDERSTATUS + 0 = 0";
const char* kSelectPostgres =
    "SELECT ORDERID, BUSINESSPARTNERID FROM ORDERHEADER WHERE ORDERSTATUS = 0 And (BISID = $1 Or BISID IS NULL)  "
    "ORDER BY BUSINESSPARTNERID, ORDERDATE, ORDERID";
const char* kMarkPostgres = "UPDATE ORDERHEADER SET ORDERSTATUS = $1 WHERE ORDERID = $2 AND ORDERSTATUS + 0 = 0";

// An installation with the master data, the membership service account and n waiting orders.
class ExportInstallation {
public:
    explicit ExportInstallation(int orders, Database db = Database::SQLite)
        : inst_(db), file_((inst_.Home() / "orders.xml").string()) {
        inst_.Exec(kMasterData);
        AddMembershipServiceAccount(inst_);
        if (db == Database::PostgreSQL) {
            StorePostgres(orders);
            return;
        }
        BareSQLite lite(inst_.DatabaseFile());
        StoreSQLite(lite, orders);
    }

    const std::string& File() const { return file_; }
    const std::string& DatabaseFile() const { return inst_.DatabaseFile(); }
    const BenchInstallation& Installation() const { return inst_; }

    // Every order waiting again, no export file.
    void Reset(BareSQLite& db) const {
        db.Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 0");
        fs::remove(file_);
    }
    void Reset(BarePostgres& db) const {
        db.Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 0");
        fs::remove(file_);
    }

    static int Marked(BareSQLite& db) {
        sqlite3_stmt* s = db.Statement("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS = 1");
        sqlite3_step(s);
        return sqlite3_column_int(s, 0);
    }
    static int Marked(BarePostgres& db) {
        db.Run("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERSTATUS = 1", {});
        return std::stoi(db.Value(0, 0));
    }

private:
    void StoreSQLite(BareSQLite& db, int orders) {
        db.Exec("BEGIN");
        for (int n = 1; n <= orders; ++n) {
            char id[40];
            std::snprintf(id, sizeof id, "%032X", n);
            sqlite3_stmt* h = db.Statement(
                "INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, SALESORDERNR, DISCOUNTPERC, "
                "CUSTOMERNAME, WEBPAYMENTMETHOD, CUSTOMERCODE, TAXTOTAL) VALUES (?, 'EUR', 'jdevries', 22, 21, 2, "
                "'ROAD', 'Week 12', 0, '2026-03-02 09:30:00', '', 0, 'Noordhaven Machinery', 1, 'C1002', 1.25)");
            sqlite3_bind_text(h, 1, id, 32, SQLITE_STATIC);
            db.Run(h);
            for (int line = 1; line <= kLines; ++line) {
                sqlite3_stmt* l = db.Statement(
                    "INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, "
                    "DISCOUNTPERC, DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINESTATUS, PARTNUMBER, "
                    "LINETAX, TAXCODE, TAXPERCENTAGE) "
                    "VALUES (?, ?, ?, 'PCS', ?, ?, 0.45, 0, 0, ?, 0, '2026-04-01 00:00:00', 0, ?, 0.25, 'H', 21)");
                std::string part = "PART-" + std::to_string(line);
                sqlite3_bind_text(l, 1, id, 32, SQLITE_STATIC);
                sqlite3_bind_int(l, 2, line);
                sqlite3_bind_int(l, 3, 100 + line);
                sqlite3_bind_int(l, 4, line == kLines ? 23 : 22);  // the last line goes elsewhere
                sqlite3_bind_double(l, 5, line * 2.0);
                sqlite3_bind_double(l, 6, line * 0.9);
                sqlite3_bind_text(l, 7, part.c_str(), -1, SQLITE_TRANSIENT);
                db.Run(l);
            }
        }
        db.Exec("COMMIT");
    }

    // The same orders, made by the server in two statements (set-up only).
    void StorePostgres(int orders) {
        BarePostgres db(inst_);
        std::string n = std::to_string(orders);
        db.Exec("BEGIN");
        db.Run("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
               "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, SALESORDERNR, DISCOUNTPERC, "
               "CUSTOMERNAME, WEBPAYMENTMETHOD, CUSTOMERCODE, TAXTOTAL) SELECT lpad(upper(to_hex(n)), 32, '0'), 'EUR', "
               "'jdevries', 22, 21, 2, 'ROAD', 'Week 12', 0, '2026-03-02 09:30:00', '', 0, 'Noordhaven Machinery', 1, "
               "'C1002', 1.25 FROM generate_series(1, $1::int) n",
               {n.c_str()});
        db.Run("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
               "DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINESTATUS, PARTNUMBER, LINETAX, TAXCODE, "
               "TAXPERCENTAGE) SELECT lpad(upper(to_hex(n)), 32, '0'), line, 100 + line, 'PCS', "
               "CASE WHEN line = $2::int THEN 23 ELSE 22 END, line * 2.0, 0.45, 0, 0, line * 0.9, 0, '2026-04-01', 0, "
               "'PART-' || line, 0.25, 'H', 21 FROM generate_series(1, $1::int) n, generate_series(1, $2::int) line",
               {n.c_str(), std::to_string(kLines).c_str()});
        db.Exec("COMMIT");
    }

    BenchInstallation inst_;
    std::string file_;
};

template <typename Bare>
void Check(benchmark::State& state, Bare& db, const ExportInstallation& inst, int orders, Database database) {
    if (ExportInstallation::Marked(db) != orders) state.SkipWithError("orders not marked");
    state.counters["bytes"] = static_cast<double>(fs::file_size(inst.File()));
    CheckSameBytes(state, "XmlOrderExport" + std::to_string(orders) + (database == Database::PostgreSQL ? "@pg" : ""),
                   inst.File());
}

// What a run adds to the resident memory at its fullest (MiB): the kernel
// resets the peak (VmHWM) to what is resident when "5" goes to clear_refs.
class MemoryGrowth {
public:
    void Start() {
        std::ofstream("/proc/self/clear_refs") << "5";
        start_ = StatusKiB("VmRSS:");
    }
    void Stop() { mib_ = std::max(mib_, (StatusKiB("VmHWM:") - start_) / 1024.0); }
    double MiB() const { return mib_; }

private:
    static long StatusKiB(const std::string& key) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
        return 0;
    }
    long start_ = 0;
    double mib_ = 0;
};

template <int kOrders, Database kDb = Database::SQLite>
void XmlOrderExport(benchmark::State& state) {
    if (!DatabaseAvailable(state, kDb)) return;
    ExportInstallation inst(kOrders, kDb);
    auto db = OpenBare<kDb>(inst.Installation());
    auto exporter = Sls_GetComponent<ordexa::IWebOrderExport>("Ordexa.WebOrderExport");
    MemoryGrowth grown;
    auto run = [&] {
        grown.Start();
        exporter->Run("1", inst.File(), "1", "", "", {"false", "", "", "", "", "", ""});
        grown.Stop();
    };
    run();  // the object logs on to the membership directory once, as in a batch
    inst.Reset(db);
    for (auto _ : state) {
        run();
        state.PauseTiming();
        Check(state, db, inst, kOrders, kDb);
        inst.Reset(db);
        state.ResumeTiming();
    }
    SetPerOrderCounters(state, kOrders);
    state.counters["grown_MiB"] = grown.MiB();
}

// ---- the bare program --------------------------------------------------------

// Numbers in their shortest text form, dates as "m/d/yyyy h:mm:ss AM", like the system's.
std::string Value(sqlite3_stmt* s, int column) {
    switch (sqlite3_column_type(s, column)) {
        case SQLITE_NULL:
            return "";
        case SQLITE_INTEGER:
            return std::to_string(sqlite3_column_int64(s, column));
        case SQLITE_FLOAT: {
            char text[32];
            std::snprintf(text, sizeof text, "%.15g", sqlite3_column_double(s, column));
            return text;
        }
        default:
            return ColumnText(s, column);
    }
}

std::string GeneralDate(const std::string& iso) {
    int y = 0, m = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (std::sscanf(iso.c_str(), "%d-%d-%d %d:%d:%d", &y, &m, &d, &h, &mi, &sec) < 3) return iso;
    char text[40];
    std::snprintf(text, sizeof text, "%d/%d/%d %d:%02d:%02d %s", m, d, y, h % 12 == 0 ? 12 : h % 12, mi, sec,
                  h < 12 ? "AM" : "PM");
    return text;
}

struct BareAddress {
    std::string values[10];
};

const char* const kAddressElements[] = {"description", "name1", "name2", "street1", "street2",
                                        "city1",       "city2", "state", "country", "zipcode"};

const BareAddress& AddressOf(BareSQLite& db, std::map<int, BareAddress>& known, int id) {
    auto found = known.find(id);
    if (found != known.end()) return found->second;
    sqlite3_stmt* s = db.Statement(
        "SELECT SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, COUNTRYCODE, ZIPCODE "
        "FROM ADDRESS WHERE ADDRESSID = ?");
    sqlite3_bind_int(s, 1, id);
    if (sqlite3_step(s) != SQLITE_ROW) std::abort();
    BareAddress a;
    for (int i = 0; i < 10; ++i) a.values[i] = ColumnText(s, i);
    return known.emplace(id, a).first->second;
}

void Element(pugi::xml_node parent, const char* name, const std::string& text) {
    pugi::xml_node e = parent.append_child(name);
    if (!text.empty()) e.text().set(text.c_str());
}

struct StringWriter : pugi::xml_writer {
    std::string bytes;
    void write(const void* data, size_t size) override { bytes.append(static_cast<const char*>(data), size); }
};

// Writes the document beside the path, flushes it and renames it into place, holding it locked.
int PutInPlace(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) std::abort();
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || ::fsync(fd) != 0) std::abort();
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) std::abort();
    int folder = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::fsync(folder);
    ::close(folder);
    return fd;
}

// One group per partner, the partner's first order last.
std::vector<std::vector<std::string>> Groups(const std::vector<std::pair<std::string, int32_t>>& selected) {
    std::vector<std::vector<std::string>> groups;
    std::map<int32_t, size_t> groupOf;
    for (const auto& [id, partner] : selected) {
        auto [at, added] = groupOf.emplace(partner, groups.size());
        if (added) groups.emplace_back();
        groups[at->second].push_back(id);
    }
    for (auto& group : groups) std::rotate(group.begin(), group.begin() + 1, group.end());
    return groups;
}

pugi::xml_node DocumentRoot(pugi::xml_document& doc) {
    pugi::xml_node bizTalk = doc.append_child("BizTalk");
    bizTalk.append_attribute("xmlns") = "urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml";
    pugi::xml_node root = bizTalk.append_child("Body").append_child("QxSalesOrders");
    root.append_attribute("xmlns") = "urn:schemas-biztalk-org:vorn-com/QxSalesOrders";
    return root;
}

void BareRun(BareSQLite& db, const std::string& path) {
    std::vector<std::pair<std::string, int32_t>> selected;
    sqlite3_stmt* select = db.Statement(kSelect);
    sqlite3_bind_int(select, 1, 1);
    while (sqlite3_step(select) == SQLITE_ROW) selected.emplace_back(ColumnText(select, 0), sqlite3_column_int(select, 1));
    auto groups = Groups(selected);

    pugi::xml_document doc;
    pugi::xml_node root = DocumentRoot(doc);

    std::map<std::string, std::string> users;
    std::map<int, BareAddress> addresses;
    std::map<int, std::string> products;
    std::vector<std::string> ids;
    for (const auto& group : groups)
        for (const auto& id : group) {
            sqlite3_stmt* h = db.Statement("SELECT * FROM ORDERHEADER WHERE ORDERID = ?");
            sqlite3_bind_text(h, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
            if (sqlite3_step(h) != SQLITE_ROW) std::abort();
            auto c = [&](const char* name) { return ColumnIndex(h, name); };
            static const int idColumn = c("ORDERID"), dateColumn = c("ORDERDATE"), userColumn = c("USERID"),
                             currencyColumn = c("CURRENCYCODE"), customerColumn = c("CUSTOMERNAME"),
                             discountColumn = c("DISCOUNTPERC"), carrierColumn = c("CARRIERCODE"),
                             nameColumn = c("ORDERLISTNAME"), taxColumn = c("TAXTOTAL"),
                             billColumn = c("BILLINGADDRESSID"), shipColumn = c("SHIPPINGADDRESSID");
            std::string user = ColumnText(h, userColumn);
            if (!users.count(user)) {
                sqlite3_stmt* u = db.Statement("SELECT COMMONNAME FROM WEBUSER WHERE USERID = ?");
                sqlite3_bind_text(u, 1, user.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_step(u);
                users[user] = ColumnText(u, 0);
            }
            pugi::xml_node order = root.append_child("Order");
            pugi::xml_node header = order.append_child("OrderHeader");
            Element(header, "order_id", ColumnText(h, idColumn));
            Element(header, "order_date", GeneralDate(ColumnText(h, dateColumn)));
            Element(header, "userCN", users[user]);
            Element(header, "currency_code", ColumnText(h, currencyColumn));
            Element(header, "customer_name", ColumnText(h, customerColumn));
            Element(header, "order_discount", Value(h, discountColumn));
            Element(header, "carrier_code", ColumnText(h, carrierColumn));
            Element(header, "order_name", ColumnText(h, nameColumn));
            Element(header, "order_subtotal", "");
            Element(header, "total_discount", "");
            Element(header, "tax_total", Value(h, taxColumn));
            Element(header, "order_total", "");
            int shipping = sqlite3_column_int(h, shipColumn);
            for (const auto& [prefix, address] : {std::pair{"bill_to_", sqlite3_column_int(h, billColumn)},
                                                  std::pair{"ship_to_", shipping}}) {
                const BareAddress& a = AddressOf(db, addresses, address);
                for (int i = 0; i < 10; ++i) Element(header, (std::string(prefix) + kAddressElements[i]).c_str(), a.values[i]);
            }
            pugi::xml_node lines = order.append_child("OrderLines");
            sqlite3_stmt* l = db.Statement("SELECT * FROM ORDERLINE WHERE ORDERID = ?");
            sqlite3_bind_text(l, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
            while (sqlite3_step(l) == SQLITE_ROW) {
                auto lc = [&](const char* name) { return ColumnIndex(l, name); };
                static const int qty = lc("QUANTITY"), price = lc("PRICE"), discount = lc("DISCOUNTAMOUNT"),
                                 percentage = lc("DISCOUNTPERC"), addressColumn = lc("ADDRESSID"),
                                 unit = lc("UNITCODE"), part = lc("PARTNUMBER"), product = lc("PRODUCTID"),
                                 amount = lc("AMOUNT"), tax = lc("LINETAX"), taxCode = lc("TAXCODE"),
                                 taxPercentage = lc("TAXPERCENTAGE");
                pugi::xml_node line = lines.append_child("Orderline");
                Element(line, "Quantity", Value(l, qty));
                Element(line, "list_price", Value(l, price));
                Element(line, "discount", Value(l, discount));
                Element(line, "discount_percentage", Value(l, percentage));
                int address = sqlite3_column_int(l, addressColumn);
                Element(line, "address_description",
                        address != shipping ? AddressOf(db, addresses, address).values[0] : "");
                Element(line, "unit_code", ColumnText(l, unit));
                Element(line, "partnumber", ColumnText(l, part));
                int productId = sqlite3_column_int(l, product);
                if (!products.count(productId)) {
                    sqlite3_stmt* p = db.Statement("SELECT PRODUCTDESCRIPTION FROM PRODUCT WHERE PRODUCTID = ?");
                    sqlite3_bind_int(p, 1, productId);
                    sqlite3_step(p);
                    products[productId] = ColumnText(p, 0);
                }
                Element(line, "product_description", products[productId]);
                Element(line, "line_total", Value(l, amount));
                Element(line, "line_tax", Value(l, tax));
                Element(line, "tax_code", ColumnText(l, taxCode));
                Element(line, "tax_percentage", Value(l, taxPercentage));
            }
            ids.push_back(id);
        }
    StringWriter writer;
    doc.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
    int fd = PutInPlace(path, writer.bytes);
    db.Exec("BEGIN IMMEDIATE");
    for (const auto& id : ids) {
        sqlite3_stmt* mark = db.Statement(kMark);
        sqlite3_bind_int(mark, 1, 1);
        sqlite3_bind_text(mark, 2, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
        db.Run(mark);
    }
    db.Exec("COMMIT");
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

// ---- the bare program on PostgreSQL: the same steps through libpq ------------

const BareAddress& AddressOf(BarePostgres& db, std::map<int, BareAddress>& known, int id) {
    auto found = known.find(id);
    if (found != known.end()) return found->second;
    std::string key = std::to_string(id);
    auto r = db.Query(
        "SELECT SHORTDESCRIPTION, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, COUNTRYCODE, ZIPCODE "
        "FROM ADDRESS WHERE ADDRESSID = $1",
        {key.c_str()});
    if (PQntuples(r.get()) != 1) std::abort();
    BareAddress a;
    for (int i = 0; i < 10; ++i) a.values[i] = ValueText(r.get(), 0, i);
    return known.emplace(id, a).first->second;
}

// A number as the system writes it: PostgreSQL sends NUMERIC with its scale
// ("0.4500"), the system reads it as a double and writes its shortest form ("0.45").
std::string NumberText(const PGresult* r, int row, int column) {
    if (PQgetisnull(r, row, column)) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", std::strtod(PQgetvalue(r, row, column), nullptr));
    return text;
}

int ColumnIndex(const PGresult* r, const char* name) {
    int at = PQfnumber(r, name);
    if (at < 0) std::abort();
    return at;
}

void BareRun(BarePostgres& db, const std::string& path) {
    std::vector<std::pair<std::string, int32_t>> selected;
    {
        auto select = db.Query(kSelectPostgres, {"1"});
        for (int r = 0; r < PQntuples(select.get()); ++r)
            selected.emplace_back(ValueText(select.get(), r, 0), std::atoi(PQgetvalue(select.get(), r, 1)));
    }
    auto groups = Groups(selected);

    pugi::xml_document doc;
    pugi::xml_node root = DocumentRoot(doc);

    std::map<std::string, std::string> users;
    std::map<int, BareAddress> addresses;
    std::map<int, std::string> products;
    std::vector<std::string> ids;
    for (const auto& group : groups)
        for (const auto& id : group) {
            auto rows = db.Query("SELECT * FROM ORDERHEADER WHERE ORDERID = $1", {id.c_str()});
            const PGresult* h = rows.get();
            if (PQntuples(h) != 1) std::abort();
            auto c = [&](const char* name) { return ColumnIndex(h, name); };
            static const int idColumn = c("ORDERID"), dateColumn = c("ORDERDATE"), userColumn = c("USERID"),
                             currencyColumn = c("CURRENCYCODE"), customerColumn = c("CUSTOMERNAME"),
                             discountColumn = c("DISCOUNTPERC"), carrierColumn = c("CARRIERCODE"),
                             nameColumn = c("ORDERLISTNAME"), taxColumn = c("TAXTOTAL"),
                             billColumn = c("BILLINGADDRESSID"), shipColumn = c("SHIPPINGADDRESSID");
            std::string user = ValueText(h, 0, userColumn);
            if (!users.count(user)) {
                db.Run("SELECT COMMONNAME FROM WEBUSER WHERE USERID = $1", {user.c_str()});
                users[user] = db.Value(0, 0);
            }
            pugi::xml_node order = root.append_child("Order");
            pugi::xml_node header = order.append_child("OrderHeader");
            Element(header, "order_id", ValueText(h, 0, idColumn));
            Element(header, "order_date", GeneralDate(ValueText(h, 0, dateColumn)));
            Element(header, "userCN", users[user]);
            Element(header, "currency_code", ValueText(h, 0, currencyColumn));
            Element(header, "customer_name", ValueText(h, 0, customerColumn));
            Element(header, "order_discount", NumberText(h, 0, discountColumn));
            Element(header, "carrier_code", ValueText(h, 0, carrierColumn));
            Element(header, "order_name", ValueText(h, 0, nameColumn));
            Element(header, "order_subtotal", "");
            Element(header, "total_discount", "");
            Element(header, "tax_total", NumberText(h, 0, taxColumn));
            Element(header, "order_total", "");
            int shipping = std::atoi(PQgetvalue(h, 0, shipColumn));
            for (const auto& [prefix, address] : {std::pair{"bill_to_", std::atoi(PQgetvalue(h, 0, billColumn))},
                                                  std::pair{"ship_to_", shipping}}) {
                const BareAddress& a = AddressOf(db, addresses, address);
                for (int i = 0; i < 10; ++i) Element(header, (std::string(prefix) + kAddressElements[i]).c_str(), a.values[i]);
            }
            pugi::xml_node lines = order.append_child("OrderLines");
            auto lineRows = db.Query("SELECT * FROM ORDERLINE WHERE ORDERID = $1", {id.c_str()});
            const PGresult* l = lineRows.get();
            for (int row = 0; row < PQntuples(l); ++row) {
                auto lc = [&](const char* name) { return ColumnIndex(l, name); };
                static const int qty = lc("QUANTITY"), price = lc("PRICE"), discount = lc("DISCOUNTAMOUNT"),
                                 percentage = lc("DISCOUNTPERC"), addressColumn = lc("ADDRESSID"),
                                 unit = lc("UNITCODE"), part = lc("PARTNUMBER"), product = lc("PRODUCTID"),
                                 amount = lc("AMOUNT"), tax = lc("LINETAX"), taxCode = lc("TAXCODE"),
                                 taxPercentage = lc("TAXPERCENTAGE");
                pugi::xml_node line = lines.append_child("Orderline");
                Element(line, "Quantity", NumberText(l, row, qty));
                Element(line, "list_price", NumberText(l, row, price));
                Element(line, "discount", NumberText(l, row, discount));
                Element(line, "discount_percentage", NumberText(l, row, percentage));
                int address = std::atoi(PQgetvalue(l, row, addressColumn));
                Element(line, "address_description",
                        address != shipping ? AddressOf(db, addresses, address).values[0] : "");
                Element(line, "unit_code", ValueText(l, row, unit));
                Element(line, "partnumber", ValueText(l, row, part));
                int productId = std::atoi(PQgetvalue(l, row, product));
                if (!products.count(productId)) {
                    std::string key = std::to_string(productId);
                    db.Run("SELECT PRODUCTDESCRIPTION FROM PRODUCT WHERE PRODUCTID = $1", {key.c_str()});
                    products[productId] = db.Value(0, 0);
                }
                Element(line, "product_description", products[productId]);
                Element(line, "line_total", NumberText(l, row, amount));
                Element(line, "line_tax", NumberText(l, row, tax));
                Element(line, "tax_code", ValueText(l, row, taxCode));
                Element(line, "tax_percentage", NumberText(l, row, taxPercentage));
            }
            ids.push_back(id);
        }
    StringWriter writer;
    doc.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
    int fd = PutInPlace(path, writer.bytes);
    db.Exec("BEGIN");
    for (const auto& id : ids) db.Run(kMarkPostgres, {"1", id.c_str()});
    db.Exec("COMMIT");
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

template <int kOrders, Database kDb = Database::SQLite>
void XmlOrderExportBare(benchmark::State& state) {
    if (!DatabaseAvailable(state, kDb)) return;
    ExportInstallation inst(kOrders, kDb);
    auto db = OpenBare<kDb>(inst.Installation());
    MemoryGrowth grown;
    for (auto _ : state) {
        grown.Start();
        BareRun(db, inst.File());
        grown.Stop();
        state.PauseTiming();
        Check(state, db, inst, kOrders, kDb);
        inst.Reset(db);
        state.ResumeTiming();
    }
    SetPerOrderCounters(state, kOrders);
    state.counters["grown_MiB"] = grown.MiB();
}

BENCHMARK(XmlOrderExport<1000>)->Name("XmlOrderExport1000/export")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(XmlOrderExportBare<1000>)->Name("XmlOrderExport1000/bare")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(XmlOrderExport<10000>)
    ->Name("XmlOrderExport10000/export")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(XmlOrderExportBare<10000>)
    ->Name("XmlOrderExport10000/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(XmlOrderExport<1000, Database::PostgreSQL>)
    ->Name("XmlOrderExport1000@pg/export")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(XmlOrderExportBare<1000, Database::PostgreSQL>)
    ->Name("XmlOrderExport1000@pg/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(XmlOrderExport<10000, Database::PostgreSQL>)
    ->Name("XmlOrderExport10000@pg/export")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(XmlOrderExportBare<10000, Database::PostgreSQL>)
    ->Name("XmlOrderExport10000@pg/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace
