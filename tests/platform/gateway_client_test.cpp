// The gateway client: its wire format, its host rules, and exchanges with the
// gateway simulator (the request as sent, the reply as read, and which error
// tells a request that never left from one whose outcome is unknown).
#include <gtest/gtest.h>

#include "gateway_simulator.h"
#include "platform/automation/component.h"
#include "platform/gateway/gateway_client.h"
#include "platform/gateway/gateway_wire.h"
#include "test_installation.h"

namespace {

using namespace qx;
using testing_support::ErrorOf;
using testing_support::GatewaySimulator;

TEST(GatewayWire, RequestIsOneFormPairPerFieldAndPerOffer) {
    std::string body = gateway_wire::EncodeRequest(
        {{"merchant_ref_number", "A&B"}, {"customer_lastname", "O'Neil Smith"}},
        {{0, {{"quantity", "1"}, {"amount", "114.95"}}}, {1, {{"amount", "2"}}}});
    EXPECT_EQ(body,
              "merchant_ref_number=A%26B&customer_lastname=O%27Neil+Smith&offer0=quantity%3A1%5Eamount%3A114.95&"
              "offer1=amount%3A2");
    auto decoded = gateway_wire::DecodeForm(body);
    ASSERT_TRUE(decoded);
    EXPECT_EQ((*decoded)[1].second, "O'Neil Smith");
    EXPECT_EQ((*decoded)[2].second, "quantity:1^amount:114.95");
}

TEST(GatewayWire, ReplyLinesAreReadOnlyWhenEveryLineIsOne) {
    auto reply = gateway_wire::ParseReply("ics_rcode=1\r\nics_rmsg=Done = ok\n\nrequest_id=42\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 3u);
    EXPECT_EQ((*reply)[1].second, "Done = ok");
    EXPECT_FALSE(gateway_wire::ParseReply(""));
    EXPECT_FALSE(gateway_wire::ParseReply("<html>502</html>"));
    EXPECT_FALSE(gateway_wire::ParseReply("ics_rcode=1\n\x02garbage=\x7f"));
    EXPECT_FALSE(gateway_wire::ParseReply("ics rcode=1\n"));
}

TEST(GatewayWire, HostsAreHttpsUrlsAndPlainHttpOnlyOnLoopback) {
    EXPECT_EQ(gateway_wire::GatewayUrl("ics.example.com"), "https://ics.example.com/");
    EXPECT_EQ(gateway_wire::GatewayUrl("ics.example.com:8443"), "https://ics.example.com:8443/");
    EXPECT_EQ(gateway_wire::GatewayUrl("https://ics.example.com/gw"), "https://ics.example.com/gw");
    EXPECT_EQ(gateway_wire::GatewayUrl("http://127.0.0.1:9/x"), "http://127.0.0.1:9/x");
    EXPECT_EQ(gateway_wire::GatewayUrl("http://[::1]:9/"), "http://[::1]:9/");
    EXPECT_EQ(gateway_wire::GatewayUrl("http://localhost/"), "http://localhost/");
    for (const char* refused : {"", "  ", "http://ics.example.com/", "http://10.0.0.1/", "ftp://127.0.0.1/",
                                "https://user:pw@ics.example.com/", "https://ics.example.com/?a=1"})
        EXPECT_EQ(ErrorOf([&] { gateway_wire::GatewayUrl(refused); }), gateway_err::NotSent) << refused;
}

TEST(GatewayWire, CardNumbersShowTheirLastFourDigitsOnly) {
    EXPECT_EQ(MaskCardNumber("4111 1111 1111 1111"), "************1111");
    EXPECT_EQ(MaskCardNumber("1234"), "****");
    EXPECT_EQ(MaskCardNumber(""), "");
}

TEST(GatewayWire, CardNumbersInReplyTextsAreMaskedAndNothingElse) {
    const std::pair<const char*, const char*> cases[] = {
        {"Approved for card 4111111111111111.", "Approved for card ************1111."},
        {"4111111111111111/5555555555554444", "************1111/************4444"},
        {"13 digits 4222222222222 and 19 digits 4000000000000000006", "13 digits *********2222 and 19 digits ***************0006"},
        {"check digit wrong 4111111111111112", "check digit wrong 4111111111111112"},
        {"too short 424242424242, too long 41111111111111111115", "too short 424242424242, too long 41111111111111111115"},
        {"part of a longer run: x41111111111111110", "part of a longer run: x41111111111111110"},
        {"Request was processed successfully.", "Request was processed successfully."},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(MaskCardNumbersInText(text), shown) << text;
    // ids and amounts are what they are, even when they pass the check digit
    for (const char* name : {"request_id", "original_request_id", "auth_auth_amount", "merchant_ref_number"})
        EXPECT_FALSE(IsFreeTextReplyField(name)) << name;
    for (const char* name : {"ics_rmsg", "auth_rmsg", "auth_rflag", "auth_auth_code", "original_auth_rmsg"})
        EXPECT_TRUE(IsFreeTextReplyField(name)) << name;
}

class GatewayClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        inst_ = std::make_unique<testing_support::TestInstallation>("sqlite");
        inst_->SetSetting("PAYMENT_GATEWAY", "RequestTimeout", "1", "Long");
        inst_->SetSetting("PAYMENT_GATEWAY", "CAFile", GatewaySimulator::CaFile());
    }
    std::shared_ptr<IGatewayClient> Client(const std::string& host) {
        auto client = ole::CreateObjectAs<IGatewayClient>(kGatewayClientProgId);
        client->SetServerHost(host);
        client->SetMerchantId("merchant_eur");
        return client;
    }
    static void Authorization(IGatewayClient& c, const std::string& amount) {
        c.SetValue("ics_applications", "ics_auth");
        c.SetValue("merchant_ref_number", "ORDER1");
        c.SetValue("Customer_CC_Number", "4111111111111111");
        c.SetOfferValue(0, "quantity", "1");
        c.SetOfferValue(0, "amount", amount);
    }
    std::unique_ptr<testing_support::TestInstallation> inst_;
};

TEST_F(GatewayClientTest, ExchangeOverHttpsReadsTheReplyWithoutRegardToCase) {
    GatewaySimulator sim;
    auto c = Client(sim.Url());
    Authorization(*c, "114.95");
    int64_t before = GatewayRequestCount();
    c->Send();
    EXPECT_EQ(GatewayRequestCount(), before + 1);
    EXPECT_EQ(c->GetReplyValue("ICS_RCODE"), "1");
    EXPECT_EQ(c->GetReplyValue("auth_auth_amount"), "114.95");
    EXPECT_EQ(c->GetReplyValue("no_such_field"), "");
    EXPECT_EQ(c->GetRequestValue("CUSTOMER_CC_NUMBER"), "4111111111111111");
    EXPECT_EQ(c->GetRequestValue("merchant_id"), "merchant_eur");
    EXPECT_EQ(c->GetRequestValue("client_lib_version"), "backoffice-gateway-1.0");
    std::string firstId = c->GetRequestValue("client_request_id");
    EXPECT_EQ(firstId.size(), 32u);
    auto lines = c->RequestLines();
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    EXPECT_NE(all.find("Customer_CC_Number=************1111"), std::string::npos);
    EXPECT_EQ(all.find("4111111111111111"), std::string::npos);
    EXPECT_EQ(lines.back(), "offer0=quantity:1^amount:114.95");
    // the next request starts afresh; host and merchant stay
    c->SetValue("ics_applications", "ics_query");
    EXPECT_EQ(c->GetRequestValue("customer_cc_number"), "");
    EXPECT_EQ(c->GetReplyValue("ics_rcode"), "");
    c->SetValue("query_client_request_id", firstId);
    c->Send();
    EXPECT_EQ(c->GetReplyValue("query_rcode"), "1");
    EXPECT_EQ(c->GetReplyValue("original_auth_rcode"), "1");
    EXPECT_NE(c->GetRequestValue("client_request_id"), firstId);
    EXPECT_EQ(sim.Journal().size(), 2u);
    EXPECT_EQ(sim.JournalText().find("4111111111111111"), std::string::npos);
}

TEST_F(GatewayClientTest, ARequestThatNeverLeftIsToldFromOneWhoseReplyWasLost) {
    EXPECT_EQ(ErrorOf([&] { Client("https://127.0.0.1:1/")->Send(); }), gateway_err::NotSent);
    GatewaySimulator sim;
    std::string description;
    for (const char* amount : {"1.77", "1.88"}) {  // garbled, too late
        auto c = Client(sim.Url());
        Authorization(*c, amount);
        EXPECT_EQ(ErrorOf([&] { c->Send(); }, &description), gateway_err::OutcomeUnknown) << amount;
        EXPECT_EQ(description.find("4111111111111111"), std::string::npos);
        EXPECT_NE(description.find(c->GetRequestValue("client_request_id")), std::string::npos);
    }
    GatewaySimulator plain({.https = false});
    EXPECT_EQ(ErrorOf([&] {
                  auto c = Client(plain.Url());
                  Authorization(*c, "1");
                  c->Send();
              }),
              0);
}

}  // namespace
