// The payment run of one order against the gateway simulator over HTTPS: the
// three ages of the authorisation, refusals, lost replies, concurrent runs,
// refunds, and the key that opens the sealed card numbers.
#include <algorithm>
#include <clocale>
#include <filesystem>
#include <locale>
#include <map>
#include <set>
#include <thread>

#include "ordexa/payment/card_data_retention.h"
#include "ordexa/payment/gateway_requests.h"
#include "ordexa/payment/payment_logs.h"
#include "ordexa/payment/payment_resolution.h"
#include "ordexa/payment/payment_run.h"
#include "payment_fixture.h"

using namespace payment_test;
using ordexa::PaymentOutcome;

namespace {

class PaymentRunTest : public PaymentTest {
protected:
    // A basket authorised at checkout and submitted as an order whose lines are allocated.
    std::string AuthorizedOrder(const std::vector<Line>& lines, const std::string& total = "500") {
        std::string id = Basket(total);
        EXPECT_EQ(Checkout(id).status, ordexa::CheckoutAuthorization::Status::Authorized);
        Order(id, lines);
        return id;
    }
    std::string CheckoutRequestId(const std::string& id) {
        return Value("SELECT AUTH_REQUEST_ID FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? ORDER BY LOGSEQ",
                     {Variant(id)})
            .Text();
    }
    std::map<std::string, std::string> LastRequest() { return Sim().Journal().back(); }
};

TEST_P(PaymentRunTest, YoungAuthorisationIsCapturedAndLoggedColumnByColumn) {
    std::string id = AuthorizedOrder({Line{}, Line{"20", "0", "0", "0", "0", 0}});
    std::string authId = CheckoutRequestId(id);
    PaymentOutcome outcome;
    ASSERT_TRUE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::Captured);
    EXPECT_EQ(LineStatuses(id), (std::vector<int>{2, 0}));
    EXPECT_EQ(OrderStatus(id), 4);
    // capture of line 1 against the checkout authorisation, then a renewed
    // authorisation for the line still to come
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[1]["applications"], "ics_bill");
    EXPECT_EQ(journal[1]["auth_request_id"], authId);
    EXPECT_EQ(journal[1]["amount"], "114.95");
    EXPECT_EQ(journal[2]["applications"], "ics_auth");
    EXPECT_EQ(journal[2]["amount"], "20");

    auto rs = Rows("SELECT * FROM BILLINGLOG");
    ASSERT_EQ(rs->RecordCount(), 1);
    auto col = [&](const char* name) { return rs->Fields(name).Value().Text(); };
    EXPECT_EQ(col("ICS_RMSG"), "Request was processed successfully.");
    EXPECT_EQ(col("BILL_BILL_AMOUNT"), "114.95");
    EXPECT_EQ(col("ICS_RFLAG"), "SOK");
    EXPECT_EQ(col("BILL_RFLAG"), "SOK");
    EXPECT_EQ(col("BILL_RMSG"), "Request was processed successfully.");
    EXPECT_EQ(col("ICS_RCODE"), "1");
    EXPECT_EQ(col("BILL_RCODE"), "1");
    EXPECT_FALSE(col("BILL_BILL_REQUEST_TIME").empty());
    EXPECT_EQ(col("BILL_REQUEST_ID"), journal[1]["request_id"]);
    EXPECT_EQ(col("MERCHANT_REF_NUMBER"), id);
    EXPECT_EQ(col("CURRENCY"), "EUR");
    EXPECT_EQ(col("OFFERS"), "0=quantity:1^amount:114.95");
    EXPECT_EQ(col("AUTH_REQUEST_ID"), authId);
    EXPECT_EQ(col("ICS_APPLICATIONS"), "ics_bill");
    EXPECT_EQ(col("CLIENT_LIB_VERSION"), "backoffice-gateway-1.0");
    EXPECT_TRUE(rs->Fields("REQUEST_DATETIME").Value().IsDate());
    EXPECT_GT(rs->Fields("LOGSEQ").Value().ToLongLong(), 0);
    EXPECT_EQ(col("CLIENT_REQUEST_ID"), journal[1]["client_request_id"]);
    // the renewal authorised the unbilled line, with the tax total including freight tax
    auto renewal = Rows("SELECT TAX_TOTAL, SHIPPING_TOTAL, OFFERS, AUTH_RCODE, CUSTOMER_CC_NUMBER FROM AUTHORIZATIONLOG "
                        "ORDER BY LOGSEQ DESC");
    EXPECT_EQ(renewal->Fields("OFFERS").Value().Text(), "0=quantity:1^amount:20");
    EXPECT_EQ(renewal->Fields("AUTH_RCODE").Value().ToLong(), 1);
    EXPECT_EQ(renewal->Fields("CUSTOMER_CC_NUMBER").Value().Text(), "************1111");
    // nothing due any more: a second run sends nothing
    EXPECT_FALSE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::Nothing);
    EXPECT_EQ(Sim().Journal().size(), 3u);
}

