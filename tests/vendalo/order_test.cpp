#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/order_status.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Variant;

namespace {

const char* kMasterData =
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CUSTOMERCODE, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
    "SHIPPINGADDRESSID) VALUES (10, 'Acme', 'C10', 'EUR', 'DHL', 100, 101);"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE, SHORTDESCRIPTION) "
    "VALUES (100, 10, 'Acme invoices', 'Main 1', 'Utrecht', '3511AA', 'NL', 'Invoice');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE, SHORTDESCRIPTION) "
    "VALUES (101, 10, 'Acme goods', 'Dock 2', 'Rotterdam', '3011AB', 'NL', 'Delivery');"
    "INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, STREET1, CITY1, ZIPCODE, COUNTRYCODE, SHORTDESCRIPTION) "
    "VALUES (102, 10, 'Acme site', 'Field 3', 'Delft', '2611AC', 'NL', 'Site');";

class Orders : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(kMasterData);
        Inst().SetSetting("GENERAL_PARAMETERS", "HomeOrganisation", "1", "Long");
        Inst().SetSetting("FREIGHT_PARAMETERS", "Freight Unit-code", "FRT");
    }

    std::shared_ptr<vendalo::IOrder> Order() { return Sls_GetComponent<vendalo::IOrder>("Vendalo.Order"); }
    ado::ConnectionPtr Db() { return Sls_GetOpenConnection(Sls_ConnectionString()); }

    // A stored basket and its dictionary, as the basket store hands it out.
    ole::DictionaryPtr MakeBasket(const std::string& id, const std::vector<int>& lineNumbers,
                                  const std::string& extraHeader = "", const std::string& extraValues = "") {
        auto c = Db();
        c->Execute("INSERT INTO BASKETHEADER (BASKETID, BASKETNAME, BASKETDATE, USERID, BUSINESSPARTNERID, "
                   "BILLINGADDRESSID, SHIPPINGADDRESSID, CURRENCYCODE, CARRIERCODE, CALCULATETAX" + extraHeader +
                   ") VALUES (?, 'My basket', '2026-12-08 10:00:00', 'jdoe', 10, 100, 101, 'EUR', 'DHL', ?" +
                   extraValues + ")",
                   nullptr, -1, {Variant(id), Variant(true)});
        int sku = 1000;
        for (int nr : lineNumbers)
            c->Execute("INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU, QUANTITY, REQUESTDATE, ADDRESSID, "
                       "PRODUCTUNITCODE, PRODUCTPRICE, LINEAMOUNT, PARTNUMBER) VALUES (?, ?, ?, 2, '2026-12-24', ?, 'PCE', "
                       "12.5, 25, ?)",
                       nullptr, -1, {Variant(id), Variant(nr), Variant(sku + nr), Variant(nr == 5 ? 102 : 101),
                                     Variant("P-" + std::to_string(nr))});
        return Load(id);
    }

    ole::DictionaryPtr Load(const std::string& id) {
        return Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket")->Restore(id);
    }

    int Count(const std::string& sql, const std::string& id) {
        return Db()->Execute(sql, nullptr, -1, {Variant(id)})->RecordCount();
    }

    std::string SubmitError(const ole::DictionaryPtr& basket) {
        try {
            Order()->SubmitBasket(Variant(basket));
        } catch (const ole::AutomationError& e) {
            return e.Description();
        }
        return "";
    }
};

