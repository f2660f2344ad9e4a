// The checkout authorisation of a basket against the gateway simulator over
// HTTPS: approved, declined, refused before sending, answered again.
#include "payment_fixture.h"

#include "ordexa/payment/card_data_retention.h"
#include "platform/gateway/gateway_client.h"

using namespace payment_test;
using ordexa::CheckoutAuthorization;

namespace {

class CheckoutAuthorizationTest : public PaymentTest {};

std::string ReplyField(const CheckoutAuthorization& a, const std::string& name) {
    for (const auto& [n, v] : a.reply)
        if (n == name) return v;
    return "<absent>";
}

TEST_P(CheckoutAuthorizationTest, ApprovedCardWritesOneLogRowWithMaskedAndSealedNumber) {
    std::string basket = Basket("114.95");
    auto result = Checkout(basket);
    ASSERT_EQ(result.status, CheckoutAuthorization::Status::Authorized);
    EXPECT_FALSE(result.repeated);
    EXPECT_EQ(result.maskedNumber, "************1111");
    ASSERT_EQ(result.reply.size(), 11u);
    EXPECT_EQ(ReplyField(result, "auth_rcode"), "1");
    EXPECT_EQ(ReplyField(result, "ics_rcode"), "1");
    EXPECT_EQ(ReplyField(result, "auth_auth_amount"), "114.95");

    auto journal = Sim().Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0]["applications"], "ics_auth");
    EXPECT_EQ(journal[0]["amount"], "114.95");
    EXPECT_EQ(journal[0]["merchant_id"], "merchant_eur");
    EXPECT_EQ(journal[0]["card"], "****1111");

    auto rs = Rows("SELECT * FROM AUTHORIZATIONLOG");
    ASSERT_EQ(rs->RecordCount(), 1);
    auto col = [&](const char* name) { return rs->Fields(name).Value(); };
    EXPECT_EQ(col("MERCHANT_REF_NUMBER").Text(), basket);
    EXPECT_EQ(col("CUSTOMER_CC_NUMBER").Text(), "************1111");
    EXPECT_EQ(ordexa::UnsealCardNumber(col("CUSTOMER_CC_SEALED").Text(), basket), kCard);
    EXPECT_EQ(col("CUSTOMER_CC_EXPMO").Text(), "12");
    EXPECT_EQ(col("CUSTOMER_CC_EXPYR").Text(), std::to_string(ole::Date::Today().Year() + 2));
    EXPECT_EQ(col("AUTH_AUTH_AVS").Text(), "Y");
    EXPECT_EQ(col("ICS_RMSG").Text(), "Request was processed successfully.");
    EXPECT_EQ(col("ICS_RFLAG").Text(), "SOK");
    EXPECT_EQ(col("AUTH_AUTH_AMOUNT").Text(), "114.95");
    EXPECT_EQ(col("AUTH_RCODE").ToLong(), 1);
    EXPECT_EQ(col("AUTH_RMSG").Text(), "Request was processed successfully.");
    EXPECT_EQ(col("AUTH_AUTH_CODE").Text(), ReplyField(result, "auth_auth_code"));
    EXPECT_EQ(col("AUTH_AUTH_TIME").Text(), ReplyField(result, "auth_auth_time"));
    EXPECT_EQ(col("ICS_RCODE").Text(), "1");
    EXPECT_EQ(col("AUTH_RFLAG").Text(), "SOK");
    EXPECT_EQ(col("AUTH_REQUEST_ID").Text(), journal[0]["request_id"]);
    EXPECT_EQ(col("BILL_CITY").Text(), "Groningen");
    EXPECT_EQ(col("BILL_STATE").Text(), "");  // an empty state is not sent
    EXPECT_EQ(col("BILL_ZIP").Text(), "9711 AB");
    EXPECT_EQ(col("BILL_COUNTRY").Text(), "NL");
    EXPECT_EQ(col("CUSTOMER_FIRSTNAME").Text(), "Anna");
    EXPECT_EQ(col("CUSTOMER_LASTNAME").Text(), "O'Bakker");
    EXPECT_EQ(col("CUSTOMER_EMAIL").Text(), "anna@example.com");
    EXPECT_EQ(col("CUSTOMER_PHONE").Text(), "+31 50 000 0012");
    EXPECT_EQ(col("BILL_ADDRESS1").Text(), "Kade 12");
    EXPECT_EQ(col("CURRENCY").Text(), "EUR");
    EXPECT_EQ(col("OFFERS").Text(), "0=quantity:1^amount:114.95");
    EXPECT_EQ(col("ICS_APPLICATIONS").Text(), "ics_auth");
    EXPECT_EQ(col("CLIENT_LIB_VERSION").Text(), "backoffice-gateway-1.0");
    ASSERT_TRUE(col("REQUEST_DATETIME").IsDate());
    EXPECT_LT(std::abs(col("REQUEST_DATETIME").ToDate().serial - ole::Date::Now().serial), 1.0 / 24);
    EXPECT_EQ(col("ORDERLEVELDISCOUNT").Text(), "");
    EXPECT_EQ(col("TAX_TOTAL").Text(), "19.95");
    EXPECT_EQ(col("SHIPPING_TOTAL").Text(), "5");
    EXPECT_EQ(col("FREIGHTTAX").Text(), "1.05");
    EXPECT_EQ(col("CUSTOMER_CC_TYPE").Text(), "001");
    EXPECT_GT(col("LOGSEQ").ToLongLong(), 0);
    EXPECT_EQ(col("CLIENT_REQUEST_ID").Text(), journal[0]["client_request_id"]);
}