// A locale whose numbers have a decimal comma, for the whole process.
struct DecimalComma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST_P(PaymentRunTest, AmountsTravelRoundedToTheCurrencyWithADecimalPointWhateverTheLocale) {
    std::string id = AuthorizedOrder({Line{"99.995", "0", "0.004", "0", "0"}, Line{"1234.5", "0.25", "0", "0", "0"}},
                                     "5000");
    std::locale previous = std::locale::global(std::locale(std::locale::classic(), new DecimalComma));
    setlocale(LC_NUMERIC, "de_DE.UTF-8");  // where the machine has it
    bool captured = Run(id);
    std::locale::global(previous);
    setlocale(LC_NUMERIC, "C");
    ASSERT_TRUE(captured);
    // 99.995 rounds (halves to even) to 100.00, plus 0.004 of tax is 100.004: "100"
    EXPECT_EQ(Value("SELECT OFFERS FROM BILLINGLOG").Text(), "0=quantity:1^amount:100|1=quantity:1^amount:1234.25");
    EXPECT_EQ(LastRequest()["amount"], "1334.25");
}

TEST_P(PaymentRunTest, AuthorisationBetweenSoftAndHardIsRenewedAndCapturedInOneRequest) {
    std::string id = AuthorizedOrder({Line{}});
    AgeAuthorizations(id, 30);
    ASSERT_TRUE(Run(id));
    auto last = LastRequest();
    EXPECT_EQ(last["applications"], "ics_auth, ics_bill");
    EXPECT_EQ(last["amount"], "114.95");
    EXPECT_EQ(LineStatuses(id), std::vector<int>{2});
    // the capture's log names the authorisation of the same request
    EXPECT_EQ(Value("SELECT AUTH_REQUEST_ID FROM BILLINGLOG").Text(), last["request_id"]);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM AUTHORIZATIONLOG WHERE AUTH_REQUEST_ID = ?", {Variant(last["request_id"])}).ToLong(), 1);
}

TEST_P(PaymentRunTest, ExpiredAuthorisationIsReplacedAndTheCaptureUsesTheNewOne) {
    std::string id = AuthorizedOrder({Line{}});
    std::string expired = CheckoutRequestId(id);
    AgeAuthorizations(id, 80);
    ASSERT_TRUE(Run(id));
    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[1]["applications"], "ics_auth");
    EXPECT_EQ(journal[2]["applications"], "ics_bill");
    EXPECT_EQ(journal[2]["auth_request_id"], journal[1]["request_id"]);
    EXPECT_NE(journal[2]["auth_request_id"], expired);
    EXPECT_EQ(Value("SELECT AUTH_REQUEST_ID FROM BILLINGLOG").Text(), journal[1]["request_id"]);
}

TEST_P(PaymentRunTest, DeclinedReauthorisationStopsTheOrderAt7WithoutCapture) {
    std::string id = Basket();
    Order(id, {Line{}});
    // an old authorisation of a card that the issuer now declines
    Exec("INSERT INTO AUTHORIZATIONLOG (MERCHANT_REF_NUMBER, CUSTOMER_CC_NUMBER, CUSTOMER_CC_SEALED, CUSTOMER_CC_EXPMO, "
         "CUSTOMER_CC_EXPYR, AUTH_RCODE, AUTH_REQUEST_ID, AUTH_AUTH_AMOUNT, CURRENCY, REQUEST_DATETIME, LOGSEQ) "
         "VALUES (?, '************0002', ?, '12', '2099', 1, '42', '114.95', 'EUR', ?, 1)",
         {Variant(id), Variant(ordexa::SealCardNumber(kDeclinedCard)), Variant(ole::Date{ole::Date::Now().serial - 4})});
    PaymentOutcome outcome;
    EXPECT_FALSE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::Refused);
    EXPECT_EQ(OrderStatus(id), 7);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{1});
    EXPECT_EQ(Captures(), 0u);
    EXPECT_EQ(Inst().LogEntriesWith("ccPayment.doAuthorize"), 1u);
}