TEST_P(Orders, SubmissionWritesHeaderLinesAndAddressSnapshotsAndDeletesTheBasket) {
    auto basket = MakeBasket("B1", {1, 2, 5});
    Order()->SubmitBasket(Variant(basket));
    // the caller's header now carries the default payment method
    EXPECT_EQ(basket->Item("header").As<ado::Recordset>()->Fields("PAYMENTMETHOD").Value().ToLong(), 1);

    auto order = Order()->Restore("B1");
    auto h = order->Item("header").As<ado::Recordset>();
    ASSERT_FALSE(h->Eof());
    EXPECT_EQ(h->Fields("ORDERSTATUS").Value().ToLong(), 0);
    EXPECT_EQ(h->Fields("WEBPAYMENTMETHOD").Value().ToLong(), 1);
    EXPECT_TRUE(h->Fields("BISID").Value().IsNull());
    EXPECT_TRUE(h->Fields("FREIGHTTOTAL").Value().IsNull());
    EXPECT_EQ(h->Fields("SALESORDERNR").Value().ToString(), "");
    EXPECT_EQ(h->Fields("CALCULATETAX").Value().ToLong(), -1);
    EXPECT_EQ(h->Fields("ORDERLISTNAME").Value().ToString(), "My basket");
    EXPECT_EQ(h->Fields("ORDERDATE").Value().ToDate().Iso(), "2026-12-08 10:00:00");
    EXPECT_EQ(h->Fields("DISCOUNTPERC").Value().ToDouble(), 0);

    auto lines = Db()->Execute("SELECT LINENR, PRODUCTID, PRICE, LINESTATUS, CONFIGCOMPLETE, REQUESTDATE, LINETAX, "
                               "TAXCODE, ALLOCATIONDATE FROM ORDERLINE WHERE ORDERID = ? ORDER BY LINENR",
                               nullptr, -1, {Variant("B1")});
    ASSERT_EQ(lines->RecordCount(), 3);
    std::vector<int> numbers, products;
    for (; !lines->Eof(); lines->MoveNext()) {
        numbers.push_back(lines->Fields("LINENR").Value().ToLong());
        products.push_back(lines->Fields("PRODUCTID").Value().ToLong());
        EXPECT_EQ(lines->Fields("LINESTATUS").Value().ToLong(), 0);
        EXPECT_EQ(lines->Fields("CONFIGCOMPLETE").Value().ToLong(), 0);
        EXPECT_EQ(lines->Fields("PRICE").Value().ToDouble(), 12.5);
        EXPECT_EQ(lines->Fields("REQUESTDATE").Value().ToDate().Iso(), "2026-12-24 00:00:00");
        EXPECT_EQ(lines->Fields("LINETAX").Value().ToDouble(), 0);
        EXPECT_TRUE(lines->Fields("TAXCODE").Value().IsNull());
        EXPECT_TRUE(lines->Fields("ALLOCATIONDATE").Value().IsNull());
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));  // renumbered in the order of the lines
    EXPECT_EQ(products, (std::vector<int>{1001, 1002, 1005}));

    // billing 100, shipping 101 (also lines 1 and 2), line 3 at 102: three snapshots
    EXPECT_EQ(Count("SELECT * FROM ADDRESSHISTORY WHERE ORDERID = ?", "B1"), 3);
    EXPECT_EQ(Count("SELECT * FROM BASKETHEADER WHERE BASKETID = ?", "B1"), 0);
    EXPECT_EQ(Count("SELECT * FROM BASKETLINE WHERE BASKETID = ?", "B1"), 0);
    EXPECT_TRUE(Order()->OrdersExist());
}

TEST_P(Orders, ABasketWithoutLinesGivesAHeaderAndOneSnapshotWhenBothAddressesAreTheSame) {
    EXPECT_FALSE(Order()->OrdersExist());
    auto basket = MakeBasket("B2", {});
    basket->Item("header").As<ado::Recordset>()->Fields("SHIPPINGADDRESSID") = 100;
    Order()->SubmitBasket(Variant(basket));
    EXPECT_EQ(Count("SELECT * FROM ORDERHEADER WHERE ORDERID = ?", "B2"), 1);
    EXPECT_EQ(Count("SELECT * FROM ORDERLINE WHERE ORDERID = ?", "B2"), 0);
    EXPECT_EQ(Count("SELECT * FROM ADDRESSHISTORY WHERE ORDERID = ?", "B2"), 1);
    EXPECT_EQ(Count("SELECT * FROM BASKETHEADER WHERE BASKETID = ?", "B2"), 0);
}

TEST_P(Orders, AFailingLineLeavesNoOrderNoSnapshotAndTheBasketAsItWas) {
    auto basket = MakeBasket("B3", {1, 2});
    auto lines = basket->Item("lines").As<ado::Recordset>();
    lines->MoveLast();
    lines->Fields("SKU") = Variant::Null();
    std::string error = SubmitError(basket);
    ASSERT_FALSE(error.empty());
    // the line step's frame inside the submission's frame, with the statement being built
    EXPECT_LT(error.find(" METHOD: Order.SubmitBasket\r\n"), error.find(" METHOD: Order.InsertOrderLines\r\n"));
    EXPECT_NE(error.find(" executing: 'INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID"), std::string::npos);
    EXPECT_NE(error.find("PARTNUMBER) VALUES ('B3', 2, '."), std::string::npos) << error;  // as far as it was built
    EXPECT_EQ(Count("SELECT * FROM ORDERHEADER WHERE ORDERID = ?", "B3"), 0);
    EXPECT_EQ(Count("SELECT * FROM ORDERLINE WHERE ORDERID = ?", "B3"), 0);
    EXPECT_EQ(Count("SELECT * FROM ADDRESSHISTORY WHERE ORDERID = ?", "B3"), 0);
    EXPECT_EQ(Count("SELECT * FROM BASKETLINE WHERE BASKETID = ?", "B3"), 2);
    EXPECT_EQ(Inst().LogEntries().size(), 2u);  // the step's report and the submission's report

    // a Null discount in the header fails the submission the same way
    auto other = MakeBasket("B4", {1});
    other->Item("header").As<ado::Recordset>()->Fields("DISCOUNTPERC") = Variant::Null();
    EXPECT_NE(SubmitError(other).find(" METHOD: Order.InsertOrderHeader\r\n"), std::string::npos);
    EXPECT_EQ(Count("SELECT * FROM ORDERHEADER WHERE ORDERID = ?", "B4"), 0);
}

