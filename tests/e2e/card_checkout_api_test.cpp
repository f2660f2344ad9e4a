// The shop's checkout of a card basket over HTTP (`backoffice serve`, the
// gateway simulator on loopback): a card basket is submitted only with an
// approved authorisation of its current total, and an authorisation whose
// outcome is unknown holds the basket until an operator resolves it.
#include <gtest/gtest.h>

#include "demo_host.h"
#include "gateway_simulator.h"
#include "order_timeline.h"

using namespace testing_support;

namespace {

const std::string kCard = "4111111111111111";

class CardCheckoutApi : public DemoHost {
protected:
    void BeforeServing() override {
        gateway_ = std::make_unique<GatewaySimulator>(GatewaySimulator::Options{.https = false});
        gateway_->ServeInstallation(home_);
    }
    void TearDown() override {
        DemoHost::TearDown();
        gateway_.reset();
    }

    // A stored basket paid by card (PAYMENTMETHOD 2) with one line and the total given.
    std::string CardBasket(httplib::Client& c, const std::string& total) {
        auto r = c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump(), kJson);
        EXPECT_EQ(Status(r), 201);
        std::string id = Parsed(r)["header"]["BASKETID"];
        r = c.Post("/api/v1/baskets/" + id + "/lines", json{{"SKU", 101}, {"QUANTITY", 1}, {"REQUESTDATE", "2027-01-10"}}.dump(), kJson);
        EXPECT_EQ(Status(r), 201);
        basket_ = Parsed(r);
        basket_.erase("BASKETLINENR");
        basket_["header"]["PAYMENTMETHOD"] = 2;
        basket_["header"]["BISID"] = 1;
        basket_["header"]["DISCOUNTPERC"] = 0;
        for (auto& line : basket_["lines"]) {
            line["DISCOUNTPERC"] = 0;
            line["DISCOUNTAMOUNT"] = 0;
            line["ADDRESSID"] = 22;
            line["PRODUCTUNITCODE"] = "PCS";
        }
        SetTotal(c, id, total);
        return id;
    }
    void SetTotal(httplib::Client& c, const std::string& id, const std::string& total) {
        basket_["header"]["SUBTOTAL"] = json::parse(total);
        basket_["header"]["TOTAL"] = json::parse(total);
        for (auto& line : basket_["lines"]) line["PRODUCTPRICE"] = line["LINEAMOUNT"] = json::parse(total);
        auto r = c.Put("/api/v1/baskets/" + id, basket_.dump(), kJson);
        EXPECT_EQ(Status(r), 200) << (r ? r->body : "");
    }
    static std::string Card(const std::string& number) {
        return json{{"number", number}, {"expiryMonth", "12"}, {"expiryYear", std::to_string(ole::Date::Today().Year() + 2)}}
            .dump();
    }
    static std::string Description(const httplib::Result& r) {
        json body = Parsed(r);
        return body.contains("error") ? body["error"]["description"].get<std::string>() : "";
    }
    void Exec(const std::string& sql, const std::vector<ole::Variant>& params) {
        auto c = std::make_shared<ado::Connection>();
        c->Open(Db().IsPostgres() ? Db().ConnectionString()
                                  : "Provider=SQLite;Data Source=" + (home_ / "data" / "vendalo.db").string());
        c->Execute(sql, nullptr, -1, params);
        c->Close();
    }

    std::unique_ptr<GatewaySimulator> gateway_;
    json basket_;
};

