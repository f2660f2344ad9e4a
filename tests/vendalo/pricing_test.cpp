#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <limits>
#include <thread>

#include "interfaces/vendalo/freight_cost.h"
#include "interfaces/vendalo/pricing.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ole::Date;
using ole::Variant;
using testing::HasSubstr;

namespace {

const char* kMasterData =
    "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('EUR', 2, TRUE);"
    "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('USD', 2, FALSE);"
    "INSERT INTO CURRENCY (CURRENCYCODE, DECIMALS, HOMECURRENCY) VALUES ('GBP', 2, FALSE);"
    "INSERT INTO CURRENCYRATE (CURRENCYCODE, EFFECTIVEDATE, RATE) VALUES ('USD', '2024-01-01 00:00:00', 1.5);"
    "INSERT INTO CURRENCYRATE (CURRENCYCODE, EFFECTIVEDATE, RATE) VALUES ('GBP', '2024-01-01 00:00:00', 0.5);"
    "INSERT INTO PRODUCT (PRODUCTID, PARTNUMBER) VALUES (101, 'P101');"
    "INSERT INTO PRODUCT (PRODUCTID, PARTNUMBER) VALUES (102, 'P102');"
    "INSERT INTO PRODUCT (PRODUCTID, PARTNUMBER) VALUES (103, 'P103');"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME) VALUES (10, 'Acme');"
    "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME) VALUES (11, 'Bolt');";

Date Day(int y, int m, int d) { return Date::FromParts(y, m, d); }

class Pricing : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(kMasterData);
    }

    std::shared_ptr<vendalo::IPricing> NewPricing() { return Sls_GetComponent<vendalo::IPricing>("Vendalo.Pricing"); }
    ado::ConnectionPtr Db() { return Sls_GetOpenConnection(Sls_ConnectionString()); }
    int Rows(const std::string& sql) { return Db()->Execute(sql)->RecordCount(); }

    // A valid list price of product 101 in EUR from 1 January 2024, open-ended, without discount.
    static vendalo::PriceRecord ListPrice(Date from = Day(2024, 1, 1), Variant to = ole::Null) {
        return {Variant(101), Variant(), Variant("EUR"), Variant(from), to, Variant(10.0), ole::Null, ole::Null};
    }

    int32_t Add(const vendalo::PriceRecord& record, bool customer = false, std::string* description = nullptr) {
        auto pricing = NewPricing();
        pricing->SetRecord(record);
        return ErrorOf([&] { pricing->AddPricing(customer); }, description);
    }
};

