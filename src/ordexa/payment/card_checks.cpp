#include "payment/card_checks.h"

#include "automation/decimal.h"
#include "automation/text.h"

namespace ordexa {

std::string NormalizedCardNumber(const std::string& typed) {
    std::string digits;
    for (char c : typed)
        if (c != ' ' && c != '-') digits += c;
    return digits;
}

bool LuhnValid(const std::string& digits) {
    if (digits.size() < 12 || digits.size() > 19) return false;
    int sum = 0;
    bool twice = false;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it < '0' || *it > '9') return false;
        int d = *it - '0';
        if (twice && (d *= 2) > 9) d -= 9;
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

std::string CheckoutRefusal(const std::string& digits, const std::string& expiryMonth, const std::string& expiryYear,
                            const ole::Variant& total) {
    if (!LuhnValid(digits)) return "The card number is not valid (its check digit is wrong or it has too few digits)";
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
