// The broker's intake: one document of 1,000 requisitions turned into orders,
// against a bare program doing the same work: the document parsed, each
// requisition's values read and checked (quantity, date, amounts, the
// acknowledgement host), its product, partner, shop user and currency looked
// up, the partner's orders searched for the same requisition, and the order
// written (header, line, the three address snapshots and the order's and
// line's events, one transaction per requisition). The partner has 20,000
// orders already. After each run both sides must have written the same rows.
// The same on PostgreSQL against a bare libpq client doing those statements.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include <pugixml.hpp>

#include "bench_support.h"
#include "ordexa/reqlink/reqlink.h"
#include "ordexa/reqlink/requisition_intake.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"

namespace {

using namespace bench_support;

constexpr int kRequisitions = 1000;
const char* kMasterData =
    "INSERT INTO CURRENCY (CURRENCYCODE, DESCRIPTION, DECIMALS, EURO, LOCALEID, HOMECURRENCY) VALUES ('EUR', 'Euro', 2, TRUE, 1043, TRUE);"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, SHIPPINGADDRESSID) "
    "VALUES (1, 'Home', 'EUR', 'ROAD', 11, 11);"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, SHIPPINGADDRESSID) "
    "VALUES (2, 'Acme', 'EUR', 'ROAD', 21, 22);"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (11, 1, 'Home', 'Havenweg 1', 'Rotterdam', '3011AA', 'NL');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (21, 2, 'Acme invoices', 'Main 1', 'Utrecht', '3511AA', 'NL');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE) "
    "VALUES (22, 2, 'Acme goods', 'Dock 2', 'Rotterdam', '3011AB', 'NL');"
    "INSERT INTO PRODUCT (PRODUCTID, NUMBER, PARTNUMBER, PRODUCTDESCRIPTION, UNITCODE) "
    "VALUES (101, '101', 'BOLT-M8', 'Bolt', 'PCS');"
    "INSERT INTO WEBUSER (USERID, COMMONNAME, BUSINESSPARTNERID) VALUES ('bench', 'Bench buyer', 2)";

std::string Document(int round) {
    std::string xml = "<?xml version=\"1.0\"?><BizTalk><Body><RequisitionList>";
    for (int i = 0; i < kRequisitions; ++i)
        xml += "<Requisition><Id>R" + std::to_string(round) + "-" + std::to_string(i) +
               "</Id><Requisitioner><CommonName>Buyer</CommonName><ShopperID>bench</ShopperID><BusinessPartnerID>2"
               "</BusinessPartnerID></Requisitioner><SupplierPartNumber>BOLT-M8</SupplierPartNumber><BillToAddress/>"
               "<DeliveryAddress/><Supplier><ShipFromAddress/></Supplier><Quantity>3</Quantity><Unit>PCS</Unit>"
               "<DateRequired>12/24/2026</DateRequired><AcknowledgementURL>http://127.0.0.1/ack</AcknowledgementURL>"
               "<Pricing><Currency>EUR</Currency><UnitCost>10</UnitCost><DiscountAmount>5</DiscountAmount></Pricing>"
               "</Requisition>";
    return xml + "</RequisitionList></Body></BizTalk>";
}

constexpr int kEarlierOrders = 20000;

// The partner's earlier orders, each with a requisition's PO number and acknowledgement URL.
std::string EarlierOrders(bool postgres) {
    std::string sql;
    for (int from = 0; from < kEarlierOrders; from += 1000) {
        std::string values;
        for (int i = from; i < from + 1000; ++i) {
            char id[40];
            std::snprintf(id, sizeof id, "%08X%08X", static_cast<unsigned>(i * 2654435761u), static_cast<unsigned>(i));
            values += std::string(values.empty() ? "" : ",") + "('" + id + "', 2, 6, 'OLD-" + std::to_string(i) +
                      "', 'http://127.0.0.1/ack', 'EUR', 'bench')";
        }
        sql += "INSERT INTO ORDERHEADER (ORDERID, BUSINESSPARTNERID, ORDERSTATUS, CUSTOMERPONR, ACKNOWLEDGEMENTURL, "
               "CURRENCYCODE, USERID) VALUES " + values + ";";
    }
    return sql + (postgres ? "ANALYZE ORDERHEADER;" : "ANALYZE;");
}

// What both sides must have written for `rounds` documents.
const char* const kWritten =
    "SELECT (SELECT COUNT(*) FROM ORDERHEADER WHERE CUSTOMERPONR LIKE 'R%' AND ORDERSTATUS = 0 AND TOTAL = 25), "
    "(SELECT COUNT(*) FROM ORDERLINE l JOIN ORDERHEADER h ON h.ORDERID = l.ORDERID WHERE h.CUSTOMERPONR LIKE 'R%' "
    "AND l.AMOUNT = 25), (SELECT COUNT(*) FROM ADDRESSHISTORY), (SELECT COUNT(*) FROM ORDEREVENT), "
    "(SELECT COUNT(*) FROM BASKETHEADER) + (SELECT COUNT(*) FROM BASKETLINE) + (SELECT COUNT(*) FROM REQUISITIONINTAKE)";
