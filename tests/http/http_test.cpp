// The HTTP host as the web pages meet it: `backoffice serve` on a demo
// installation (SQLite and PostgreSQL), spoken to over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "demo_basket.h"
#include "demo_host.h"
#include "http/http_routes.h"
#include "installation/sql_scripts.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "serve_process.h"
#include "shared/lib_sales.h"
#include "test_db.h"

using namespace testing_support;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class HttpHost : public DemoHost {
protected:
    void BeforeServing() override {
        ASSERT_EQ(shopKey_.size(), 48u);
        ASSERT_NE(shopKey_, operatorKey_);
    }

    std::string NewBasket(httplib::Client& c, int partner = 2) {
        auto r = c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", partner}}.dump(), kJson);
        EXPECT_TRUE(r && r->status == 201) << (r ? r->body : "no answer");
        return Parsed(r)["header"]["BASKETID"].get<std::string>();
    }

    // A basket filled as the web pages fill it before submission.
    void FillForSubmission(httplib::Client& c, const std::string& id) {
        auto r = c.Post("/api/v1/baskets/" + id + "/lines", DemoLineRequest(), kJson);
        ASSERT_TRUE(r && r->status == 201) << (r ? r->body : "no answer");
        r = c.Put("/api/v1/baskets/" + id, ReadyForSubmission(Parsed(r), "Over HTTP").dump(), kJson);
        ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "no answer");
    }
};

TEST_P(HttpHost, ABasketTravelsFromCreateToSubmittedOrder) {
    auto c = Shop();
    std::string id = NewBasket(c);
    ASSERT_EQ(id.size(), 32u);
    FillForSubmission(c, id);

    auto r = c.Get("/api/v1/baskets/" + id);
    ASSERT_EQ(r->status, 200);
    json basket = Parsed(r);
    EXPECT_EQ(basket["header"]["BASKETNAME"], "Over HTTP");
    EXPECT_EQ(basket["header"]["SUBTOTAL"].dump(), "6.2");  // money keeps its decimal form
    EXPECT_EQ(basket["lines"][0]["REQUESTDATE"], "2027-01-10");
    EXPECT_EQ(basket["lines"][0]["SKU"], 101);
    // a day column keeps the day of a time sent with it, on every database
    basket["lines"][0]["REQUESTDATE"] = "2027-01-10T15:30:00";
    r = c.Put("/api/v1/baskets/" + id, basket.dump(), kJson);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(Parsed(r)["lines"][0]["REQUESTDATE"], "2027-01-10");
    EXPECT_EQ(c.Get("/api/v1/baskets/" + id)->get_header_value("ETag"), r->get_header_value("ETag"));

    // a copy and a line deleted from it leave the original as it is
    r = c.Post("/api/v1/baskets/" + id + "/copy", json{{"name", "Copy"}}.dump(), kJson);
    ASSERT_EQ(r->status, 201) << r->body;
    std::string copy = Parsed(r)["header"]["BASKETID"];
    r = c.Delete("/api/v1/baskets/" + copy + "/lines", json{{"lines", {1}}}.dump(), kJson);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_TRUE(Parsed(r)["lines"].empty());
    EXPECT_EQ(c.Delete("/api/v1/baskets/" + copy)->status, 204);
    EXPECT_EQ(c.Get("/api/v1/baskets/" + copy)->status, 404);

    r = c.Post("/api/v1/baskets/" + id + "/submit", "", kJson);
    ASSERT_EQ(r->status, 201) << r->body;
    EXPECT_EQ(r->get_header_value("Location"), "/api/v1/orders/" + id);
    EXPECT_EQ(c.Post("/api/v1/baskets/" + id + "/submit", "", kJson)->status, 409);
    EXPECT_EQ(c.Get("/api/v1/baskets/" + id)->status, 404);

    r = c.Get("/api/v1/orders/" + id);
    ASSERT_EQ(r->status, 200) << r->body;
    json order = Parsed(r);
    EXPECT_EQ(order["header"]["ORDERSTATUS"], 0);
    EXPECT_EQ(order["header"]["ORDERLISTNAME"], "Over HTTP");
    EXPECT_EQ(order["lines"].size(), 1u);
    EXPECT_EQ(order["lines"][0]["PRICE"].dump(), "1.24");
    std::set<int> addresses;
    for (const auto& a : order["addresses"]) addresses.insert(a["ADDRESSID"].get<int>());
    EXPECT_EQ(addresses, (std::set<int>{21, 22}));

    // the list pages newest first without repeating an order
    r = c.Get("/api/v1/orders?limit=1");
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(Parsed(r)["orders"][0]["ORDERID"], id);
    std::string next = Parsed(r)["next"];
    r = c.Get(("/api/v1/orders?limit=50&after=" + next).c_str());
    ASSERT_EQ(r->status, 200) << r->body;
    for (const auto& o : Parsed(r)["orders"]) EXPECT_NE(o["ORDERID"], id);
    EXPECT_EQ(Parsed(c.Get("/api/v1/orders?partner=2&status=0"))["orders"][0]["ORDERID"], id);

    r = c.Get("/api/v1/sales-parameters/FreightPartNumber");
    EXPECT_EQ(Parsed(r)["value"], "FREIGHT");
}

