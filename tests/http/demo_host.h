// A demo installation (`init --demo`, SQLite or PostgreSQL) served by
// `backoffice serve` on loopback, for the tests of the API's areas.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "demo_installation.h"
#include "serve_process.h"

namespace testing_support {

class DemoHost : public DemoInstallation {
protected:
    using json = nlohmann::json;
    static constexpr const char* kJson = "application/json";

    void SetUp() override {
        DemoInstallation::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        shopKey_ = SiteSetting("ShopApiKey");
        operatorKey_ = SiteSetting("OperatorApiKey");
        BeforeServing();
        if (HasFatalFailure()) return;
        serve_ = std::make_unique<ServeProcess>(home_);
    }

    void TearDown() override {
        if (serve_) {
            EXPECT_EQ(serve_->Stop(), 0) << serve_->Output();  // SIGTERM ends it cleanly
        }
        serve_.reset();
        DemoInstallation::TearDown();
    }

    // A setting of section API in the installation's SiteConfiguration.xml.
    std::string SiteSetting(const std::string& name) const {
        return SettingOf(home_ / "config" / "SiteConfiguration.xml", "API", name);
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
        auto c = Open();
        int64_t n = c->Execute(sql, nullptr, -1, params)->Fields(0).Value().ToLongLong();
        c->Close();
        return n;
    }

    std::string shopKey_, operatorKey_;
    std::unique_ptr<ServeProcess> serve_;
};

}  // namespace testing_support
