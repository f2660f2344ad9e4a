// The console's operators and sessions over HTTP (SQLite and PostgreSQL):
// personal keys made and removed with `backoffice operator`, sessions that
// name the person, and the CSRF token a session's POSTs must carry.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "demo_host.h"
#include "run_program.h"
#include "test_db.h"

using namespace testing_support;

namespace {

class Console : public DemoHost {
protected:
    // `backoffice operator add NAME`: the key it prints once.
    std::string AddOperator(const std::string& name) {
        Outcome added = Backoffice("operator add " + name + " --home " + Quoted(home_.string()));
        EXPECT_EQ(added.exitCode, 0) << added.output;
        std::smatch key;
        EXPECT_TRUE(std::regex_search(added.output, key, std::regex("\\b[0-9a-f]{64}\\b"))) << added.output;
        return key.str();
    }
    int Remove(const std::string& name) {
        return Backoffice("operator remove " + name + " --home " + Quoted(home_.string())).exitCode;
    }
    // A log-in through the form: the session cookie's token, "" when refused.
    std::string LogIn(const std::string& key) {
        auto r = serve_->Client("").Post("/login", "key=" + key, "application/x-www-form-urlencoded");
        if (!r || r->status != 303) return "";
        std::smatch token;
        std::string cookie = r->get_header_value("Set-Cookie");
        return std::regex_search(cookie, token, std::regex("session=([A-Za-z0-9]+)")) ? token[1].str() : "";
    }
    httplib::Result WithSession(const std::string& method, const std::string& path, const std::string& session,
                                const std::string& csrf = "") {
        auto c = serve_->Client("");
        httplib::Headers headers = {{"Cookie", "session=" + session}};
        if (!csrf.empty()) headers.emplace("X-CSRF-Token", csrf);
        return method == "GET" ? c.Get(path, headers) : c.Post(path, headers, "", "");
    }
    json Activity() { return Parsed(Operator().Get("/api/v1/operator/activity"))["activity"]; }
    // Waits for this host's batch to end (it runs as a child process).
    void AwaitBatchRow(const std::string& operatorName) {
        for (int i = 0; i < 600 && Count("SELECT COUNT(*) FROM BATCHRUN WHERE OPERATORNAME = ?", {operatorName}) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
};

TEST_P(Console, PersonalKeysOpenTheOperatorApiUntilRemoved) {
    std::string key = AddOperator("anna");
    ASSERT_EQ(key.size(), 64u);
    EXPECT_NE(Backoffice("operator add anna --home " + Quoted(home_.string())).exitCode, 0);  // one anna
    EXPECT_EQ(Count("SELECT COUNT(*) FROM OPERATOR WHERE KEYHASH = ?", {key}), 0);           // never kept in clear

    auto anna = serve_->Client(key);
    json me = Parsed(anna.Get("/api/v1/operator/me"));
    EXPECT_EQ(me["operator"], "anna");
    EXPECT_TRUE(me["csrfToken"].is_null());  // a bearer needs none
    EXPECT_EQ(Parsed(Operator().Get("/api/v1/operator/me"))["operator"], "operator key");
    EXPECT_EQ(Status(Shop().Get("/api/v1/operator/me")), 403);
    EXPECT_EQ(Status(anna.Get("/api/v1/baskets/00000000000000000000000000000000")), 403);

    // "Run batch now" names the person in the activity and in the run's row
    ASSERT_EQ(Status(anna.Post("/api/v1/operator/batch", "", kJson)), 202);
    AwaitBatchRow("anna");
    json batches = Parsed(anna.Get("/api/v1/operator/batches?limit=1"))["batches"];
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0]["trigger"], "operator");
    EXPECT_EQ(batches[0]["stages"].size(), 4u) << batches.dump();
    EXPECT_EQ(Activity()[0]["what"], "Run batch now");
    EXPECT_EQ(Activity()[0]["operator"], "anna");

