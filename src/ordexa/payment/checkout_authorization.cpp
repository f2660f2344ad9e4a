#include "ordexa/payment/checkout_authorization.h"

#include "interfaces/vendalo/basket.h"
#include "ordexa/payment/card_checks.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/gateway_requests.h"
#include "platform/automation/decimal.h"
#include "platform/automation/text.h"
#include "platform/gateway/gateway_client.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace {

using ole::Variant;

const char* const kReplyFields[] = {"auth_rcode", "auth_rmsg",  "auth_rflag",       "auth_auth_code",
                                    "auth_auth_time", "ics_rcode", "ics_rflag", "ics_rmsg",
                                    "auth_auth_amount", "request_id", "auth_auth_avs"};

std::string CardBasketRefusal(const ado::ConnectionPtr& connection, const std::string& basketId, const Variant& total,
                              const std::string& currency) {
    auto open = OpenGatewayRequests(connection, basketId);
    if (!open.empty()) return OutcomeUnknownText(open.front());
    std::string again = ": authorise it (POST /api/v1/baskets/" + basketId + "/authorize) before submitting it";
    auto auth = connection->Execute(
        "SELECT AUTH_AUTH_AMOUNT, CURRENCY FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? AND AUTH_RCODE = 1 "
        "ORDER BY REQUEST_DATETIME DESC, LOGSEQ DESC LIMIT 1",
        nullptr, -1, {Variant(basketId)});
    if (!auth || auth->Eof()) return "Basket " + basketId + " is paid by card and holds no approved authorisation" + again;
    if (total.IsNull() || total.IsEmpty()) return "Basket " + basketId + " has no total";
    std::string held = ole::TrimBlanks(auth->Fields(0).Value().Text());
    if (ole::TrimBlanks(auth->Fields(1).Value().Text()) != ole::TrimBlanks(currency))
        return "Basket " + basketId + " is in " + currency + " but its authorisation is in " + auth->Fields(1).Value().Text() + again;
    auto decimals = CurrencyDecimals(currency);
    if (!decimals) return "Currency " + currency + " of basket " + basketId + " not found";
    ole::Decimal due = ole::Decimal::FromVariant(total).Round(*decimals);
    auto amount = ole::Decimal::Parse(held);
    if (!amount || *amount < due)
        return "Basket " + basketId + " changed since its authorisation: its total " + due.ToString() +
               " is more than the authorised " + held + again;
    return "";
}

}  // namespace

CheckoutAuthorization AuthorizeBasketCheckout(const std::string& basketId, const CheckoutCard& card) {
    CheckoutAuthorization result;
    std::string number = NormalizedCardNumber(card.number);
    result.maskedNumber = qx::MaskCardNumber(number);
    try {
        auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
        auto basket = baskets->Restore(basketId);
        if (!basket) ole::Raise(kCheckoutBasketNotFound, "There is no basket " + basketId, "Ordexa.Checkout");
        auto stored = RecordsetOf(*basket, "header");
        // The order form's header: the basket's columns and the card data, by upper-case name.
        auto header = std::make_shared<ole::Dictionary>();
        for (int i = 0; i < stored->FieldCount(); ++i)
            header->Set(Variant(ole::UpperCase(stored->Fields(i).Name())), stored->Fields(i).Value());
        result.reason = CheckoutRefusal(number, card.expiryMonth, card.expiryYear, header->Item("TOTAL"));
        if (!result.reason.empty()) return result;
        const std::pair<const char*, const std::string*> cardFields[] = {
            {"CCNUMBER", &number},        {"CCEXPIRYMONTH", &card.expiryMonth}, {"CCEXPIRYYEAR", &card.expiryYear},
            {"CCTYPE", &card.type},       {"CCFIRSTNAME", &card.firstName},     {"CCLASTNAME", &card.lastName},
            {"CCEMAIL", &card.email},     {"CCPHONE", &card.phone},             {"CCSTREET", &card.street},
            {"CCCITY", &card.city},       {"CCSTATE", &card.state},             {"CCZIP", &card.zip},
            {"CCCOUNTRY", &card.country}};
        for (const auto& [name, value] : cardFields) header->Set(Variant(name), Variant(*value));
        auto orderform = std::make_shared<ole::Dictionary>();
        orderform->Add(Variant("header"), Variant(header));
        auto payment = Sls_GetComponent<ICCPayment>("Ordexa.CCPayment");
        bool authorized = false;
        try {
            authorized = payment->doInitAuthorize(orderform);
        } catch (const ole::AutomationError& e) {
            if (e.Number() != kOutcomeUnknownPending) throw;
            result.status = CheckoutAuthorization::Status::EarlierOutcomeUnknown;
            result.reason = e.Info().Reason;
            return result;
        }
        header->Set(Variant("CCNUMBER"), Variant(""));
        result.status = authorized ? CheckoutAuthorization::Status::Authorized : CheckoutAuthorization::Status::Declined;
        result.repeated = orderform->Exists(Variant("authorization_repeated"));
        for (const char* name : kReplyFields) result.reply.emplace_back(name, orderform->Item(Variant(name)).Text());
        return result;
    } catch (...) {
        Sls_RaiseError("Ordexa.Checkout.AuthorizeBasket", "BasketID: " + basketId);
    }
}

std::string CardSubmissionRefusal(const std::string& basketId, const Variant& paymentMethod, const Variant& total,
                                  const std::string& currency) {
    if (paymentMethod.Text() != "2") return "";
    ado::ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(Sls_ConnectionString());
        return CardBasketRefusal(connection, basketId, total, currency);
    } catch (...) {
        Sls_RaiseError("Ordexa.Checkout.CardSubmissionRefusal", "BasketID: " + basketId);
    }
}

}  // namespace ordexa
