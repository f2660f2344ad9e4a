// The allocation check and the line status run against the ERP simulator's
// business objects on loopback ("ow" integration objects and "bc" BOIs), with
// the gateway simulator for re-authorisations; and billing fulfilment after them.
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "erp_business_objects.h"
#include "ordexa/exchange/cc_order_process.h"
#include "ordexa/payment/cc_allocation.h"
#include "ordexa/payment/cc_order_status.h"
#include "ordexa/payment/order_payment_lock.h"
#include "payment_fixture.h"
#include "platform/backend/business_objects.h"

using namespace payment_test;
using testing_support::ErpBusinessObjects;

namespace {

class BackendStageTest : public PaymentTest {
protected:
    void SetUp() override {
        PaymentTest::SetUp();
        if (IsSkipped()) return;
        Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "Reallocation", "24", "Long");
        Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "BackendSalesOrderType BillingStepNumber", "7", "Long");
        Inst().SetSetting("GENERAL_PARAMETERS", "EnableFreight", "1", "Long");
        // BIS 1 "ow4" and BIS 2 "bc" export EDI; BIS 3 exports XML
        Exec("INSERT INTO BISINSTANCE (BISID, BACKENDTYPE) VALUES (1, 'ow4'), (2, 'bc'), (3, 'ow4')");
        Exec("INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (1, 'componentid', 'OW4-ORDERS'), "
             "(2, 'componentid', ''), (3, 'componentid', 'OW4-XML')");
        Exec("INSERT INTO ORDEREXPORTFILE (BISID, EXPORTMESSAGETYPE) VALUES (1, '0'), (2, '0'), (3, '1')");
        StartErp({});
    }
    void TearDown() override {
        erp_.reset();
        PaymentTest::TearDown();
    }

    // (Re)starts the simulated back end with a policy; every instance points at it.
    void StartErp(const std::vector<std::string>& options) {
        erp_.reset();
        erp_ = std::make_unique<ErpBusinessObjects>(options);
        PointAt(1, erp_->Url());
        PointAt(2, erp_->Url());
        PointAt(3, erp_->Url());
        for (const auto& [so, order] : book_) erp_->AddSalesOrder(so, order.first, order.second);
    }
    void PointAt(int bisid, const std::string& url) {
        Exec("DELETE FROM BISPROPERTY WHERE BISID = ? AND NAME = 'boiurl'", {Variant(bisid)});
        Exec("INSERT INTO BISPROPERTY (BISID, NAME, VALUE) VALUES (?, 'boiurl', ?)", {Variant(bisid), Variant(url)});
    }
    ErpBusinessObjects& Erp() { return *erp_; }

    // A confirmed card order of an instance, with a successful authorisation of the given age.
    std::string CardOrder(int bisid, const std::string& salesOrder, int lines, int lineStatus = 0,
                          double authorisationAgeHours = 1, const std::string& card = kCard) {
        std::string id = Basket();
        Order(id, std::vector<Line>(lines, Line{"100", "10", "18.9", "5", "1.05", lineStatus}));
        Exec("UPDATE ORDERHEADER SET BISID = ?, SALESORDERNR = ? WHERE ORDERID = ?",
             {Variant(bisid), Variant(salesOrder), Variant(id)});
        if (authorisationAgeHours >= 0)
            Exec("INSERT INTO AUTHORIZATIONLOG (MERCHANT_REF_NUMBER, CUSTOMER_CC_NUMBER, CUSTOMER_CC_SEALED, "
                 "CUSTOMER_CC_EXPMO, CUSTOMER_CC_EXPYR, CUSTOMER_CC_TYPE, AUTH_RCODE, AUTH_REQUEST_ID, AUTH_AUTH_AMOUNT, "
                 "CURRENCY, REQUEST_DATETIME, LOGSEQ) VALUES (?, '************1111', ?, '12', '2099', '001', 1, '42', "
                 "'500', 'EUR', ?, 1)",
                 {Variant(id), Variant(ordexa::SealCardNumber(card)),
                  Variant(ole::Date{ole::Date::Now().serial - authorisationAgeHours / 24.0})});
        book_.emplace_back(salesOrder, std::make_pair(id, lines));
        erp_->AddSalesOrder(salesOrder, id, lines);
        return id;
    }

    void RunStage(const std::string& progId) { Sls_GetComponent<ordexa::IBatchStage>(progId)->Run(); }
    bool Dated(const std::string& id, int line) {
        return !Value("SELECT ALLOCATIONDATE FROM ORDERLINE WHERE ORDERID = ? AND LINENR = ?",
                      {Variant(id), Variant(line)})
                    .IsNull();
    }
    // The business-object calls on record for an order: "<line> <object> <outcome>", by line.
    std::vector<std::string> Calls(const std::string& id) {
        std::vector<std::string> calls;
        auto rs = Rows("SELECT e.REFERENCE, e.DETAIL, e.OUTCOME FROM EXCHANGE e JOIN EXCHANGEORDER o ON o.EXCHANGEID = "
                       "e.EXCHANGEID WHERE o.ORDERID = ? AND e.KIND = 'business object call' ORDER BY e.REFERENCE",
                       {Variant(id)});
        for (; !rs->Eof(); rs->MoveNext())
            calls.push_back(rs->Fields(0).Value().Text() + " " + rs->Fields(1).Value().Text() + " " +
                            rs->Fields(2).Value().Text());
        return calls;
    }
    size_t Asked(const std::string& request) {
        size_t n = 0;
        for (const auto& line : Erp().Journal()) n += line == request;
        return n;
    }

