// An installation with the master data of two back ends ("ow4" BIS 1, "ow5"
// BIS 2), their partners, addresses, shop users and configurations, and web
// orders submitted the way the web pages submit them (a basket, then
// Vendalo.Order SubmitBasket).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/order.h"
#include "ordexa/exchange/web_order_export.h"
#include "platform/masterdata/membership.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

namespace export_testing {

using ole::Variant;

// Partner 2 orders through BIS 1 ("ow4"), partner 3 through BIS 2 ("ow5").
// ow4 codes sit in the first three of the last four characters: address 21 is
// "001", address 22 has "000" (none); ow5 reads the first nine: 32 is
// "LT0000032", 34 is "D12"; addresses 23, 33 and 35 have no code.
inline const char* kMasterData =
    "INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (1, 'OW4 order desk'), (2, 'ow5');"
    "INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'Alignment', 'Left'), (1, 'itemsegmentationmask', '****'),"
    " (2, 'alignment', 'right'), (2, 'itemsegmentationmask', '**-***');"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CUSTOMERCODE, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
    "SHIPPINGADDRESSID, BISID) VALUES (2, 'Noordhaven', 'C1002', 'EUR', 'ROAD', 21, 22, 1),"
    " (3, 'Lakeside', 'C2003', 'USD', 'EXPRESS', 31, 32, 2);"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, NAME2, STREET1, CITY1, ZIPCODE, STATEPROVINCE, "
    "COUNTRYCODE, PHONE, FAX, BISADDRESSCODE) VALUES"
    " (21, 2, 'Noordhaven Machinery', 'Accounts', 'Kade 12', 'Groningen', '9711 AB', 'GR', 'NL', '+31 50 12', NULL, "
    "'C10020010'),"
    " (22, 2, 'Noordhaven Machinery', NULL, 'Industrieweg 40', 'Delfzijl', '9936 HC', NULL, 'NL', NULL, NULL, "
    "'C10020001'),"
    " (23, 2, ' Site Eemshaven ', NULL, 'Oostpolderweg 7, gate 2', 'Eemshaven', '9979 xp', 'GR', 'NL', NULL, NULL, "
    "NULL),"
    " (31, 3, 'Lakeside Tools', NULL, '200 Shore Drive', 'Madison', '53703', NULL, 'US', NULL, NULL, NULL),"
    " (32, 3, 'Lakeside Tools', NULL, '15 Mill Road', 'Janesville', '53545', NULL, 'US', NULL, NULL, 'LT0000032XYZ'),"
    " (33, 3, 'Lakeside field office', NULL, '9 Prairie Lane', 'Verona', '53593', 'WI', 'US', NULL, '+1 608 33', NULL),"
    " (34, 3, 'Lakeside dock', NULL, '1 Pier', 'Madison', '53704', NULL, 'US', NULL, NULL, 'D12'),"
    " (35, 3, 'Lakeside yard', NULL, '7 Yard Road', 'Monona', '53716', NULL, 'US', NULL, NULL, NULL);"
    "INSERT INTO WEBUSER (USERID, COMMONNAME, BUSINESSPARTNERID) VALUES ('jdevries', 'de Vries, Jan', 2),"
    " ('msmith', ' Mary Smith ', 3);"
    "INSERT INTO PRODUCTCONFIGURATION (CONFIGID, PRODUCTID, VARIANTOPTIONS) VALUES ('CFG-1', 104, NULL),"
    " ('CFG-2', 102, 'Washer set, standard');";

// A line of an order a test puts together; Submit makes it a web order.
struct LineDraft {
    std::string part;
    double quantity = 1;
    double price = 0;
    int address = 0;
    std::string unit = "PCS";
    double discount = 0;
    std::string text{};
    std::string configId{};  // a configured line when set
    std::string requested = "2026-04-01";
};

// An order a test puts together; Submit makes it a web order.
struct OrderDraft {
    int partner = 2;
    std::string user = "jdevries";
    std::string date = "2026-03-02 09:30:00";
    int shipping = 22, billing = 21;
    std::string name = "Week 12", po, text, customerCode = "C1002";
    double freight = 0;
    int payment = 1;
    std::vector<LineDraft> lines;
};

class OrderExportTest : public testing_support::InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(kMasterData);
        // the configurator's text holds CR LF: bound, as the installation writes it
        Db()->Execute("UPDATE PRODUCTCONFIGURATION SET VARIANTOPTIONS = ? WHERE CONFIGID = 'CFG-1'", nullptr, -1,
                      {Variant("Pump P200, configured\r\nvop,MOTOR,5.5 kW\r\nVOP,VOLTAGE,400 V")});
        // the membership service account of SiteConfiguration.xml
        auto code = qx::HashAccessCode("memscript-code");
        Db()->Execute(
            "INSERT INTO WEBUSER (USERID, COMMONNAME, PASSWORDSALT, PASSWORDHASH) VALUES ('memscript', "
            "'Service', ?, ?)",
            nullptr, -1, {Variant(code.salt), Variant(code.hash)});
        Inst().SetSetting("FREIGHT_PARAMETERS", "FreightPartNumber", "FREIGHT");
        Inst().SetSetting("FREIGHT_PARAMETERS", "Freight Unit-code", "PCS");
        Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "InvoiceText", "Paid by credit card; no invoice");
        Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "Creditcard Ordertype for Backend", "CC");
        ediFile_ = (Inst().Home() / "orders.edi").string();
    }

    ado::ConnectionPtr Db() { return Sls_GetOpenConnection(Sls_ConnectionString()); }

    std::string ediFile_;  // where the EDI tests export to

    // An order of one line (two BOLT-M8 at 0.45) by the partner's shop user: 2 (jdevries) or 3 (msmith).
    static OrderDraft Simple(int partner = 2, const std::string& date = "2026-03-02 09:30:00") {
        OrderDraft draft;
        draft.date = date;
        if (partner == 3) {
            draft.partner = 3;
            draft.user = "msmith";
            draft.shipping = 32;
            draft.billing = 31;
        }
        draft.lines = {{.part = "BOLT-M8", .quantity = 2, .price = 0.45}};
        return draft;
    }

    // Submits an order as the web pages do; returns its id.
    std::string Submit(const OrderDraft& draft) {
        auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
        Variant basket = Variant(baskets->Create(draft.user, draft.partner));
        int sku = 100;
        for (const auto& line : draft.lines)
            baskets->AddLine(basket, ++sku, line.quantity, DateOf(line.requested), !line.configId.empty(),
                             line.configId);
        auto dictionary = basket.As<ole::Dictionary>();
        auto header = dictionary->Item("header").As<ado::Recordset>();
        auto text = [](const std::string& s) { return s.empty() ? ole::Null : Variant(s); };
        header->Fields("BASKETDATE") = DateOf(draft.date);
        header->Fields("BASKETNAME") = draft.name;
        header->Fields("CUSTOMERCODE") = draft.customerCode;
        header->Fields("CUSTOMERPONUMBER") = text(draft.po);
        header->Fields("BASKETTEXT") = text(draft.text);
        header->Fields("FREIGHTTOTAL") = draft.freight > 0 ? Variant(draft.freight) : ole::Null;
        header->Fields("PAYMENTMETHOD") = draft.payment;
        header->Fields("SHIPPINGADDRESSID") = draft.shipping;
        header->Fields("BILLINGADDRESSID") = draft.billing;
        header->Fields("DISCOUNTPERC") = 0;
        auto lines = dictionary->Item("lines").As<ado::Recordset>();
        if (!draft.lines.empty()) lines->MoveFirst();
        for (const auto& line : draft.lines) {
            lines->Fields("PARTNUMBER") = line.part;
            lines->Fields("PRODUCTUNITCODE") = line.unit;
            lines->Fields("PRODUCTPRICE") = line.price;
            lines->Fields("DISCOUNTPERC") = 0;
            lines->Fields("DISCOUNTAMOUNT") = line.discount;
            lines->Fields("LINEAMOUNT") = line.price * line.quantity - line.discount;
            lines->Fields("LINETEXT") = text(line.text);
            lines->Fields("ADDRESSID") = line.address ? line.address : draft.shipping;
            lines->MoveNext();
        }
        baskets->Save(basket);
        std::string id = header->Fields("BASKETID").Value().ToString();
        Sls_GetComponent<vendalo::IOrder>("Vendalo.Order")->SubmitBasket(basket);
        return id;
    }

    // One export run for BIS 1 (or the given one) to a local file.
    void Export(const std::string& file, const std::string& separator = "", const std::string& escape = "",
                const std::string& bisid = "1", const std::string& messageType = "") {
        auto exporter = Sls_GetComponent<ordexa::IWebOrderExport>("Ordexa.WebOrderExport");
        exporter->Run(bisid, file, messageType, separator, escape, {"false", "", "", "", "", "", ""});
    }

    // ORDERSTATUS and BISID ("" for Null).
    std::pair<int, std::string> StatusOf(const std::string& id) {
        auto rs =
            Db()->Execute("SELECT ORDERSTATUS, BISID FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1, {Variant(id)});
        return {rs->Fields(0).Value().ToLong(), rs->Fields(1).Value().Text()};
    }

    // Log entries holding all of the texts.
    size_t Entries(const std::vector<std::string>& texts) {
        size_t n = 0;
        for (const auto& entry : Inst().LogEntries()) {
            bool all = true;
            for (const auto& text : texts) all = all && entry.find(text) != std::string::npos;
            if (all) ++n;
        }
        return n;
    }

    static ole::Date DateOf(const std::string& text) {
        ole::Date date;
        EXPECT_TRUE(ole::ParseDate(text, date)) << text;
        return date;
    }

    // The expected text with every "{ID}" replaced by the order id.
    static std::string WithId(std::string text, const std::string& id) {
        for (size_t at = text.find("{ID}"); at != std::string::npos; at = text.find("{ID}", at + id.size()))
            text.replace(at, 4, id);
        return text;
    }
};

}  // namespace export_testing
