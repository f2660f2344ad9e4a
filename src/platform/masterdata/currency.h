// Currencies (ProgID "QxCommon.Currency"), kept in the master-data tables
// CURRENCY (code, decimals, euro flag, locale, home currency) and CURRENCYRATE
// (units of a currency per unit of the home currency, from an effective date).
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/automation/variant.h"

namespace qx {

namespace currency_err {
constexpr int32_t CurrencyNotFound = static_cast<int32_t>(0x80040240u);  // no CURRENCY row
constexpr int32_t RateNotFound = static_cast<int32_t>(0x80040241u);      // no rate on or before the date
}  // namespace currency_err

class ICurrency : public ole::Object {
public:
    // {"CURRENCYCODE": the home currency}, or nullptr when no currency is marked as home.
    virtual ole::DictionaryPtr GetHomeCurrency() = 0;
    // A price and a discount amount in the home currency (the dictionary GetHomeCurrency
    // gave) converted to the currency asked for with the latest rate on or before the
    // date: {"PRICE", "DISCOUNTAMOUNT"} as doubles, each computed in decimal and rounded
    // to 8 decimals, halves to even. No rate raises RateNotFound naming currency and date.
    virtual ole::DictionaryPtr ConvertTo(const ole::DictionaryPtr& homeCurrency, const std::string& currencyCode,
                                         double price, double discountAmount, ole::Date orderDate) = 0;
    // True when the currency exists; Decimals() then gives its number of decimals.
    virtual bool GetCurrency(const std::string& currencyCode) = 0;
    virtual int16_t Decimals() = 0;
    // {"DECIMALS" (16-bit), "EURO" (Boolean), "LOCALEID" (32-bit)}; an unknown code raises CurrencyNotFound.
    virtual ole::DictionaryPtr GetCurrencyAsDict(const std::string& currencyCode) = 0;
    virtual void Release() = 0;
};

// The statement GetCurrency runs (one "?": CURRENCYCODE; columns DECIMALS, EURO, LOCALEID),
// for callers that read a currency in a batch of their own on the sales database.
extern const char* const kCurrencySelect;

void RegisterCurrency();  // "QxCommon.Currency"

}  // namespace qx