// The choice of GetPrice: customer price before list price, requested before home
// currency, the latest record valid on the day, bounds inclusive/exclusive.
TEST_P(Pricing, WebPriceFollowsPrecedenceAndValidity) {
    Inst().Exec(
        "INSERT INTO CUSTOMERPRICE VALUES (10, 101, '2024-01-01 00:00:00', 'USD', '2024-07-01 00:00:00', 9, 5, NULL);"
        "INSERT INTO CUSTOMERPRICE VALUES (10, 101, '2024-01-01 00:00:00', 'EUR', NULL, 8, NULL, NULL);"
        "INSERT INTO CUSTOMERPRICE VALUES (11, 101, '2024-01-01 00:00:00', 'USD', NULL, NULL, NULL, NULL);"
        "INSERT INTO PRODUCTPRICE VALUES (101, '2024-01-01 00:00:00', 'USD', NULL, 12, NULL, NULL);"
        "INSERT INTO PRODUCTPRICE VALUES (101, '2024-01-01 00:00:00', 'EUR', NULL, 10, NULL, 1);"
        "INSERT INTO PRODUCTPRICE VALUES (101, '2024-06-01 00:00:00', 'EUR', NULL, 11, NULL, NULL);");
    struct Case {
        int partner;
        const char* currency;
        Date day;
        double price;
        Variant partnerShown;
        const char* why;
    };
    const Case cases[] = {
        {10, "USD", Day(2024, 3, 1), 9, Variant(10), "customer price in the requested currency"},
        {10, "USD", Day(2024, 1, 1), 9, Variant(10), "effective date inclusive"},
        {10, "USD", Day(2024, 7, 1), 12, Variant(10), "expiry exclusive: the customer price in the home currency, converted"},
        {10, "GBP", Day(2024, 3, 1), 4, Variant(10), "customer price in the home currency, converted"},
        {11, "USD", Day(2024, 3, 1), 12, ole::Null, "a customer price without price is never chosen"},
        {11, "EUR", Day(2024, 5, 31), 10, ole::Null, "list price in the requested currency"},
        {11, "EUR", Day(2024, 6, 1), 11, ole::Null, "the latest record valid on the day"},
        {11, "GBP", Day(2024, 3, 1), 5, ole::Null, "list price in the home currency, converted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto pricing = NewPricing();
        ASSERT_TRUE(pricing->GetWebPrice(101, c.partner, c.day, c.currency));
        EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), c.price);
        EXPECT_EQ(pricing->CurrencyCode().ToString(), c.currency);
        EXPECT_EQ(pricing->ProductID().ToLong(), 101);
    }
    // which record answered: the partner for a customer price, Null for a list price
    auto pricing = NewPricing();
    ASSERT_TRUE(pricing->GetWebPrice(101, 11, Day(2024, 7, 1), "USD"));
    EXPECT_TRUE(pricing->BusinessPartnerID().IsNull());
    ASSERT_TRUE(pricing->GetWebPrice(101, 10, Day(2024, 3, 1), "USD"));
    EXPECT_EQ(pricing->BusinessPartnerID().ToLong(), 10);
    EXPECT_EQ(pricing->ExpiryDate().ToDate(), Day(2024, 7, 1));
    EXPECT_DOUBLE_EQ(pricing->DiscountPercent().ToDouble(), 5);
    EXPECT_DOUBLE_EQ(pricing->DiscountAmount().ToDouble(), 0);  // Null reads as 0
    ASSERT_TRUE(pricing->GetWebPrice(101, 11, Day(2024, 3, 1), "EUR"));
    EXPECT_TRUE(pricing->ExpiryDate().IsNull());
    EXPECT_DOUBLE_EQ(pricing->DiscountPercent().ToDouble(), 0);
    EXPECT_DOUBLE_EQ(pricing->DiscountAmount().ToDouble(), 1);

    // no price before the first record: False, the properties stay
    EXPECT_FALSE(pricing->GetWebPrice(101, 10, Day(2023, 12, 31), "USD"));
    EXPECT_EQ(pricing->CurrencyCode().ToString(), "EUR");
    EXPECT_FALSE(pricing->GetWebPrice(999, 10, Day(2024, 3, 1), "EUR"));
}

TEST_P(Pricing, ConversionRoundsToEightDecimalsHalvesToEvenAndKeepsThePercentage) {
    Inst().Exec("INSERT INTO PRODUCTPRICE VALUES (102, '2024-01-01 00:00:00', 'EUR', NULL, 1.00000001, 12.5, NULL);"
                "INSERT INTO PRODUCTPRICE VALUES (103, '2024-01-01 00:00:00', 'EUR', NULL, 1.00000005, NULL, 0.00000003);");
    auto pricing = NewPricing();
    ASSERT_TRUE(pricing->GetWebPrice(102, 10, Day(2024, 3, 1), "GBP"));
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 0.5);  // 0.500000005: the half goes to the even 0
    EXPECT_DOUBLE_EQ(pricing->DiscountPercent().ToDouble(), 12.5);
    EXPECT_EQ(pricing->CurrencyCode().ToString(), "GBP");
    ASSERT_TRUE(pricing->GetWebPrice(103, 10, Day(2024, 3, 1), "USD"));
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 1.50000008);  // 1.500000075: the half goes to the even 8
    EXPECT_DOUBLE_EQ(pricing->DiscountAmount().ToDouble(), 0.00000004);  // 0.000000045
}