TEST_P(CheckoutAuthorizationTest, CardNumbersTheGatewayRepeatsInItsTextsAreMaskedBeforeTheyAreStoredOrAnswered) {
    std::string basket = Basket("100.44");  // the simulator repeats the card in its texts
    auto result = Checkout(basket);
    ASSERT_EQ(result.status, CheckoutAuthorization::Status::Authorized);
    EXPECT_EQ(ReplyField(result, "auth_rmsg"), "Approved for card ************1111");
    std::string requestId = Sim().Journal()[0]["request_id"];
    EXPECT_EQ(ReplyField(result, "request_id"), requestId);  // ids and amounts as they came
    EXPECT_EQ(ReplyField(result, "auth_auth_amount"), "100.44");
    auto rs = Rows("SELECT AUTH_RMSG, ICS_RMSG, AUTH_REQUEST_ID FROM AUTHORIZATIONLOG");
    EXPECT_EQ(rs->Fields(0).Value().Text(), "Approved for card ************1111");
    EXPECT_EQ(rs->Fields(1).Value().Text(), "Card ************1111 processed, request " + requestId);
    EXPECT_EQ(rs->Fields(2).Value().Text(), requestId);

    // rows stored in clear before: masked by the upgrade, every copy of a text
    Exec("UPDATE AUTHORIZATIONLOG SET AUTH_RMSG = ?", {Variant("Approved for card " + kCard)});
    Exec("INSERT INTO BILLINGLOG (BILL_RMSG, BILL_REQUEST_ID, MERCHANT_REF_NUMBER) VALUES (?, '4111111111111111', ?)",
         {Variant("Card " + kCard + " captured"), Variant(basket)});
    auto c = Sls_GetOpenConnection(Inst().ConnectionString());
    EXPECT_EQ(ordexa::MaskCardNumbersInStoredReplies(c), 2);
    EXPECT_EQ(ordexa::MaskCardNumbersInStoredReplies(c), 0);
    c->Close();
    EXPECT_EQ(Value("SELECT AUTH_RMSG FROM AUTHORIZATIONLOG").Text(), "Approved for card ************1111");
    EXPECT_EQ(Value("SELECT BILL_RMSG FROM BILLINGLOG").Text(), "Card ************1111 captured");
    EXPECT_EQ(Value("SELECT BILL_REQUEST_ID FROM BILLINGLOG").Text(), kCard);  // an id is no text to scrub
}

TEST_P(CheckoutAuthorizationTest, DeclinedCardIsLoggedAndReportedNotRaised) {
    std::string basket = Basket("50");
    auto result = Checkout(basket, kDeclinedCard);
    EXPECT_EQ(result.status, CheckoutAuthorization::Status::Declined);
    EXPECT_EQ(ReplyField(result, "auth_rcode"), "0");
    EXPECT_EQ(Value("SELECT AUTH_RCODE FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ?", {Variant(basket)}).ToLong(), 0);
    EXPECT_EQ(Inst().LogEntriesWith("ccPayment.doInitAuthorize"), 1u);
    EXPECT_EQ(Inst().LogEntriesWith("Flag: DCARDREFUSED"), 1u);
}