TEST_P(Orders, ABasketIsNeverSubmittedTwice) {
    auto basket = MakeBasket("B5", {1});
    auto copy = Load("B5");
    Order()->SubmitBasket(Variant(basket));
    std::string error = SubmitError(copy);
    EXPECT_NE(error.find("Basket B5 does not exist any more: it was submitted already or deleted"), std::string::npos);
    EXPECT_EQ(Count("SELECT * FROM ORDERLINE WHERE ORDERID = ?", "B5"), 1);
}

TEST_P(Orders, TwoCallersRacingMakeOneOrder) {
    MakeBasket("B6", {1, 2});
    std::atomic<int> failures{0}, successes{0};
    std::string home = Inst().Home().string();
    auto submit = [&] {
        try {
            auto basket = Load("B6");
            Order()->SubmitBasket(Variant(basket));
            ++successes;
        } catch (const ole::AutomationError&) {
            ++failures;
        }
    };
    std::thread a(submit), b(submit);
    a.join();
    b.join();
    EXPECT_EQ(successes.load(), 1);
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(Count("SELECT * FROM ORDERLINE WHERE ORDERID = ?", "B6"), 2);
}

TEST_P(Orders, TextsAreStoredExactlyAsGiven) {
    const std::string text = "Bitte 100% pünktlich; O'Neil's \"Lager\" Ωμέγα'); DELETE FROM ORDERHEADER; --";
    auto basket = MakeBasket("B7", {1}, ", BASKETTEXT, CUSTOMERPONUMBER, CUSTOMERNAME", ", NULL, NULL, NULL");
    auto h = basket->Item("header").As<ado::Recordset>();
    h->Fields("BASKETTEXT") = text;
    h->Fields("CUSTOMERPONUMBER") = "PO'1%";
    h->Fields("CUSTOMERNAME") = "Zoë's Ærø";
    basket->Item("lines").As<ado::Recordset>()->Fields("LINETEXT") = text;
    Order()->SubmitBasket(Variant(basket));
    auto order = Order()->Restore("B7");
    auto oh = order->Item("header").As<ado::Recordset>();
    EXPECT_EQ(oh->Fields("HEADERTEXT").Value().ToString(), text);
    EXPECT_EQ(oh->Fields("CUSTOMERPONR").Value().ToString(), "PO'1%");
    EXPECT_EQ(oh->Fields("CUSTOMERNAME").Value().ToString(), "Zoë's Ærø");
    EXPECT_EQ(order->Item("lines").As<ado::Recordset>()->Fields("LINETEXT").Value().ToString(), text);
}