std::string Expected(int rounds) {
    int orders = rounds * kRequisitions;
    return std::to_string(orders) + " orders, " + std::to_string(orders) + " lines, " + std::to_string(3 * orders) +
           " snapshots, " + std::to_string(2 * orders) + " events, 0 basket rows or slots";
}
// What differs from what both sides must have written, or "".
std::string CheckWritten(const std::vector<std::string>& counts, int rounds) {
    std::string found = counts[0] + " orders, " + counts[1] + " lines, " + counts[2] + " snapshots, " + counts[3] +
                        " events, " + counts[4] + " basket rows or slots";
    return found == Expected(rounds) ? "" : "wrote " + found + ", expected " + Expected(rounds);
}
std::string CheckWritten(BareSQLite& db, int rounds) {
    sqlite3_stmt* s = db.Statement(kWritten);
    sqlite3_step(s);
    std::vector<std::string> counts;
    for (int i = 0; i < 5; ++i) counts.push_back(ColumnText(s, i));
    sqlite3_reset(s);
    return CheckWritten(counts, rounds);
}
std::string CheckWritten(BarePostgres& db, int rounds) {
    db.Run(kWritten, std::vector<const char*>{});
    return CheckWritten({db.Value(0, 0), db.Value(0, 1), db.Value(0, 2), db.Value(0, 3), db.Value(0, 4)}, rounds);
}

// A requisition as the bare program reads and checks it.
struct BareRequisition {
    std::string id, shopper, partNumber, currency, url, unit, date;
    int partner = 0, quantity = 0;
    double unitCost = 0, discount = 0;
};

bool PositiveWhole(const std::string& text, int& value) {
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || text.size() > 9 || *end || n <= 0) return false;
    value = static_cast<int>(n);
    return true;
}

// The requisition's values read and checked as the intake checks them; false for one it refuses.
bool ReadRequisition(const pugi::xml_node& r, BareRequisition& q) {
    static const std::regex date(R"((\d{2})/(\d{2})/(\d{4})|(\d{4})-(\d{2})-(\d{2}))");
    q.id = r.child_value("Id");
    q.shopper = r.child("Requisitioner").child_value("ShopperID");
    q.partNumber = r.child_value("SupplierPartNumber");
    q.currency = r.child("Pricing").child_value("Currency");
    q.url = r.child_value("AcknowledgementURL");
    q.unit = r.child_value("Unit");
    q.date = r.child_value("DateRequired");
    char* end = nullptr;
    q.unitCost = std::strtod(r.child("Pricing").child_value("UnitCost"), &end);
    if (*end || q.unitCost < 0) return false;
    q.discount = std::strtod(r.child("Pricing").child_value("DiscountAmount"), &end);
    if (*end || q.discount < 0) return false;
    return !q.id.empty() && PositiveWhole(r.child("Requisitioner").child_value("BusinessPartnerID"), q.partner) &&
           q.partner == 2 && PositiveWhole(r.child_value("Quantity"), q.quantity) && std::regex_match(q.date, date) &&
           q.url.rfind("http://127.0.0.1/", 0) == 0 && q.discount <= q.quantity * q.unitCost;
}

// The order's and its line's events, as the submission writes them.
std::vector<OrderEvent> SubmittedEvents(const std::string& id) {
    return {{id, std::nullopt, std::nullopt, 0, "submitted", "", "", "broker requisition"},
            {id, 1, std::nullopt, 0, "submitted", "", "", ""}};
}

