// The whole road of a card order: `backoffice init --demo` and `demo` (the card
// order is authorised at checkout), the batch exports it, the simulated back
// end confirms it, the batch has its lines allocated by the back end's business
// objects, `backoffice pay` captures them at the gateway simulator, and the
// batch reports them billed to the back end and closes the order: status 5.
// The batch runs in this process, with the requisition broker's stage
// replaced by one that does nothing (the broker has no part in a card order).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "all/register_all.h"
#include "demo_installation.h"
#include "erp_business_objects.h"
#include "gateway_simulator.h"
#include "order_timeline.h"
#include "ordexa/batch_progress.h"
#include "ordexa/exchange/batch_stage.h"
#include "ordexa/exchange/cc_order_process.h"
#include "platform/automation/component.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "shared/lib_sales.h"
#include "test_db.h"

using namespace testing_support;
using ole::Variant;
namespace fs = std::filesystem;

namespace {

class NoBroker : public ordexa::IBatchStage {
public:
    void Run() override {}
};

struct Counts : ordexa::BatchProgress {
    int32_t allocated = 0, notAllocated = 0, billed = 0, closed = 0;
    std::string stopped;
    void LinesAllocated(int32_t a, int32_t n) override { allocated += a, notAllocated += n; }
    void LinesBilled(int32_t lines) override { billed += lines; }
    void OrdersClosed(int32_t orders) override { closed += orders; }
    void BatchStopped(const std::string& reason) override { stopped = reason; }
};

class CardOrderToPaid : public DemoInstallation {
protected:
    void SetUp() override {
        DemoInstallation::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        RegisterAllComponents();
        setenv("VENDALO_HOME", home_.c_str(), 1);
        Sls_ResetThreadState();
    }
    void TearDown() override {
        unsetenv("VENDALO_HOME");
        Sls_ResetThreadState();
        DemoInstallation::TearDown();
    }

    Variant Value(const std::string& sql, const std::vector<Variant>& params = {}) {
        auto rs = Open()->Execute(sql, nullptr, -1, params);
        return rs->Eof() ? Variant() : rs->Fields(0).Value();
    }

    // A batch in this process, with what it reported.
    Counts InProcessBatch() {
        Counts counts;
        ole::ComponentOverride broker("Ordexa.Reqlink", [] { return std::make_shared<NoBroker>(); });
        ordexa::SetBatchProgress(&counts);
        Sls_GetComponent<ordexa::ICCOrderProcess>("Ordexa.CCOrderProcess")->Run();
        ordexa::SetBatchProgress(nullptr);
        EXPECT_EQ(counts.stopped, "");
        return counts;
    }

    void Cycle(const char* tree, const char* separator, bool handshake) {
        std::string base = (home_ / tree).string();
        Outcome outcome = ErpSimulator(std::string("cycle") + (handshake ? " --handshake" : "") + " --export " +
                                    Quoted(base + "/out/orders.edi") + " --confirm " + Quoted(base + "/in/confirm.edi") +
                                    " --archive " + Quoted(base + "/archive") + " --separator '" + separator + "'");
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
    }
};

TEST_P(CardOrderToPaid, TheCardOrderTravelsFromCheckoutToPaid) {
    GatewaySimulator gateway;
    gateway.ServeInstallation(home_);
    ErpBusinessObjects erp({}, {home_ / "edi" / "archive", home_ / "edi2" / "archive", home_ / "xml" / "archive"});
    Open()->Execute("UPDATE BISPROPERTY SET VALUE = ? WHERE NAME = 'boiurl'", nullptr, -1, {Variant(erp.Url())});
    ASSERT_EQ(Value("SELECT COUNT(*) FROM BISPROPERTY WHERE NAME = 'boiurl'").ToLong(), 3);

    Outcome demo = Backoffice("demo --home " + Quoted(home_.string()));
    ASSERT_EQ(demo.exitCode, 0) << demo.output;
    std::string id = Value("SELECT ORDERID FROM ORDERHEADER WHERE WEBPAYMENTMETHOD = 2").Text();
    ASSERT_FALSE(id.empty());
    int32_t lines = Value("SELECT COUNT(*) FROM ORDERLINE WHERE ORDERID = ?", {Variant(id)}).ToLong();
    ASSERT_GT(lines, 0);
    auto status = [&] { return Value("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", {Variant(id)}).ToLong(); };
    auto lowestLine = [&] {
        return Value("SELECT MIN(LINESTATUS) FROM ORDERLINE WHERE ORDERID = ?", {Variant(id)}).ToLong();
    };

    ASSERT_EQ(ErpSimulator("prepare --export " + Quoted((home_ / "edi2" / "out" / "orders.edi").string())).exitCode, 0);
    InProcessBatch();
    EXPECT_EQ(status(), 1);
    Cycle("edi", ",", false);
    Cycle("edi2", ";", true);

    Counts allocation = InProcessBatch();
    EXPECT_EQ(status(), 4);
    EXPECT_EQ(lowestLine(), 1);
    EXPECT_EQ(allocation.allocated, lines);
    EXPECT_EQ(allocation.notAllocated, 0);

    Outcome pay = Backoffice("pay --home " + Quoted(home_.string()));
    ASSERT_EQ(pay.exitCode, 0) << pay.output;
    EXPECT_EQ(lowestLine(), 2);
    EXPECT_EQ(gateway.Count("applications", "ics_bill"), 1u);

    Counts billing = InProcessBatch();
    EXPECT_EQ(billing.billed, lines);
    EXPECT_EQ(billing.closed, 1);
    EXPECT_EQ(lowestLine(), 3);
    EXPECT_EQ(status(), 5);
    EXPECT_GE(erp.Journal().size(), static_cast<size_t>(2 * lines));

    // each step of the road is on the order's timeline, in the transaction of its status
    auto timelines = ExpectEveryStatusHasItsEvent(*Open());
    const auto& timeline = timelines[id];
    std::vector<std::string> header, line1;
    for (const auto& event : timeline) {
        if (event.rfind("order: ", 0) == 0) header.push_back(event.substr(7));
        if (event.rfind("line 1: ", 0) == 0) line1.push_back(event.substr(8));
    }
    EXPECT_EQ(header, (std::vector<std::string>{"authorised at checkout", "submitted", "exported", "confirmed", "paid"}));
    EXPECT_EQ(line1, (std::vector<std::string>{"submitted", "allocated", "captured", "billing reported"}));
    // a payment's event leads to its gateway request
    std::string capture =
        Value("SELECT CLIENT_REQUEST_ID FROM GATEWAYREQUEST WHERE MERCHANT_REF_NUMBER = ? AND OPERATION = 'CAPTURE'",
              {Variant(id)})
            .Text();
    auto actors = Open()->Execute("SELECT WHAT, ACTOR, REFERENCE FROM ORDEREVENT WHERE ORDERID = ? AND LINENR = 1",
                                  nullptr, -1, {Variant(id)});
    for (; !actors->Eof(); actors->MoveNext()) {
        if (actors->Fields(0).Value().Text() != "captured") continue;
        EXPECT_EQ(actors->Fields(1).Value().Text().rfind("payment run ", 0), 0u) << actors->Fields(1).Value().Text();
        EXPECT_EQ(actors->Fields(2).Value().Text(), capture);
    }
}

INSTANTIATE_DB_TEST(CardOrderToPaid);

}  // namespace