TEST_P(CheckoutAuthorizationTest, BadCardDataAndEmptyTotalsAreRefusedBeforeAnythingIsSent) {
    std::string basket = Basket("10");
    auto card = Card();
    card.number = "4111111111111112";  // check digit wrong
    EXPECT_EQ(ordexa::AuthorizeBasketCheckout(basket, card).status, CheckoutAuthorization::Status::Refused);
    card = Card();
    card.expiryMonth = "1";
    card.expiryYear = std::to_string(ole::Date::Today().Year() - 1);
    auto expired = ordexa::AuthorizeBasketCheckout(basket, card);
    EXPECT_EQ(expired.status, CheckoutAuthorization::Status::Refused);
    EXPECT_EQ(expired.reason, "The card expired");
    EXPECT_EQ(Checkout(Basket("0")).status, CheckoutAuthorization::Status::Refused);
    auto noTotal = Checkout(Basket(""));
    EXPECT_EQ(noTotal.status, CheckoutAuthorization::Status::Refused);
    EXPECT_EQ(noTotal.reason, "The basket has no total");
    EXPECT_TRUE(Sim().Journal().empty());
    EXPECT_EQ(Value("SELECT COUNT(*) FROM AUTHORIZATIONLOG").ToLong(), 0);
    // the class itself refuses too, for callers that go around the checkout call
    auto form = std::make_shared<ole::Dictionary>();
    auto header = std::make_shared<ole::Dictionary>();
    header->Set(Variant("BASKETID"), Variant(basket));
    header->Set(Variant("CCNUMBER"), Variant("1234567890123"));
    header->Set(Variant("TOTAL"), Variant(10.0));
    form->Set(Variant("header"), Variant(header));
    std::string description;
    EXPECT_EQ(testing_support::ErrorOf(
                  [&] { Sls_GetComponent<ordexa::ICCPayment>("Ordexa.CCPayment")->doInitAuthorize(form); }, &description),
              ordexa::kCardDataRefused);
    EXPECT_EQ(description.find("1234567890123"), std::string::npos);
}

TEST_P(CheckoutAuthorizationTest, SameBasketAuthorisedTwiceGetsNoSecondHold) {
    std::string basket = Basket("114.95");
    auto first = Checkout(basket);
    auto second = Checkout(basket);
    EXPECT_EQ(second.status, CheckoutAuthorization::Status::Authorized);
    EXPECT_TRUE(second.repeated);
    EXPECT_EQ(ReplyField(second, "request_id"), ReplyField(first, "request_id"));
    EXPECT_EQ(Sim().Journal().size(), 1u);
    // another card is a new authorisation
    auto other = Checkout(basket, "5555555555554444");
    EXPECT_FALSE(other.repeated);
    EXPECT_EQ(Sim().Journal().size(), 2u);
}

TEST_P(CheckoutAuthorizationTest, UnknownBasketAndUnreachableGatewayRaise) {
    EXPECT_EQ(testing_support::ErrorOf([&] { Checkout("0123456789ABCDEF0123456789ABCDEF"); }),
              ordexa::kCheckoutBasketNotFound);
    Inst().SetSetting("DIRECTPAYMENT_PARAMETERS", "CyberSource Serverhost", "https://127.0.0.1:1/ics");
    std::string description;
    EXPECT_EQ(testing_support::ErrorOf([&] { Checkout(Basket("10")); }, &description), qx::gateway_err::NotSent);
    EXPECT_EQ(description.find(kCard), std::string::npos);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM AUTHORIZATIONLOG").ToLong(), 0);
}

TEST_P(CheckoutAuthorizationTest, GatewayWithoutTrustedCertificateIsNeverSentTheCard) {
    Inst().SetSetting("PAYMENT_GATEWAY", "CAFile", "");  // the system's CAs do not know the test CA
    EXPECT_EQ(testing_support::ErrorOf([&] { Checkout(Basket("10")); }), qx::gateway_err::NotSent);
    EXPECT_TRUE(Sim().Journal().empty());
}

INSTANTIATE_INSTALLATION_TEST(CheckoutAuthorizationTest);

}  // namespace
