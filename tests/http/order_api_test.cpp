// The operators' view of the orders over HTTP: the search (text, filters,
// keyset pages), one order whole and its timeline, on both databases.
#include <gtest/gtest.h>

#include "demo_basket.h"
#include "demo_host.h"
#include "platform/automation/text.h"

using namespace testing_support;

namespace {

class OrderApi : public DemoHost {
protected:
    // An order as the back end would have confirmed it, straight into the table.
    void InsertOrder(const std::string& id, const std::string& date, int status, int partner, int bis,
                     const std::string& salesOrder, const std::string& po) {
        auto c = Open();
        c->Execute("INSERT INTO ORDERHEADER (ORDERID, BUSINESSPARTNERID, BISID, ORDERSTATUS, ORDERDATE, SALESORDERNR, "
                   "CUSTOMERPONR, CURRENCYCODE, TOTAL) VALUES (?, ?, ?, ?, ?, ?, ?, 'EUR', 10)",
                   nullptr, -1,
                   {ole::Variant(id), ole::Variant(partner), ole::Variant(bis), ole::Variant(static_cast<int16_t>(status)),
                    ole::Variant(ole::Date::FromParts(std::stoi(date.substr(0, 4)), std::stoi(date.substr(5, 2)),
                                                      std::stoi(date.substr(8, 2)), 12)),
                    ole::Variant(salesOrder), ole::Variant(po)});
        c->Close();
    }

    // The ids a search answers, in its order, and its next cursor ("" none).
    std::pair<std::vector<std::string>, std::string> Search(const std::string& query) {
        auto r = Operator().Get("/api/v1/operator/orders?" + query);
        EXPECT_EQ(Status(r), 200) << query << ": " << (r ? r->body : "");
        json body = Parsed(r);
        std::vector<std::string> ids;
        for (const auto& order : body["orders"]) ids.push_back(order["orderId"]);
        return {ids, body["next"].is_null() ? "" : body["next"].get<std::string>()};
    }
};

TEST_P(OrderApi, FindsOrdersShowsOneWholeAndItsTimeline) {
    auto shop = Shop();
    auto r = shop.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump(), kJson);
    std::string placed = Parsed(r)["header"]["BASKETID"];
    r = shop.Post("/api/v1/baskets/" + placed + "/lines", DemoLineRequest(), kJson);
    ASSERT_EQ(Status(shop.Put("/api/v1/baskets/" + placed, ReadyForSubmission(Parsed(r), "today").dump(), kJson)), 200);
    ASSERT_EQ(Status(shop.Post("/api/v1/baskets/" + placed + "/submit", "", kJson)), 201);
    const std::string b(32, 'B'), c(32, 'C'), d(32, 'D');
    InsertOrder(b, "2026-01-05", 6, 3, 2, "SO-500", "PO-77");
    InsertOrder(c, "2026-01-04", 6, 2, 1, "SO-501", "PO-78");
    InsertOrder(d, "2026-01-03", 4, 2, 1, "SO-502", "PO-79");

    using Ids = std::vector<std::string>;
    const struct {
        std::string query;
        Ids ids;
    } cases[] = {
        {"q=SO-500", {b}},
        {"q=PO-78", {c}},
        {"q=" + placed.substr(0, 8), {placed}},
        {"q=" + ole::LowerCase(placed.substr(0, 8)), {placed}},
        {"q=lakeside", {b}},  // partner 3 by its name
        {"q=3", placed[0] == '3' ? Ids{placed, b} : Ids{b}},  // ... and by its id (an id may begin with 3)
        {"status=6", {b, c}},
        {"status=6&status=4", {b, c, d}},
        {"instance=2", {b}},
        {"partner=2&status=6&status=4", {c, d}},
        {"from=2026-01-04&to=2026-01-05", {b, c}},
        {"q=nothing-like-it", {}},
    };
    for (const auto& test : cases) EXPECT_EQ(Search(test.query).first, test.ids) << test.query;

    auto [first, next] = Search("status=6&status=4&limit=2");
    EXPECT_EQ(first, (Ids{b, c}));
    ASSERT_FALSE(next.empty());
    auto [second, last] = Search("status=6&status=4&limit=2&cursor=" + next);
    EXPECT_EQ(second, (Ids{d}));
    EXPECT_EQ(last, "");
    for (const char* refused : {"status=9", "limit=201", "from=2026-02-30", "cursor=nope"})
        EXPECT_EQ(Status(Operator().Get(std::string("/api/v1/operator/orders?") + refused)), 400) << refused;

    json order = Parsed(Operator().Get("/api/v1/operator/orders/" + placed));
    EXPECT_EQ(order["partnerName"], "Noordhaven Machinery B.V.");
    ASSERT_EQ(order["lines"].size(), 1u);
    EXPECT_EQ(order["lines"][0]["statusName"], "NotAllocated");
    EXPECT_EQ(order["payments"], json::array());
    json events = Parsed(Operator().Get("/api/v1/orders/" + placed + "/events"))["events"];
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["what"], "submitted");
    EXPECT_TRUE(events[0]["lineNr"].is_null());
    EXPECT_EQ(events[1]["lineNr"], 1);
    EXPECT_EQ(Status(Operator().Get("/api/v1/operator/orders/" + std::string(32, 'E'))), 404);
    EXPECT_EQ(Status(Operator().Get("/api/v1/orders/" + std::string(32, 'E') + "/events")), 404);
    EXPECT_EQ(Status(Shop().Get("/api/v1/orders/" + placed + "/events")), 403);
}

INSTANTIATE_DB_TEST(OrderApi);

}  // namespace