TEST_P(Pricing, WebPricesOfAListAnswerPerProductInOrder) {
    Inst().Exec("INSERT INTO PRODUCTPRICE VALUES (101, '2024-01-01 00:00:00', 'EUR', NULL, 10, NULL, NULL);"
                "INSERT INTO PRODUCTPRICE VALUES (103, '2024-01-01 00:00:00', 'EUR', NULL, 30, NULL, NULL);");
    auto prices = NewPricing()->GetWebPrices({103, 102, 101}, 10, Day(2024, 2, 1), "EUR");
    ASSERT_EQ(prices.size(), 3u);
    EXPECT_DOUBLE_EQ(prices[0]->Price.ToDouble(), 30);
    EXPECT_FALSE(prices[1].has_value());
    EXPECT_DOUBLE_EQ(prices[2]->Price.ToDouble(), 10);
}

TEST_P(Pricing, LookUpsRaiseTheirCodes) {
    Inst().Exec("UPDATE CURRENCY SET HOMECURRENCY = FALSE;"
                "INSERT INTO CUSTOMERPRICE VALUES (10, 101, '2024-01-01 00:00:00', 'EUR', NULL, 8, NULL, NULL);");
    auto pricing = NewPricing();
    std::string description;
    EXPECT_EQ(ErrorOf([&] { pricing->GetWebPrice(101, 10, Day(2024, 3, 1), "EUR"); }, &description),
              vendalo::HomeCurrencyNotFound);
    EXPECT_THAT(description, HasSubstr("METHOD: Pricing.GetWebPrice"));
    EXPECT_EQ(ErrorOf([&] { pricing->GetCustomerPrice(101, 10, Day(2024, 1, 2), "EUR"); }), vendalo::CustomerPriceNotFound);
    EXPECT_EQ(ErrorOf([&] { pricing->GetProductPrice(101, Day(2024, 1, 1), "EUR"); }), vendalo::ProductPriceNotFound);
    ASSERT_TRUE(pricing->GetCustomerPrice(101, 10, Day(2024, 1, 1), "EUR"));
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 8);
    EXPECT_EQ(pricing->BusinessPartnerID().ToLong(), 10);
    EXPECT_TRUE(pricing->ExpiryDate().IsNull());
}

