// Prices, price maintenance, freight and the referential checks over HTTP, on
// the demo installation's price lists and freight tables.
#include <gtest/gtest.h>

#include "demo_host.h"

using namespace testing_support;

namespace {

class PriceApi : public DemoHost {};

TEST_P(PriceApi, ACataloguePageIsPricedInOneCall) {
    auto c = Shop();
    // partner 2 has its own price of product 101; 102 has only the list price
    auto r = c.Get("/api/v1/prices/web?product=101&partner=2&currency=EUR&date=2026-06-01");
    ASSERT_EQ(Status(r), 200) << r->body;
    json price = Parsed(r);
    EXPECT_EQ(price["BUSINESSPARTNERID"], 2);
    EXPECT_EQ(price["PRICE"].dump(), "0.4");
    EXPECT_EQ(price["EFFECTIVEDATE"], "2024-01-01");
    EXPECT_TRUE(price["EXPIRYDATE"].is_null());
    r = c.Get("/api/v1/prices/web?product=102&partner=2&currency=EUR");
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_TRUE(Parsed(r)["BUSINESSPARTNERID"].is_null());  // a list price
    EXPECT_EQ(Status(c.Get("/api/v1/prices/web?product=999&partner=2&currency=EUR")), 404);
    // a value that is not of its type is refused before any call
    EXPECT_EQ(Status(c.Get("/api/v1/prices/web?product=1%20OR%201%3D1&partner=2&currency=EUR")), 400);
    EXPECT_EQ(Status(c.Get("/api/v1/prices/web?product=101&partner=2&currency=EUR&date=yesterday")), 400);
    EXPECT_EQ(Status(c.Get("/api/v1/prices/web?product=101&currency=EUR")), 400);

    // a page of 50: one record or null per product, in the order asked
    json products = json::array();
    for (int i = 0; i < 50; ++i) products.push_back(i % 5 == 4 ? 999 : 101 + i % 5);
    r = c.Post("/api/v1/prices/web", json{{"partner", 2}, {"currency", "USD"}, {"date", "2026-06-01"}, {"products", products}}.dump(),
               kJson);
    ASSERT_EQ(Status(r), 200) << r->body;
    json prices = Parsed(r)["prices"];
    ASSERT_EQ(prices.size(), 50u);
    for (size_t i = 0; i < 50; ++i) {
        if (products[i] == 999) {
            EXPECT_TRUE(prices[i].is_null()) << i;
            continue;
        }
        EXPECT_EQ(prices[i]["PRODUCTID"], products[i]) << i;
        EXPECT_EQ(prices[i]["CURRENCYCODE"], "USD") << i;
    }
    // the partner's own EUR price comes before the USD list price, converted
    EXPECT_EQ(prices[0]["BUSINESSPARTNERID"], 2);
    EXPECT_EQ(prices[1]["PRICE"].dump(), "0.06");

    products = json::array();
    for (int i = 0; i < 501; ++i) products.push_back(101);
    EXPECT_EQ(Status(c.Post("/api/v1/prices/web", json{{"partner", 2}, {"currency", "EUR"}, {"products", products}}.dump(), kJson)), 400);
    EXPECT_EQ(Status(c.Post("/api/v1/prices/web", json{{"partner", 2}, {"currency", "EUR"}, {"products", {"101"}}}.dump(), kJson)), 400);
    EXPECT_EQ(Status(c.Post("/api/v1/prices/web", json{{"partner", 2}, {"currency", "EUR"}, {"products", {101}}, {"x", 1}}.dump(), kJson)), 400);
}

TEST_P(PriceApi, MaintenanceNeedsTheOperatorKeyAndKeepsTheRules) {
    json price = {{"PRODUCTID", 104}, {"BUSINESSPARTNERID", 3}, {"CURRENCYCODE", "EUR"}, {"EFFECTIVEDATE", "2027-01-01"},
                  {"EXPIRYDATE", nullptr}, {"PRICE", 1199.5}, {"DISCOUNTPERC", nullptr}, {"DISCOUNTAMOUNT", 10}};
    const std::string key = "/api/v1/prices/customer?product=104&partner=3&currency=EUR&effective=2027-01-01";
    auto stored = [&] { return Count("SELECT COUNT(*) FROM CUSTOMERPRICE WHERE PRODUCTID = 104 AND BUSINESSPARTNERID = 3"); };

    EXPECT_EQ(Status(serve_->Client("").Post("/api/v1/prices/customer", price.dump(), kJson)), 401);
    EXPECT_EQ(Status(Shop().Post("/api/v1/prices/customer", price.dump(), kJson)), 403);  // the shop key maintains nothing
    EXPECT_EQ(Status(Shop().Delete(key)), 403);
    EXPECT_EQ(stored(), 0);

    auto c = Operator();
    auto r = c.Post("/api/v1/prices/customer", price.dump(), kJson);
    ASSERT_EQ(Status(r), 201) << r->body;
    r = c.Get(key);
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["PRICE"].dump(), "1199.5");
    EXPECT_EQ(Parsed(r)["DISCOUNTAMOUNT"].dump(), "10");

