// A basket's order form and its checkout authorisation over HTTP; the card
// gateway is the simulator on loopback.
#include <gtest/gtest.h>

#include <fstream>
#include <pugixml.hpp>
#include <sstream>

#include "demo_host.h"
#include "gateway_simulator.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kCard = "4111111111111111";

class BasketApi : public DemoHost {
protected:
    // The demo installation asks the gateway at 127.0.0.1:18490; this one asks the test's simulator.
    void BeforeServing() override {
        GatewaySimulator::Options options;
        options.https = false;
        gateway_ = std::make_unique<GatewaySimulator>(options);
        gateway_->ServeInstallation(home_);
    }
    void TearDown() override {
        DemoHost::TearDown();
        gateway_.reset();
    }

    // A stored basket of partner 2 (EUR) with one line, a name with markup and a total.
    std::string FilledBasket(httplib::Client& c, const std::string& total = "1234.5") {
        auto r = c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump(), kJson);
        EXPECT_EQ(Status(r), 201);
        std::string id = Parsed(r)["header"]["BASKETID"];
        r = c.Post("/api/v1/baskets/" + id + "/lines", json{{"SKU", 104}, {"QUANTITY", 1}, {"REQUESTDATE", "2027-01-10"}}.dump(), kJson);
        EXPECT_EQ(Status(r), 201);
        json basket = Parsed(r);
        basket.erase("BASKETLINENR");
        basket["header"]["BASKETNAME"] = "R&D <spare parts>";
        basket["header"]["DISCOUNTPERC"] = 0;
        basket["header"]["SUBTOTAL"] = json::parse(total);
        basket["header"]["TOTAL"] = json::parse(total);
        basket["header"]["PAYMENTMETHOD"] = 2;
        for (auto& line : basket["lines"]) {
            line["PRODUCTPRICE"] = json::parse(total);
            line["LINEAMOUNT"] = json::parse(total);
            line["DISCOUNTPERC"] = 0;
            line["DISCOUNTAMOUNT"] = 0;
            line["ADDRESSID"] = 22;
            line["PRODUCTUNITCODE"] = "PCS";
        }
        r = c.Put("/api/v1/baskets/" + id, basket.dump(), kJson);
        EXPECT_EQ(Status(r), 200) << (r ? r->body : "");
        return id;
    }

    std::string NewBasket(httplib::Client& c, const std::string& user, int partner) {
        auto r = c.Post("/api/v1/baskets", json{{"USERID", user}, {"BUSINESSPARTNERID", partner}}.dump(), kJson);
        EXPECT_EQ(Status(r), 201) << (r ? r->body : "no answer");
        return Parsed(r)["header"]["BASKETID"];
    }

    static json Card(const std::string& number) {
        return {{"number", number}, {"expiryMonth", "12"}, {"expiryYear", std::to_string(ole::Date::Today().Year() + 2)},
                {"type", "001"},    {"firstName", "Anna"},  {"lastName", "O'Bakker"}, {"zip", "9711 AB"}, {"country", "NL"}};
    }

    // The printable page opened in headless Chromium: the document the browser
    // built holds the basket's name, one row of the lines table and the total.
    static void ExpectABrowserRendersTheLineAndTheTotal(const std::string& html) {
        if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
        TempDir browser;
        fs::path page = browser.Path() / "orderform.html";
        std::ofstream(page) << html;
        Outcome dom = RunProgram("/usr/bin/chromium",
                                 "--headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
                                 "--disable-component-update --disable-sync --user-data-dir=" +
                                     Quoted((browser.Path() / "profile").string()) + " --dump-dom " +
                                     Quoted("file://" + page.string()));
        ASSERT_EQ(dom.exitCode, 0) << dom.output;
        const std::string& text = dom.output;
        EXPECT_NE(text.find("R&amp;D &lt;spare parts&gt;"), std::string::npos) << text;
        size_t lines = text.find("<table class=\"lines\">"), body = text.find("<tbody>", lines);
        ASSERT_NE(body, std::string::npos) << text;
        std::string rows = text.substr(body, text.find("</tbody>", body) - body);
        size_t count = 0;
        for (size_t at = rows.find("<tr"); at != std::string::npos; at = rows.find("<tr", at + 1)) ++count;
        EXPECT_EQ(count, 1u) << rows;
        size_t totals = text.find("<table class=\"totals\">");
        ASSERT_NE(totals, std::string::npos) << text;
        EXPECT_NE(text.find("1,234.50", totals), std::string::npos) << text.substr(totals);
    }

    std::unique_ptr<GatewaySimulator> gateway_;
};