private:
    std::unique_ptr<ErpBusinessObjects> erp_;
    std::vector<std::pair<std::string, std::pair<std::string, int>>> book_;
};

using AllocationTest = BackendStageTest;

TEST_P(AllocationTest, OwAndBcLinesAreAllocatedDatedAndCounted) {
    std::string ow = CardOrder(1, "SO1", 2), bc = CardOrder(2, "SO2", 1);
    std::string unconfirmed = CardOrder(1, "SO3", 1);
    Exec("UPDATE ORDERHEADER SET SALESORDERNR = NULL WHERE ORDERID = ?", {Variant(unconfirmed)});
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(LineStatuses(ow), (std::vector<int>{1, 1}));
    EXPECT_EQ(LineStatuses(bc), std::vector<int>{1});
    EXPECT_EQ(LineStatuses(unconfirmed), std::vector<int>{0});
    EXPECT_TRUE(Dated(ow, 2));
    EXPECT_EQ(Asked("Allocate SO1 2"), 1u);
    EXPECT_EQ(Asked("Allocation BOI SO2 1"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("3 order-Item(s) allocated and 0 order-Item(s) NOT allocated."), 1u);
    // nothing left to check: no count entry
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(Inst().LogEntriesWith("order-Item(s) allocated"), 1u);
}

TEST_P(AllocationTest, EveryRefusalIsLoggedWithItsOwnTextAndNeverTakesThePreviousLinesOutcome) {
    StartErp({"--refuse", "2:1", "--refuse", "3:2", "--refuse", "4:3", "--refuse", "5:4", "--refuse", "6:5",
              "--refuse", "7:9"});
    std::string ow = CardOrder(1, "SO1", 7), bc = CardOrder(2, "SO2", 4);
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(LineStatuses(ow), (std::vector<int>{1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(LineStatuses(bc), (std::vector<int>{1, 0, 0, 0}));
    for (int line = 1; line <= 7; ++line) EXPECT_TRUE(Dated(ow, line)) << line;
    for (const char* text : {"Committed quantity not okay.", "No order line found", "No salpar00 parameter data.",
                             "No invpar00 parameter data.", "No order line found after committing."})
        EXPECT_GE(Inst().LogEntriesWith(std::string("Backend returned error: '") + text + "'"), 1u) << text;
    EXPECT_EQ(Inst().LogEntriesWith(
                  "Ordexa.CCAllocation.Allocation :[backendorderid=SO1 lineid=4 bisid=1] Backend returned error: "
                  "'No salpar00 parameter data.'"),
              1u);
    EXPECT_EQ(Inst().LogEntriesWith("Backend returned error: 'Unknown error number 9'"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("2 order-Item(s) allocated and 9 order-Item(s) NOT allocated."), 1u);
}

TEST_P(AllocationTest, AReplyWithoutRecordAllocatesNothing) {
    StartErp({"--allocation", "no-record"});
    std::string bc = CardOrder(2, "SO2", 2), ow = CardOrder(1, "SO1", 1);
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(LineStatuses(bc), (std::vector<int>{0, 0}));
    EXPECT_EQ(LineStatuses(ow), std::vector<int>{0});
    EXPECT_TRUE(Dated(bc, 2));  // asked and answered: not allocated
    EXPECT_EQ(Inst().LogEntriesWith("Backend returned error: 'The back end's reply holds no RECORD'"), 2u);
    // the integration object has no error number to give: the line is left for the next batch
    EXPECT_FALSE(Dated(ow, 1));
    EXPECT_EQ(Inst().LogEntriesWith("has no field ErrorNumber"), 1u);
}

TEST_P(AllocationTest, AMalformedReplyOrADeadEndpointMarksNothingAndTheNextOrderGoesOn) {
    StartErp({"--allocation", "malformed"});
    std::string malformed = CardOrder(2, "SO2", 2);
    ErpBusinessObjects healthy;
    PointAt(1, healthy.Url());
    std::string fine = CardOrder(1, "SO1", 1);
    healthy.AddSalesOrder("SO1", fine, 1);
    std::string dead = CardOrder(3, "SO3", 1);
    Exec("UPDATE ORDEREXPORTFILE SET EXPORTMESSAGETYPE = '0' WHERE BISID = 3");
    PointAt(3, "http://127.0.0.1:1/boi");
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(LineStatuses(malformed), (std::vector<int>{0, 0}));
    EXPECT_FALSE(Dated(malformed, 1));
    EXPECT_EQ(LineStatuses(dead), std::vector<int>{0});
    EXPECT_FALSE(Dated(dead, 1));
    EXPECT_EQ(LineStatuses(fine), std::vector<int>{1});
    EXPECT_EQ(Inst().LogEntriesWith("Ordexa.CCAllocation.Allocation [backendorderid=SO2 lineid=1 bisid=2]"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("[backendorderid=SO2 lineid=2"), 0u);  // the order's other line waits
    EXPECT_EQ(Inst().LogEntriesWith("Ordexa.CCAllocation.Allocation [backendorderid=SO3 lineid=1 bisid=3]"), 1u);
}

TEST_P(AllocationTest, ALineIsCheckedAgainOnlyAfterTheReallocationInterval) {
    StartErp({"--refuse", "*:1"});
    std::string recent = CardOrder(1, "SO1", 1), old = CardOrder(1, "SO2", 1);
    ole::Date fiveHoursAgo{ole::Date::Now().serial - 5.0 / 24};
    Exec("UPDATE ORDERLINE SET ALLOCATIONDATE = ? WHERE ORDERID = ?", {Variant(fiveHoursAgo), Variant(recent)});
    Exec("UPDATE ORDERLINE SET ALLOCATIONDATE = ? WHERE ORDERID = ?",
         {Variant(ole::Date{ole::Date::Now().serial - 25.0 / 24}), Variant(old)});
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(Asked("Allocate SO1 1"), 0u);
    EXPECT_EQ(Asked("Allocate SO2 1"), 1u);
    auto date = Value("SELECT ALLOCATIONDATE FROM ORDERLINE WHERE ORDERID = ?", {Variant(recent)}).ToDate();
    EXPECT_NEAR(date.serial, fiveHoursAgo.serial, 1.0 / 86400);
    // the date is a timestamp: the line just checked is not due again
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(Asked("Allocate SO2 1"), 1u);
}

TEST_P(AllocationTest, AnExpiredAuthorisationIsRenewedForTheLinesNotYetCapturedBeforeAllocation) {
    std::string id = CardOrder(1, "SO1", 2, 0, 200);
    Exec("UPDATE ORDERLINE SET LINESTATUS = 2 WHERE ORDERID = ? AND LINENR = 1", {Variant(id)});
    RunStage("Ordexa.CCAllocation");
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0]["applications"], "ics_auth");
    EXPECT_EQ(journal[0]["amount"], "114.95");  // line 2 alone: line 1 is captured already
    EXPECT_EQ(LineStatuses(id), (std::vector<int>{2, 1}));
    EXPECT_EQ(OrderStatus(id), 4);
}

TEST_P(AllocationTest, ARenewalWaitsWhileTheOrdersPaymentIsRunning) {
    std::string id = CardOrder(1, "SO1", 1, 0, 200);
    auto payment = ordexa::OrderPaymentLock::TryAcquire(Inst().ConnectionString(), id);
    ASSERT_TRUE(payment);
    // another thread, as another process would: the lock belongs to this thread's session on PostgreSQL
    std::thread batch([&] { RunStage("Ordexa.CCAllocation"); });
    batch.join();
    EXPECT_TRUE(Sim().Journal().empty());
    EXPECT_EQ(Asked("Allocate SO1 1"), 0u);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{0});
    EXPECT_EQ(Inst().LogEntriesWith("is being run; its authorisation is renewed by a later batch"), 2u);
}

TEST_P(AllocationTest, ARefusedRenewalSkipsTheOrdersOtherLinesAndTheNextOrderIsStillChecked) {
    std::string refused = CardOrder(1, "SO7", 2, 0, 200, kDeclinedCard);
    std::string next = CardOrder(1, "SO8", 1);
    std::string unauthorised = CardOrder(1, "SO9", 1, 0, -1);
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(OrderStatus(refused), 7);
    EXPECT_EQ(Asked("Allocate SO7 1"), 1u);  // the line that found the refusal is still checked
    EXPECT_EQ(Asked("Allocate SO7 2"), 0u);
    EXPECT_EQ(LineStatuses(next), std::vector<int>{1});
    EXPECT_EQ(LineStatuses(unauthorised), std::vector<int>{0});
    EXPECT_EQ(Inst().LogEntriesWith("holds no successful authorisation"), 2u);  // the method's frame and the row's
}

TEST_P(AllocationTest, XmlInstancesAreOnlyDatedAndAMissingComponentIdStopsOnlyItsOrders) {
    std::string xml = CardOrder(3, "SO3", 1);
    Exec("UPDATE BISINSTANCE SET BACKENDTYPE = 'ow5' WHERE BISID = 2");
    std::string noComponent = CardOrder(2, "SO2", 1);
    std::string fine = CardOrder(1, "SO1", 1);
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(LineStatuses(xml), std::vector<int>{0});
    EXPECT_TRUE(Dated(xml, 1));
    EXPECT_EQ(Asked("Allocate SO3 1"), 0u);
    EXPECT_EQ(LineStatuses(noComponent), std::vector<int>{0});
    EXPECT_EQ(Inst().LogEntriesWith("Ordexa.CCAllocation: Property value 'componentid' not set for BIS Instance '2'"), 1u);
    EXPECT_EQ(LineStatuses(fine), std::vector<int>{1});
}

// The back end's "ow" allocation, played in process: it looks at the call's
// record while the call is in flight, then answers line 1 and leaves line 2
// without an answer.
class RecordWatchingAllocate : public qx::IBackendAllocate {
public:
    explicit RecordWatchingAllocate(std::string connectionString) : connectionString_(std::move(connectionString)) {}
    void InitializeAction(const std::string&, const std::string&, int32_t& status) override { status = 0; }
    void CloseAction() override {}
    void Allocate(const std::string&, int32_t lineNumber, int32_t& errorNumber) override {
        auto rs = Sls_GetDisconnectedRecordset(
            "SELECT OUTCOME FROM EXCHANGE WHERE KIND = 'business object call' AND REFERENCE = ?", connectionString_,
            {Variant(std::to_string(lineNumber))});
        seen.push_back(rs->Eof() ? "none" : rs->Fields(0).Value().Text());
        if (lineNumber == 2 && !answerAll)
            ole::Raise(qx::backend_err::BoiNoReply, "The back end did not answer: timed out", "test");
        errorNumber = 0;
    }
    std::vector<std::string> seen;  // the call's OUTCOME as the back end is asked
    bool answerAll = false;

private:
    std::string connectionString_;
};

TEST_P(AllocationTest, ACallIsOnRecordBeforeItLeavesAndOneWithoutAnswerReadsOutcomeUnknown) {
    auto fake = std::make_shared<RecordWatchingAllocate>(Inst().ConnectionString());
    ole::ComponentOverride allocate("VendaloBackendIntegration.Allocate", [fake] { return fake; });
    std::string id = CardOrder(1, "SO1", 3);
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(fake->seen, (std::vector<std::string>{"sent", "sent"}));
    EXPECT_EQ(Calls(id), (std::vector<std::string>{"1 Allocate allocated",
                                                    "2 Allocate: The back end did not answer: timed out outcome unknown",
                                                    "3 Allocate not sent"}));
    EXPECT_EQ(LineStatuses(id), (std::vector<int>{1, 0, 0}));
    EXPECT_FALSE(Dated(id, 2));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM EXCHANGE WHERE DURATIONMS IS NOT NULL AND BISID = 1").ToLong(), 2);
    // a run that ended between record and answer leaves "sent": the next run reads it as unknown
    Exec("UPDATE EXCHANGE SET OUTCOME = 'sent' WHERE REFERENCE = '3' AND KIND = 'business object call'");
    fake->answerAll = true;
    RunStage("Ordexa.CCAllocation");
    EXPECT_EQ(LineStatuses(id), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM EXCHANGE WHERE REFERENCE = '3' AND OUTCOME = 'outcome unknown'").ToLong(), 1);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM EXCHANGE WHERE OUTCOME = 'sent'").ToLong(), 0);
}

// The back end's "ow" allocation, played in process: while `crash` is set, the
// process dies with the first call out (as a batch killed mid-call does).
class CrashingAllocate : public qx::IBackendAllocate {
public:
    void InitializeAction(const std::string&, const std::string&, int32_t& status) override { status = 0; }
    void CloseAction() override {}
    void Allocate(const std::string&, int32_t, int32_t& errorNumber) override {
        if (crash) ::kill(::getpid(), SIGKILL);
        errorNumber = 0;
    }
    bool crash = true;
};

TEST_P(AllocationTest, ACrashWithAPageOnRecordLeavesTheCallOutUnknownAndTheOthersNotSent) {
    auto fake = std::make_shared<CrashingAllocate>();
    ole::ComponentOverride allocate("VendaloBackendIntegration.Allocate", [fake] { return fake; });
    Inst().SetSetting("OUTSIDE_CALLS", "OutsideCallsAtOnce", "1", "Long");  // the orders make one page
    std::vector<std::string> ids = {CardOrder(1, "SO1", 1), CardOrder(1, "SO2", 1), CardOrder(1, "SO3", 1)};
    std::sort(ids.begin(), ids.end());  // the order they are asked in
    ado::ClearConnectionPool();         // the child shares no connection with this process
    pid_t child = ::fork();
    if (child == 0) {
        RunStage("Ordexa.CCAllocation");
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    fake->crash = false;
    RunStage("Ordexa.CCAllocation");  // closes what the crash left, then asks again
    for (size_t i = 0; i < ids.size(); ++i) {
        std::vector<std::string> calls = Calls(ids[i]);
        std::sort(calls.begin(), calls.end());
        EXPECT_EQ(calls, (std::vector<std::string>{"1 Allocate allocated",
                                                   i == 0 ? "1 Allocate outcome unknown" : "1 Allocate not sent"}))
            << "order " << i;
        EXPECT_EQ(LineStatuses(ids[i]), std::vector<int>{1});
    }
}

INSTANTIATE_INSTALLATION_TEST(AllocationTest);

using OrderStatusTest = BackendStageTest;

TEST_P(OrderStatusTest, AcceptedLinesBecomeBackendBilledAndFulfilmentClosesOnlyFullyBilledOrders) {
    StartErp({"--reason", "2:20"});
    std::string ow = CardOrder(1, "SO1", 1, 2), bc = CardOrder(2, "SO2", 1, 2);
    std::string partly = CardOrder(1, "SO3", 2, 2);  // its line 2 is refused with reason 20
    RunStage("Ordexa.CCOrderStatus");
    EXPECT_EQ(LineStatuses(ow), std::vector<int>{3});
    EXPECT_EQ(LineStatuses(bc), std::vector<int>{3});
    EXPECT_EQ(LineStatuses(partly), (std::vector<int>{3, 2}));
    EXPECT_EQ(Asked("UpdateOrderStatus SO1 1"), 1u);
    EXPECT_EQ(Asked("OrderStatus BOI SO2 1"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("Backend Sales Order Line not yet acknowledged, Backend Sales Order Line Status "
                                    "cannot be updated, for SalesOrderNr.: SO3, LineNr.: 2 on BIS: 1"),
              1u);
    Sls_GetComponent<ordexa::ICCOrderProcess>("Ordexa.CCOrderProcess")->FulfillBilling();
    EXPECT_EQ(OrderStatus(bc), 5);
    EXPECT_EQ(OrderStatus(ow), 5);
    EXPECT_EQ(OrderStatus(partly), 4);
}

TEST_P(OrderStatusTest, Reason10IsAcceptedAndEveryOtherReasonIsANoticeWithItsText) {
    StartErp({"--reason", "1:10", "--reason", "2:0", "--reason", "3:30", "--reason", "4:40", "--reason", "5:50",
              "--reason", "6:60", "--reason", "7:100", "--reason", "8:77"});
    std::string id = CardOrder(1, "SO1", 8, 2);
    RunStage("Ordexa.CCOrderStatus");
    EXPECT_EQ(LineStatuses(id), (std::vector<int>{3, 2, 2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(Inst().LogEntriesWith("The orderstep (Vendalo parameter 'BackendSalesOrderType BillingStepNumber' 7) "
                                    "is not part of the ordertype in the Backend, Backend Sales Order Line Status "
                                    "cannot be updated, for SalesOrderNr.: SO1, LineNr.: 3 on BIS: 1"),
              1u);
    for (int code : {0, 40, 50, 60, 100})
        EXPECT_EQ(Inst().LogEntriesWith(ordexa::OrderStatusReasonText(code, 7)), 1u) << code;
    EXPECT_EQ(Inst().LogEntriesWith("Unknown reason code 77, for SalesOrderNr.: SO1, LineNr.: 8"), 1u);
}

TEST_P(OrderStatusTest, AnEmptyBillingStepNumberEndsTheRunBeforeAnyCall) {
    Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "BackendSalesOrderType BillingStepNumber", " ");
    std::string id = CardOrder(1, "SO1", 1, 2);
    RunStage("Ordexa.CCOrderStatus");
    EXPECT_TRUE(Erp().Journal().empty());
    EXPECT_EQ(LineStatuses(id), std::vector<int>{2});
    EXPECT_EQ(Inst().LogEntriesWith("Vendalo parameter 'BackendSalesOrderType BillingStepNumber' is not filled"), 1u);
}

TEST_P(OrderStatusTest, AMalformedReplyOrADeadEndpointMarksNothingAndTheNextOrderGoesOn) {
    StartErp({"--status", "malformed"});
    std::string malformed = CardOrder(2, "SO2", 2, 2);
    ErpBusinessObjects healthy;
    PointAt(1, healthy.Url());
    std::string fine = CardOrder(1, "SO1", 1, 2);
    healthy.AddSalesOrder("SO1", fine, 1);
    Exec("UPDATE BISINSTANCE SET BACKENDTYPE = 'gr' WHERE BISID = 3");
    PointAt(3, "http://127.0.0.1:1/boi");
    std::string dead = CardOrder(3, "SO3", 1, 2);
    RunStage("Ordexa.CCOrderStatus");
    EXPECT_EQ(LineStatuses(malformed), (std::vector<int>{2, 2}));
    EXPECT_EQ(LineStatuses(dead), std::vector<int>{2});
    EXPECT_EQ(LineStatuses(fine), std::vector<int>{3});
    EXPECT_EQ(Inst().LogEntriesWith("Backend returned no data due to: the reply is no XML document"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("UpdateOrderStatusBOI('" + dead + "', '1) on BIS '3': Backend returned error:"), 1u);
}

// A reply inside another root element, or with a second root after it, is no
// answer, however well its records read: no line is allocated or billed on it.
TEST_P(OrderStatusTest, AReplyThatIsNoReplyDocumentAllocatesAndBillsNothing) {
    for (std::string mode : {"wrapped", "second-root"}) {
        StartErp({"--allocation", mode, "--status", mode});
        std::string bc = CardOrder(2, "SO-BC-" + mode, 1), ow = CardOrder(1, "SO-OW-" + mode, 1);
        std::string captured = CardOrder(2, "SO-CAP-" + mode, 1, 2);
        RunStage("Ordexa.CCAllocation");
        RunStage("Ordexa.CCOrderStatus");
        EXPECT_EQ(LineStatuses(bc), std::vector<int>{0}) << mode;
        EXPECT_EQ(LineStatuses(ow), std::vector<int>{0}) << mode;
        EXPECT_EQ(LineStatuses(captured), std::vector<int>{2}) << mode;
    }
    EXPECT_GE(Inst().LogEntriesWith("is no BOIREPLY document (its root element is <X>)"), 3u);
    EXPECT_GE(Inst().LogEntriesWith("holds 2 root elements"), 3u);
}

// The back end's "ow" order object, played in process: each call takes a
// while, and the object notes which calls were in flight together.
class OverlapWatchingOrder : public qx::IBackendOrder {
public:
    void InitializeAction(const std::string&, const std::string&, int32_t& status) override { status = 0; }
    void CloseAction() override {}
    void UpdateOrderStatus(const std::string& salesOrder, int32_t line, int16_t, int16_t, int32_t& success,
                           int32_t& reasonCode) override {
        {
            std::lock_guard lock(mutex_);
            if (inFlight_.count(salesOrder)) ordersOverlapped = true;  // two lines of one order at once
            inFlight_.insert(salesOrder);
            mostAtOnce = std::max(mostAtOnce, inFlight_.size());
            calls[salesOrder].push_back(line);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        {
            std::lock_guard lock(mutex_);
            inFlight_.erase(salesOrder);
        }
        success = 1;
        reasonCode = 0;
    }
    std::map<std::string, std::vector<int>> calls;  // per sales order, its lines in the order asked
    size_t mostAtOnce = 0;
    bool ordersOverlapped = false;

private:
    std::mutex mutex_;
    std::multiset<std::string> inFlight_;
};

TEST_P(OrderStatusTest, OrdersAreReportedSideBySideEachWithItsLinesInTurn) {
    Inst().SetSetting("OUTSIDE_CALLS", "OutsideCallsAtOnce", "4", "Long");
    auto fake = std::make_shared<OverlapWatchingOrder>();
    ole::ComponentOverride order("VendaloBackendIntegration.Order", [fake] { return fake; });
    std::vector<std::string> ids;
    for (int i = 0; i < 6; ++i) ids.push_back(CardOrder(1, "SO" + std::to_string(i), 3, 2));
    RunStage("Ordexa.CCOrderStatus");
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(fake->calls["SO" + std::to_string(i)], (std::vector<int>{1, 2, 3})) << i;
        EXPECT_EQ(LineStatuses(ids[i]), (std::vector<int>{3, 3, 3})) << i;
        EXPECT_EQ(Calls(ids[i]).size(), 3u);
    }
    EXPECT_FALSE(fake->ordersOverlapped);
    EXPECT_GT(fake->mostAtOnce, 1u);
    EXPECT_LE(fake->mostAtOnce, 4u);
}

// The back end's "ow" order object, played in process: while `crash` is set,
// the process dies with the first call out.
class CrashingOrder : public qx::IBackendOrder {
public:
    void InitializeAction(const std::string&, const std::string&, int32_t& status) override { status = 0; }
    void CloseAction() override {}
    void UpdateOrderStatus(const std::string&, int32_t, int16_t, int16_t, int32_t& success, int32_t& reasonCode) override {
        if (crash) ::kill(::getpid(), SIGKILL);
        success = 1;
        reasonCode = 0;
    }
    bool crash = true;
};

TEST_P(OrderStatusTest, ACrashWithAPageOnRecordLeavesTheCallOutUnknownAndTheOthersNotSent) {
    auto fake = std::make_shared<CrashingOrder>();
    ole::ComponentOverride order("VendaloBackendIntegration.Order", [fake] { return fake; });
    Inst().SetSetting("OUTSIDE_CALLS", "OutsideCallsAtOnce", "1", "Long");  // the orders make one page
    std::vector<std::string> ids = {CardOrder(1, "SO1", 1, 2), CardOrder(1, "SO2", 1, 2), CardOrder(1, "SO3", 1, 2)};
    std::sort(ids.begin(), ids.end());  // the order they are reported in
    ado::ClearConnectionPool();         // the child shares no connection with this process
    pid_t child = ::fork();
    if (child == 0) {
        RunStage("Ordexa.CCOrderStatus");
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    fake->crash = false;
    RunStage("Ordexa.CCOrderStatus");  // closes what the crash left, then reports again
    for (size_t i = 0; i < ids.size(); ++i) {
        std::vector<std::string> calls = Calls(ids[i]);
        std::sort(calls.begin(), calls.end());
        EXPECT_EQ(calls, (std::vector<std::string>{"1 UpdateOrderStatus billed", i == 0 ? "1 UpdateOrderStatus outcome unknown"
                                                                                       : "1 UpdateOrderStatus not sent"}))
            << "order " << i;
        EXPECT_EQ(LineStatuses(ids[i]), std::vector<int>{3});
    }
}

INSTANTIATE_INSTALLATION_TEST(OrderStatusTest);

}  // namespace