TEST_P(HttpHost, EachFailureHasItsStatusAndTheOneErrorFormat) {
    auto c = Shop();
    std::string id = NewBasket(c);
    auto status = [](const httplib::Result& r) { return r ? r->status : -1; };

    // who may call
    EXPECT_EQ(status(serve_->Client("").Get("/api/v1/baskets/" + id)), 401);
    EXPECT_EQ(status(serve_->Client("wrong").Get("/api/v1/baskets/" + id)), 401);
    EXPECT_EQ(status(serve_->Client(operatorKey_).Get("/api/v1/baskets/" + id)), 403);  // each key its own permissions
    EXPECT_EQ(status(serve_->Client("").Get("/metrics")), 401);
    EXPECT_EQ(status(serve_->Client(operatorKey_).Get("/metrics")), 200);
    EXPECT_EQ(status(serve_->Client("").Get("/health")), 200);

    // ids, paths and bodies
    EXPECT_EQ(status(c.Get("/api/v1/baskets/not-an-id")), 400);
    EXPECT_EQ(status(c.Get("/api/v1/baskets/0123456789ABCDEF0123456789ABCDEF")), 404);
    EXPECT_EQ(status(c.Get("/api/v1/orders/0123456789ABCDEF0123456789ABCDEF")), 404);
    EXPECT_EQ(status(c.Get("/api/v1/baskets/..%2f..%2fetc")), 400);
    EXPECT_EQ(status(c.Get("/api/v1/baskets/%00")), 400);
    EXPECT_EQ(status(c.Post("/api/v1/baskets", "USERID=x", "text/plain")), 415);
    EXPECT_EQ(status(c.Post("/api/v1/baskets", std::string(2 << 20, ' '), kJson)), 413);
    auto r = c.Post("/api/v1/baskets", "{\"USERID\": ", kJson);
    EXPECT_EQ(status(r), 400);
    r = c.Post("/api/v1/baskets", json{{"USERID", 12}, {"BUSINESSPARTNERID", 2}}.dump(), kJson);
    EXPECT_EQ(status(r), 400);
    EXPECT_NE(Parsed(r)["error"]["description"].get<std::string>().find("USERID"), std::string::npos) << r->body;

    // a refused PUT writes nothing
    json basket = Parsed(c.Get("/api/v1/baskets/" + id));
    json changed = basket;
    changed["header"]["BASKETNAME"] = "changed";
    changed["header"]["CUSTOMERPONUMBER"] = 42;  // a number where text is expected
    r = c.Put("/api/v1/baskets/" + id, changed.dump(), kJson);
    EXPECT_EQ(status(r), 400);
    EXPECT_NE(r->body.find("header.CUSTOMERPONUMBER"), std::string::npos) << r->body;
    changed = basket;
    changed["header"]["NOSUCHCOLUMN"] = 1;
    r = c.Put("/api/v1/baskets/" + id, changed.dump(), kJson);
    EXPECT_EQ(status(r), 400);
    EXPECT_NE(r->body.find("header.NOSUCHCOLUMN"), std::string::npos) << r->body;
    changed = basket;
    changed["header"]["BASKETID"] = "0123456789ABCDEF0123456789ABCDEF";
    EXPECT_EQ(status(c.Put("/api/v1/baskets/" + id, changed.dump(), kJson)), 400);
    EXPECT_EQ(Parsed(c.Get("/api/v1/baskets/" + id)), basket);

    // an address that is not the partner's is refused by name before anything is stored
    changed = basket;
    changed["header"]["SHIPPINGADDRESSID"] = 999999;
    r = c.Put("/api/v1/baskets/" + id, changed.dump(), kJson);
    ASSERT_EQ(status(r), 400) << r->body;
    json error = Parsed(r)["error"];
    EXPECT_EQ(error["field"], "SHIPPINGADDRESSID");
    EXPECT_EQ(error["number"], "0x80040154");  // MissingAddress
    EXPECT_NE(error["description"].get<std::string>().find("999999"), std::string::npos) << r->body;
    EXPECT_EQ(Parsed(c.Get("/api/v1/baskets/" + id)), basket);

    // a value a component refuses is 400 with the frames, innermost first
    changed = basket;
    changed["lines"] = json::array({{{"BASKETLINENR", 2147483647}}});
    ASSERT_EQ(status(c.Put("/api/v1/baskets/" + id, changed.dump(), kJson)), 200);
    r = c.Post("/api/v1/baskets/" + id + "/lines", json{{"SKU", 101}, {"QUANTITY", 1}}.dump(), kJson);
    ASSERT_EQ(status(r), 400) << r->body;
    error = Parsed(r)["error"];
    EXPECT_EQ(error["method"], "Vendalo.Basket.AddLine()");
    EXPECT_EQ(error["frames"], json({"Vendalo.Basket.AddLineToBasket", "Vendalo.Basket.AddLine()"}));
    EXPECT_EQ(error["number"].get<std::string>().rfind("0x", 0), 0u);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETLINE WHERE BASKETID = ?", {ole::Variant(id)}), 1);

    // no key reaches the log
    std::string log = ReadFile(home_ / "log" / "vendalo.log");
    EXPECT_EQ(log.find(shopKey_), std::string::npos);
    EXPECT_EQ(log.find(operatorKey_), std::string::npos);
}