TEST_P(BasketApi, TheOrderFormAsXmlAndAsAPrintablePage) {
    auto c = Shop();
    std::string id = FilledBasket(c);
    auto r = c.Get("/api/v1/baskets/" + id + "/orderform?locale=1043");
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/xml; charset=utf-8");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(r->body.c_str())) << r->body;
    EXPECT_EQ(std::string(doc.select_node("//BASKETNAME").node().text().get()), "R&D <spare parts>");
    EXPECT_EQ(doc.select_nodes("//OrderLine").size(), 1u);
    // the locale names the labels' language; numbers follow the basket's USERLOCALE (none: 1033)
    EXPECT_NE(r->body.find("<SUBTOTAL label = 'Subtotaal'>1,234.50</SUBTOTAL>"), std::string::npos) << r->body;
    r = c.Get("/api/v1/baskets/" + id + "/orderform");  // English labels by default
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_NE(r->body.find("<SUBTOTAL label = 'Subtotal'>1,234.50</SUBTOTAL>"), std::string::npos) << r->body;

    r = c.Get("/api/v1/baskets/" + id + "/orderform.html?locale=1033");
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(r->body.find("R&amp;D &lt;spare parts&gt;"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("1,234.50"), std::string::npos) << r->body;
    ExpectABrowserRendersTheLineAndTheTotal(r->body);

    EXPECT_EQ(Status(c.Get("/api/v1/baskets/0123456789ABCDEF0123456789ABCDEF/orderform")), 404);
    EXPECT_EQ(Status(c.Get("/api/v1/baskets/" + id + "/orderform.html?locale=en")), 400);
    EXPECT_EQ(Status(serve_->Client("").Get("/api/v1/baskets/" + id + "/orderform")), 401);
}

TEST_P(BasketApi, CheckoutAuthorisationNeverAnswersOrKeepsTheCardNumber) {
    auto c = Shop();
    std::string id = FilledBasket(c, "114.95");
    // kept for retries (Idempotency-Key): the answer, never the card
    auto r = c.Post("/api/v1/baskets/" + id + "/authorize", {{"Idempotency-Key", "pay-1"}}, Card(kCard).dump(), kJson);
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM IDEMPOTENCYKEY WHERE STATE = 'DONE'"), 1);
    json answer = Parsed(r);
    EXPECT_EQ(answer["status"], "authorized");
    EXPECT_EQ(answer["repeated"], false);
    EXPECT_EQ(answer["maskedNumber"].get<std::string>().substr(12), "1111");
    EXPECT_FALSE(answer["reply"]["request_id"].get<std::string>().empty());
    EXPECT_EQ(answer["reply"]["auth_auth_amount"], "114.95");
    EXPECT_EQ(r->body.find(kCard), std::string::npos);
    EXPECT_EQ(gateway_->Count("applications", "ics_auth"), 1u) << gateway_->JournalText();

    // the same basket again: the authorisation is answered, no second hold
    r = c.Post("/api/v1/baskets/" + id + "/authorize", Card("4111 1111 1111 1111").dump(), kJson);
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["repeated"], true);
    EXPECT_EQ(gateway_->Count("applications", "ics_auth"), 1u) << gateway_->JournalText();

    std::string other = FilledBasket(c, "20");
    r = c.Post("/api/v1/baskets/" + other + "/authorize", Card("4000000000000002").dump(), kJson);
    EXPECT_EQ(Status(r), 402) << r->body;
    EXPECT_EQ(Parsed(r)["status"], "declined");
    r = c.Post("/api/v1/baskets/" + other + "/authorize", Card("4111111111111112").dump(), kJson);  // check digit
    EXPECT_EQ(Status(r), 400) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040502");
    json expired = Card(kCard);
    expired["expiryYear"] = "2001";
    EXPECT_EQ(Status(c.Post("/api/v1/baskets/" + other + "/authorize", expired.dump(), kJson)), 400);
    json numeric = Card(kCard);
    numeric["number"] = 4111111111111111LL;  // a number where text is expected: refused without echoing it
    r = c.Post("/api/v1/baskets/" + other + "/authorize", numeric.dump(), kJson);
    EXPECT_EQ(Status(r), 400);
    EXPECT_EQ(r->body.find(kCard), std::string::npos) << r->body;
    EXPECT_EQ(Status(c.Post("/api/v1/baskets/0123456789ABCDEF0123456789ABCDEF/authorize", Card(kCard).dump(), kJson)), 404);

    // a gateway that cannot be reached: 502, with the error's number
    gateway_.reset();
    r = c.Post("/api/v1/baskets/" + FilledBasket(c, "30") + "/authorize", Card(kCard).dump(), kJson);
    EXPECT_EQ(Status(r), 502) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040401");  // not sent
    EXPECT_EQ(r->body.find(kCard), std::string::npos) << r->body;

    // the card number is nowhere in the installation: not in the log, the database or any other file
    EXPECT_EQ(serve_->Stop(), 0) << serve_->Output();
    for (const auto& entry : fs::recursive_directory_iterator(home_)) {
        if (!entry.is_regular_file()) continue;
        std::string text = ReadFile(entry.path());
        EXPECT_EQ(text.find(kCard), std::string::npos) << entry.path();
        EXPECT_EQ(text.find("4111 1111 1111 1111"), std::string::npos) << entry.path();
    }
    EXPECT_EQ(serve_->Output().find(kCard), std::string::npos);
    serve_.reset();
    if (Db().IsPostgres()) {
        EXPECT_EQ(Count("SELECT COUNT(*) FROM AUTHORIZATIONLOG WHERE CUSTOMER_CC_NUMBER LIKE ?", {ole::Variant("%" + kCard + "%")}), 0);
        EXPECT_EQ(Count("SELECT COUNT(*) FROM IDEMPOTENCYKEY WHERE BODY LIKE ?", {ole::Variant("%" + kCard + "%")}), 0);
    }
}

