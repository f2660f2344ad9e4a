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
    };
    Status status = Status::Refused;
    bool repeated = false;      // an earlier successful authorisation of this basket and card was answered
    std::string reason;         // why it was refused (Refused only)
    std::string maskedNumber;   // the card's last four digits, e.g. "************1111"
    // "auth_rcode", "auth_rmsg", "auth_rflag", "auth_auth_code", "auth_auth_time",
    // "ics_rcode", "ics_rflag", "ics_rmsg", "auth_auth_amount", "request_id",
    // "auth_auth_avs", in this order (empty when refused).
    std::vector<std::pair<std::string, std::string>> reply;
};

// Raised when no stored basket has the id.
constexpr int32_t kCheckoutBasketNotFound = static_cast<int32_t>(0x80040505u);

// Authorises the basket's total on the card. Raises (ole::AutomationError) for
// an unknown basket (kCheckoutBasketNotFound) and when the gateway cannot be
// reached or gives no readable reply (qx::gateway_err); the error is logged.
CheckoutAuthorization AuthorizeBasketCheckout(const std::string& basketId, const CheckoutCard& card);

}  // namespace ordexa