TEST_P(CardCheckoutApi, ACardBasketIsSubmittedOnlyWithAnApprovedAuthorisationOfItsTotal) {
    auto c = Shop();
    std::string id = CardBasket(c, "114.95");
    std::string path = "/api/v1/baskets/" + id;
    auto r = c.Post(path + "/submit", "", kJson);
    EXPECT_EQ(Status(r), 409) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040509");
    EXPECT_NE(Description(r).find("no approved authorisation"), std::string::npos) << r->body;
    EXPECT_EQ(Status(c.Post(path + "/authorize", Card("4000000000000002"), kJson)), 402);
    EXPECT_EQ(Status(c.Post(path + "/submit", "", kJson)), 409);

    ASSERT_EQ(Status(c.Post(path + "/authorize", Card(kCard), kJson)), 200);
    SetTotal(c, id, "150");  // changed since: the authorisation no longer covers it
    r = c.Post(path + "/submit", "", kJson);
    EXPECT_EQ(Status(r), 409);
    EXPECT_NE(Description(r).find("changed since its authorisation"), std::string::npos) << r->body;
    ASSERT_EQ(Status(c.Post(path + "/authorize", Card(kCard), kJson)), 200);
    EXPECT_EQ(gateway_->Count("amount", "150"), 1u);
    r = c.Post(path + "/submit", "", kJson);
    EXPECT_EQ(Status(r), 201) << r->body;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERID = ? AND WEBPAYMENTMETHOD = 2", {ole::Variant(id)}), 1);

    // the order's timeline begins with the authorisation that let it through, joined by its request
    auto o = Operator();
    json events = Parsed(o.Get("/api/v1/orders/" + id + "/events"))["events"];
    ASSERT_GE(events.size(), 2u);
    auto request = Open()->Execute(
        "SELECT CLIENT_REQUEST_ID FROM GATEWAYREQUEST WHERE MERCHANT_REF_NUMBER = ? AND AMOUNT = '150'", nullptr, -1,
        {ole::Variant(id)});
    EXPECT_EQ(events[0]["what"], "authorised at checkout");
    EXPECT_EQ(events[0]["reference"], request->Fields(0).Value().Text());
    EXPECT_EQ(events[0]["detail"], "**** 1111, 150 EUR");
    EXPECT_LE(events[0]["time"].get<std::string>(), events[1]["time"].get<std::string>());
    EXPECT_EQ(events[1]["what"], "submitted");
    EXPECT_EQ(events[1]["statusBefore"], 0);
    json order = Parsed(o.Get("/api/v1/operator/orders/" + id));
    ASSERT_FALSE(order["payments"].empty()) << order.dump();
    EXPECT_EQ(order["payments"].back()["card"], "**** 1111");
    auto connection = Open();
    ExpectEveryStatusHasItsEvent(*connection);

    // the command shows the same timeline in a terminal, the card masked
    Outcome shown = RunProgram(BACKOFFICE_BINARY, "orders show " + id + " --home " + Quoted(home_.string()));
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    EXPECT_NE(shown.output.find("order  authorised at checkout  (0 ToBeProcessed)  by checkout  ref " +
                                request->Fields(0).Value().Text() + "  **** 1111, 150 EUR"),
              std::string::npos)
        << shown.output;
    EXPECT_NE(shown.output.find("order  submitted  (0 -> 0 ToBeProcessed)"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("line 1  submitted  (0 NotAllocated)"), std::string::npos) << shown.output;
    EXPECT_EQ(shown.output.find(kCard), std::string::npos);
}

TEST_P(CardCheckoutApi, AnAuthorisationOfUnknownOutcomeHoldsTheBasketUntilResolved) {
    auto c = Shop();
    std::string id = CardBasket(c, "30");
    std::string path = "/api/v1/baskets/" + id;
    // as a host that died while the gateway had the request leaves it: recorded as sent, nothing more
    Exec("INSERT INTO GATEWAYREQUEST (REQUESTSEQ, MERCHANT_REF_NUMBER, OPERATION, AMOUNT, CURRENCY, CLIENT_REQUEST_ID, "
         "SENT_DATETIME, STATE) VALUES (999, ?, 'CHECKOUT_AUTH', '30', 'EUR', 'lost-checkout', ?, 'SENT')",
         {ole::Variant(id), ole::Variant(ole::Date{ole::Date::Now().serial - 1.0 / 24})});
    auto r = c.Post(path + "/authorize", Card(kCard), kJson);
    EXPECT_EQ(Status(r), 409) << r->body;
    EXPECT_EQ(ErrorNumber(r), "0x80040508");
    EXPECT_NE(Description(r).find("backoffice pay resolve --order " + id), std::string::npos) << r->body;
    EXPECT_EQ(r->body.find(kCard), std::string::npos);
    EXPECT_EQ(Status(c.Post(path + "/submit", "", kJson)), 409);
    EXPECT_EQ(gateway_->Count("applications", "ics_auth"), 0u);

    // the gateway never had it: resolved as not authorised, the basket may be authorised again
    Outcome resolve = RunProgram(BACKOFFICE_BINARY, "pay resolve --home " + Quoted(home_.string()) + " --order " + id);
    ASSERT_EQ(resolve.exitCode, 0) << resolve.output;
    EXPECT_NE(resolve.output.find("CHECKOUT_AUTH request lost-checkout: not done (as the gateway says)"), std::string::npos)
        << resolve.output;
    EXPECT_EQ(Status(c.Post(path + "/authorize", Card(kCard), kJson)), 200);
    EXPECT_EQ(Status(c.Post(path + "/submit", "", kJson)), 201);
}

INSTANTIATE_DB_TEST(CardCheckoutApi);

}  // namespace