// Values an order cannot rest on are refused by name and leave the basket as
// it was; tiny and huge amounts once took the host down.
TEST_P(BasketApi, ValuesAnOrderCannotRestOnAreRefusedByName) {
    auto c = Shop();
    std::string id = FilledBasket(c, "20");
    const json stored = Parsed(c.Get("/api/v1/baskets/" + id));
    const std::vector<std::tuple<std::string, std::string, json>> puts = {
        {"lines", "PRODUCTPRICE", 1e-150}, {"header", "TOTAL", 5e-324},     {"header", "SUBTOTAL", 1e-310},
        {"header", "TOTAL", 1e-30},        {"header", "TOTAL", 1e308},      {"lines", "LINEAMOUNT", 0.00001},
        {"lines", "QUANTITY", -5},         {"lines", "QUANTITY", 1e-7},     {"lines", "QUANTITY", 1e308},
        {"lines", "QUANTITY", 0},          {"lines", "QUANTITY", 1.00001},  {"lines", "DISCOUNTAMOUNT", -1},
        {"lines", "DISCOUNTAMOUNT", 20.01}, {"header", "USERID", "msmith"}, {"header", "USERID", "nobody"},
    };
    for (const auto& [part, column, value] : puts) {
        json body = stored;
        (part == "header" ? body["header"] : body["lines"][0])[column] = value;
        auto r = c.Put("/api/v1/baskets/" + id, body.dump(), kJson);
        std::string field = (part == "header" ? "header." : "lines[0].") + column;
        ASSERT_EQ(Status(r), 400) << field << " " << value.dump() << ": " << (r ? r->body : "no answer");
        EXPECT_NE(Parsed(r)["error"]["description"].get<std::string>().find(field), std::string::npos) << r->body;
    }
    for (const json& quantity : {json(-5), json(1e-7), json(1e308)}) {
        auto r = c.Post("/api/v1/baskets/" + id + "/lines", json{{"SKU", 104}, {"QUANTITY", quantity}}.dump(), kJson);
        ASSERT_EQ(Status(r), 400) << quantity.dump() << ": " << (r ? r->body : "no answer");
        EXPECT_NE(Parsed(r)["error"]["description"].get<std::string>().find("QUANTITY"), std::string::npos) << r->body;
    }
    for (const json& user : {json{{"USERID", "msmith"}, {"BUSINESSPARTNERID", 2}}, json{{"USERID", "nobody"}, {"BUSINESSPARTNERID", 2}}}) {
        auto r = c.Post("/api/v1/baskets", user.dump(), kJson);
        EXPECT_EQ(Status(r), 400) << (r ? r->body : "no answer");
    }
    EXPECT_EQ(Parsed(c.Get("/api/v1/baskets/" + id)), stored);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER"), 1);

    // the last line number there is: no line can follow it
    json last = stored;
    last["lines"][0]["BASKETLINENR"] = 2147483647;
    ASSERT_EQ(Status(c.Put("/api/v1/baskets/" + id, last.dump(), kJson)), 200);
    auto r = c.Post("/api/v1/baskets/" + id + "/lines", json{{"SKU", 104}, {"QUANTITY", 1}}.dump(), kJson);
    EXPECT_EQ(Status(r), 400) << (r ? r->body : "no answer");
    EXPECT_NE(r->body.find("BASKETLINENR"), std::string::npos) << r->body;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETLINE"), 1);
}