    // a range overlapping the stored one, and a missing expiry (left out, not null): refused with their numbers
    json overlapping = price;
    overlapping["EFFECTIVEDATE"] = "2027-06-01";
    r = c.Post("/api/v1/prices/customer", overlapping.dump(), kJson);
    EXPECT_EQ(Status(r), 400) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040148");  // EffectiveDateRange
    json incomplete = price;
    incomplete.erase("EXPIRYDATE");
    r = c.Put("/api/v1/prices/customer", incomplete.dump(), kJson);
    EXPECT_EQ(Status(r), 400) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x8004013F");  // MissingExpiryDate
    json unknownProduct = price;
    unknownProduct["PRODUCTID"] = 999;
    r = c.Post("/api/v1/prices/customer", unknownProduct.dump(), kJson);
    EXPECT_EQ(Status(r), 400) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040133");  // ReferentialInsert
    EXPECT_EQ(stored(), 1);

    json changed = price;
    changed["PRICE"] = 1100;
    changed["EXPIRYDATE"] = "2028-01-01";
    ASSERT_EQ(Status(c.Put("/api/v1/prices/customer", changed.dump(), kJson)), 200);
    r = c.Get(key);
    EXPECT_EQ(Parsed(r)["PRICE"].dump(), "1100");
    EXPECT_EQ(Parsed(r)["EXPIRYDATE"], "2028-01-01");

    EXPECT_EQ(Status(c.Delete(key)), 204);
    r = c.Get(key);
    EXPECT_EQ(Status(r), 404);
    EXPECT_EQ(ErrorNumber(r), "0x8004013B");  // CustomerPriceNotFound
    EXPECT_EQ(stored(), 0);

    // list prices take no partner
    json list = price;
    list.erase("BUSINESSPARTNERID");
    list["EFFECTIVEDATE"] = "2020-01-01";  // before the stored list price, not touching it
    list["EXPIRYDATE"] = "2021-01-01";
    EXPECT_EQ(Status(c.Post("/api/v1/prices/product", price.dump(), kJson)), 400);
    ASSERT_EQ(Status(c.Post("/api/v1/prices/product", list.dump(), kJson)), 201);
    EXPECT_EQ(Status(c.Get("/api/v1/prices/product?product=104&currency=EUR&effective=2020-01-01")), 200);
    EXPECT_EQ(Status(c.Delete("/api/v1/prices/product?product=104&currency=EUR&effective=2020-01-01")), 204);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCTPRICE WHERE PRODUCTID = 104 AND CURRENCYCODE = 'EUR'"), 1);
}

// Amounts a price cannot keep are refused by name, nothing is stored, and the
// host stays up (tiny amounts once made it trap).
TEST_P(PriceApi, AmountsAPriceCannotKeepAreRefusedByName) {
    json price = {{"PRODUCTID", 104},     {"CURRENCYCODE", "EUR"},    {"EFFECTIVEDATE", "2020-01-01"}, {"EXPIRYDATE", "2021-01-01"},
                  {"PRICE", 10},          {"DISCOUNTPERC", nullptr}, {"DISCOUNTAMOUNT", nullptr}};
    const std::pair<const char*, double> refused[] = {
        {"PRICE", 1e-150}, {"PRICE", 5e-324},        {"PRICE", -1e-310},       {"PRICE", 1e308},
        {"PRICE", 1e-30},  {"DISCOUNTPERC", 0.00001}, {"DISCOUNTAMOUNT", 1e-100}, {"DISCOUNTAMOUNT", 0.12345},
    };
    auto c = Operator();
    const std::string stored = "SELECT COUNT(*) FROM PRODUCTPRICE WHERE PRODUCTID = 104";
    const int64_t before = Count(stored);
    for (const auto& [field, value] : refused) {
        json body = price;
        body[field] = value;
        for (bool update : {false, true}) {
            auto r = update ? c.Put("/api/v1/prices/product", body.dump(), kJson)
                            : c.Post("/api/v1/prices/product", body.dump(), kJson);
            ASSERT_EQ(Status(r), 400) << field << " " << value << ": " << (r ? r->body : "no answer");
            EXPECT_NE(Parsed(r)["error"]["description"].get<std::string>().find(field), std::string::npos) << r->body;
        }
    }
    auto r = Shop().Get("/api/v1/freight/cost?product=103&carrier=ROAD&to-zone=2&quantity=1e-150");
    EXPECT_EQ(Status(r), 400) << (r ? r->body : "no answer");
    EXPECT_EQ(Count(stored), before);
    EXPECT_EQ(Status(c.Post("/api/v1/prices/product", price.dump(), kJson)), 201);
}

