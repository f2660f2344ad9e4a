// Checks of card data at checkout, before anything goes to the gateway.
#pragma once

#include <string>

#include "platform/automation/variant.h"

namespace ordexa {

// The digits of a card number as a customer typed it (blanks and hyphens dropped).
std::string NormalizedCardNumber(const std::string& typed);

// Why a checkout authorisation is refused before anything is sent, or "" when
// it may go: a number failing the Luhn check, an expiry month that has passed
// (or is no month), a total that is 0, negative or missing. The texts never
// hold the card number.
std::string CheckoutRefusal(const std::string& digits, const std::string& expiryMonth, const std::string& expiryYear,
                            const ole::Variant& total);

}  // namespace ordexa