    std::string session = LogIn(key);
    ASSERT_FALSE(session.empty());
    EXPECT_EQ(Remove("anna"), 0);
    EXPECT_NE(Remove("anna"), 0);
    EXPECT_EQ(Status(anna.Get("/api/v1/operator/me")), 401);                 // the key, at once
    EXPECT_EQ(Status(WithSession("GET", "/api/v1/operator/me", session)), 401);  // and its session
    EXPECT_TRUE(LogIn(key).empty());
    Outcome list = Backoffice("operator list --home " + Quoted(home_.string()));
    EXPECT_NE(list.output.find("removed"), std::string::npos) << list.output;
}

TEST_P(Console, ASessionNamesThePersonAndItsPostsCarryTheCsrfToken) {
    std::string key = AddOperator("bob");
    EXPECT_TRUE(LogIn("wrong" + key.substr(5)).empty());
    std::string session = LogIn(key);
    ASSERT_FALSE(session.empty());
    json me = Parsed(WithSession("GET", "/api/v1/operator/me", session));
    EXPECT_EQ(me["operator"], "bob");
    std::string csrf = me["csrfToken"].get<std::string>();
    ASSERT_GE(csrf.size(), 32u);
    EXPECT_NE(csrf, session);

    EXPECT_EQ(Status(WithSession("POST", "/api/v1/operator/batch", session)), 403);
    EXPECT_EQ(Status(WithSession("POST", "/api/v1/operator/batch", session, csrf + "x")), 403);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM OPERATORACTIVITY WHERE WHAT = 'Run batch now'"), 0);  // refused: not run
    EXPECT_EQ(Status(WithSession("POST", "/api/v1/operator/batch", session, csrf)), 202);
    AwaitBatchRow("bob");

    EXPECT_EQ(Status(WithSession("POST", "/logout", session)), 303);
    EXPECT_EQ(Status(WithSession("GET", "/api/v1/operator/me", session)), 401);
    std::multiset<std::string> seen;  // within one millisecond the order is not kept
    for (const auto& item : Activity()) {
        seen.insert(item["what"].get<std::string>() + " " + item["operator"].get<std::string>());
        EXPECT_EQ(item.dump().find(key.substr(5)), std::string::npos);  // never the key tried
    }
    EXPECT_EQ(seen, (std::multiset<std::string>{"logout bob", "Run batch now bob", "login bob", "failed login "}));
}

// The log is read backwards a piece at a time: pages across the pieces' seams
// hold every entry once, newest first, and the order filter finds its entries.
TEST_P(Console, TheLogIsPagedNewestFirstAcrossItsPieces) {
    const std::string order(32, 'A');
    {
        std::ofstream log(home_ / "log" / "vendalo.log", std::ios::app);
        for (int i = 0; i < 3000; ++i)
            log << "[2027-01-10 10:00:00.000] [" << (i % 3 == 0 ? "info" : "warning") << "] [test] entry " << i
                << (i % 100 == 1 ? " of order " + order : "") << "\r\n  a second line [not an entry]\r\n";
    }
    std::vector<int> seen;
    std::string cursor;
    for (int page = 0; page < 100; ++page) {
        json body = Parsed(Operator().Get("/api/v1/operator/log?limit=200" + (cursor.empty() ? "" : "&cursor=" + cursor)));
        for (const auto& entry : body["entries"])
            if (entry["label"] == "test") seen.push_back(std::stoi(entry["text"].get<std::string>().substr(6)));
        if (body["next"].is_null()) break;
        cursor = body["next"].get<std::string>();
    }
    std::vector<int> expected;
    for (int i = 2999; i >= 0; --i)
        if (i % 3 != 0) expected.push_back(i);
    EXPECT_EQ(seen, expected);
    json named = Parsed(Operator().Get("/api/v1/operator/log?level=all&order=" + std::string(32, 'a')));
    EXPECT_EQ(named["entries"].size(), 30u);
    EXPECT_EQ(Status(Operator().Get("/api/v1/operator/log?cursor=x")), 400);
}

INSTANTIATE_DB_TEST(Console);

}  // namespace
