// An operator's round through the console in headless Chromium on the demo
// installation (operator_scenario.py): two card orders go the demo's road
// (checkout, batch, the back end's cycle, batch, pay, batch); the gateway
// refuses one capture, so one order is paid and the other waits in 8 for
// the operator, who captures it again from the attention list.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <tuple>

#include "erp_business_objects.h"
#include "gateway_simulator.h"
#include "host_programs.h"
#include "platform/data/ado.h"
#include "serve_process.h"
#include "test_db.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;
using ole::Variant;

TEST(OperatorPage, FindsAPaidOrderAndCapturesARefusedOneAgain) {
    if (!fs::exists("/usr/bin/chromium") || !fs::exists("/usr/bin/chromedriver"))
        GTEST_SKIP() << "chromium and chromium-driver are not installed (scripts/install-deps.sh installs them)";
    TempDir parent;
    fs::path home = parent.Path() / "shop";
    std::string at = " --home " + Quoted(home.string());
    ASSERT_EQ(Backoffice("init --demo" + at).exitCode, 0);
    GatewaySimulator gateway;
    gateway.ServeInstallation(home);
    ErpBusinessObjects erp({}, {home / "edi" / "archive", home / "edi2" / "archive", home / "xml" / "archive"});
    auto c = std::make_shared<ado::Connection>();
    c->Open("Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string());
    c->Execute("UPDATE BISPROPERTY SET VALUE = ? WHERE NAME = 'boiurl'", nullptr, -1, {Variant(erp.Url())});
    auto value = [&](const std::string& sql, const std::vector<Variant>& params = {}) {
        auto rs = c->Execute(sql, nullptr, -1, params);
        return rs->Eof() ? std::string() : rs->Fields(0).Value().Text();
    };
    auto run = [](Outcome outcome) { ASSERT_EQ(outcome.exitCode, 0) << outcome.output; };

    // two rounds of the web shop: two card orders, authorised at checkout
    run(Backoffice("demo" + at));
    run(Backoffice("demo" + at));
    std::string paid = value("SELECT MIN(ORDERID) FROM ORDERHEADER WHERE WEBPAYMENTMETHOD = 2");
    std::string refused = value("SELECT MAX(ORDERID) FROM ORDERHEADER WHERE WEBPAYMENTMETHOD = 2");
    ASSERT_NE(paid, refused);

    run(ErpSimulator("prepare --export " + Quoted((home / "edi2" / "out" / "orders.edi").string())));
    run(Backoffice("batch" + at));
    for (auto [tree, separator, handshake] : {std::tuple{"edi", ",", ""}, std::tuple{"edi2", ";", " --handshake"}}) {
        std::string base = (home / tree).string();
        run(ErpSimulator(std::string("cycle") + handshake + " --export " + Quoted(base + "/out/orders.edi") +
                         " --confirm " + Quoted(base + "/in/confirm.edi") + " --archive " + Quoted(base + "/archive") +
                         " --separator '" + separator + "'"));
    }
    run(Backoffice("batch" + at));
    // the gateway no longer knows the second order's authorisation: its capture is refused
    c->Execute("UPDATE AUTHORIZATIONLOG SET AUTH_REQUEST_ID = 'EXPIRED' WHERE MERCHANT_REF_NUMBER = ?", nullptr, -1,
               {Variant(refused)});
    run(Backoffice("pay" + at));
    run(Backoffice("batch" + at));
    auto status = [&](const std::string& id) {
        return value("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", {Variant(id)});
    };
    ASSERT_EQ(status(paid), "5");
    ASSERT_EQ(status(refused), "8");
    std::string salesOrder = value("SELECT SALESORDERNR FROM ORDERHEADER WHERE ORDERID = ?", {Variant(paid)});
    c->Close();

    Outcome added = Backoffice("operator add carla" + at);
    ASSERT_EQ(added.exitCode, 0) << added.output;
    std::string key = added.output.substr(added.output.find_last_of(':') + 2, 64);
    ServeProcess serve(home);
    const char* chosen = std::getenv("BACKOFFICE_SCREENSHOTS");
    fs::path shots = chosen ? fs::path(chosen) : fs::path(BACKOFFICE_BINARY).parent_path().parent_path().parent_path() / "test-screenshots";
    Outcome browser = RunProgram("/usr/bin/python3",
                                 Quoted((SourceDir() / "tests" / "http" / "operator_scenario.py").string()) +
                                     " http://127.0.0.1:" + std::to_string(serve.Port()) + " carla " + Quoted(key) + " " +
                                     Quoted(shots.string()) + " " + Quoted((parent.Path() / "profile").string()) + " " +
                                     paid + " " + Quoted(salesOrder) + " " + refused + " 'No authorisation EXPIRED'");
    EXPECT_EQ(browser.exitCode, 0) << browser.output;
    std::cout << browser.output;
    EXPECT_EQ(serve.Stop(), 0) << serve.Output();

    c->Open("Provider=SQLite;Data Source=" + (home / "data" / "vendalo.db").string());
    EXPECT_EQ(status(refused), "4");
    EXPECT_EQ(value("SELECT MIN(LINESTATUS) FROM ORDERLINE WHERE ORDERID = ?", {Variant(refused)}), "2");  // captured
    EXPECT_EQ(gateway.Count("applications", "ics_bill"), 3u) << gateway.JournalText();
    c->Close();
}

}  // namespace
