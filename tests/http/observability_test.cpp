// What an operator reads and ships: the log's JSON lines and their context,
// the access log across a rotation, /ready, and /metrics as Prometheus takes it.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <thread>
#include <tuple>

#include "demo_basket.h"
#include "demo_host.h"
#include "run_program.h"
#include "test_db.h"

using namespace testing_support;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class Observability : public DemoHost {
protected:
    // Replaces a setting that `init` wrote.
    void Setting(const std::string& name, const std::string& value) {
        fs::path file = home_ / "config" / "VendaloConfiguration.xml";
        std::string xml = ReadFile(file);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(xml, m, std::regex("<Setting name=\"" + name + "\"[^>]*>([^<]*)</Setting>")));
        xml.replace(static_cast<size_t>(m.position(1)), static_cast<size_t>(m.length(1)), value);
        WriteFile(file, xml);
    }

    static std::vector<std::string> Lines(const fs::path& file) {
        std::vector<std::string> lines;
        std::istringstream in(fs::exists(file) ? ReadFile(file) : "");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // A request for an order that does not exist: one failure the component logs, under the given request id.
    static int AskForMissingOrder(httplib::Client& c, const std::string& requestId) {
        auto r = c.Get("/api/v1/orders/0123456789ABCDEF0123456789ABCDEF", {{"X-Request-Id", requestId}});
        return r ? r->status : -1;
    }

    // One order placed as the web pages place it (back-end instance 1), under the given request id for its submission.
    std::string PlaceOrder(const std::string& requestId) {
        auto c = Shop();
        auto r = c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump(), kJson);
        std::string id = Parsed(r)["header"]["BASKETID"];
        r = c.Post("/api/v1/baskets/" + id + "/lines", DemoLineRequest(), kJson);
        r = c.Put("/api/v1/baskets/" + id, ReadyForSubmission(Parsed(r), "Observed").dump(), kJson);
        r = c.Post("/api/v1/baskets/" + id + "/submit", {{"X-Request-Id", requestId}}, "", kJson);
        EXPECT_EQ(Status(r), 201) << (r ? r->body : "");
        return id;
    }

    fs::path Log() const { return home_ / "log" / "vendalo.log"; }
    fs::path AccessLog() const { return home_ / "log" / "access.log"; }
};

class JsonLog : public Observability {
    void BeforeServing() override { Setting("LogFormat", "json"); }
};

