// Two installations on one PostgreSQL database, each with its own `backoffice
// serve`, while batches run in a loop from both: clients submit at once through
// either host, and every order is made once and exported once.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "demo_basket.h"
#include "order_timeline.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "serve_process.h"
#include "test_db.h"

using namespace testing_support;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const char* kJson = "application/json";

json Parsed(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }

class ManyHosts : public DbTest {
protected:
    bool WithSchema() const override { return false; }

    void SetUp() override {
        DbTest::SetUp();
        if (IsSkipped()) return;
        homes_ = {parent_.Path() / "shop-a", parent_.Path() / "shop-b"};
        Outcome outcome = RunProgram(BACKOFFICE_BINARY, "init --demo --home " + Quoted(homes_[0].string()) +
                                                            " --connection " + Quoted(Db().ConnectionString()));
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
        // the second installation is a copy of the first: the same database and
        // schema, the same registry (whose export files lie in the first home)
        fs::copy(homes_[0], homes_[1], fs::copy_options::recursive);
        fs::remove(homes_[1] / "log" / "vendalo.log");
        shopKey_ = SettingOf(homes_[0] / "config" / "SiteConfiguration.xml", "API", "ShopApiKey");
        for (const auto& home : homes_) hosts_.push_back(std::make_unique<ServeProcess>(home));
    }

    void TearDown() override {
        for (auto& host : hosts_) EXPECT_EQ(host->Stop(), 0) << host->Output();
        hosts_.clear();
        DbTest::TearDown();
    }

    int64_t Count(const std::string& sql) {
        auto c = std::make_shared<ado::Connection>();
        c->Open(Db().ConnectionString());
        int64_t n = c->Execute(sql)->Fields(0).Value().ToLongLong();
        c->Close();
        return n;
    }

    // The order id of every message in the export files (BIS 1 writes "ENV,<order id>,..." first in each).
    std::map<std::string, int> ExportedOrderIds() {
        std::map<std::string, int> ids;
        for (const auto& home : homes_) {
            fs::path file = home / "edi" / "out" / "orders.edi";
            if (!fs::exists(file)) continue;
            std::istringstream text(ReadFile(file));
            for (std::string line; std::getline(text, line);)
                if (line.rfind("ENV,", 0) == 0) ids[line.substr(4, 32)]++;
        }
        return ids;
    }

    TempDir parent_;
    std::vector<fs::path> homes_;
    std::string shopKey_;
    std::vector<std::unique_ptr<ServeProcess>> hosts_;
};

// What the clients saw, for the checks after the run.
struct Answers {
    std::mutex mutex;
    std::map<std::string, int> submitted;  // basket id -> its 201 answers
    std::map<int, int> statuses;            // status -> how often
    std::vector<std::string> wrong;         // answers that are neither success nor a clear 503
};

TEST_P(ManyHosts, TwoHostsAndBatchesFromBothMakeAndExportEachOrderOnce) {
    constexpr int kClients = 16, kBaskets = 100;
    Answers answers;

    // a call retried while the host answers a clear 503 (a busy database); any other failure is recorded
    auto call = [&](const std::function<httplib::Result()>& send, int expected, const std::string& what) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            httplib::Result r = send();
            int status = r ? r->status : -1;
            std::lock_guard lock(answers.mutex);
            ++answers.statuses[status];
            if (status == expected) return std::optional<json>(Parsed(r));
            bool clear503 = status == 503 && !r->get_header_value("Retry-After").empty() && Parsed(r).contains("error");
            if (!clear503) {
                answers.wrong.push_back(what + ": " + std::to_string(status) + " " + (r ? r->body : "no answer"));
                return std::optional<json>();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        answers.wrong.push_back(what + ": still 503 after 100 attempts");
        return std::optional<json>();
    };

    std::atomic<bool> submitting{true};
    std::mutex batchMutex;
    std::map<int, int> batchExits;
    std::vector<std::string> batchFailures;
    std::vector<std::thread> batches;
    for (const auto& home : homes_)
        batches.emplace_back([&, home] {
            while (submitting) {
                Outcome outcome = RunProgram(BACKOFFICE_BINARY, "batch --home " + Quoted(home.string()));
                std::lock_guard lock(batchMutex);
                ++batchExits[outcome.exitCode];
                // 3: the other installation's batch holds the database's batch lock
                if (outcome.exitCode != 0 && outcome.exitCode != 3) batchFailures.push_back(outcome.output);
                if (outcome.exitCode == 3) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // spare the cores
            }
        });

    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            auto c = hosts_[static_cast<size_t>(i % 2)]->Client(shopKey_);
            for (int k = 0; k < kBaskets; ++k) {
                auto created = call([&] {
                    return c.Post("/api/v1/baskets", json{{"USERID", "jdevries"}, {"BUSINESSPARTNERID", 2}}.dump(), kJson);
                }, 201, "create");
                if (!created) continue;
                std::string id = (*created)["header"]["BASKETID"];
                std::string path = "/api/v1/baskets/" + id;
                auto filled = call([&] {
                    return c.Post(path + "/lines", DemoLineRequest(), kJson);
                }, 201, "add line to " + id);
                if (!filled) continue;
                json basket = ReadyForSubmission(*filled, "hosts " + std::to_string(i));
                if (!call([&] { return c.Put(path, basket.dump(), kJson); }, 200, "put " + id)) continue;
                if (!call([&] { return c.Post(path + "/submit", "", kJson); }, 201, "submit " + id)) continue;
                std::lock_guard lock(answers.mutex);
                ++answers.submitted[id];
            }
        });
    for (auto& t : clients) t.join();
    submitting = false;
    for (auto& t : batches) t.join();
    // the orders submitted after the loop's last export
    Outcome last = RunProgram(BACKOFFICE_BINARY, "batch --home " + Quoted(homes_[1].string()));
    ASSERT_EQ(last.exitCode, 0) << last.output;

    std::cout << "answers: " << json(answers.statuses).dump() << "; batch exits: " << json(batchExits).dump() << "\n";
    for (const auto& text : answers.wrong) ADD_FAILURE() << text;
    for (const auto& text : batchFailures) ADD_FAILURE() << "batch: " << text;
    EXPECT_EQ(answers.submitted.size(), static_cast<size_t>(kClients * kBaskets));
    for (const auto& [id, n] : answers.submitted) EXPECT_EQ(n, 1) << id << " submitted " << n << " times";

    // every submitted basket is one order, exported (status 1) and in exactly one message
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERLISTNAME LIKE 'hosts %'"),
              static_cast<int64_t>(answers.submitted.size()));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ORDERHEADER WHERE ORDERLISTNAME LIKE 'hosts %' AND ORDERSTATUS = 1"),
              static_cast<int64_t>(answers.submitted.size()));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM BASKETHEADER WHERE BASKETNAME LIKE 'hosts %'"), 0);
    auto exported = ExportedOrderIds();
    for (const auto& [id, n] : answers.submitted) EXPECT_EQ(exported[id], 1) << id << " exported " << exported[id] << " times";
    EXPECT_EQ(static_cast<int64_t>(exported.size()), Count("SELECT COUNT(*) FROM ORDERHEADER"));  // no stray message
    // and each status set by either host or batch has its event
    auto connection = std::make_shared<ado::Connection>();
    connection->Open(Db().ConnectionString());
    ExpectEveryStatusHasItsEvent(*connection);
    connection->Close();
}

INSTANTIATE_TEST_SUITE_P(Db, ManyHosts, ::testing::Values("postgresql"), ProviderName);

}  // namespace
