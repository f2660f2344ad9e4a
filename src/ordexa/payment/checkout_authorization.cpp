#include "payment/checkout_authorization.h"

#include "automation/text.h"
#include "gateway/gateway_client.h"
#include "lib_sales.h"
#include "payment/card_checks.h"
#include "payment/cc_payment.h"
#include "vendalo/basket.h"

namespace ordexa {
namespace {

using ole::Variant;

const char* const kReplyFields[] = {"auth_rcode", "auth_rmsg",  "auth_rflag",       "auth_auth_code",
                                    "auth_auth_time", "ics_rcode", "ics_rflag", "ics_rmsg",
                                    "auth_auth_amount", "request_id", "auth_auth_avs"};

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
        bool authorized = payment->doInitAuthorize(orderform);
        header->Set(Variant("CCNUMBER"), Variant(""));
        result.status = authorized ? CheckoutAuthorization::Status::Authorized : CheckoutAuthorization::Status::Declined;
        result.repeated = orderform->Exists(Variant("authorization_repeated"));
        for (const char* name : kReplyFields) result.reply.emplace_back(name, orderform->Item(Variant(name)).Text());
        return result;
    } catch (...) {
        Sls_RaiseError("Ordexa.Checkout.AuthorizeBasket", "BasketID: " + basketId);
    }
}

}  // namespace ordexa
