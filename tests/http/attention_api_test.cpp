// The attention list and the operator's actions on an order, through the API,
// on both databases: a capture the gateway refused is listed with the
// gateway's text and captured again; an action that no longer applies
// answers 409 and changes nothing.
#include <gtest/gtest.h>

#include "demo_host.h"
#include "gateway_simulator.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace {

using testing_support::DemoHost;
using testing_support::GatewaySimulator;
using ole::Variant;

class AttentionApi : public DemoHost {
protected:
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

    void Exec(const std::string& sql, const std::vector<Variant>& params = {}) {
        auto c = Open();
        c->Execute(sql, nullptr, -1, params);
        c->Close();
    }

    // An order of partner 2 with one line in the statuses given, its timeline
    // recorded as an upgrade records it, entered `minutesAgo` minutes ago.
    std::string Order(int status, int lineStatus, const std::string& salesOrderNr = "", double minutesAgo = 600) {
        std::string id = Sls_CreateGUID();
        Exec("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, BUSINESSPARTNERID, CARRIERCODE, ORDERSTATUS, "
             "WEBPAYMENTMETHOD, SALESORDERNR) VALUES (?, 'EUR', 'jdevries', 2, 'ROAD', ?, 2, ?)",
             {Variant(id), Variant(status), salesOrderNr.empty() ? ole::Null : Variant(salesOrderNr)});
        Exec("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, QUANTITY, AMOUNT, ORDERDISCOUNT, LINETAX, LINEFREIGHT, "
             "LINEFREIGHTTAX, LINESTATUS) VALUES (?, 1, 104, 1, 100, 10, 18.9, 5, 1.05, ?)",
             {Variant(id), Variant(lineStatus)});
        auto c = Open();
        Sls_RecordStatusesWithoutEvents(c);
        c->Execute("UPDATE ORDEREVENT SET EVENTTIME = ? WHERE ORDERID = ?", nullptr, -1,
                   {Variant(ole::Date{Sls_EventTimeNow().serial - minutesAgo / 1440.0}), Variant(id)});
        c->Close();
        return id;
    }

    // A card order in 8: authorised at checkout (the sealed card is kept), its
    // capture refused by the gateway, which no longer knows the authorisation.
    // With `refused` false, the capture is taken: the order stays in 4.
    std::string RefusedCapture(bool refused = true) {
        std::string id = Sls_CreateGUID();
        Exec("INSERT INTO BASKETHEADER (BASKETID, BASKETNAME, USERID, BUSINESSPARTNERID, CURRENCYCODE, TOTAL, TAXTOTAL, "
             "FREIGHTTOTAL, FREIGHTTAXTOTAL, PAYMENTMETHOD) VALUES (?, 'Card', 'jdevries', 2, 'EUR', 114.95, 19.95, 5, "
             "1.05, 2)",
             {Variant(id)});
        json card = {{"number", "4111111111111111"}, {"expiryMonth", "12"},
                     {"expiryYear", std::to_string(ole::Date::Today().Year() + 2)}, {"type", "001"},
                     {"firstName", "Anna"}, {"lastName", "Bakker"}, {"zip", "9711 AB"}, {"country", "NL"}};
        auto r = Shop().Post("/api/v1/baskets/" + id + "/authorize", card.dump(), kJson);
        EXPECT_EQ(Status(r), 200) << (r ? r->body : "");
        Exec("INSERT INTO ORDERHEADER (ORDERID, CURRENCYCODE, USERID, BUSINESSPARTNERID, CARRIERCODE, ORDERSTATUS, "
             "WEBPAYMENTMETHOD, SALESORDERNR) VALUES (?, 'EUR', 'jdevries', 2, 'ROAD', 4, 2, 'SO-1')",
             {Variant(id)});
        Exec("INSERT INTO ORDERLINE (ORDERID, LINENR, PRODUCTID, QUANTITY, AMOUNT, ORDERDISCOUNT, LINETAX, LINEFREIGHT, "
             "LINEFREIGHTTAX, LINESTATUS) VALUES (?, 1, 104, 1, 100, 10, 18.9, 5, 1.05, 1)",
             {Variant(id)});
        auto c = Open();
        Sls_RecordStatusesWithoutEvents(c);
        c->Close();
        if (refused)
            Exec("UPDATE AUTHORIZATIONLOG SET AUTH_REQUEST_ID = 'EXPIRED' WHERE MERCHANT_REF_NUMBER = ?", {Variant(id)});
        auto pay = testing_support::Backoffice("pay --home " + testing_support::Quoted(home_.string()) + " --order " + id);
        EXPECT_EQ(pay.exitCode, 0) << pay.output;
        return id;
    }

