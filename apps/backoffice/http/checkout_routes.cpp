// The checkout authorisation over HTTP: the checkout page sends the card the
// customer entered, the host has the basket's total authorised at the card
// gateway and answers the gateway's reply fields. The card number travels in
// the body only, and never comes back: the answer holds its last four digits.
//
// 200 authorised, 402 declined by the gateway (same body), 400 refused before
// anything was sent (a number failing its check digit, an expiry in the past,
// a basket without total), 404 no such basket, 409 an earlier authorisation of
// the basket has an unknown outcome (nothing is sent until an operator resolves
// it), 502 the gateway could not be reached or gave no readable reply.
#include "http/http_routes.h"
#include "http/json_codec.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/checkout_authorization.h"
#include "ordexa/payment/gateway_requests.h"

namespace backoffice::http {

namespace {

// The body's card fields by their names in the API.
ordexa::CheckoutCard BodyCard(const json& body) {
    OnlyFields(body, {"number", "expiryMonth", "expiryYear", "type", "firstName", "lastName", "email", "phone",
                      "street", "city", "state", "zip", "country"});
    auto text = [&](const char* name, bool required) { return Field(body, name, ado::adVarWChar, required).Text(); };
    ordexa::CheckoutCard card;
    card.number = text("number", true);
    card.expiryMonth = text("expiryMonth", true);
    card.expiryYear = text("expiryYear", true);
    card.type = text("type", false);
    card.firstName = text("firstName", false);
    card.lastName = text("lastName", false);
    card.email = text("email", false);
    card.phone = text("phone", false);
    card.street = text("street", false);
    card.city = text("city", false);
    card.state = text("state", false);
    card.zip = text("zip", false);
    card.country = text("country", false);
    return card;
}

}  // namespace

void AddCheckoutRoutes(Router& router) {
    router.Add("POST", "/api/v1/baskets/{id}/authorize", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        ordexa::CheckoutCard card = BodyCard(call.Body());
        ordexa::CheckoutAuthorization result = ordexa::AuthorizeBasketCheckout(id, card);
        using Status = ordexa::CheckoutAuthorization::Status;
        if (result.status == Status::Refused) throw RequestError(400, result.reason, ordexa::kCardDataRefused);
        if (result.status == Status::EarlierOutcomeUnknown)
            throw RequestError(409, result.reason, ordexa::kOutcomeUnknownPending);
        json reply = json::object();
        for (const auto& [name, value] : result.reply) reply[name] = value;
        call.Json(result.status == Status::Authorized ? 200 : 402,
                  {{"status", result.status == Status::Authorized ? "authorized" : "declined"},
                   {"repeated", result.repeated},
                   {"maskedNumber", result.maskedNumber},
                   {"reply", reply}});
    });
}

}  // namespace backoffice::http