TEST_P(PaymentRunTest, RefusedCaptureMarksLinesAndOrderAndIsNotSentAgain) {
    std::string id = AuthorizedOrder({Line{"100.13", "0", "0", "0", "0"}});
    PaymentOutcome outcome;
    EXPECT_FALSE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::Refused);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{4});
    EXPECT_EQ(OrderStatus(id), 8);
    EXPECT_EQ(Value("SELECT ICS_RCODE FROM BILLINGLOG").Text(), "0");
    size_t sent = Sim().Journal().size();
    EXPECT_FALSE(Run(id));
    EXPECT_EQ(Sim().Journal().size(), sent);
}

TEST_P(PaymentRunTest, GarbledReplyLeavesTheOrderForAnOperatorAndResolveAsksTheGateway) {
    std::string id = AuthorizedOrder({Line{"100.77", "0", "0", "0", "0"}});
    PaymentOutcome outcome;
    EXPECT_FALSE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::OutcomeUnknown);
    EXPECT_EQ(OrderStatus(id), 8);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{1});
    std::string clientRequestId = Sim().Journal().back()["client_request_id"];
    auto unknown = Rows("SELECT ICS_RCODE, ICS_RMSG, CLIENT_REQUEST_ID FROM BILLINGLOG");
    EXPECT_TRUE(unknown->Fields(0).Value().IsNull());
    EXPECT_EQ(unknown->Fields(2).Value().Text(), clientRequestId);
    EXPECT_EQ(Inst().LogEntriesWith("capture request " + clientRequestId), 1u);
    EXPECT_FALSE(Run(id));
    EXPECT_EQ(Captures(), 1u);  // never sent again by itself

    auto resolution = ordexa::ResolveUnknownOutcome(id, std::nullopt, "");
    EXPECT_TRUE(resolution.gatewayAnswered);
    EXPECT_TRUE(resolution.done);
    EXPECT_EQ(resolution.requestId, Sim().Journal()[1]["request_id"]);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{2});
    EXPECT_EQ(OrderStatus(id), 4);
    EXPECT_EQ(Value("SELECT BILL_REQUEST_ID FROM BILLINGLOG WHERE ICS_RCODE = '1'").Text(), resolution.requestId);
    // resolved once: nothing more to resolve
    EXPECT_EQ(testing_support::ErrorOf([&] { ordexa::ResolveUnknownOutcome(id, std::nullopt, ""); }),
              ordexa::kNothingToResolve);
}

TEST_P(PaymentRunTest, TimeOutDuringCaptureIsNeverRetriedAndAStatedOutcomeMustMatchTheGateway) {
    std::string id = AuthorizedOrder({Line{"100.88", "0", "0", "0", "0"}});
    PaymentOutcome outcome;
    EXPECT_FALSE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::OutcomeUnknown);
    EXPECT_EQ(OrderStatus(id), 8);
    EXPECT_FALSE(Run(id));
    EXPECT_EQ(Captures(), 1u);
    // the operator says it was not captured; the gateway knows better
    EXPECT_EQ(testing_support::ErrorOf([&] { ordexa::ResolveUnknownOutcome(id, false, ""); }), ordexa::kResolutionNeeded);
    EXPECT_EQ(OrderStatus(id), 8);
    EXPECT_TRUE(ordexa::ResolveUnknownOutcome(id, true, "").done);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{2});
}

TEST_P(PaymentRunTest, WhereTheGatewayCannotTellTheOperatorsStatementDecides) {
    std::string id = AuthorizedOrder({Line{"100.77", "0", "0", "0", "0"}});
    Run(id);
    Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "CyberSource Serverhost", "https://127.0.0.1:1/ics");
    EXPECT_EQ(testing_support::ErrorOf([&] { ordexa::ResolveUnknownOutcome(id, std::nullopt, ""); }),
              ordexa::kResolutionNeeded);
    auto resolution = ordexa::ResolveUnknownOutcome(id, false, "");
    EXPECT_FALSE(resolution.gatewayAnswered);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{1});  // the next run captures them
    EXPECT_EQ(OrderStatus(id), 4);
}