// Each input a basket request cannot use is refused before anything is
// written: 400 naming the field (and the line), with the system's number.
TEST_P(BasketApi, EveryInputABasketCannotUseIsRefusedByNameAndChangesNothing) {
    auto c = Shop();
    const std::string basket = "/api/v1/baskets/" + FilledBasket(c, "20");
    const json stored = Parsed(c.Get(basket));
    auto changed = [&](const char* part, const char* column, const json& value) {
        json body = stored;
        (std::string(part) == "header" ? body["header"] : body["lines"][0])[column] = value;
        return body;
    };
    const std::string longText(51, 'x');
    struct Case {
        std::string method, path;
        json body;
        std::string field;
        json line;
        std::string number;
    };
    const Case cases[] = {
        // the service account belongs to no partner: the partner -1 once reached Create (500)
        {"POST", "/api/v1/baskets", {{"USERID", "memscript"}, {"BUSINESSPARTNERID", -1}}, "BUSINESSPARTNERID", nullptr, "0x80040201"},
        {"POST", "/api/v1/baskets", {{"USERID", "msmith"}, {"BUSINESSPARTNERID", 2}}, "USERID", nullptr, "0x8004015C"},
        {"POST", basket + "/lines", {{"SKU", 999}, {"QUANTITY", 5}}, "SKU", nullptr, "0x80040203"},
        {"POST", basket + "/lines", {{"SKU", 101}, {"QUANTITY", -5}}, "QUANTITY", nullptr, "0x5"},
        {"POST", basket + "/lines", {{"SKU", 101}, {"QUANTITY", 1}, {"REQUESTDATE", "2027-02-30"}}, "REQUESTDATE", nullptr, "0xD"},
        {"POST", basket + "/lines", {{"SKU", 101}, {"QUANTITY", 1}, {"COLOUR", "red"}}, "COLOUR", nullptr, "0x5"},
        {"POST", basket + "/lines", {{"SKU", 101}, {"QUANTITY", 1}, {"PRODUCTCONFIGID", longText}}, "PRODUCTCONFIGID", nullptr, "0x80040E21"},
        {"POST", basket + "/copy", {{"name", std::string(101, 'x')}}, "name", nullptr, "0x80040E21"},
        {"PUT", basket, changed("header", "CURRENCYCODE", "XYZ"), "CURRENCYCODE", nullptr, "0x80040240"},
        {"PUT", basket, changed("header", "CUSTOMERPONUMBER", longText), "CUSTOMERPONUMBER", nullptr, "0x80040E21"},
        {"PUT", basket, changed("lines", "SKU", 999), "SKU", 1, "0x80040203"},
        {"PUT", basket, changed("lines", "ADDRESSID", 31), "ADDRESSID", 1, "0x80040154"},  // partner 3's
        {"PUT", basket, changed("lines", "QUANTITY", 0), "QUANTITY", 1, "0x5"},
    };
    const int64_t baskets = Count("SELECT COUNT(*) FROM BASKETHEADER");
    for (const Case& k : cases) {
        auto r = k.method == "PUT" ? c.Put(k.path, k.body.dump(), kJson) : c.Post(k.path, k.body.dump(), kJson);
        ASSERT_EQ(Status(r), 400) << k.method << " " << k.path << " " << k.field << ": " << (r ? r->body : "no answer");
        json error = Parsed(r)["error"];
        EXPECT_EQ(error["field"], k.field) << r->body;
        EXPECT_EQ(error.value("line", json()), k.line) << r->body;
        EXPECT_EQ(error["number"], k.number) << r->body;
    }
    EXPECT_EQ(Parsed(c.Get(basket)), stored);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER"), baskets);
}

