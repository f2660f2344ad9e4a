// The road of a card order with the programs a shop runs: `backoffice init`,
// the web shop (`backoffice demo`, whose card order is authorised at checkout),
// allocation (by SQL until that stage exists), and `backoffice pay` against the
// gateway simulator over HTTPS. Afterwards the card number is nowhere: not in
// the database, the log, or any file of the installation.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <set>

#include "demo_installation.h"
#include "gateway_simulator.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "shared/order_events.h"
#include "test_db.h"

using namespace testing_support;
using ole::Variant;
namespace fs = std::filesystem;

namespace {

const char* kDemoCard = "4111111111111111";

class CardPaymentRoad : public DemoInstallation {
protected:
    // The card order, put into status 4 with allocated lines (as the allocation stage will).
    std::string AllocateCardOrder() {
        auto c = Open();
        auto rs = c->Execute("SELECT ORDERID FROM ORDERHEADER WHERE WEBPAYMENTMETHOD = 2");
        EXPECT_FALSE(rs->Eof());
        std::string id = rs->Fields(0).Value().Text();
        c->Execute("UPDATE ORDERHEADER SET ORDERSTATUS = 4, SALESORDERNR = 'SO1' WHERE ORDERID = ?", nullptr, -1, {Variant(id)});
        c->Execute("UPDATE ORDERLINE SET LINESTATUS = 1 WHERE ORDERID = ?", nullptr, -1, {Variant(id)});
        return id;
    }

    int LineStatus(const std::string& id) {
        return Open()->Execute("SELECT MIN(LINESTATUS) FROM ORDERLINE WHERE ORDERID = ?", nullptr, -1, {Variant(id)})
            ->Fields(0).Value().ToLong();
    }

    // Every value of every table of the database, as text.
    std::string DatabaseText() {
        auto c = Open();
        std::string sql = Db().IsPostgres() ? "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema()"
                                            : "SELECT name FROM sqlite_master WHERE type = 'table'";
        std::string text;
        for (auto tables = c->Execute(sql); !tables->Eof(); tables->MoveNext()) {
            auto rows = c->Execute("SELECT * FROM " + tables->Fields(0).Value().Text());
            for (; rows && !rows->Eof(); rows->MoveNext())
                for (int i = 0; i < rows->FieldCount(); ++i) text += rows->Fields(i).Value().Text() + "|";
        }
        return text;
    }
};

TEST_P(CardPaymentRoad, TheCardNumberIsNowhereAfterCheckoutSubmissionAndPayment) {
    GatewaySimulator sim;
    sim.ServeInstallation(home_);
    Outcome demo = Backoffice("demo --home " + Quoted(home_.string()));
    ASSERT_EQ(demo.exitCode, 0) << demo.output;
    EXPECT_NE(demo.output.find("card ************1111 authorised at checkout"), std::string::npos) << demo.output;
    std::string id = AllocateCardOrder();
    Outcome pay = Backoffice("pay --home " + Quoted(home_.string()));
    ASSERT_EQ(pay.exitCode, 0) << pay.output;
    EXPECT_NE(pay.output.find("captured 1, refused 0, failed 0"), std::string::npos) << pay.output;
    EXPECT_EQ(LineStatus(id), 2);
    ASSERT_EQ(sim.Count("applications", "ics_bill"), 1u);

    // the number left the shop only towards the gateway: search everything the shop keeps
    std::string spaced = "4111 1111 1111 1111";
    std::string database = DatabaseText();
    EXPECT_NE(database.find("************1111"), std::string::npos);  // the search reads the logs
    EXPECT_EQ(database.find(kDemoCard), std::string::npos);
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home_)) {
        if (!entry.is_regular_file()) continue;
        std::string content = ReadFile(entry.path());
        EXPECT_EQ(content.find(kDemoCard), std::string::npos) << entry.path();
        EXPECT_EQ(content.find(spaced), std::string::npos) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 3u);  // at least the two configuration files and the card key
    EXPECT_EQ(sim.JournalText().find(kDemoCard), std::string::npos);
    EXPECT_EQ(pay.output.find(kDemoCard), std::string::npos);
    EXPECT_EQ(demo.output.find(kDemoCard), std::string::npos);
    // the key file is the owner's alone
    EXPECT_EQ(fs::status(home_ / "config" / "card.key").permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
}

TEST_P(CardPaymentRoad, TwoPaymentRunsAtOnceCaptureTheOrderOnce) {
    GatewaySimulator sim({.https = true, .delayMs = 3000, .latencyMs = 400});
    sim.ServeInstallation(home_);
    ASSERT_EQ(Backoffice("demo --home " + Quoted(home_.string())).exitCode, 0);
    std::string id = AllocateCardOrder();
    std::string command = "pay --home " + Quoted(home_.string()) + " --order " + id;
    auto first = std::async(std::launch::async, [&] { return Backoffice(command); });
    auto second = std::async(std::launch::async, [&] { return Backoffice(command); });
    Outcome a = first.get(), b = second.get();
    EXPECT_EQ(sim.Count("applications", "ics_bill"), 1u);
    EXPECT_EQ(LineStatus(id), 2);
    // one ran; the other found the run going (3) or, coming after it, nothing left to pay
    std::multiset<int> codes{a.exitCode, b.exitCode};
    EXPECT_TRUE(codes == std::multiset<int>({0, 3}) || codes == std::multiset<int>({0, 0})) << a.output << b.output;
}

TEST_P(CardPaymentRoad, ManualRefundAndResolveWorkFromTheCommandLine) {
    GatewaySimulator sim;
    sim.ServeInstallation(home_);
    ASSERT_EQ(Backoffice("demo --home " + Quoted(home_.string())).exitCode, 0);
    std::string id = AllocateCardOrder();
    // the timeline follows the order's status set above
    Sls_AppendOrderEvents(Open(), {{id, std::nullopt, 0, 4, "allocated", "test", "", ""}});
    ASSERT_EQ(Backoffice("pay --home " + Quoted(home_.string())).exitCode, 0);
    std::string capture = Open()->Execute("SELECT BILL_REQUEST_ID FROM BILLINGLOG")->Fields(0).Value().Text();
    Outcome tooMuch = Backoffice("pay refund --home " + Quoted(home_.string()) + " --request " + capture + " --amount 99999");
    EXPECT_EQ(tooMuch.exitCode, 1);
    EXPECT_NE(tooMuch.output.find("exceeds what capture"), std::string::npos) << tooMuch.output;
    Outcome refund = Backoffice("pay refund --home " + Quoted(home_.string()) + " --request " + capture + " --amount 10.50");
    EXPECT_EQ(refund.exitCode, 0) << refund.output;
    EXPECT_EQ(sim.Count("applications", "ics_credit"), 1u);
    // the timeline names the user who ran the command
    EXPECT_EQ(Open()
                  ->Execute("SELECT ACTOR FROM ORDEREVENT WHERE ORDERID = ? AND WHAT = 'refunded'", nullptr, -1,
                            {ole::Variant(id)})
                  ->Fields(0)
                  .Value()
                  .Text()
                  .rfind("operator ", 0),
              0u);
    Outcome resolve = Backoffice("pay resolve --home " + Quoted(home_.string()) + " --order " + id);
    EXPECT_EQ(resolve.exitCode, 1);
    EXPECT_NE(resolve.output.find("not in status 8"), std::string::npos) << resolve.output;
}

INSTANTIATE_DB_TEST(CardPaymentRoad);

}  // namespace