TEST_P(PaymentRunTest, AnOlderVersionsCaptureOfUnknownOutcomeIsStillResolved) {
    std::string id = AuthorizedOrder({Line{"100.77", "0", "0", "0", "0"}});
    Run(id);
    Exec("DELETE FROM GATEWAYREQUEST");  // what an older version left: the order in 8, BILLINGLOG without ICS_RCODE
    auto resolution = ordexa::ResolveUnknownOutcome(id, std::nullopt, "");
    EXPECT_TRUE(resolution.gatewayAnswered);
    EXPECT_TRUE(resolution.done);
    EXPECT_EQ(LineStatuses(id), std::vector<int>{2});
    EXPECT_EQ(OrderStatus(id), 4);
}

// A request whose outcome is unknown (here as a crash leaves it: recorded as
// sent, nothing more) holds every sender of its order until it is resolved.
TEST_P(PaymentRunTest, AnOpenRequestStopsEverySenderOfItsOrderUntilResolved) {
    std::string id = AuthorizedOrder({Line{}, Line{"20", "0", "0", "0", "0", 0}});
    ASSERT_TRUE(Run(id));
    std::string capture = Value("SELECT BILL_REQUEST_ID FROM BILLINGLOG").Text();
    Exec("UPDATE ORDERLINE SET LINESTATUS = 1 WHERE ORDERID = ? AND LINENR = 2", {Variant(id)});
    Exec("INSERT INTO GATEWAYREQUEST (REQUESTSEQ, MERCHANT_REF_NUMBER, OPERATION, LINENRS, AMOUNT, CURRENCY, "
         "CLIENT_REQUEST_ID, SENT_DATETIME, STATE) VALUES (999, ?, 'CAPTURE', '2', '20', 'EUR', 'lost-request', ?, 'SENT')",
         {Variant(id), Variant(ole::Date{ole::Date::Now().serial - 1.0 / 24})});
    size_t sent = Sim().Journal().size();

    PaymentOutcome outcome;
    EXPECT_FALSE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::OutcomeUnknown);
    EXPECT_EQ(OrderStatus(id), 8);
    EXPECT_EQ(Inst().LogEntriesWith("request lost-request of " + id), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("backoffice pay resolve --order " + id), 1u);
    auto payment = Sls_GetComponent<ordexa::ICCPayment>("Ordexa.CCPayment");
    EXPECT_EQ(testing_support::ErrorOf([&] { payment->manualAuthorize(CheckoutRequestId(id)); }),
              ordexa::kOutcomeUnknownPending);
    EXPECT_EQ(testing_support::ErrorOf([&] { payment->manualRefund(capture, Variant("10")); }),
              ordexa::kOutcomeUnknownPending);
    EXPECT_EQ(Sim().Journal().size(), sent);

    // the gateway never had it: not captured, the line waits at 1, the order is paid again
    auto resolution = ordexa::ResolveUnknownOutcome(id, std::nullopt, "");
    EXPECT_TRUE(resolution.gatewayAnswered);
    EXPECT_FALSE(resolution.done);
    EXPECT_EQ(resolution.lines, 1);
    EXPECT_EQ(OrderStatus(id), 4);
    EXPECT_EQ(Value("SELECT STATE FROM GATEWAYREQUEST WHERE REQUESTSEQ = 999").Text(), "RESOLVED");
    ASSERT_TRUE(Run(id));
    EXPECT_EQ(LineStatuses(id), (std::vector<int>{2, 2}));
}