void SetUp(BenchInstallation& inst) {
    inst.Exec(kMasterData);
    inst.Exec(EarlierOrders(inst.ConnectionString().find("PostgreSQL") != std::string::npos));
    qx::WriteConfigurationFile((inst.Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                               inst.ConnectionString(), {{"GENERAL_PARAMETERS", "HomeOrganisation", "Long", "1"}});
    Sls_ResetThreadState();
}

template <Database kDb>
void Intake(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, kDb)) return;
    BenchInstallation inst(kDb);
    SetUp(inst);
    ordexa::BrokerPermissions permissions{{2}, {"127.0.0.1"}, {}};
    auto reqlink = Sls_GetComponent<ordexa::IReqlink>("Ordexa.Reqlink");
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string document = Document(++round);
        state.ResumeTiming();
        auto outcomes = reqlink->ProcessRequisition(document, permissions);
        if (outcomes.size() != kRequisitions || outcomes.back().error) state.SkipWithError("a requisition failed");
        state.PauseTiming();
        std::string problem;
        if constexpr (kDb == Database::SQLite) {
            BareSQLite check(inst.DatabaseFile());
            problem = CheckWritten(check, round);
        } else {
            BarePostgres check(inst);
            problem = CheckWritten(check, round);
        }
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
    state.SetItemsProcessed(state.iterations() * kRequisitions);
}
BENCHMARK(Intake<Database::SQLite>)->Name("RequisitionIntake/reqlink")->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Intake<Database::PostgreSQL>)
    ->Name("RequisitionIntake@pg/reqlink")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void IntakeBare(benchmark::State& state) {
    BenchInstallation inst;
    SetUp(inst);
    BareSQLite db(inst.DatabaseFile());
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string document = Document(++round);
        state.ResumeTiming();
        pugi::xml_document doc;
        if (!doc.load_buffer(document.data(), document.size())) state.SkipWithError("the document is not XML");
        for (const auto& selected : doc.select_nodes("BizTalk/Body/RequisitionList/Requisition")) {
            BareRequisition q;
            if (!ReadRequisition(selected.node(), q)) {
                state.SkipWithError("a requisition was refused");
                break;
            }
            auto found = [&](const char* sql, const std::vector<std::string>& texts) {
                sqlite3_stmt* s = db.Statement(sql);
                for (size_t i = 0; i < texts.size(); ++i)
                    sqlite3_bind_text(s, static_cast<int>(i + 1), texts[i].c_str(), -1, SQLITE_TRANSIENT);
                return db.ReadAll(s) > 0;
            };
            std::string partner = std::to_string(q.partner);
            if (!found("SELECT PRODUCTID FROM PRODUCT WHERE PARTNUMBER = ?", {q.partNumber}) ||
                !found("SELECT BUSINESSPARTNERID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?", {partner}) ||
                !found("SELECT USERID FROM WEBUSER WHERE USERID = ? AND BUSINESSPARTNERID = ?", {q.shopper, partner}) ||
                !found("SELECT DECIMALS FROM CURRENCY WHERE CURRENCYCODE = ?", {q.currency}) ||
                found(ordexa::kExistingRequisitionOrderStatement, {partner, q.id, q.url})) {
                state.SkipWithError("a requisition was refused");
                break;
            }
            std::string id = Sls_CreateGUID();
            db.Exec("BEGIN IMMEDIATE");
            sqlite3_stmt* header = db.Statement(
                "INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, HEADERTEXT, SALESORDERNR, "
                "DISCOUNTPERC, CUSTOMERPONR, ACKNOWLEDGEMENTURL, WEBPAYMENTMETHOD, CALCULATETAX, CURRENCYDECIMALS, "
                "CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, FREIGHTTAXCODEDESCRIPTION, SUBTOTAL, TOTAL, CURRENCYSYMBOL) "
                "VALUES (?, ?, ?, 11, 21, ?, 'ROAD', ?, 0, '2026-12-08 00:00:00', '', '', 0, ?, ?, 1, 0, 2, '', '', '', '', "
                "?, ?, 'EUR')");
            double amount = q.quantity * q.unitCost - q.discount;
            int k = 0;
            for (const std::string* text : std::initializer_list<const std::string*>{&id, &q.currency, &q.shopper, &partner,
                                                                                     &q.id, &q.id, &q.url})
                sqlite3_bind_text(header, ++k, text->c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(header, ++k, amount);
            sqlite3_bind_double(header, ++k, amount);
            db.Run(header);
            sqlite3_stmt* line = db.Statement(
                "INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
                "DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINETAX, LINEFREIGHT, TAXPERCENTAGE, "
                "LINEFREIGHTTAX, LINESTATUS, ORDERDISCOUNT, PARTNUMBER) "
                "VALUES (?, 1, 101, ?, 22, ?, ?, 0, ?, ?, 0, '2026-12-24 00:00:00', 0, 0, 0, 0, 0, 0, ?)");
            sqlite3_bind_text(line, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(line, 2, q.unit.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(line, 3, q.quantity);
            sqlite3_bind_double(line, 4, q.unitCost);
            sqlite3_bind_double(line, 5, q.discount);
            sqlite3_bind_double(line, 6, amount);
            sqlite3_bind_text(line, 7, q.partNumber.c_str(), -1, SQLITE_TRANSIENT);
            db.Run(line);
            for (int address : {21, 11, 22}) {
                sqlite3_stmt* snapshot = db.Statement(
                    "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
                    "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION) "
                    "SELECT ?, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, "
                    "ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION FROM ADDRESS WHERE ADDRESSID = ?");
                sqlite3_bind_text(snapshot, 1, id.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(snapshot, 2, address);
                db.Run(snapshot);
            }
            AppendOrderEvents(db, SubmittedEvents(id));
            db.Exec("COMMIT");
        }
        state.PauseTiming();
        std::string problem = CheckWritten(db, round);
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
    state.SetItemsProcessed(state.iterations() * kRequisitions);
}
BENCHMARK(IntakeBare)->Name("RequisitionIntake/bare")->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// The same statements through a bare libpq client: prepared, one round trip each.
void IntakeBarePostgres(benchmark::State& state) {
    if (!bench_support::DatabaseAvailable(state, Database::PostgreSQL)) return;
    BenchInstallation inst(Database::PostgreSQL);
    SetUp(inst);
    BarePostgres db(inst);
    std::string existing = ordexa::kExistingRequisitionOrderStatement;
    for (int marker = 1; existing.find('?') != std::string::npos; ++marker)
        existing.replace(existing.find('?'), 1, "$" + std::to_string(marker));
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string document = Document(++round);
        state.ResumeTiming();
        pugi::xml_document doc;
        if (!doc.load_buffer(document.data(), document.size())) state.SkipWithError("the document is not XML");
        for (const auto& selected : doc.select_nodes("BizTalk/Body/RequisitionList/Requisition")) {
            BareRequisition q;
            if (!ReadRequisition(selected.node(), q)) {
                state.SkipWithError("a requisition was refused");
                break;
            }
            std::string partner = std::to_string(q.partner);
            if (db.Run("SELECT PRODUCTID FROM PRODUCT WHERE PARTNUMBER = $1", {q.partNumber.c_str()}) == 0 ||
                db.Run("SELECT BUSINESSPARTNERID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = $1", {partner.c_str()}) == 0 ||
                db.Run("SELECT USERID FROM WEBUSER WHERE USERID = $1 AND BUSINESSPARTNERID = $2",
                       {q.shopper.c_str(), partner.c_str()}) == 0 ||
                db.Run("SELECT DECIMALS FROM CURRENCY WHERE CURRENCYCODE = $1", {q.currency.c_str()}) == 0 ||
                db.Run(existing.c_str(), {partner.c_str(), q.id.c_str(), q.url.c_str()}) > 0) {
                state.SkipWithError("a requisition was refused");
                break;
            }
            std::string id = Sls_CreateGUID();
            char amount[32], quantity[16], price[32], discount[32];
            std::snprintf(amount, sizeof amount, "%.4f", q.quantity * q.unitCost - q.discount);
            std::snprintf(quantity, sizeof quantity, "%d", q.quantity);
            std::snprintf(price, sizeof price, "%.4f", q.unitCost);
            std::snprintf(discount, sizeof discount, "%.4f", q.discount);
            db.Exec("BEGIN");
            db.Run("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                   "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, HEADERTEXT, SALESORDERNR, "
                   "DISCOUNTPERC, CUSTOMERPONR, ACKNOWLEDGEMENTURL, WEBPAYMENTMETHOD, CALCULATETAX, CURRENCYDECIMALS, "
                   "CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, FREIGHTTAXCODEDESCRIPTION, SUBTOTAL, TOTAL, CURRENCYSYMBOL) "
                   "VALUES ($1, $2, $3, 11, 21, $4, 'ROAD', $5, 0, '2026-12-08 00:00:00', '', '', 0, $6, $7, 1, 0, 2, '', '', "
                   "'', '', $8, $9, 'EUR')",
                   {id.c_str(), q.currency.c_str(), q.shopper.c_str(), partner.c_str(), q.id.c_str(), q.id.c_str(),
                    q.url.c_str(), amount, amount});
            db.Run("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
                   "DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINETAX, LINEFREIGHT, TAXPERCENTAGE, "
                   "LINEFREIGHTTAX, LINESTATUS, ORDERDISCOUNT, PARTNUMBER) "
                   "VALUES ($1, 1, 101, $2, 22, $3, $4, 0, $5, $6, 0, '2026-12-24 00:00:00', 0, 0, 0, 0, 0, 0, $7)",
                   {id.c_str(), q.unit.c_str(), quantity, price, discount, amount, q.partNumber.c_str()});
            for (const char* address : {"21", "11", "22"})
                db.Run("INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
                       "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION) "
                       "SELECT $1, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, "
                       "ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION FROM ADDRESS WHERE ADDRESSID = $2",
                       {id.c_str(), address});
            AppendOrderEvents(db, SubmittedEvents(id));
            db.Exec("COMMIT");
        }
        state.PauseTiming();
        std::string problem = CheckWritten(db, round);
        state.ResumeTiming();
        if (!problem.empty()) state.SkipWithError(problem.c_str());
    }
    state.SetItemsProcessed(state.iterations() * kRequisitions);
}
BENCHMARK(IntakeBarePostgres)
    ->Name("RequisitionIntake@pg/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
