// Locale texts (ProgID "QxCommon.Locale"): the currency symbol of a locale id
// (a Windows LCID, as the currencies keep it) and the euro sign.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/variant.h"

namespace qx {

class ILocale : public ole::Object {
public:
    virtual std::string GetCurrencySymbol(int32_t localeId) = 0;
    virtual std::string GetEuroSymbol() = 0;
};

void RegisterLocale();  // "QxCommon.Locale"

}  // namespace qx