// A submission names every field the order lacks in one answer, not the
// first failing conversion ("Invalid use of Null").
TEST_P(BasketApi, ASubmissionNamesEveryFieldTheOrderLacks) {
    auto c = Shop();
    std::string id = NewBasket(c, "jdevries", 2);
    auto r = c.Post("/api/v1/baskets/" + id + "/lines", json{{"SKU", 101}, {"QUANTITY", 5}}.dump(), kJson);
    json basket = Parsed(r);
    basket.erase("BASKETLINENR");
    basket["header"]["DISCOUNTPERC"] = nullptr;
    basket["lines"][0]["DISCOUNTPERC"] = nullptr;
    basket["lines"][0]["DISCOUNTAMOUNT"] = nullptr;
    ASSERT_EQ(Status(c.Put("/api/v1/baskets/" + id, basket.dump(), kJson)), 200);
    r = c.Post("/api/v1/baskets/" + id + "/submit", "", kJson);
    ASSERT_EQ(Status(r), 400) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040157");  // MissingOrderInfo
    EXPECT_EQ(Parsed(r)["error"]["missing"], json::parse(R"([{"field": "DISCOUNTPERC"}, {"field": "ADDRESSID", "line": 1},
        {"field": "PRODUCTPRICE", "line": 1}, {"field": "DISCOUNTPERC", "line": 1}, {"field": "DISCOUNTAMOUNT", "line": 1},
        {"field": "LINEAMOUNT", "line": 1}])")) << r->body;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER"), 0);
    EXPECT_EQ(Status(c.Get("/api/v1/baskets/" + id)), 200);
}

// Prices from the system's data: the partner's own price before the list
// price, a home-currency price and tariff converted, freight by zone and
// carrier, the caller's tax kept, and a total that the card gateway's capture
// of the order's lines repeats. A line without a price changes nothing.
TEST_P(BasketApi, ABasketIsPricedFromTheSystemsOwnData) {
    auto c = Shop();
    auto addLine = [&](const std::string& id, json line) {
        line["price"] = true;
        line["REQUESTDATE"] = line.value("REQUESTDATE", "2027-01-10");
        return c.Post("/api/v1/baskets/" + id + "/lines", line.dump(), kJson);
    };
    // partner 2: EUR, carrier ROAD, delivery address 22 in zone 1 (7.50 + 0.01 an item)
    std::string id = NewBasket(c, "jdevries", 2);
    ASSERT_EQ(Status(addLine(id, {{"SKU", 101}, {"QUANTITY", 20}})), 201);
    auto r = addLine(id, {{"SKU", 102}, {"QUANTITY", 100}});
    ASSERT_EQ(Status(r), 201) << r->body;
    json basket = Parsed(r);
    // the columns priced, as the answer prints them
    auto priced = [](const json& line) {
        std::string shown;
        for (const char* column : {"PARTNUMBER", "PRODUCTPRICE", "DISCOUNTPERC", "LINEDISCOUNTAMOUNT", "LINEAMOUNT", "FREIGHTAMOUNT"})
            shown += (shown.empty() ? "" : " ") + line[column].dump();
        return shown;
    };
    EXPECT_EQ(priced(basket["lines"][0]), R"("BOLT-M8" 0.4 5 0.4 7.6 7.7)");
    EXPECT_EQ(priced(basket["lines"][1]), R"("WASHER-8" 0.05 0 0 5 8.5)");

    basket.erase("BASKETLINENR");
    basket["lines"][0]["TAXAMOUNT"] = 1.52;
    basket["header"]["PAYMENTMETHOD"] = 2;
    ASSERT_EQ(Status(c.Put("/api/v1/baskets/" + id, basket.dump(), kJson)), 200);
    r = c.Post("/api/v1/baskets/" + id + "/price", "", kJson);
    ASSERT_EQ(Status(r), 200) << r->body;
    json header = Parsed(r)["header"];
    EXPECT_EQ(header["TOTALNETAMOUNT"].dump() + " " + header["FREIGHTTOTAL"].dump() + " " + header["TOTAL"].dump(), "12.6 16.2 30.32");
    EXPECT_EQ(Parsed(r)["lines"][0]["TAXAMOUNT"].dump(), "1.52");

    // what checkout authorises is what the capture of the order's lines asks for
    r = c.Post("/api/v1/baskets/" + id + "/authorize", Card(kCard).dump(), kJson);
    ASSERT_EQ(Status(r), 200) << r->body;
    EXPECT_EQ(Parsed(r)["reply"]["auth_auth_amount"], "30.32");
    ASSERT_EQ(Status(c.Post("/api/v1/baskets/" + id + "/submit", "", kJson)), 201);
    auto db = Open();
    db->Execute("UPDATE ORDERHEADER SET ORDERSTATUS = 4, SALESORDERNR = 'SO1' WHERE ORDERID = ?", nullptr, -1, {ole::Variant(id)});
    db->Execute("UPDATE ORDERLINE SET LINESTATUS = 1 WHERE ORDERID = ?", nullptr, -1, {ole::Variant(id)});
    Outcome pay = Backoffice("pay --home " + Quoted(home_.string()));
    ASSERT_EQ(pay.exitCode, 0) << pay.output;
    auto captured = db->Execute("SELECT AMOUNT FROM GATEWAYREQUEST WHERE OPERATION IN ('CAPTURE', 'AUTH_CAPTURE')");
    ASSERT_FALSE(captured->Eof()) << pay.output;
    EXPECT_EQ(captured->Fields(0).Value().Text(), "30.32");
    db->Close();

    // partner 3: USD, carrier EXPRESS, address 32 in zone 3; its cable is agreed in euros (1.60 at 1.0825),
    // the tariff too (45.00 + 0.10 an item + 0.5 rounded to even)
    std::string usd = NewBasket(c, "msmith", 3);
    r = addLine(usd, {{"SKU", 103}, {"QUANTITY", 10}});
    ASSERT_EQ(Status(r), 201) << r->body;
    EXPECT_EQ(priced(Parsed(r)["lines"][0]), R"("CABLE-3X25" 1.732 0 0 17.32 49.8)");

    // no price on the day (before the first list price): 422 naming the line, and nothing stored
    const json before = Parsed(c.Get("/api/v1/baskets/" + usd));
    r = addLine(usd, {{"SKU", 101}, {"QUANTITY", 1}, {"REQUESTDATE", "2020-01-01"}});
    ASSERT_EQ(Status(r), 422) << r->body;
    EXPECT_EQ(Parsed(r)["error"]["line"], 2);
    EXPECT_NE(Parsed(r)["error"]["description"].get<std::string>().find("no price"), std::string::npos) << r->body;
    EXPECT_EQ(Parsed(c.Get("/api/v1/baskets/" + usd)), before);
    json unpriced = {{"SKU", 101}, {"QUANTITY", 1}, {"REQUESTDATE", "2020-01-01"}};
    ASSERT_EQ(Status(c.Post("/api/v1/baskets/" + usd + "/lines", unpriced.dump(), kJson)), 201);
    const json withLine = Parsed(c.Get("/api/v1/baskets/" + usd));
    EXPECT_EQ(Status(c.Post("/api/v1/baskets/" + usd + "/price", "", kJson)), 422);
    EXPECT_EQ(Parsed(c.Get("/api/v1/baskets/" + usd)), withLine);
}