TEST_P(Orders, RestoreOfAnUnknownOrderGivesEmptyRecordsets) {
    auto order = Order()->Restore("NOPE' OR '1'='1");
    auto h = order->Item("header").As<ado::Recordset>();
    auto l = order->Item("lines").As<ado::Recordset>();
    EXPECT_TRUE(h->Bof() && h->Eof());
    EXPECT_TRUE(l->Bof() && l->Eof());
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(Orders, GetAddressReadsTheSnapshotAndFallsBackToThePartnersAddress) {
    Order()->SubmitBasket(Variant(MakeBasket("B8", {1})));
    Db()->Execute("UPDATE ADDRESS SET NAME1 = 'Acme moved' WHERE ADDRESSID = 101");
    auto snapshot = Order()->GetAddress(Variant(101), Variant("B8"));
    EXPECT_EQ(snapshot->Fields("NAME1").Value().ToString(), "Acme goods");
    EXPECT_EQ(snapshot->Fields("CITY1").Value().ToString(), "Rotterdam");
    auto current = Order()->GetAddress(Variant(102), Variant("B8"));
    EXPECT_EQ(current->Fields("NAME1").Value().ToString(), "Acme site");
}

TEST_P(Orders, ReferentialChecksAnswerPerKindOfMasterData) {
    auto ri = Sls_GetComponent<qx::IReferentialIntegrity>("Vendalo.Order");
    Order()->SubmitBasket(Variant(MakeBasket("B9", {1})));
    MakeBasket("B10", {2});
    Db()->Execute("INSERT INTO MERCHANTIDBYCURRENCY (CURRENCYCODE, MERCHANTID) VALUES ('USD', 'm1')");
    using A = ole::VariantArray;
    EXPECT_TRUE(ri->Exists("product", A{Variant("productid")}, A{Variant(1001)}));   // in an order
    EXPECT_TRUE(ri->Exists("PRODUCT", A{Variant("PRODUCTID")}, A{Variant(1002)}));   // in a basket
    EXPECT_FALSE(ri->Exists("PRODUCT", A{Variant("PRODUCTID")}, A{Variant(999)}));
    EXPECT_FALSE(ri->Exists("PRODUCT", A{Variant("SKU")}, A{Variant(1001)}));        // not the key it checks
    EXPECT_TRUE(ri->Exists("BUSINESSPARTNER", A{Variant("BUSINESSPARTNERID")}, A{Variant(10)}));
    EXPECT_TRUE(ri->Exists("BUSINESSPARTNER", A{Variant("BUSINESSPARTNERID")}, A{Variant(" 1 ")}));  // home organisation
    EXPECT_FALSE(ri->Exists("BUSINESSPARTNER", A{Variant("BUSINESSPARTNERID")}, A{Variant(2)}));
    EXPECT_TRUE(ri->Exists("TRANSPORTCARRIER", A{Variant("CARRIERCODE")}, A{Variant("DHL")}));
    EXPECT_FALSE(ri->Exists("TRANSPORTCARRIER", A{Variant("CARRIERCODE")}, A{Variant("D'HL")}));
    EXPECT_TRUE(ri->Exists("CURRENCY", A{Variant("CURRENCYCODE")}, A{Variant("USD")}));  // a merchant account
    EXPECT_TRUE(ri->Exists("UNIT", A{Variant("UNITCODE")}, A{Variant("PCE")}));
    EXPECT_TRUE(ri->Exists("UNIT", A{Variant("UNITCODE")}, A{Variant("FRT")}));          // the freight unit
    EXPECT_TRUE(ri->Exists("USER", A{Variant("USERID")}, A{Variant("jdoe")}));
    EXPECT_FALSE(ri->Exists("USER", A{Variant("USERID")}, A{Variant("x' OR '1'='1")}));
    EXPECT_FALSE(ri->Exists("COUNTRY", A{Variant("COUNTRYCODE")}, A{Variant("NL")}));
    // a later matching key replaces the answer of an earlier one
    EXPECT_FALSE(ri->Exists("PRODUCT", A{Variant("PRODUCTID"), Variant("PRODUCTID")}, A{Variant(1001), Variant(7)}));
    EXPECT_TRUE(ri->BeforeDelete("PRODUCT", A{Variant("PRODUCTID")}, A{Variant(1001)}));
}

INSTANTIATE_INSTALLATION_TEST(Orders);

// The names the operator page, `backoffice orders` and the metrics show; a
// number read from the database that is no status shows as "?".
TEST(OrderStatuses, EveryStatusHasItsNameAndAnyOtherNumberIsUnknown) {
    using vendalo::OrderLineStatus;
    using vendalo::OrderStatus;
    const char* const orders[] = {"ToBeProcessed",       "Processed",    "ReqlinkToBeAcknowledged",
                                  "ReqlinkAcknowledged", "CCPaymentToBeFulfilled", "Paid",
                                  "Acknowledged",        "OrderAuthorizationIssue", "OrderBillingIssue"};
    for (int32_t n = 0; n < 9; ++n) EXPECT_STREQ(vendalo::StatusName(static_cast<OrderStatus>(n)), orders[n]) << n;
    const char* const lines[] = {"NotAllocated", "Allocated", "CCBilled", "BackendBilled", "LineBillingIssue"};
    for (int32_t n = 0; n < 5; ++n) EXPECT_STREQ(vendalo::StatusName(static_cast<OrderLineStatus>(n)), lines[n]) << n;
    for (int32_t n : {-1, 9, 70000}) EXPECT_STREQ(vendalo::StatusName(static_cast<OrderStatus>(n)), "?") << n;
    EXPECT_STREQ(vendalo::StatusName(static_cast<OrderLineStatus>(5)), "?");
}

}  // namespace
