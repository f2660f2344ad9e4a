// What every client of the API may count on, whatever the route: the status
// codes HTTP clients expect, X-Request-Id, safe retries with Idempotency-Key
// (also through another host of the same database) and If-Match on baskets.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <thread>

#include "demo_basket.h"
#include "demo_host.h"
#include "all/register_all.h"
#include "http/basket_guard.h"

using namespace testing_support;

namespace {

class ApiConventions : public DemoHost {
protected:
    std::string NewBasket(httplib::Client& c) {
        auto r = c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump(), kJson);
        EXPECT_EQ(Status(r), 201) << (r ? r->body : "no answer");
        return Parsed(r)["header"]["BASKETID"].get<std::string>();
    }
    int64_t Lines(const std::string& id) {
        return Count("SELECT COUNT(*) FROM BASKETLINE WHERE BASKETID = ?", {ole::Variant(id)});
    }
};

TEST_P(ApiConventions, EachAnswerHasTheStatusAndHeadersHttpClientsExpect) {
    auto c = Shop();
    auto op = Operator();
    std::string id = NewBasket(c), basket = "/api/v1/baskets/" + id;
    const std::string unknown = "/api/v1/baskets/0123456789ABCDEF0123456789ABCDEF";
    json price = {{"PRODUCTID", 104}, {"BUSINESSPARTNERID", 3}, {"CURRENCYCODE", "EUR"}, {"EFFECTIVEDATE", "2027-01-01"},
                  {"EXPIRYDATE", nullptr}, {"PRICE", 1199.5}, {"DISCOUNTPERC", nullptr}, {"DISCOUNTAMOUNT", 10}};
    struct Case {
        std::string what;
        std::function<httplib::Result()> send;
        int status;
        std::string header, value;  // a header the answer must carry, and how its value begins
    };
    const Case cases[] = {
        {"a method the path lacks", [&] { return c.Get("/api/v1/baskets"); }, 405, "Allow", "POST"},
        {"a method the path lacks", [&] { return c.Delete("/api/v1/orders/" + id); }, 405, "Allow", "GET, HEAD"},
        {"no such path", [&] { return c.Get("/api/v1/basket"); }, 404, "", ""},
        {"no key", [&] { return serve_->Client("").Get(basket); }, 401, "WWW-Authenticate", "Bearer"},
        {"a wrong key", [&] { return serve_->Client("wrong").Get(basket); }, 401, "", ""},
        {"the operator key on a basket", [&] { return op.Get(basket); }, 403, "", ""},
        {"the shop key on the metrics", [&] { return c.Get("/metrics"); }, 403, "", ""},
        {"no body where none is needed", [&] { return c.Post(unknown + "/submit"); }, 404, "", ""},
        {"no body where one is needed", [&] { return c.Post("/api/v1/baskets"); }, 400, "", ""},
        {"a body that is no JSON", [&] { return c.Post(basket + "/copy", "name=x", "text/plain"); }, 415, "", ""},
        {"a log-in that is no form", [&] { return c.Post("/login", "{}", kJson); }, 415, "", ""},
        {"JSON with a charset", [&] { return c.Post(basket + "/copy", R"({"name": "c"})", "application/json; charset=utf-8"); },
         201, "Location", "/api/v1/baskets/"},
        {"a new line", [&] { return c.Post(basket + "/lines", DemoLineRequest(), kJson); }, 201, "Location", basket},
        {"a new price", [&] { return op.Post("/api/v1/prices/customer", price.dump(), kJson); }, 201, "Location",
         "/api/v1/prices/customer?product=104&partner=3&currency=EUR&effective=2027-01-01"},
    };
    for (const Case& k : cases) {
        auto r = k.send();
        ASSERT_TRUE(r) << k.what;
        EXPECT_EQ(r->status, k.status) << k.what << ": " << r->body;
        EXPECT_FALSE(r->get_header_value("X-Request-Id").empty()) << k.what;
        if (!k.header.empty()) {
            EXPECT_EQ(r->get_header_value(k.header).rfind(k.value, 0), 0u) << k.what << ": " << r->get_header_value(k.header);
        }
        std::string at = r->get_header_value("Location");
        if (k.status == 201) {
            EXPECT_EQ(Status((at.find("/prices/") != std::string::npos ? op : c).Get(at)), 200) << k.what;
        }
    }

    // the client's request id comes back and names the request's log entries; an unusable one is replaced
    auto r = c.Put(basket, {{"X-Request-Id", "shop-4711.b"}}, R"({"header": {"NOSUCHCOLUMN": 1}})", kJson);
    EXPECT_EQ(Status(r), 400);
    EXPECT_EQ(r->get_header_value("X-Request-Id"), "shop-4711.b");
    EXPECT_EQ(Status(serve_->Client("").Get(basket, {{"X-Request-Id", "no-key-4711"}})), 401);
    r = c.Get(basket, {{"X-Request-Id", "spaces and [brackets]"}});
    EXPECT_TRUE(std::regex_match(r->get_header_value("X-Request-Id"), std::regex("[0-9a-f]{32}"))) << r->get_header_value("X-Request-Id");
    // a component's own entries too: the basket refuses a line number past the last one
    json lastLine = Parsed(c.Get(basket));
    lastLine["lines"] = json::array({{{"BASKETLINENR", 2147483647}}});
    ASSERT_EQ(Status(c.Put(basket, lastLine.dump(), kJson)), 200);
    EXPECT_EQ(Status(c.Post(basket + "/lines", {{"X-Request-Id", "add-4711"}}, R"({"SKU": 101, "QUANTITY": 1})", kJson)),
              400);
    std::string log = ReadFile(home_ / "log" / "vendalo.log");
    EXPECT_NE(log.find("[request shop-4711.b] [backoffice.serve PUT /api/v1/baskets/{id}]"), std::string::npos) << log;
    size_t entry = log.find("[request add-4711]");
    ASSERT_NE(entry, std::string::npos) << log;
    EXPECT_NE(log.substr(entry, log.find("\n[", entry) - entry).find("Vendalo.Basket.AddLineToBasket"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[request no-key-4711]"), std::string::npos) << log;
}

TEST_P(ApiConventions, ARetryWithItsIdempotencyKeyGetsTheFirstAnswerAndChangesNothing) {
    auto c = Shop();
    std::string id = NewBasket(c), lines = "/api/v1/baskets/" + id + "/lines";
    const httplib::Headers key = {{"Idempotency-Key", "add-101"}};
    auto first = c.Post(lines, key, DemoLineRequest(), kJson);
    ASSERT_EQ(Status(first), 201) << first->body;
    ServeProcess other(home_);  // another host of the same database
    for (bool elsewhere : {false, true}) {
        auto again = (elsewhere ? other.Client(shopKey_) : Shop()).Post(lines, key, DemoLineRequest(), kJson);
        ASSERT_EQ(Status(again), 201);
        EXPECT_EQ(again->body, first->body);
        EXPECT_EQ(again->get_header_value("Location"), first->get_header_value("Location"));
        EXPECT_EQ(again->get_header_value("ETag"), first->get_header_value("ETag"));
        EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true");
    }
    EXPECT_EQ(Lines(id), 1);
    auto r = c.Post(lines, key, json{{"SKU", 104}, {"QUANTITY", 1}}.dump(), kJson);
    EXPECT_EQ(Status(r), 422) << r->body;
    EXPECT_EQ(Lines(id), 1);

    // a retry while the first request still runs (it waits for the basket, held here)
    const httplib::Headers slow = {{"Idempotency-Key", "add-104"}};
    const std::string body = json{{"SKU", 104}, {"QUANTITY", 2}}.dump();
    int waitingStatus = 0;
    std::string waitingBody;
    {
        RegisterAllComponents();  // on PostgreSQL the lock reads the basket with it
        auto held = backoffice::http::LockBasket(connectionString_, home_, id);
        std::thread firstTry([&] {
            auto answer = Shop().Post(lines, slow, body, kJson);
            waitingStatus = Status(answer);
            if (answer) waitingBody = answer->body;
        });
        for (int i = 0; i < 500 && Count("SELECT COUNT(*) FROM IDEMPOTENCYKEY WHERE STATE = 'RUNNING'") == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        r = other.Client(shopKey_).Post(lines, slow, body, kJson);
        EXPECT_EQ(Status(r), 409) << r->body;
        EXPECT_FALSE(r->get_header_value("Retry-After").empty());
        held.lock.reset();
        firstTry.join();
    }
    ASSERT_EQ(waitingStatus, 201) << waitingBody;
    r = c.Post(lines, slow, body, kJson);
    EXPECT_EQ(Status(r), 201);
    EXPECT_EQ(r->body, waitingBody);
    EXPECT_EQ(Lines(id), 2);
    EXPECT_EQ(other.Stop(), 0) << other.Output();
}

TEST_P(ApiConventions, AStaleIfMatchChangesNothingAndOfTwoWritersWithOneETagOneWins) {
    auto c = Shop();
    std::string id = NewBasket(c), basket = "/api/v1/baskets/" + id;
    auto r = c.Get(basket);
    const std::string read = r->get_header_value("ETag");
    ASSERT_EQ(read.size(), 66u) << read;
    json named = Parsed(r);
    named["header"]["BASKETNAME"] = "first tab";
    r = c.Put(basket, {{"If-Match", read}}, named.dump(), kJson);
    ASSERT_EQ(Status(r), 200) << r->body;
    const std::string written = r->get_header_value("ETag");
    EXPECT_NE(written, read);
    EXPECT_EQ(c.Get(basket)->get_header_value("ETag"), written);  // the answer's ETag is the one a GET shows

    named["header"]["BASKETNAME"] = "second tab";
    const std::vector<std::function<httplib::Result()>> writes = {
        [&] { return c.Put(basket, {{"If-Match", read}}, named.dump(), kJson); },
        [&] { return c.Post(basket + "/lines", {{"If-Match", read}}, DemoLineRequest(), kJson); },
        [&] { return c.Delete(basket + "/lines", {{"If-Match", read}}, R"({"lines": [1]})", kJson); },
        [&] { return c.Post(basket + "/submit", {{"If-Match", read}}, "", kJson); },
        [&] { return c.Delete(basket, {{"If-Match", "\"other\", W/" + written}}); },
    };
    for (size_t i = 0; i < writes.size(); ++i) EXPECT_EQ(Status(writes[i]()), 412) << i;
    r = c.Get(basket);
    EXPECT_EQ(Parsed(r)["header"]["BASKETNAME"], "first tab");
    EXPECT_EQ(r->get_header_value("ETag"), written);
    EXPECT_EQ(Status(c.Put(basket, {{"If-Match", "\"x\", " + written}}, named.dump(), kJson)), 200);  // one of a list

    // tabs on two hosts write with the same ETag at once: one of them wins
    const std::string shared = c.Get(basket)->get_header_value("ETag");
    ServeProcess other(home_);
    constexpr int kTabs = 8;
    std::vector<int> statuses(kTabs);
    std::vector<std::thread> tabs;
    for (int i = 0; i < kTabs; ++i)
        tabs.emplace_back([&, i] {
            json mine = named;
            mine["header"]["BASKETNAME"] = "tab " + std::to_string(i);
            auto client = i % 2 ? other.Client(shopKey_) : Shop();
            statuses[static_cast<size_t>(i)] = Status(client.Put(basket, {{"If-Match", shared}}, mine.dump(), kJson));
        });
    for (auto& t : tabs) t.join();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 412), kTabs - 1);
    EXPECT_EQ(other.Stop(), 0) << other.Output();
}

// A write answers the basket as stored, with its ETag: a GET right after it shows the same basket
// and ETag, whatever values the write stored (those the database fills in or changes included).
TEST_P(ApiConventions, EachBasketWriteAnswersTheETagAGetShowsNext) {
    auto c = Shop();
    std::string basket = "/api/v1/baskets/" + NewBasket(c);
    auto put = [&](std::function<void(json&)> change) {
        return [&, change] {
            json b = Parsed(c.Get(basket));
            change(b);
            return c.Put(basket, b.dump(), kJson);
        };
    };
    struct Case {
        std::string what;
        std::function<httplib::Result()> write;
        int status;
    };
    const Case cases[] = {
        {"a new basket", [&] { return c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump(), kJson); }, 201},
        {"a line", [&] { return c.Post(basket + "/lines", DemoLineRequest(), kJson); }, 201},
        {"a basket ready for submission", put([](json& b) { b = ReadyForSubmission(b, "ready"); }), 200},
        {"a priced line", [&] { return c.Post(basket + "/lines", R"({"SKU": 101, "QUANTITY": 2.5, "price": true})", kJson); }, 201},
        {"a time to the millisecond, fractions of a percent, four decimals, quoted text", put([](json& b) {
             b["header"]["BASKETDATE"] = "2026-12-10T10:11:12.345";
             b["header"]["DISCOUNTPERC"] = 12.345678;
             b["header"]["FREIGHTTOTAL"] = 1234.5678;
             b["header"]["BASKETTEXT"] = "\"Gr\u00fc\u00dfe\"\n\ttab";
             b["lines"][0]["QUANTITY"] = 2.1234;
         }), 200},
        {"a line the body adds", put([](json& b) {
             json line = b["lines"][0];
             line["BASKETLINENR"] = 7;
             b["lines"].push_back(line);
         }), 200},
        {"the basket priced", [&] { return c.Post(basket + "/price", "", kJson); }, 200},
        {"a line deleted", [&] { return c.Delete(basket + "/lines", R"({"lines": [1]})", kJson); }, 200},
        {"a copy", [&] { return c.Post(basket + "/copy", R"({"name": "copy"})", kJson); }, 201},
    };
    for (const Case& k : cases) {
        auto r = k.write();
        ASSERT_EQ(Status(r), k.status) << k.what << ": " << (r ? r->body : "no answer");
        std::string at = k.status == 201 ? r->get_header_value("Location") : basket;
        auto read = c.Get(at);
        EXPECT_EQ(r->get_header_value("ETag"), read->get_header_value("ETag"))
            << k.what << "\nwritten: " << r->body << "\nread:    " << read->body;
        json written = Parsed(r);
        written.erase("BASKETLINENR");  // a new line's number, beside the basket
        EXPECT_EQ(written, Parsed(read)) << k.what;
    }
}

INSTANTIATE_DB_TEST(ApiConventions);

}  // namespace