// Every validation rule in its order, with the number it raises; a refusal stores nothing.
TEST_P(Pricing, MaintenanceRulesRefuseInOrderAndStoreNothing) {
    using R = vendalo::PriceRecord;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        std::function<void(R&)> change;
        bool customer;
        int32_t expected;
    };
    const Case cases[] = {
        {"no product", [](R& r) { r.ProductID = ole::Null; }, false, vendalo::MissingProductID},
        {"product and date missing: the product first", [](R& r) { r.ProductID = Variant(); r.EffectiveDate = Variant(); }, false, vendalo::MissingProductID},
        {"no effective date", [](R& r) { r.EffectiveDate = ole::Null; }, false, vendalo::MissingEffectiveDate},
        {"no currency", [](R& r) { r.CurrencyCode = Variant(); }, false, vendalo::MissingCurrencyCode},
        {"no price", [](R& r) { r.Price = ole::Null; }, false, vendalo::MissingPrice},
        {"discount amount never set", [](R& r) { r.DiscountAmount = Variant(); }, false, vendalo::MissingDiscount},
        {"discount percent never set", [](R& r) { r.DiscountPercent = Variant(); }, false, vendalo::MissingDiscount},
        {"expiry never set", [](R& r) { r.ExpiryDate = Variant(); }, false, vendalo::MissingExpiryDate},
        {"customer price without partner", [](R&) {}, true, vendalo::MissingBusinessPartnerID},
        {"effective date no date", [](R& r) { r.EffectiveDate = Variant("2024-02-30"); }, false, vendalo::InvalidEffectiveDate},
        {"expiry no date", [](R& r) { r.ExpiryDate = Variant("soon"); }, false, vendalo::InvalidExpiryDate},
        {"negative price", [](R& r) { r.Price = Variant(-0.01); }, false, vendalo::InvalidPrice},
        {"price no number", [](R& r) { r.Price = Variant("abc"); }, false, vendalo::InvalidPrice},
        {"price NaN", [=](R& r) { r.Price = Variant(nan); }, false, vendalo::InvalidPrice},
        {"price beyond a decimal's range", [](R& r) { r.Price = Variant("1e-310"); }, false, vendalo::InvalidPrice},
        {"percent above 100", [](R& r) { r.DiscountPercent = Variant(100.01); }, false, vendalo::InvalidDiscountPercent},
        {"percent NaN", [=](R& r) { r.DiscountPercent = Variant(nan); }, false, vendalo::InvalidDiscountPercent},
        {"amount above price", [](R& r) { r.DiscountAmount = Variant(10.5); }, false, vendalo::InvalidDiscountAmount},
        {"amount no number", [](R& r) { r.DiscountAmount = Variant("1; DROP TABLE PRODUCTPRICE"); }, false, vendalo::InvalidDiscountAmount},
        {"both discounts", [](R& r) { r.DiscountPercent = Variant(10); r.DiscountAmount = Variant(5); }, false, vendalo::NonExclusiveDiscount},
        {"expiry on the effective date", [](R& r) { r.ExpiryDate = Variant(Day(2024, 1, 1)); }, false, vendalo::ExpiryDateRange},
        {"unknown product", [](R& r) { r.ProductID = Variant(999); }, false, vendalo::ReferentialInsert},
        {"currency with an apostrophe", [](R& r) { r.CurrencyCode = Variant("E'R"); }, false, vendalo::ReferentialInsert},
        {"product no whole number", [](R& r) { r.ProductID = Variant("101 OR 1=1"); }, false, ole::err::TypeMismatch},
        {"percent 10 and amount 0 pass", [](R& r) { r.DiscountPercent = Variant(10); r.DiscountAmount = Variant(0); }, false, 0},
        {"negative discounts pass", [](R& r) { r.DiscountPercent = Variant(-5); }, false, 0},
        {"dates and numbers as text pass", [](R& r) { r.EffectiveDate = Variant("2024-01-01"); r.Price = Variant("10.25"); }, false, 0},
        {"a number with an exponent passes", [](R& r) { r.Price = Variant("1e1"); r.DiscountAmount = Variant("1,0"); }, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Inst().Exec("DELETE FROM PRODUCTPRICE; DELETE FROM CUSTOMERPRICE");
        R record = ListPrice();
        c.change(record);
        EXPECT_EQ(Add(record, c.customer), c.expected);
        EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE"), c.expected == 0 ? 1 : 0);
    }
    EXPECT_EQ(Rows("SELECT * FROM CUSTOMERPRICE"), 0);
}

TEST_P(Pricing, AddedAndUpdatedRecordsReadBackExactly) {
    vendalo::PriceRecord record{Variant(101), Variant(10), Variant("EUR"), Variant(Day(2024, 1, 1)),
                                Variant(Day(2025, 1, 1)), Variant("12345678.12345678"), ole::Null, Variant(0.5)};
    ASSERT_EQ(Add(record, true), 0);
    auto pricing = NewPricing();
    ASSERT_TRUE(pricing->GetCustomerPrice(101, 10, Day(2024, 1, 1), "EUR"));
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 12345678.12345678);
    EXPECT_EQ(pricing->ExpiryDate().ToDate(), Day(2025, 1, 1));

    pricing->SetPrice(Variant(7.0));
    pricing->SetExpiryDate(ole::Null);
    EXPECT_TRUE(pricing->UpdatePricing(true));
    ASSERT_TRUE(pricing->GetCustomerPrice(101, 10, Day(2024, 1, 1), "EUR"));
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 7);
    EXPECT_TRUE(pricing->ExpiryDate().IsNull());

    // a key without record: nothing changes, no error
    pricing->SetEffectiveDate(Variant(Day(2023, 1, 1)));
    pricing->SetExpiryDate(Variant(Day(2023, 6, 1)));
    EXPECT_TRUE(pricing->UpdatePricing(true));
    EXPECT_EQ(Rows("SELECT * FROM CUSTOMERPRICE"), 1);

    pricing->SetBusinessPartnerID(ole::Null);
    EXPECT_EQ(ErrorOf([&] { pricing->DeletePricing(true); }), vendalo::MissingBusinessPartnerID);
    pricing->SetBusinessPartnerID(Variant(10));
    pricing->SetEffectiveDate(Variant(Day(2024, 1, 1)));
    EXPECT_TRUE(pricing->DeletePricing(true));
    EXPECT_EQ(Rows("SELECT * FROM CUSTOMERPRICE"), 0);
}