TEST_P(PaymentRunTest, TwoRunsOfOneOrderAtOnceCaptureOnce) {
    StartSimulator({.https = true, .delayMs = 3000, .latencyMs = 300});
    std::string id = AuthorizedOrder({Line{}});
    PaymentOutcome outcomes[2];
    auto run = [&](int i) {
        auto payment = Sls_GetComponent<ordexa::ICCPayment>("Ordexa.CCPayment");
        payment->Run(id);
        outcomes[i] = payment->LastOutcome();
        ado::ClearConnectionPool();
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    EXPECT_EQ(Captures(), 1u);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM BILLINGLOG").ToLong(), 1);
    EXPECT_TRUE((outcomes[0] == PaymentOutcome::Captured) != (outcomes[1] == PaymentOutcome::Captured));
}

// The run pays orders side by side (OutsideCallsAtOnce, 8 by default) against a
// gateway that takes its time: each order's requests still reach the gateway in
// their order, its capture exactly once, and every order ends as it would alone.
TEST_P(PaymentRunTest, OrdersPaidSideBySideAreEachCapturedOnceAndInTheirOrder) {
    StartSimulator({.https = true, .delayMs = 3000, .latencyMs = 50});
    // by age: capture; capture and renewal of the line to come; both in one; a new authorisation first
    const std::vector<std::string> expected[] = {
        {"ics_bill"}, {"ics_bill", "ics_auth"}, {"ics_auth, ics_bill"}, {"ics_auth", "ics_bill", "ics_auth"}};
    std::vector<std::string> ids;
    for (int i = 0; i < 16; ++i) {
        std::vector<Line> lines{Line{}};
        if (i % 2) lines.push_back(Line{"20", "0", "0", "0", "0", 0});
        ids.push_back(AuthorizedOrder(lines));
        if (i % 4 >= 2) AgeAuthorizations(ids.back(), i % 4 == 2 ? 30 : 80);
    }
    size_t checkouts = Sim().Journal().size();
    auto summary = ordexa::PayOrders(ordexa::DueOrders());
    EXPECT_EQ(summary.captured, 16);
    EXPECT_EQ(summary.failed + summary.refused + summary.busy + summary.nothing, 0);
    auto journal = Sim().Journal();
    bool interleaved = false;  // an order's requests came between two of another's: they were under way together
    for (size_t o = 0; o < ids.size(); ++o) {
        std::vector<std::string> applications;
        size_t first = journal.size(), last = 0;
        for (size_t i = checkouts; i < journal.size(); ++i) {
            if (journal[i]["merchant_ref_number"] != ids[o]) continue;
            EXPECT_EQ(journal[i]["outcome"], "ok") << ids[o];
            applications.push_back(journal[i]["applications"]);
            first = std::min(first, i), last = i;
        }
        EXPECT_EQ(applications, expected[o % 4]) << ids[o];
        interleaved = interleaved || last + 1 - first > applications.size();
        EXPECT_EQ(OrderStatus(ids[o]), 4) << ids[o];
        EXPECT_EQ(LineStatuses(ids[o])[0], 2) << ids[o];
    }
    EXPECT_TRUE(interleaved);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM BILLINGLOG WHERE ICS_RCODE = '1'").ToLong(), 16);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM GATEWAYREQUEST WHERE STATE <> 'ANSWERED'").ToLong(), 0);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM GATEWAYREQUEST").ToLong(), static_cast<int64_t>(journal.size()));
}

TEST_P(PaymentRunTest, OnlyTheLatestAuthorisationCountsWhenTwoShareATime) {
    std::string id = AuthorizedOrder({Line{}});
    std::string authId = CheckoutRequestId(id);
    // a second successful row with exactly the same time, inserted later; the
    // earlier one names an authorisation the gateway does not know. The join on
    // equal times sent every offer twice.
    Exec("INSERT INTO AUTHORIZATIONLOG (MERCHANT_REF_NUMBER, CUSTOMER_CC_NUMBER, CUSTOMER_CC_SEALED, CUSTOMER_CC_EXPMO, "
         "CUSTOMER_CC_EXPYR, AUTH_RCODE, AUTH_REQUEST_ID, AUTH_AUTH_AMOUNT, CURRENCY, REQUEST_DATETIME, LOGSEQ) "
         "SELECT MERCHANT_REF_NUMBER, CUSTOMER_CC_NUMBER, CUSTOMER_CC_SEALED, CUSTOMER_CC_EXPMO, CUSTOMER_CC_EXPYR, 1, "
         "AUTH_REQUEST_ID, AUTH_AUTH_AMOUNT, CURRENCY, REQUEST_DATETIME, LOGSEQ + 100 FROM AUTHORIZATIONLOG");
    Exec("UPDATE AUTHORIZATIONLOG SET AUTH_REQUEST_ID = '999' WHERE LOGSEQ < 100");
    ASSERT_TRUE(Run(id));
    EXPECT_EQ(LastRequest()["amount"], "114.95");
    EXPECT_EQ(LastRequest()["auth_request_id"], authId);  // the later insertion wins the tie
    EXPECT_EQ(Value("SELECT OFFERS FROM BILLINGLOG").Text(), "0=quantity:1^amount:114.95");
}

