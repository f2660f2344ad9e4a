#include "platform/masterdata/locale.h"

#include "platform/automation/component.h"
#include "platform/format/data_functions.h"

namespace qx {
namespace {

class Locale : public ILocale {
public:
    // The formatting library already knows each locale's currency symbol.
    std::string GetCurrencySymbol(int32_t localeId) override {
        return ole::CreateObjectAs<IDataFunctions>("QxLibrary.DataFunctions")->CurrencyText(localeId);
    }
    std::string GetEuroSymbol() override { return "\u20AC"; }
};

}  // namespace

void RegisterLocale() { ole::RegisterClass<Locale>("QxCommon.Locale"); }

}  // namespace qx