// 503 ("try again later") is for what the provider marked busy or unreachable,
// never for a text that merely reads so: a shopper's value quoted in a refusal
// is still a refusal, and a session the server ended is still a 503.
TEST(HttpErrorStatus, BusyAndUnreachableComeFromTheErrorNotItsText) {
    struct Case {
        int32_t number;
        std::string text;
        ole::ErrorKind kind;
        int status;
    };
    const Case cases[] = {
        {ado::err::CommandFailure, "database is locked", ole::ErrorKind::DatabaseBusy, 503},
        {ado::err::CommandFailure, "FATAL:  terminating connection due to administrator command",
         ole::ErrorKind::DatabaseUnreachable, 503},
        {ado::err::IntegrityViolation, "UNIQUE constraint failed (BASKETNAME 'database is locked')", ole::ErrorKind::Other, 400},
        {ado::err::CommandFailure, "value too long: 'could not connect to the shop'", ole::ErrorKind::Other, 500},
    };
    for (const Case& c : cases) {
        ole::SlsErrorInfo error(c.number, "Vendalo", Sls_FormatError(c.text, c.number, "Vendalo.Basket.Save()"));
        error.Reason = c.text;
        error.Methods = {"Vendalo.Basket.Save()"};
        error.Kind = c.kind;
        EXPECT_EQ(backoffice::http::ErrorStatus(error), c.status) << c.text;
    }
}