// The overlap bounds: a record ending on the day the next begins is refused, one
// beginning on the day the previous ends is accepted.
TEST_P(Pricing, OverlapChecksKeepTheirBounds) {
    ASSERT_EQ(Add(ListPrice(Day(2024, 1, 1), Variant(Day(2024, 3, 1)))), 0);
    EXPECT_EQ(Add(ListPrice(Day(2024, 3, 1))), 0);
    Inst().Exec("DELETE FROM PRODUCTPRICE WHERE EFFECTIVEDATE > '2024-01-01 00:00:00'");

    auto pricing = NewPricing();
    pricing->SetRecord(ListPrice(Day(2024, 2, 28)));
    std::string description;
    EXPECT_EQ(ErrorOf([&] { pricing->AddPricing(false); }, &description), vendalo::EffectiveDateRange);
    EXPECT_THAT(description, HasSubstr("VendaloError.EffectiveDateRange: SELECT PRODUCTID FROM PRODUCTPRICE WHERE "
                                       "PRODUCTID = 101 AND CURRENCYCODE = 'EUR' AND ((EFFECTIVEDATE <= "));
    EXPECT_THAT(description, HasSubstr("(EFFECTIVEDATE <= "));
    EXPECT_THAT(description, HasSubstr("'9999-12-31 00:00:00')))."));
    EXPECT_TRUE(pricing->ExpiryDate().IsNull());  // the open end stays as the caller set it

    // ends on the first day of a later record
    EXPECT_EQ(Add(ListPrice(Day(2023, 6, 1), Variant(Day(2024, 1, 1)))), vendalo::EffectiveDateRange);
    EXPECT_EQ(Add(ListPrice(Day(2023, 6, 1), Variant(Day(2023, 12, 31)))), 0);

    // an update may not reach into a later record
    pricing->SetRecord(ListPrice(Day(2023, 6, 1), Variant(Day(2024, 1, 2))));
    EXPECT_EQ(ErrorOf([&] { pricing->UpdatePricing(false); }), vendalo::EffectiveDateRange);

    // values in the shown statement are literals: an apostrophe is doubled
    Inst().Exec("INSERT INTO PRODUCTPRICE VALUES (101, '2024-01-01 00:00:00', 'E''R', NULL, 1, NULL, NULL)");
    auto record = ListPrice(Day(2024, 5, 1));
    record.CurrencyCode = Variant("E'R");
    EXPECT_EQ(Add(record, false, &description), vendalo::EffectiveDateRange);
    EXPECT_THAT(description, HasSubstr("CURRENCYCODE = 'E''R'"));
}

TEST_P(Pricing, TwoAdministratorsAddingOverlappingRangesAtOnceStoreOne) {
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        Inst().Exec("DELETE FROM PRODUCTPRICE");
        std::latch start(2);
        std::atomic<int> stored{0}, refused{0}, other{0};
        auto add = [&](Date from) {
            try {
                auto pricing = NewPricing();
                pricing->SetRecord(ListPrice(from));
                start.arrive_and_wait();
                pricing->AddPricing(false);
                ++stored;
            } catch (const ole::AutomationError& e) {
                ++(e.Number() == vendalo::EffectiveDateRange ? refused : other);
            }
        };
        std::thread a(add, Day(2024, 1, 1)), b(add, Day(2024, 6, 1));
        a.join();
        b.join();
        EXPECT_EQ(stored.load(), 1);
        EXPECT_EQ(refused.load(), 1);
        EXPECT_EQ(other.load(), 0);
        EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE"), 1);
    }
}