    json Attention() {
        auto r = Operator().Get("/api/v1/attention");
        EXPECT_EQ(Status(r), 200) << (r ? r->body : "");
        return Parsed(r)["items"];
    }
    static const json* ItemOf(const json& items, const std::string& id) {
        for (const auto& item : items)
            if (item["orderId"] == id) return &item;
        return nullptr;
    }

    httplib::Result Act(const std::string& id, const std::string& action, const json& body) {
        return Operator().Post("/api/v1/operator/orders/" + id + "/" + action, body.dump(), kJson);
    }

    // Everything an action may change: statuses, events, gateway log rows.
    std::string State(const std::string& id) {
        return std::to_string(Count("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", {Variant(id)})) + "/" +
               std::to_string(Count("SELECT SUM(LINESTATUS) FROM ORDERLINE WHERE ORDERID = ?", {Variant(id)})) + "/" +
               std::to_string(Count("SELECT COUNT(*) FROM ORDEREVENT WHERE ORDERID = ?", {Variant(id)})) + "/" +
               std::to_string(Count("SELECT COUNT(*) FROM GATEWAYREQUEST WHERE MERCHANT_REF_NUMBER = ?", {Variant(id)}));
    }

    std::unique_ptr<GatewaySimulator> gateway_;
};

TEST_P(AttentionApi, ARefusedCaptureIsListedAndCapturedAgainByTheOperator) {
    std::string id = RefusedCapture();
    ASSERT_EQ(Count("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", {Variant(id)}), 8);

    json items = Attention();
    const json* item = ItemOf(items, id);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ((*item)["reason"], "capture refused");
    EXPECT_NE((*item)["detail"].get<std::string>().find("No authorisation EXPIRED"), std::string::npos) << *item;
    EXPECT_EQ((*item)["actions"], json({"capture-again", "mark-handled"}));
    // a refused capture is no unknown outcome: resolve does not apply, and says what does
    auto r = Act(id, "resolve", {{"note", "try"}});
    EXPECT_EQ(Status(r), 409);
    EXPECT_NE(r->body.find("capture-again"), std::string::npos) << r->body;
    EXPECT_EQ(Status(Act(id, "capture-again", json::object())), 400);  // the note is required

    r = Act(id, "capture-again", {{"note", "card holder confirmed by phone"}});
    ASSERT_EQ(Status(r), 200) << r->body;
    json done = Parsed(r);
    EXPECT_EQ(done["status"], 4);
    EXPECT_EQ(done["event"]["what"], "capture again");
    EXPECT_EQ(done["event"]["statusBefore"], 8);
    EXPECT_EQ(done["event"]["detail"], "card holder confirmed by phone");
    EXPECT_EQ(done["event"]["actor"].get<std::string>().rfind("operator key (request ", 0), 0u) << done;
    EXPECT_EQ(Count("SELECT LINESTATUS FROM ORDERLINE WHERE ORDERID = ?", {Variant(id)}), 2);  // captured
    EXPECT_EQ(gateway_->Count("applications", "ics_bill"), 2u) << gateway_->JournalText();
    EXPECT_EQ(ItemOf(Attention(), id), nullptr);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDEREVENT WHERE ORDERID = ? AND WHAT = 'capture again' AND DETAIL = ?",
                    {Variant(id), Variant("card holder confirmed by phone")}),
              1);
    // the line's event names the operator too, not the request alone
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDEREVENT WHERE ORDERID = ? AND WHAT = 'capture again' AND LINENR = 1 AND "
                    "ACTOR LIKE 'operator key (request %'",
                    {Variant(id)}),
              1);

    // the order moved on: the same action again changes nothing and sends nothing
    std::string before = State(id);
    EXPECT_EQ(Status(Act(id, "capture-again", {{"note", "twice"}})), 409);
    EXPECT_EQ(State(id), before);
    EXPECT_EQ(gateway_->Count("applications", "ics_bill"), 2u);
}