TEST_P(HttpHost, EightClientsSubmittingAtOnceMakeEachOrderExactlyOnce) {
    constexpr int kClients = 8, kBaskets = 200;
    std::vector<std::vector<std::string>> baskets(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back([&, i] {
            auto c = Shop();
            for (int k = 0; k < kBaskets; ++k) {
                auto r = c.Post("/api/v1/baskets", json{{"USERID", "msmith"}, {"BUSINESSPARTNERID", 3}}.dump(), kJson);
                if (!r || r->status != 201) continue;
                json b = Parsed(r);
                b["header"]["DISCOUNTPERC"] = 0;
                b["header"]["BASKETNAME"] = "load " + std::to_string(i);
                std::string id = b["header"]["BASKETID"];
                r = c.Put("/api/v1/baskets/" + id, b.dump(), kJson);
                if (r && r->status == 200) baskets[static_cast<size_t>(i)].push_back(id);
            }
        });
    for (auto& t : threads) t.join();
    threads.clear();
    for (const auto& b : baskets) ASSERT_EQ(b.size(), static_cast<size_t>(kBaskets));

    // each client submits its own baskets and its neighbour's: every basket is submitted twice at once
    std::mutex mutex;
    std::map<std::string, int> created;
    std::map<int, int> answers;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back([&, i] {
            auto c = Shop();
            const auto& mine = baskets[static_cast<size_t>(i)];
            const auto& theirs = baskets[static_cast<size_t>((i + 1) % kClients)];
            for (int k = 0; k < kBaskets; ++k)
                for (const std::string& id : {mine[static_cast<size_t>(k)], theirs[static_cast<size_t>(kBaskets - 1 - k)]}) {
                    auto r = c.Post("/api/v1/baskets/" + id + "/submit", "", kJson);
                    std::lock_guard lock(mutex);
                    int code = r ? r->status : -1;
                    ++answers[code];
                    if (code == 201) {
                        ++created[id];
                    } else {
                        EXPECT_TRUE(code == 409 || code == 503) << code << " " << (r ? r->body : "");
                        EXPECT_TRUE(Parsed(r).contains("error"));
                    }
                }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(created.size(), static_cast<size_t>(kClients * kBaskets)) << "answers: " << json(answers).dump();
    for (const auto& [id, n] : created) EXPECT_EQ(n, 1) << id;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERLISTNAME LIKE 'load %'"), kClients * kBaskets);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER WHERE BASKETNAME LIKE 'load %'"), 0);
}

INSTANTIATE_DB_TEST(HttpHost);

TEST(HttpServe, RefusesAnAddressOtherMachinesReachWithoutTls) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    ASSERT_EQ(RunProgram(BACKOFFICE_BINARY, "init --home " + Quoted(home.string())).exitCode, 0);
    Outcome outcome = RunProgram(BACKOFFICE_BINARY, "serve --home " + Quoted(home.string()) + " --listen 0.0.0.0:0");
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.output.find("needs TLS"), std::string::npos) << outcome.output;
}

// The API description and the route table name the same endpoints.
TEST(HttpApiDescription, NamesEveryRouteAndNothingElse) {
    backoffice::http::Router router;
    backoffice::http::AddAllRoutes(router);
    std::set<std::string> routes, described;
    for (const auto& route : router.Routes()) routes.insert(route.method + " " + route.pattern);
    json description = json::parse(backoffice::ReadShippedFile("api/openapi.json"));
    EXPECT_EQ(description["openapi"].get<std::string>().rfind("3.", 0), 0u);
    for (const auto& [path, operations] : description["paths"].items())
        for (const auto& [method, operation] : operations.items()) {
            std::string upper = method;
            for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            described.insert(upper + " " + path);
        }
    EXPECT_EQ(routes, described);
}

}  // namespace