TEST_P(PriceApi, FreightZonesProductsAndCharges) {
    auto c = Shop();
    auto r = c.Get("/api/v1/freight/zone?country=NL&zip=9711%20AB");
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["ZONEID"], 1);
    EXPECT_EQ(Parsed(r)["ZONEDESCRIPTION"], "Netherlands");
    EXPECT_EQ(Status(c.Get("/api/v1/freight/zone?country=XX&zip=1000")), 404);
    EXPECT_EQ(Status(c.Get("/api/v1/freight/zone?country=NL")), 400);

    r = c.Get("/api/v1/freight/products/104");
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["FREIGHTGROUPID"], 2);
    EXPECT_EQ(Parsed(r)["ADDITIONALCOST"], 25);
    EXPECT_EQ(Parsed(r)["charged"], true);
    EXPECT_EQ(Status(c.Get("/api/v1/freight/products/abc")), 400);
    r = c.Get("/api/v1/freight/products/999");  // no freight group
    EXPECT_EQ(Status(r), 404) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040400");

    // 12.50 + 3 x 0.02 + 0.5 rounded to a whole number (halves to even: 0)
    r = c.Get("/api/v1/freight/cost?product=103&carrier=ROAD&to-zone=2&quantity=3");
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["FREIGHTCOST"].dump(), "12.56");
    r = c.Get("/api/v1/freight/cost?product=103&carrier=EXPRESS&to-zone=2&quantity=1");  // no tariff
    EXPECT_EQ(Status(r), 404) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040400");
    EXPECT_EQ(Status(c.Get("/api/v1/freight/cost?product=101&carrier=ROAD&to-zone=one&quantity=1")), 400);
}

TEST_P(PriceApi, ReferentialChecksPerComponent) {
    auto ask = [&](httplib::Client& c, const std::string& component, const std::string& call, const json& body) {
        return c.Post("/api/v1/referential/" + component + "/" + call, body.dump(), kJson);
    };
    json product104 = {{"kind", "PRODUCT"}, {"keys", {"PRODUCTID"}}, {"values", {104}}};
    auto shop = Shop();
    EXPECT_EQ(Status(ask(shop, "Pricing", "exists", product104)), 403);

    auto c = Operator();
    auto r = ask(c, "Pricing", "exists", product104);
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["exists"], true);
    r = ask(c, "Pricing", "exists", json{{"kind", "PRODUCT"}, {"keys", {"PRODUCTID"}}, {"values", {"104 OR 1=1"}}});
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["exists"], false);  // matches nothing, executed as nothing
    r = ask(c, "OrderExportFile", "exists", json{{"kind", "BISINSTANCE"}, {"keys", {"BISID"}}, {"values", {1}}});
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["exists"], true);
    r = ask(c, "WebOrder", "before-delete", json{{"kind", "BISINSTANCE"}, {"keys", {"BISID"}}, {"values", {1}}});
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["mayDelete"], false);  // web orders stay with their instance

    r = ask(c, "Pricing", "before-delete", product104);
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["mayDelete"], true);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCTPRICE WHERE PRODUCTID = 104"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM CUSTOMERPRICE WHERE PRODUCTID = 104"), 0);

    EXPECT_EQ(Status(ask(c, "Basket", "exists", product104)), 404);
    EXPECT_EQ(Status(ask(c, "Pricing", "exists", json{{"kind", "PRODUCT"}, {"keys", {"PRODUCTID"}}, {"values", json::array()}})), 400);
}

INSTANTIATE_DB_TEST(PriceApi);

}  // namespace