TEST_P(PaymentRunTest, RefundsStayWithinWhatTheCaptureTook) {
    std::string id = AuthorizedOrder({Line{}});
    ASSERT_TRUE(Run(id));
    std::string capture = Value("SELECT BILL_REQUEST_ID FROM BILLINGLOG").Text();
    auto payment = Sls_GetComponent<ordexa::ICCPayment>("Ordexa.CCPayment");
    for (const char* bad : {"0", "-5", "abc", "114.951"})
        EXPECT_EQ(testing_support::ErrorOf([&] { payment->manualRefund(capture, Variant(bad)); }),
                  ordexa::kRefundAmountRefused)
            << bad;
    EXPECT_TRUE(payment->manualRefund(capture, Variant("100")));
    EXPECT_EQ(LastRequest()["applications"], "ics_credit");
    EXPECT_EQ(LastRequest()["amount"], "100");
    std::string description;
    EXPECT_EQ(testing_support::ErrorOf([&] { payment->manualRefund(capture, Variant("14.96")); }, &description),
              ordexa::kRefundAmountRefused);
    EXPECT_NE(description.find("(14.95)"), std::string::npos);
    EXPECT_TRUE(payment->manualRefund(capture, Variant(14.95)));
    EXPECT_EQ(Sim().Count("applications", "ics_credit"), 2u);

    auto rs = Rows("SELECT * FROM REFUNDLOG ORDER BY LOGSEQ");
    ASSERT_EQ(rs->RecordCount(), 2);
    auto col = [&](const char* name) { return rs->Fields(name).Value().Text(); };
    EXPECT_EQ(col("ICS_RMSG"), "Request was processed successfully.");
    EXPECT_EQ(col("Credit_Credit_AMOUNT"), "100");
    EXPECT_EQ(col("ICS_RFLAG"), "SOK");
    EXPECT_EQ(col("Credit_RFLAG"), "SOK");
    EXPECT_EQ(col("Credit_RMSG"), "Request was processed successfully.");
    EXPECT_EQ(col("ICS_RCODE"), "1");
    EXPECT_EQ(col("Credit_RCODE"), "1");
    EXPECT_FALSE(col("Credit_Credit_REQUEST_TIME").empty());
    EXPECT_EQ(col("BILL_REQUEST_ID"), capture);
    EXPECT_EQ(col("MERCHANT_REF_NUMBER"), id);
    EXPECT_EQ(col("CURRENCY"), "EUR");
    EXPECT_EQ(col("OFFERS"), "0=amount:100");
    EXPECT_EQ(col("REQUEST_ID"), Sim().Journal()[2]["request_id"]);
    EXPECT_EQ(col("ICS_APPLICATIONS"), "ics_credit");
    EXPECT_EQ(col("CLIENT_LIB_VERSION"), "backoffice-gateway-1.0");
    EXPECT_EQ(col("ICS_VERSION"), "sim-1");
    EXPECT_TRUE(rs->Fields("REQUEST_DATETIME").Value().IsDate());

    // refunded in full and nothing left to capture: the sealed number goes with the next run's clean-up
    auto c = Sls_GetOpenConnection(Inst().ConnectionString());
    EXPECT_EQ(ordexa::EraseCardDataNoLongerNeeded(c, 30), 1);
    c->Close();
    EXPECT_EQ(Value("SELECT COUNT(*) FROM AUTHORIZATIONLOG WHERE CUSTOMER_CC_SEALED IS NOT NULL").ToLong(), 0);
}

TEST_P(PaymentRunTest, ManualAuthorisationOfARequestAuthorisesItsOrderAgain) {
    std::string id = AuthorizedOrder({Line{}, Line{"20", "0", "0", "0", "0"}}, "164.95");
    auto payment = Sls_GetComponent<ordexa::ICCPayment>("Ordexa.CCPayment");
    EXPECT_TRUE(payment->manualAuthorize(CheckoutRequestId(id)));
    EXPECT_EQ(LastRequest()["applications"], "ics_auth");
    EXPECT_EQ(LastRequest()["amount"], "134.95");
    // the earlier authorisation's amount as it stands: a new object holds no currency yet
    EXPECT_EQ(LastRequest()["total_amount"], "164.95");
    EXPECT_EQ(payment->getLastRequest(), LastRequest()["request_id"]);
    EXPECT_EQ(testing_support::ErrorOf([&] { payment->manualAuthorize("no-such-request"); }) != 0, true);
}