TEST_P(JsonLog, EachLineNamesTheRequestOrTheBatchItBelongsTo) {
    auto c = Shop();
    PlaceOrder("order-placed-1");
    ASSERT_EQ(AskForMissingOrder(c, "order-look-up-1"), 404);
    Batch();
    std::string batchId;
    {
        auto db = Open();
        batchId = db->Execute("SELECT BATCHID FROM BATCHRUN")->Fields(0).Value().Text();
    }
    int requestLines = 0, batchLines = 0;
    for (const auto& line : Lines(Log())) {
        json entry = json::parse(line, nullptr, false);
        ASSERT_TRUE(entry.is_object()) << line;
        EXPECT_TRUE(std::regex_match(entry["time"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        EXPECT_EQ(line.find("Not an actual error"), std::string::npos) << line;
        if (entry.value("request", "") == "order-look-up-1") {
            ++requestLines;
            EXPECT_EQ(entry["level"], "warning");
            EXPECT_FALSE(entry.contains("batch"));
        }
        if (entry.contains("batch")) {
            ++batchLines;
            EXPECT_EQ(entry["batch"], batchId) << line;
            EXPECT_FALSE(entry.contains("request"));
            // the export's notice is a notice with its own text, no error frame
            if (entry["source"] == "WebOrderExport") {
                EXPECT_EQ(entry["level"], "notice");
                EXPECT_FALSE(entry.contains("error"));
                EXPECT_TRUE(entry.contains("instance"));
            }
        }
    }
    EXPECT_GE(requestLines, 1);
    EXPECT_GE(batchLines, 1);
    // the access log: one line for the request, with its route pattern, not the order's id
    bool found = false;
    for (const auto& line : Lines(AccessLog())) {
        json entry = json::parse(line, nullptr, false);
        if (entry.value("request", "") != "order-look-up-1") continue;
        found = true;
        EXPECT_EQ(entry["route"], "GET /api/v1/orders/{id}");
        EXPECT_EQ(entry["status"], 404);
        EXPECT_EQ(entry["key"], "shop");
        EXPECT_EQ(line.find("0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(line.find(shopKey_), std::string::npos);
    }
    EXPECT_TRUE(found);
}

INSTANTIATE_DB_TEST(JsonLog);

class Rotation : public Observability {};

// logrotate renames the files and sends SIGHUP while three clients keep the
// host writing: every entry is in the renamed file or the new one.
TEST_P(Rotation, NoEntryIsLostWhenTheLogsAreRenamedAndReopened) {
    auto first = Shop();
    ASSERT_EQ(AskForMissingOrder(first, "probe"), 404);
    size_t perRequest = 0;
    for (const auto& line : Lines(Log())) perRequest += line.find("[request probe]") != std::string::npos;
    ASSERT_GE(perRequest, 1u);

    constexpr int kWriters = 3, kRequests = 60;
    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            auto c = Shop();
            for (int i = 0; i < kRequests; ++i) {
                EXPECT_EQ(AskForMissingOrder(c, "w" + std::to_string(w) + "-" + std::to_string(i)), 404);
                ++done;
            }
        });
    while (done < kWriters * kRequests / 3) std::this_thread::yield();
    fs::rename(Log(), Log().string() + ".1");
    fs::rename(AccessLog(), AccessLog().string() + ".1");
    ASSERT_EQ(kill(serve_->Pid(), SIGHUP), 0);
    for (auto& t : writers) t.join();

    auto count = [&](const fs::path& file, const std::string& prefix) {
        std::map<std::string, size_t> n;
        for (const auto& f : {file, fs::path(file.string() + ".1")})
            for (const auto& line : Lines(f)) {
                std::smatch m;
                if (std::regex_search(line, m, std::regex(prefix + "(w\\d-\\d+)"))) ++n[m[1]];
            }
        return n;
    };
    auto entries = count(Log(), R"(\[request )");
    auto accesses = count(AccessLog(), " ");
    ASSERT_EQ(entries.size(), size_t(kWriters * kRequests));
    ASSERT_EQ(accesses.size(), size_t(kWriters * kRequests));
    for (const auto& [id, n] : entries) EXPECT_EQ(n, perRequest) << id;
    for (const auto& [id, n] : accesses) EXPECT_EQ(n, 1u) << id;
    // the host went on in the files it opened again
    EXPECT_FALSE(Lines(Log()).empty());
    EXPECT_FALSE(Lines(AccessLog()).empty());
}

INSTANTIATE_DB_TEST(Rotation);

class Readiness : public Observability {};

TEST_P(Readiness, ReadyOnlyWithAUsableConfigurationAndAWritableLog) {
    auto c = serve_->Client("");
    EXPECT_EQ(Status(c.Get("/ready")), 200);
    struct Case {
        const char* what;
        std::function<void()> brake, mend;
        const char* reason;
    };
    fs::path moved = Log().string() + ".away";
    std::vector<Case> cases = {
        {"a setting that cannot be used", [&] { Setting("LogFormat", "xml"); }, [&] { Setting("LogFormat", "text"); },
         "LogFormat"},
        {"a log that cannot be written",
         [&] {
             fs::rename(Log(), moved);
             fs::create_directory(Log());
         },
         [&] {
             fs::remove(Log());
             fs::rename(moved, Log());
         },
         "the log cannot be written"},
    };
    for (const auto& k : cases) {
        k.brake();
        auto r = c.Get("/ready");
        EXPECT_EQ(Status(r), 503) << k.what;
        EXPECT_NE(Parsed(r)["reasons"].dump().find(k.reason), std::string::npos) << k.what << ": " << (r ? r->body : "");
        EXPECT_EQ(Status(c.Get("/health")), 200) << k.what;  // alive all the same
        k.mend();
        EXPECT_EQ(Status(c.Get("/ready")), 200) << k.what;
    }
}

INSTANTIATE_DB_TEST(Readiness);

class Metrics : public Observability {};

TEST_P(Metrics, EveryStatusAndEachInstancesCountsInTextPromtoolAccepts) {
    PlaceOrder("metrics-1");
    Batch();
    // the outside calls as EXCHANGE keeps them; one without a duration counts, but not in the histogram
    auto c = Open();
    const std::tuple<const char*, const char*, const char*, ole::Variant> calls[] = {
        {"C1", "gateway request", "approved", ole::Variant(int32_t{80})},
        {"C2", "gateway request", "declined", ole::Variant(int32_t{1500})},
        {"C3", "broker post", "refused", ole::Variant::Null()},
        {"C4", "file placed", "placed", ole::Variant(int32_t{10})}};
    for (const auto& [id, kind, outcome, ms] : calls)
        c->Execute("INSERT INTO EXCHANGE (EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, DURATIONMS) VALUES (?, ?, ?, ?, ?)",
                   nullptr, -1, {ole::Variant(id), ole::Variant(ole::Date::Now()), ole::Variant(kind),
                                 ole::Variant(outcome), ms});
    c->Close();
    auto r = Operator().Get("/metrics");
    ASSERT_EQ(Status(r), 200);
    const std::string text = r->body;
    for (int status = 0; status <= 8; ++status)
        for (const char* name : {"backoffice_orders{", "backoffice_oldest_order_age_seconds{"})
            EXPECT_NE(text.find(name + std::string("status=\"") + std::to_string(status) + "\""), std::string::npos)
                << name << status;
    EXPECT_NE(text.find("backoffice_batch_orders_exported_total{instance=\"1\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("backoffice_build_info{version=\""), std::string::npos);
    EXPECT_NE(text.find("backoffice_ready 1\n"), std::string::npos);
    EXPECT_NE(text.find("process_open_fds "), std::string::npos);
    for (const char* line :
         {"backoffice_outside_calls_total{call=\"gateway request\",outcome=\"declined\"} 1\n",
          "backoffice_outside_calls_total{call=\"broker post\",outcome=\"refused\"} 1\n",
          "backoffice_outside_call_duration_seconds_bucket{call=\"gateway request\",le=\"0.1\"} 1\n",
          "backoffice_outside_call_duration_seconds_bucket{call=\"gateway request\",le=\"2.5\"} 2\n",
          "backoffice_outside_call_duration_seconds_sum{call=\"gateway request\"} 1.58\n",
          "backoffice_outside_call_duration_seconds_count{call=\"broker post\"} 0\n",
          "backoffice_outside_call_duration_seconds_count{call=\"business object call\"} 0\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(text.find("file placed"), std::string::npos);

    ASSERT_TRUE(fs::exists(PROMTOOL_BINARY)) << "promtool is fetched when the build is configured (scripts/fetch-promtool.sh)";
    TempDir dir;
    WriteFile(dir.Path() / "scrape.txt", text);
    Outcome checked = RunProgram(PROMTOOL_BINARY, "check metrics < " + Quoted((dir.Path() / "scrape.txt").string()));
    EXPECT_EQ(checked.exitCode, 0) << checked.output;
    checked = RunProgram(PROMTOOL_BINARY, "check rules " + Quoted(BACKOFFICE_SOURCE_DIR "/deploy/prometheus/backoffice-alerts.yml"));
    EXPECT_EQ(checked.exitCode, 0) << checked.output;
}

INSTANTIATE_DB_TEST(Metrics);

}  // namespace
