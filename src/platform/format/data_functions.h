// The formatting component (ProgID "QxLibrary.DataFunctions"): dates and numbers
// formatted for a locale given by its numeric id (1033 English (United States),
// 1043 Dutch (Netherlands), 1031 German (Germany), ...).
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/variant.h"

namespace qx {

class IDataFunctions : public ole::Object {
public:
    // The date (with its time when it has one) in the locale's short form.
    virtual std::string DateTime(ole::Date date, int32_t locale) = 0;
    // The number with the locale's separators and the locale's usual decimals.
    virtual std::string FormatNumber(double value, int32_t locale) = 0;
    // The number with the locale's separators and at most `precision` decimals.
    virtual std::string FormatNumberPrecision(double value, int32_t locale, int32_t precision) = 0;
    // The currency text shown after a price for the locale (its currency symbol).
    virtual std::string CurrencyText(int32_t locale) = 0;
};

void RegisterDataFunctions();  // "QxLibrary.DataFunctions"

}  // namespace qx
