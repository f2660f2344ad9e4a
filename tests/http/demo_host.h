// A demo installation (`init --demo`, SQLite or PostgreSQL) served by
// `backoffice serve` on loopback, for the tests of the API's areas.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "data/ado.h"
#include "run_program.h"
#include "serve_process.h"
#include "test_db.h"

namespace testing_support {

class DemoHost : public DbTest {
protected:
    using json = nlohmann::json;
    static constexpr const char* kJson = "application/json";

    bool WithSchema() const override { return false; }

    void SetUp() override {
        DbTest::SetUp();
        if (IsSkipped()) return;
        home_ = parent_.Path() / "shop";
        Outcome outcome = InitDemoInstallation(BACKOFFICE_BINARY, home_, Db());
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
        shopKey_ = SettingOf(home_ / "config" / "SiteConfiguration.xml", "API", "ShopApiKey");
        operatorKey_ = SettingOf(home_ / "config" / "SiteConfiguration.xml", "API", "OperatorApiKey");
        BeforeServing();
        serve_ = std::make_unique<ServeProcess>(home_);
    }

    void TearDown() override {
        if (serve_) {
            EXPECT_EQ(serve_->Stop(), 0) << serve_->Output();
        }
        serve_.reset();
        DbTest::TearDown();
    }

    // Changes to the installation before the host starts.
    virtual void BeforeServing() {}

    httplib::Client Shop() { return serve_->Client(shopKey_); }
    httplib::Client Operator() { return serve_->Client(operatorKey_); }

    static json Parsed(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }
    static int Status(const httplib::Result& r) { return r ? r->status : -1; }
    static std::string ErrorNumber(const httplib::Result& r) {
        json body = Parsed(r);
        return body.contains("error") ? body["error"]["number"].get<std::string>() : "";
    }

    int64_t Count(const std::string& sql, const std::vector<ole::Variant>& params = {}) {
        auto c = std::make_shared<ado::Connection>();
        c->Open(Db().IsPostgres() ? Db().ConnectionString()
                                  : "Provider=SQLite;Data Source=" + (home_ / "data" / "vendalo.db").string());
        int64_t n = c->Execute(sql, nullptr, -1, params)->Fields(0).Value().ToLongLong();
        c->Close();
        return n;
    }

    TempDir parent_;
    std::filesystem::path home_;
    std::string shopKey_, operatorKey_;
    std::unique_ptr<ServeProcess> serve_;
};

}  // namespace testing_support