TEST_P(AttentionApi, ACaptureIsRefundedByTheOperatorUpToWhatItTook) {
    std::string id = RefusedCapture(false);
    ASSERT_EQ(Count("SELECT LINESTATUS FROM ORDERLINE WHERE ORDERID = ?", {Variant(id)}), 2);
    std::string before = State(id);
    EXPECT_EQ(Status(Act(id, "refund", {{"note", "too much"}, {"amount", "114.96"}})), 422);
    EXPECT_EQ(Status(Act(id, "refund", {{"note", "a number"}, {"amount", 10}})), 400);
    EXPECT_EQ(State(id), before);

    auto r = Act(id, "refund", {{"note", "one box returned"}, {"amount", "14.95"}});
    ASSERT_EQ(Status(r), 200) << r->body;
    json done = Parsed(r);
    EXPECT_EQ(done["status"], 4);  // a refund keeps the status
    EXPECT_EQ(done["event"]["what"], "refunded");
    EXPECT_EQ(done["event"]["detail"], "14.95 EUR: one box returned");
    EXPECT_EQ(done["event"]["actor"].get<std::string>().rfind("operator key (request ", 0), 0u) << done;
    // without an amount: all that is left
    ASSERT_EQ(Status(Act(id, "refund", {{"note", "order cancelled"}})), 200);
    EXPECT_EQ(gateway_->Count("applications", "ics_credit"), 2u) << gateway_->JournalText();
    EXPECT_EQ(Count("SELECT COUNT(*) FROM REFUNDLOG WHERE MERCHANT_REF_NUMBER = ? AND Credit_Credit_AMOUNT = '100'",
                    {Variant(id)}),
              1);

    // nothing left: nothing sent, nothing changed
    before = State(id);
    EXPECT_EQ(Status(Act(id, "refund", {{"note", "again"}})), 409);
    EXPECT_EQ(State(id), before);
    EXPECT_EQ(gateway_->Count("applications", "ics_credit"), 2u);
}

TEST_P(AttentionApi, EachActionAppliesOnlyWhereItsOrderIs) {
    struct Case {
        const char* action;
        int status, lineStatus;
        const char* salesOrderNr;
        int answer, statusAfter;
    };
    const Case cases[] = {
        {"export-again", 1, 0, "", 200, 0},
        {"export-again", 1, 0, "SO-7", 409, 1},  // the back end confirmed it
        {"export-again", 6, 0, "SO-7", 409, 6},
        {"mark-handled", 7, 1, "", 200, 7},
        {"authorize-again", 8, 4, "SO-7", 409, 8},
        {"capture-again", 7, 1, "SO-7", 409, 7},
        {"capture-again", 8, 1, "SO-7", 409, 8},  // no refused line
        {"resolve", 4, 1, "SO-7", 409, 4},
        {"send-acknowledgement", 1, 0, "", 409, 1},
        {"refund", 4, 1, "SO-7", 409, 4},  // nothing captured
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " on " + std::to_string(c.status));
        std::string id = Order(c.status, c.lineStatus, c.salesOrderNr);
        std::string before = State(id);
        auto r = Act(id, c.action, {{"note", "seen to"}});
        EXPECT_EQ(Status(r), c.answer) << (r ? r->body : "");
        EXPECT_EQ(Count("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", {Variant(id)}), c.statusAfter);
        if (c.answer == 409) {
            EXPECT_EQ(State(id), before);
        } else {
            EXPECT_EQ(Parsed(r)["event"]["detail"], "seen to");
        }
    }
    EXPECT_EQ(Status(Act("0123456789ABCDEF0123456789ABCDEF", "mark-handled", {{"note", "x"}})), 404);
    EXPECT_EQ(Status(Act(Order(1, 0), "cancel", {{"note", "x"}})), 404);

    // listed past its time, with its reason; marked handled, off the list until it moves
    std::string waiting = Order(1, 0, "", 600), fresh = Order(1, 0, "", 1);
    json items = Attention();
    ASSERT_NE(ItemOf(items, waiting), nullptr);
    EXPECT_EQ((*ItemOf(items, waiting))["reason"], "not confirmed after 240 minutes");
    EXPECT_EQ(ItemOf(items, fresh), nullptr);
    ASSERT_EQ(Status(Act(waiting, "mark-handled", {{"note", "back end is down, called them"}})), 200);
    EXPECT_EQ(ItemOf(Attention(), waiting), nullptr);
}

INSTANTIATE_DB_TEST(AttentionApi);

}  // namespace