TEST_P(Pricing, ReferenceChecksPerKind) {
    Inst().Exec("INSERT INTO PRODUCTPRICE VALUES (101, '2024-01-01 00:00:00', 'EUR', NULL, 1, NULL, NULL);"
                "INSERT INTO CUSTOMERPRICE VALUES (10, 102, '2024-01-01 00:00:00', 'USD', NULL, 1, NULL, NULL);"
                "INSERT INTO FREIGHTPRODUCT (PRODUCTID, FREIGHTGROUPID, ADDITIONALCOST) VALUES (103, 1, 0);"
                "INSERT INTO FREIGHTPRICE (FREIGHTGROUPID, CARRIER, SHIPFROMZONEID, SHIPTOZONEID) VALUES (1, 'DHL', 1, 1);"
                "INSERT INTO COUNTRIESBYZONE (COUNTRY, MAXZIPCODE, ZONEID) VALUES ('NL', '9999', 1);");
    auto integrity = Sls_GetComponent<qx::IReferentialIntegrity>("Vendalo.Pricing");
    auto exists = [&](const char* kind, const char* key, Variant value) {
        return integrity->Exists(kind, {Variant(key)}, {value});
    };
    EXPECT_TRUE(exists("product", "ProductID", Variant(103)));  // a freight row only
    EXPECT_TRUE(exists("PRODUCT", "PRODUCTID", Variant("102")));
    EXPECT_FALSE(exists("PRODUCT", "PRODUCTID", Variant("101 OR 1=1")));
    EXPECT_TRUE(exists("BUSINESSPARTNER", "BUSINESSPARTNERID", Variant(10)));
    EXPECT_TRUE(exists("CUSTOMER", "BUSINESSPARTNERID", Variant(10)));
    EXPECT_FALSE(exists("CUSTOMER", "CUSTOMERID", Variant(10)));
    EXPECT_TRUE(exists("CURRENCY", "CURRENCYCODE", Variant("USD")));
    EXPECT_FALSE(exists("CURRENCY", "CURRENCYCODE", Variant("US'D")));
    EXPECT_TRUE(exists("TRANSPORTCARRIER", "CARRIERCODE", Variant("DHL")));
    EXPECT_TRUE(exists("COUNTRY", "COUNTRYCODE", Variant("NL")));
    EXPECT_FALSE(exists("UNIT", "UNITCODE", Variant("PCS")));
    // a hit stays a hit when a later key finds nothing
    EXPECT_TRUE(integrity->Exists("PRODUCT", {Variant("PRODUCTID"), Variant("PRODUCTID")}, {Variant(101), Variant(999)}));

    // CUSTOMER deletes by the key CUSTOMERID
    EXPECT_TRUE(integrity->BeforeDelete("CUSTOMER", {Variant("CUSTOMERID")}, {Variant(10)}));
    EXPECT_EQ(Rows("SELECT * FROM CUSTOMERPRICE"), 0);
    EXPECT_TRUE(integrity->BeforeDelete("COUNTRY", {Variant("COUNTRYCODE")}, {Variant("NL")}));
    EXPECT_EQ(Rows("SELECT * FROM COUNTRIESBYZONE"), 1);
}

TEST_P(Pricing, BeforeDeleteIsAllOrNothing) {
    Inst().Exec("INSERT INTO PRODUCTPRICE VALUES (101, '2024-01-01 00:00:00', 'EUR', NULL, 1, NULL, NULL);"
                "INSERT INTO CUSTOMERPRICE VALUES (10, 101, '2024-01-01 00:00:00', 'EUR', NULL, 1, NULL, NULL);");
    auto integrity = Sls_GetComponent<qx::IReferentialIntegrity>("Vendalo.Pricing");
    Inst().Exec("ALTER TABLE CUSTOMERPRICE RENAME TO CUSTOMERPRICE_AWAY");  // the second delete fails
    std::string description;
    EXPECT_NE(ErrorOf([&] { integrity->BeforeDelete("PRODUCT", {Variant("PRODUCTID")}, {Variant(101)}); }, &description), 0);
    EXPECT_THAT(description, HasSubstr("METHOD: Pricing.BeforeDelete"));
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE"), 1);
    Inst().Exec("ALTER TABLE CUSTOMERPRICE_AWAY RENAME TO CUSTOMERPRICE");
    EXPECT_TRUE(integrity->BeforeDelete("PRODUCT", {Variant("PRODUCTID")}, {Variant(101)}));
    EXPECT_EQ(Rows("SELECT * FROM PRODUCTPRICE") + Rows("SELECT * FROM CUSTOMERPRICE"), 0);
}

