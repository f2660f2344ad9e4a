// The checkout authorisation of a basket: what a checkout page (and the
// endpoint POST /api/v1/baskets/{id}/authorize) calls with the card the
// customer entered. It restores the stored basket, checks the card data, and
// has Ordexa.CCPayment authorise the basket's TOTAL in its currency; the basket
// id is the merchant reference, which the order keeps as ORDERID once the
// basket is submitted. The result holds the gateway's reply fields, never the
// card number.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/automation/variant.h"

namespace ordexa {

// What the customer entered. Blanks and hyphens in the number are dropped.
struct CheckoutCard {
    std::string number, expiryMonth, expiryYear, type;
    std::string firstName, lastName, email, phone;
    std::string street, city, state, zip, country;
};

struct CheckoutAuthorization {
    enum class Status {
        Authorized,  // the gateway authorised the total (or had already: see repeated)
        Declined,    // the gateway refused the card
        Refused,     // refused before anything was sent: see reason
        EarlierOutcomeUnknown,  // an earlier authorisation of the basket has an unknown outcome: see reason
    };
    Status status = Status::Refused;
    bool repeated = false;      // an earlier successful authorisation of this basket and card was answered
    std::string reason;         // why it was refused (Refused, EarlierOutcomeUnknown)
    std::string maskedNumber;   // the card's last four digits, e.g. "************1111"
    // "auth_rcode", "auth_rmsg", "auth_rflag", "auth_auth_code", "auth_auth_time",
    // "ics_rcode", "ics_rflag", "ics_rmsg", "auth_auth_amount", "request_id",
    // "auth_auth_avs", in this order (empty when refused).
    std::vector<std::pair<std::string, std::string>> reply;
};

// Raised when no stored basket has the id.
constexpr int32_t kCheckoutBasketNotFound = static_cast<int32_t>(0x80040505u);
// The number of a card basket's submission refused for want of an authorisation.
constexpr int32_t kCardNotAuthorized = static_cast<int32_t>(0x80040509u);

// Authorises the basket's total on the card. Raises (ole::AutomationError) for
// an unknown basket (kCheckoutBasketNotFound) and when the gateway cannot be
// reached or gives no readable reply (qx::gateway_err); the error is logged.
CheckoutAuthorization AuthorizeBasketCheckout(const std::string& basketId, const CheckoutCard& card);

// Why a stored card basket (PAYMENTMETHOD 2) may not be submitted yet, or ""
// when it may (or is paid otherwise): it needs an approved authorisation of
// the basket in its currency that covers its current TOTAL (a basket whose
// total grew since must be authorised again), and no authorisation of it whose
// outcome is unknown. What a shop's submission checks; the order's own
// submission call does not. The basket's PAYMENTMETHOD, TOTAL and CURRENCYCODE
// are those of the header the caller read under the basket's lock.
std::string CardSubmissionRefusal(const std::string& basketId, const ole::Variant& paymentMethod,
                                  const ole::Variant& total, const std::string& currency);

}  // namespace ordexa
