#include "ordexa/payment/card_checks.h"

#include "platform/automation/decimal.h"
#include "platform/automation/text.h"
#include "platform/gateway/gateway_client.h"

namespace ordexa {

std::string NormalizedCardNumber(const std::string& typed) {
    std::string digits;
    for (char c : typed)
        if (c != ' ' && c != '-') digits += c;
    return digits;
}

std::string CheckoutRefusal(const std::string& digits, const std::string& expiryMonth, const std::string& expiryYear,
                            const ole::Variant& total) {
    if (!qx::LuhnValid(digits)) return "The card number is not valid (its check digit is wrong or it has too few digits)";
    int month = 0, year = 0;
    try {
        month = ole::Variant(ole::TrimBlanks(expiryMonth)).ToLong();
        year = ole::Variant(ole::TrimBlanks(expiryYear)).ToLong();
    } catch (...) {
        return "The card's expiry date is not valid";
    }
    if (month < 1 || month > 12 || year < 0) return "The card's expiry date is not valid";
    if (year < 100) year += 2000;
    ole::Date today = ole::Date::Today();
    if (year * 12 + month < today.Year() * 12 + today.Month()) return "The card expired";
    if (total.IsNull() || total.IsEmpty() || total.Text().empty()) return "The basket has no total";
    ole::Decimal amount;
    try {
        amount = ole::Decimal::FromVariant(total);
    } catch (...) {
        return "The basket's total is not a number";
    }
    if (amount.Sign() <= 0) return "The basket's total is not above 0";
    return "";
}

}  // namespace ordexa