namespace {

// The console in a real browser (headless Chromium through Selenium), logged
// in with a personal key; texts from outside with markup in them are shown as
// text. The screenshots go to build/test-screenshots (BACKOFFICE_SCREENSHOTS).
TEST(OperatorPage, LogsInShowsTheConsoleAndRunsABatch) {
    if (!fs::exists("/usr/bin/chromium") || !fs::exists("/usr/bin/chromedriver"))
        GTEST_SKIP() << "chromium and chromium-driver are not installed (scripts/install-deps.sh installs them)";
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    ASSERT_EQ(RunProgram(BACKOFFICE_BINARY, "init --demo --home " + Quoted(home.string())).exitCode, 0);
    ASSERT_EQ(RunProgram(BACKOFFICE_BINARY, "demo --home " + Quoted(home.string())).exitCode, 0);
    Outcome added = RunProgram(BACKOFFICE_BINARY, "operator add carla --home " + Quoted(home.string()));
    ASSERT_EQ(added.exitCode, 0) << added.output;
    std::string key = added.output.substr(added.output.find_last_of(':') + 2, 64);

    // markup where outside texts come in: a PO number, a sales order number, a log entry
    const std::string markup = "<script>window.__injected=1</script><img src=x onerror=\"window.__injected=1\">";
    auto c = std::make_shared<ado::Connection>();
    c->Open("Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string());
    std::string order = c->Execute("SELECT MIN(ORDERID) FROM ORDERHEADER")->Fields(0).Value().Text();
    c->Execute("UPDATE ORDERHEADER SET CUSTOMERPONR = ?, SALESORDERNR = ? WHERE ORDERID = ?", nullptr, -1,
               {ole::Variant(markup), ole::Variant(markup.substr(0, 50)), ole::Variant(order)});
    c->Close();
    {
        std::ofstream log(home / "log" / "vendalo.log", std::ios::app);
        log << "[2027-01-10 10:00:00.000] [warning] [test " << markup << "] order " << order << ": " << markup << "\n";
    }

    ServeProcess serve(home);
    const char* chosen = std::getenv("BACKOFFICE_SCREENSHOTS");
    fs::path shots = chosen ? fs::path(chosen) : fs::path(BACKOFFICE_BINARY).parent_path().parent_path().parent_path() / "test-screenshots";
    Outcome browser = RunProgram("/usr/bin/python3", Quoted((SourceDir() / "tests" / "http" / "operator_page.py").string()) +
                                                         " http://127.0.0.1:" + std::to_string(serve.Port()) + " carla " +
                                                         Quoted(key) + " " + Quoted(shots.string()) + " " +
                                                         Quoted((parent.Path() / "profile").string()) + " " + order + " " +
                                                         Quoted(markup));
    EXPECT_EQ(browser.exitCode, 0) << browser.output;
    std::cout << browser.output;
    EXPECT_EQ(serve.Stop(), 0) << serve.Output();
    c->Open("Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string());
    for (const char* what : {"login", "Run batch now", "logout"})
        EXPECT_EQ(c->Execute("SELECT COUNT(*) FROM OPERATORACTIVITY WHERE OPERATORNAME = 'carla' AND WHAT = ?", nullptr, -1,
                             {ole::Variant(what)})->Fields(0).Value().ToLong(), 1) << what;
    c->Close();
}

}  // namespace

#include "http/http_host.h"

namespace {

// A stop that comes before the listener runs still ends Serve() (a shutdown
// signal right at start-up, or a caller that stops at once).
TEST(HostLifetime, AStopBeforeOrWhileServingBeginsEndsIt) {
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    ASSERT_EQ(RunProgram(BACKOFFICE_BINARY, "init --home " + Quoted(home.string())).exitCode, 0);
    backoffice::HostSettings settings;
    settings.workers = 1;
    settings.shopApiKey = std::string(48, 's');
    settings.operatorApiKey = std::string(48, 'o');
    for (int round = 0; round < 20; ++round) {
        backoffice::http::HttpHost host(home, settings);
        ASSERT_GT(host.Bind("127.0.0.1", 0), 0);
        if (round == 0) host.Stop();  // before Serve() is even called
        std::thread serving([&] { host.Serve(); });
        if (round % 2) std::this_thread::yield();
        host.Stop();
        serving.join();  // would wait for ever if the stop were lost
    }
}

}  // namespace

#include "http/json_codec.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "platform/automation/component.h"
#include "test_installation.h"

namespace {

// A sales parameter that probes the worker's pooled connection: "fail" writes a
// zone inside a transaction and raises half way; any other name answers whether
// the connection it is given is in a transaction and how many such zones exist.
class ConnectionProbe : public vendalo::ISalesParameter {
public:
    std::string GetParameterValue(const std::string& name) override {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        if (name == "fail") {
            c->BeginTrans();
            c->Execute("INSERT INTO ZONES (ZONEID, ZONEDESCRIPTION) VALUES (77, 'half way')");
            ole::Raise(ole::err::InvalidProcedureCall, "the request fails inside its transaction", "ConnectionProbe");
        }
        std::string answer = c->InTransaction() ? "in transaction" : "idle";
        answer += " " + c->Execute("SELECT COUNT(*) FROM ZONES WHERE ZONEID = 77")->Fields(0).Value().Text();
        c->Close();
        return answer;
    }
};

class WorkerConnection : public InstallationTest {};

// One worker: the request after a failed one gets the worker's kept connection
// back with nothing of the failed request left on it.
TEST_P(WorkerConnection, AFailureInsideATransactionLeavesTheNextRequestUnaffected) {
    ole::ComponentOverride probe("Vendalo.SalesParameter", [] { return std::make_shared<ConnectionProbe>(); });
    backoffice::HostSettings settings;
    settings.workers = 1;
    settings.shopApiKey = std::string(48, 's');
    settings.operatorApiKey = std::string(48, 'o');
    backoffice::http::HttpHost host(Inst().Home(), settings);
    int port = host.Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    std::thread serving([&] { host.Serve(); });
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_bearer_token_auth(settings.shopApiKey);
    for (int round = 0; round < 3; ++round) {
        auto failed = client.Get("/api/v1/sales-parameters/fail");
        ASSERT_TRUE(failed);
        EXPECT_NE(failed->status, 200);
        auto next = client.Get("/api/v1/sales-parameters/probe");
        ASSERT_TRUE(next);
        EXPECT_EQ(next->status, 200) << next->body;
        EXPECT_EQ(json::parse(next->body, nullptr, false).value("value", ""), "idle 0") << "round " << round;
    }
    host.Stop();
    serving.join();
}

INSTANTIATE_INSTALLATION_TEST(WorkerConnection);

// The answers written straight from the rows are the bytes json would write,
// whatever the values hold.
TEST(AnswerText, DictionaryTextIsWhatJsonWrites) {
    using backoffice::http::DictionaryJson;
    using backoffice::http::DictionaryText;
    TempDir dir;
    WriteFile(dir.Path() / "rows.db", "");  // the provider opens databases that exist
    auto c = ado::OpenConnection("Provider=SQLite;Data Source=" + (dir.Path() / "rows.db").string());
    c->ExecuteScript(
        "CREATE TABLE T (ID INTEGER, NAME VARCHAR(200), AMOUNT DECIMAL(19,4), SHARE DOUBLE PRECISION, DAY DATE, "
        "AT TIMESTAMP, FLAG BOOLEAN);"
        "INSERT INTO T VALUES (1, 'plain', 6.2, 0.1, '2026-12-08', '2026-12-08 10:04:05', 1);"
        "INSERT INTO T VALUES (2, 'quote \" back\\ tab	 end', -0.0001, 1e21, NULL, NULL, 0);"
        "INSERT INTO T VALUES (3, 'caf\xC3\xA9 \xFF broken \x7F', 123456789012.3456, -2.5e-7, '2027-01-10', "
        "'2027-01-10 00:00:00', NULL);");
    auto rows = [&](bool twice) {
        return c->Execute(twice ? "SELECT *, NAME FROM T ORDER BY ID" : "SELECT * FROM T ORDER BY ID");
    };
    for (bool twice : {false, true}) {
        ole::Dictionary d;
        d.Add("header", rows(twice));
        d.Add("lines", rows(twice));
        d.Add("_language", "nl");
        backoffice::http::json more = {{"addresses", backoffice::http::json::array({{{"ADDRESSID", 3}}})}};
        backoffice::http::json whole = DictionaryJson(d);
        whole["addresses"] = more["addresses"];
        EXPECT_EQ(DictionaryText(d, more), backoffice::http::AnswerText(whole));
        whole = DictionaryJson(d);
        whole["_language"] = "de";  // an item the dictionary has keeps its place
        EXPECT_EQ(DictionaryText(d, {{"_language", "de"}}), backoffice::http::AnswerText(whole));
    }
}

}  // namespace