// The printable order form of a priced basket fills every column of its lines.
TEST_P(BasketApi, ThePrintableOrderFormOfAPricedBasketFillsEveryArticleColumn) {
    auto c = Shop();
    std::string id = NewBasket(c, "jdevries", 2);
    json line = {{"SKU", 103}, {"QUANTITY", 10}, {"REQUESTDATE", "2027-01-10"}, {"price", true}};
    ASSERT_EQ(Status(c.Post("/api/v1/baskets/" + id + "/lines", line.dump(), kJson)), 201);
    auto r = c.Get("/api/v1/baskets/" + id + "/orderform.html");
    ASSERT_EQ(Status(r), 200) << r->body;
    size_t body = r->body.find("<tbody>", r->body.find("<table class=\"lines\">"));
    ASSERT_NE(body, std::string::npos) << r->body;
    std::string row = r->body.substr(body, r->body.find("</tbody>", body) - body);
    std::vector<std::string> cells;
    for (size_t at = row.find("<td"); at != std::string::npos; at = row.find("<td", at + 1)) {
        size_t start = row.find('>', at) + 1;
        cells.push_back(row.substr(start, row.find("</td>", start) - start));
    }
    // part number, description, quantity, unit, date, price, discount, amount, freight, address
    ASSERT_EQ(cells.size(), 10u) << row;
    for (size_t i = 0; i < cells.size(); ++i) EXPECT_FALSE(cells[i].empty()) << "column " << i << ": " << row;
    EXPECT_NE(row.find("Power cable 3 x 2.5 mm2"), std::string::npos) << row;
}

INSTANTIATE_DB_TEST(BasketApi);

}  // namespace