TEST_P(PaymentRunTest, AKeyThatDoesNotOpenTheBoxIsAClearErrorNamingTheOrder) {
    std::string id = AuthorizedOrder({Line{}});
    AgeAuthorizations(id, 80);  // a new authorisation needs the card number
    std::filesystem::remove(Inst().Home() / "config" / "card.key");
    ordexa::EnsureCardKeyFile(Inst().Home());  // another key
    PaymentOutcome outcome;
    EXPECT_FALSE(Run(id, &outcome));
    EXPECT_EQ(outcome, PaymentOutcome::Failed);
    EXPECT_GE(Inst().LogEntriesWith("does not open the sealed card number of order " + id), 1u);
    EXPECT_EQ(Sim().Journal().size(), 1u);  // only the checkout: nothing sent with a wrong number
    EXPECT_EQ(OrderStatus(id), 4);
}

TEST_P(PaymentRunTest, CardNumbersAreErasedOnceNoPaymentNeedsThem) {
    std::string closed = AuthorizedOrder({Line{}});
    std::string open = AuthorizedOrder({Line{}});
    std::string abandoned = Basket();
    ASSERT_EQ(Checkout(abandoned).status, ordexa::CheckoutAuthorization::Status::Authorized);
    std::string recent = Basket();
    ASSERT_EQ(Checkout(recent).status, ordexa::CheckoutAuthorization::Status::Authorized);
    Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 5 WHERE ORDERID = ?", {Variant(closed)});
    AgeAuthorizations(abandoned, 31 * 24);
    auto c = Sls_GetOpenConnection(Inst().ConnectionString());
    EXPECT_EQ(ordexa::EraseCardDataNoLongerNeeded(c, 30), 2);
    c->Close();
    auto kept = Rows("SELECT MERCHANT_REF_NUMBER FROM AUTHORIZATIONLOG WHERE CUSTOMER_CC_SEALED IS NOT NULL "
                     "ORDER BY MERCHANT_REF_NUMBER");
    std::set<std::string> ids;
    for (; !kept->Eof(); kept->MoveNext()) ids.insert(kept->Fields(0).Value().Text());
    EXPECT_EQ(ids, (std::set<std::string>{open, recent}));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM AUTHORIZATIONLOG WHERE CUSTOMER_CC_NUMBER = '************1111'").ToLong(), 4);
}

TEST_P(PaymentRunTest, ClearNumbersOfOlderInstallationsAreSealedAndNumbered) {
    std::string id = Basket();
    Exec("INSERT INTO AUTHORIZATIONLOG (MERCHANT_REF_NUMBER, CUSTOMER_CC_NUMBER, AUTH_RCODE, AUTH_REQUEST_ID, "
         "REQUEST_DATETIME) VALUES (?, ?, 1, '7', ?)",
         {Variant(id), Variant(kCard), Variant(ole::Date::Now())});
    auto c = Sls_GetOpenConnection(Inst().ConnectionString());
    EXPECT_EQ(ordexa::SealClearCardNumbers(c), 2);  // numbered, then sealed
    c->Close();
    auto rs = Rows("SELECT CUSTOMER_CC_NUMBER, CUSTOMER_CC_SEALED, LOGSEQ FROM AUTHORIZATIONLOG");
    EXPECT_EQ(rs->Fields(0).Value().Text(), "************1111");
    EXPECT_EQ(ordexa::UnsealCardNumber(rs->Fields(1).Value().Text(), id), kCard);
    EXPECT_FALSE(rs->Fields(2).Value().IsNull());
}

INSTANTIATE_INSTALLATION_TEST(PaymentRunTest);

TEST(PaymentLogs, RequestIdsAreKeptAsTextAndOffersAreCutFromTheRequestLines) {
    EXPECT_EQ(ordexa::LoggedRequestId("ABC-123").Text(), "ABC-123");  // no number: stored as it came
    EXPECT_TRUE(ordexa::LoggedRequestId("").IsNull());
    EXPECT_TRUE(ordexa::LoggedRequestId("0").Text().size() >= 19);  // the number 0: the current time
    EXPECT_EQ(ordexa::PrepareOfferForLog({"merchant_id=m", "offer0=quantity:1^amount:5", "OFFER1=amount:2"}),
              "0=quantity:1^amount:5|1=amount:2");
    EXPECT_EQ(ordexa::PrepareOfferForLog({"ics_applications=ics_bill"}), "");
}

}  // namespace