TEST_P(Pricing, WebOrdersAndTheExportRegistryAnswerForBackEndInstances) {
    Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, BISID) VALUES ('A1', 1);"
                "INSERT INTO ORDEREXPORTFILE (BISID, FILENAME) VALUES (2, 'x.edi');");
    auto orders = Sls_GetComponent<qx::IReferentialIntegrity>("Vendalo.WebOrder");
    EXPECT_TRUE(orders->Exists("BISINSTANCE", {Variant("BISID"), Variant("BISID")}, {Variant(1), Variant(7)}));
    EXPECT_FALSE(orders->Exists("BISINSTANCE", {Variant("BISID")}, {Variant("1 OR 1=1")}));
    EXPECT_FALSE(orders->Exists("PRODUCT", {Variant("BISID")}, {Variant(1)}));
    EXPECT_FALSE(orders->BeforeDelete("BISINSTANCE", {Variant("BISID")}, {Variant(1)}));
    auto registry = Sls_GetComponent<qx::IReferentialIntegrity>("Vendalo.OrderExportFile");
    EXPECT_TRUE(registry->Exists("bisinstance", {Variant("ANYKEY")}, {Variant(2)}));
    EXPECT_FALSE(registry->Exists("BISINSTANCE", {Variant("BISID")}, {ole::Null}));
    EXPECT_TRUE(registry->BeforeDelete("BISINSTANCE", {Variant("BISID")}, {Variant(2)}));
}

// The demo installation's partners get their prices and freight charges.
class DemoData : public InstallationTest {};

TEST_P(DemoData, PartnersGetPricesAndFreight) {
    Inst().Exec(ReadFile(SourceDir() / "sql" / "demo.sql"));
    auto pricing = Sls_GetComponent<vendalo::IPricing>("Vendalo.Pricing");
    Date day = Day(2026, 12, 8);
    ASSERT_TRUE(pricing->GetWebPrice(101, 2, day, "EUR"));  // Noordhaven's agreed bolt price
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 0.40);
    EXPECT_EQ(pricing->BusinessPartnerID().ToLong(), 2);
    ASSERT_TRUE(pricing->GetWebPrice(104, 2, day, "EUR"));
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 1250);
    ASSERT_TRUE(pricing->GetWebPrice(101, 3, day, "USD"));  // Lakeside: list price in dollars
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 0.49);
    ASSERT_TRUE(pricing->GetWebPrice(103, 3, day, "USD"));  // agreed in euros, converted
    EXPECT_DOUBLE_EQ(pricing->Price().ToDouble(), 1.732);
    EXPECT_EQ(pricing->CurrencyCode().ToString(), "USD");

    auto freight = Sls_GetComponent<vendalo::IFreightCost>("Vendalo.FreightCost");
    ASSERT_TRUE(freight->InitZone("NL", "9936 HC"));  // Noordhaven's warehouse
    EXPECT_DOUBLE_EQ(freight->GetFreightCost(Variant(101), Variant("ROAD"), Variant(freight->ZoneId()), Variant(200)), 9.50);
    ASSERT_TRUE(freight->InitZone("US", "53545"));  // Lakeside's plant
    EXPECT_DOUBLE_EQ(freight->GetFreightCost(Variant(104), Variant("EXPRESS"), Variant(freight->ZoneId()), Variant(1)), 205);
}

INSTANTIATE_INSTALLATION_TEST(DemoData);

INSTANTIATE_INSTALLATION_TEST(Pricing);

}  // namespace
