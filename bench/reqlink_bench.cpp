// The broker's intake: one document of 1,000 requisitions turned into orders,
// against the bare database writing the same orders (header, line and the
// three address snapshots of each, one transaction per requisition). The same
// on PostgreSQL against a bare libpq client doing those statements.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_support.h"
#include "ordexa/reqlink/reqlink.h"
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

void SetUp(BenchInstallation& inst) {
    inst.Exec(kMasterData);
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
    int serial = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRequisitions; ++i) {
            char id[40];
            std::snprintf(id, sizeof id, "%032X", ++serial);
            std::string poNumber = "R" + std::to_string(serial);
            db.Exec("BEGIN IMMEDIATE");
            sqlite3_stmt* header = db.Statement(
                "INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, HEADERTEXT, SALESORDERNR, "
                "DISCOUNTPERC, CUSTOMERPONR, ACKNOWLEDGEMENTURL, WEBPAYMENTMETHOD, CALCULATETAX, CURRENCYDECIMALS, "
                "CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, FREIGHTTAXCODEDESCRIPTION, SUBTOTAL, TOTAL, CURRENCYSYMBOL) "
                "VALUES (?, 'EUR', 'bench', 11, 21, 2, 'ROAD', ?, 0, '2026-12-08 00:00:00', '', '', 0, ?, "
                "'http://127.0.0.1/ack', 1, 0, 2, '', '', '', '', 25, 25, 'EUR')");
            sqlite3_bind_text(header, 1, id, 32, SQLITE_STATIC);
            sqlite3_bind_text(header, 2, poNumber.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(header, 3, poNumber.c_str(), -1, SQLITE_STATIC);
            db.Run(header);
            sqlite3_stmt* line = db.Statement(
                "INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
                "DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINETAX, LINEFREIGHT, TAXPERCENTAGE, "
                "LINEFREIGHTTAX, LINESTATUS, ORDERDISCOUNT, PARTNUMBER) "
                "VALUES (?, 1, 101, 'PCS', 22, 3, 10, 0, 5, 25, 0, '2026-12-24 00:00:00', 0, 0, 0, 0, 0, 0, 'BOLT-M8')");
            sqlite3_bind_text(line, 1, id, 32, SQLITE_STATIC);
            db.Run(line);
            for (int address : {21, 11, 22}) {
                sqlite3_stmt* snapshot = db.Statement(
                    "INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
                    "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION) "
                    "SELECT ?, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, "
                    "ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION FROM ADDRESS WHERE ADDRESSID = ?");
                sqlite3_bind_text(snapshot, 1, id, 32, SQLITE_STATIC);
                sqlite3_bind_int(snapshot, 2, address);
                db.Run(snapshot);
            }
            db.Exec("COMMIT");
        }
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
    int serial = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRequisitions; ++i) {
            char id[40];
            std::snprintf(id, sizeof id, "%032X", ++serial);
            std::string poNumber = "R" + std::to_string(serial);
            db.Exec("BEGIN");
            db.Run("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, SHIPPINGADDRESSID, BILLINGADDRESSID, "
                   "BUSINESSPARTNERID, CARRIERCODE, ORDERLISTNAME, ORDERSTATUS, ORDERDATE, HEADERTEXT, SALESORDERNR, "
                   "DISCOUNTPERC, CUSTOMERPONR, ACKNOWLEDGEMENTURL, WEBPAYMENTMETHOD, CALCULATETAX, CURRENCYDECIMALS, "
                   "CUSTOMERCODE, CUSTOMERNAME, FREIGHTTAXCODE, FREIGHTTAXCODEDESCRIPTION, SUBTOTAL, TOTAL, CURRENCYSYMBOL) "
                   "VALUES ($1, 'EUR', 'bench', 11, 21, 2, 'ROAD', $2, 0, '2026-12-08 00:00:00', '', '', 0, $3, "
                   "'http://127.0.0.1/ack', 1, 0, 2, '', '', '', '', 25, 25, 'EUR')",
                   {id, poNumber.c_str(), poNumber.c_str()});
            db.Run("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, UNITCODE, ADDRESSID, QUANTITY, PRICE, DISCOUNTPERC, "
                   "DISCOUNTAMOUNT, AMOUNT, CONFIGCOMPLETE, REQUESTDATE, LINETAX, LINEFREIGHT, TAXPERCENTAGE, "
                   "LINEFREIGHTTAX, LINESTATUS, ORDERDISCOUNT, PARTNUMBER) "
                   "VALUES ($1, 1, 101, 'PCS', 22, 3, 10, 0, 5, 25, 0, '2026-12-24 00:00:00', 0, 0, 0, 0, 0, 0, 'BOLT-M8')",
                   {id});
            for (const char* address : {"21", "11", "22"})
                db.Run("INSERT INTO ADDRESSHISTORY (ORDERID, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, "
                       "CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION) "
                       "SELECT $1, ADDRESSID, COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, "
                       "ZIPCODE, PHONE, FAX, COUNTRYNAME, SHORTDESCRIPTION FROM ADDRESS WHERE ADDRESSID = $2",
                       {id, address});
            db.Exec("COMMIT");
        }
    }
    state.SetItemsProcessed(state.iterations() * kRequisitions);
}
BENCHMARK(IntakeBarePostgres)
    ->Name("RequisitionIntake@pg/bare")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
