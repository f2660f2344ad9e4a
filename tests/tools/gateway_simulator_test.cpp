// The gateway simulator's rules, apart from the transport: what it refuses and
// what it records.
#include <gtest/gtest.h>

#include <set>

#include "gateway.h"

namespace {

using gatewaysim::Fields;
using gatewaysim::Gateway;
using gatewaysim::JournalEntry;
using gatewaysim::Value;

Fields Request(const std::string& applications, const std::string& amount, Fields more = {}) {
    Fields f = {{"merchant_id", "m"}, {"ics_applications", applications}, {"merchant_ref_number", "ORDER1"},
                {"offer0", "quantity:1^amount:" + amount}};
    f.insert(f.end(), more.begin(), more.end());
    return f;
}

Fields Send(Gateway& g, const Fields& request, JournalEntry* journal = nullptr) {
    JournalEntry entry;
    auto reply = g.Handle(request, entry);
    if (journal) *journal = entry;
    return reply.fields;
}

TEST(GatewaySimulator, CapturesNeedAKnownAuthorisationAndStayWithinIt) {
    Gateway g;
    auto auth = Send(g, Request("ics_auth", "100", {{"customer_cc_number", "4111111111111111"}}));
    ASSERT_EQ(Value(auth, "ics_rcode"), "1");
    std::string authId = Value(auth, "request_id");
    EXPECT_EQ(Value(Send(g, Request("ics_bill", "10", {{"auth_request_id", "12345"}})), "bill_rflag"), "DNOAUTH");
    EXPECT_EQ(Value(Send(g, Request("ics_bill", "100.01", {{"auth_request_id", authId}})), "bill_rflag"),
              "DINVALIDAMOUNT");
    auto capture = Send(g, Request("ics_bill", "60", {{"auth_request_id", authId}}));
    EXPECT_EQ(Value(capture, "ics_rcode"), "1");
    EXPECT_EQ(Value(Send(g, Request("ics_bill", "40.01", {{"auth_request_id", authId}})), "ics_rcode"), "0");
    std::string billId = Value(capture, "request_id");
    EXPECT_EQ(Value(Send(g, Request("ics_credit", "60.01", {{"bill_request_id", billId}})), "credit_rflag"),
              "DINVALIDAMOUNT");
    EXPECT_EQ(Value(Send(g, Request("ics_credit", "60", {{"bill_request_id", billId}})), "ics_rcode"), "1");
    EXPECT_EQ(Value(Send(g, Request("ics_credit", "0.01", {{"bill_request_id", billId}})), "ics_rcode"), "0");
    EXPECT_EQ(Value(Send(g, Request("ics_credit", "1", {{"bill_request_id", "999"}})), "credit_rflag"), "DNOCAPTURE");
}

TEST(GatewaySimulator, OutcomesAreChosenByCardAndAmount) {
    Gateway g;
    EXPECT_EQ(Value(Send(g, Request("ics_auth", "10", {{"customer_cc_number", "4000000000000002"}})), "auth_rflag"),
              "DCARDREFUSED");
    EXPECT_EQ(Value(Send(g, Request("ics_auth", "10", {{"customer_cc_number", "4111111111111112"}})), "auth_rflag"),
              "DINVALIDCARD");
    EXPECT_EQ(Value(Send(g, Request("ics_auth", "10.66", {{"customer_cc_number", "4111111111111111"}})), "ics_rcode"),
              "-1");
    EXPECT_EQ(Value(Send(g, Request("ics_auth, ics_bill", "10.13", {{"customer_cc_number", "4111111111111111"}})),
                    "bill_rflag"),
              "DPAYMENTREFUSED");
    JournalEntry entry;
    auto reply = g.Handle(Request("ics_auth", "10.77", {{"customer_cc_number", "4111111111111111"}}), entry);
    EXPECT_EQ(reply.delivery, gatewaysim::Delivery::Garbled);
    reply = g.Handle(Request("ics_auth", "10.88", {{"customer_cc_number", "4111111111111111"}}), entry);
    EXPECT_EQ(reply.delivery, gatewaysim::Delivery::Delayed);
    // the amount is the sum of the offers, each times its quantity
    EXPECT_EQ(Value(Send(g, Request("ics_auth", "10", {{"customer_cc_number", "4111111111111111"},
                                                       {"offer1", "quantity:2^amount:0.25"}})),
                    "auth_auth_amount"),
              "10.5");
}

TEST(GatewaySimulator, RequestIdsAreUniqueNumbersAndTheJournalKeepsOnlyTheLastFourDigits) {
    Gateway g;
    std::set<std::string> ids;
    for (int i = 0; i < 50; ++i) {
        JournalEntry entry;
        auto reply = Send(g, Request("ics_auth", "1", {{"customer_cc_number", "4111111111111111"},
                                                      {"client_request_id", "c" + std::to_string(i)}}),
                          &entry);
        std::string id = Value(reply, "request_id");
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
        ids.insert(id);
        EXPECT_EQ(Value(entry.fields, "card"), "****1111");
        for (const auto& [name, value] : entry.fields) EXPECT_EQ(value.find("4111111111111111"), std::string::npos);
    }
    EXPECT_EQ(ids.size(), 50u);
    auto query = Send(g, {{"merchant_id", "m"}, {"ics_applications", "ics_query"}, {"query_client_request_id", "c7"}});
    EXPECT_EQ(Value(query, "query_rcode"), "1");
    EXPECT_EQ(Value(query, "original_auth_rcode"), "1");
    EXPECT_EQ(Value(Send(g, {{"merchant_id", "m"}, {"ics_applications", "ics_query"}, {"query_client_request_id", "x"}}),
                    "query_rcode"),
              "0");
}

}  // namespace
