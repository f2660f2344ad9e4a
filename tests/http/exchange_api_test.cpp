// The record of exchanges over HTTP: the list's filters and pages, and the
// answers of an operator's action on a row.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "demo_host.h"

using namespace testing_support;
using nlohmann::json;

namespace {

class ExchangeApi : public DemoHost {
protected:
    void BeforeServing() override {
        auto c = Open();
        // a refused entry of order A on instance 1 (oldest), a placed file on 2, an export group of A and B on 1
        const char* rows[][5] = {{"E1000000000000000000000000000001", "2026-12-01 10:00:00", "refused entry", "waiting", "1"},
                                 {"E2000000000000000000000000000002", "2026-12-05 10:00:00", "file placed", "placed", "2"},
                                 {"E3000000000000000000000000000003", "2026-12-08 10:00:00", "export group", "written", "1"}};
        for (const auto& r : rows)
            c->Execute("INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, DETAIL, ENTRYTEXT) VALUES "
                       "(?, ?, ?, ?, ?, 'no order of the database has this id', 'A;SO-1')",
                       nullptr, -1, {ole::Variant(r[0]), ole::Variant(r[1]), ole::Variant(r[2]), ole::Variant(r[3]),
                                     ole::Variant(std::stoi(r[4]))});
        c->Execute("INSERT INTO EXCHANGEORDER (ORDERID, EXCHANGEID) VALUES ('A', 'E1000000000000000000000000000001'), "
                   "('A', 'E3000000000000000000000000000003'), ('B', 'E3000000000000000000000000000003')");
        c->Close();
    }

    std::vector<std::string> Ids(const std::string& query, std::string* next = nullptr) {
        auto r = Operator().Get("/api/v1/exchanges" + query);
        EXPECT_EQ(Status(r), 200) << query;
        json body = Parsed(r);
        std::vector<std::string> ids;
        for (const auto& row : body["exchanges"]) ids.push_back(row["id"].get<std::string>().substr(0, 2));
        if (next) *next = body["next"].is_null() ? "" : body["next"].get<std::string>();
        return ids;
    }
};

TEST_P(ExchangeApi, FiltersPagesAndActionsAnswerAsDescribed) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Ids(""), (V{"E3", "E2", "E1"}));  // newest first
    const std::pair<const char*, V> filters[] = {{"?kind=refused%20entry", {"E1"}},
                                                 {"?outcome=placed", {"E2"}},
                                                 {"?instance=1", {"E3", "E1"}},
                                                 {"?order=A", {"E3", "E1"}},
                                                 {"?order=B&instance=1", {"E3"}},
                                                 {"?since=2026-12-05", {"E3", "E2"}},
                                                 {"?order=C", {}}};
    for (const auto& [query, expected] : filters) EXPECT_EQ(Ids(query), expected) << query;
    std::string next;
    EXPECT_EQ(Ids("?limit=2", &next), (V{"E3", "E2"}));
    EXPECT_EQ(Ids("?limit=2&cursor=" + next, &next), V{"E1"});
    EXPECT_EQ(next, "");
    EXPECT_EQ(Status(Operator().Get("/api/v1/exchanges?limit=500")), 400);
    EXPECT_EQ(Status(Operator().Get("/api/v1/exchanges?cursor=zz")), 400);
    EXPECT_EQ(Status(Shop().Get("/api/v1/exchanges")), 403);

    const std::string dismiss = "/api/v1/operator/exchanges/E1000000000000000000000000000001/dismiss";
    EXPECT_EQ(Status(Operator().Post(dismiss, "{}", "application/json")), 400);  // no note
    auto done = Operator().Post(dismiss, R"({"note":"the back end sent it by mistake"})", "application/json");
    ASSERT_EQ(Status(done), 200);
    EXPECT_EQ(Parsed(done)["exchange"]["outcome"], "dismissed");
    EXPECT_EQ(Parsed(done)["exchange"]["actions"], json::array());
    EXPECT_EQ(Status(Operator().Post(dismiss, R"({"note":"again"})", "application/json")), 409);
    EXPECT_EQ(Status(Operator().Post("/api/v1/operator/exchanges/E9000000000000000000000000000009/apply",
                                     R"({"note":"x"})", "application/json")),
              404);
}

INSTANTIATE_DB_TEST(ExchangeApi);

}  // namespace
