#include "platform/masterdata/currency.h"

#include "platform/automation/component.h"
#include "platform/automation/decimal.h"
#include "platform/automation/error.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"

namespace qx {
namespace {

const char* kSource = "QxCommon.Currency";
// the scale of the price columns
constexpr int kPriceScale = 8;


class Currency : public ICurrency {
public:
    ole::DictionaryPtr GetHomeCurrency() override {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT CURRENCYCODE FROM CURRENCY WHERE HOMECURRENCY = ? ORDER BY CURRENCYCODE LIMIT 1",
                             nullptr, -1, {true});
        ole::DictionaryPtr home;
        if (!rs->Eof()) {
            home = std::make_shared<ole::Dictionary>();
            home->Add("CURRENCYCODE", rs->Fields(0).Value().Text());
        }
        c->Close();
        return home;
    }

    ole::DictionaryPtr ConvertTo(const ole::DictionaryPtr& homeCurrency, const std::string& currencyCode, double price,
                                 double discountAmount, ole::Date orderDate) override {
        ole::Decimal rate = ole::Decimal::FromInt(1);
        std::string home = homeCurrency ? homeCurrency->Item("CURRENCYCODE").Text() : "";
        if (currencyCode != home) {
            auto c = ado::OpenConnection(MasterDataConnectionString());
            // a rate holds from its effective day on, whatever the time of day of the order
            ole::Date day = ole::Date::FromParts(orderDate.Year(), orderDate.Month(), orderDate.Day(), 23, 59, 59);
            auto rs = c->Execute(
                "SELECT RATE FROM CURRENCYRATE WHERE CURRENCYCODE = ? AND EFFECTIVEDATE <= ? "
                "ORDER BY EFFECTIVEDATE DESC LIMIT 1",
                nullptr, -1, {currencyCode, day});
            if (rs->Eof() || rs->Fields(0).Value().IsNull())
                ole::Raise(currency_err::RateNotFound,
                           "No conversion rate for currency '" + currencyCode + "' on or before " +
                               orderDate.DateOnly().Iso().substr(0, 10),
                           kSource);
            rate = ole::Decimal::FromVariant(rs->Fields(0).Value());
            c->Close();
        }
        auto converted = std::make_shared<ole::Dictionary>();
        converted->Add("PRICE", (ole::Decimal::FromDouble(price) * rate).Round(kPriceScale).ToDouble());
        converted->Add("DISCOUNTAMOUNT", (ole::Decimal::FromDouble(discountAmount) * rate).Round(kPriceScale).ToDouble());
        return converted;
    }

    bool GetCurrency(const std::string& currencyCode) override {
        auto row = Find(currencyCode);
        if (!row) return false;
        decimals_ = row->Item("DECIMALS").ToInt();
        return true;
    }

    int16_t Decimals() override { return decimals_; }

    ole::DictionaryPtr GetCurrencyAsDict(const std::string& currencyCode) override {
        auto row = Find(currencyCode);
        if (!row) ole::Raise(currency_err::CurrencyNotFound, "Currency '" + currencyCode + "' not found", kSource);
        return row;
    }

    void Release() override { decimals_ = 0; }

private:
    static ole::DictionaryPtr Find(const std::string& currencyCode) {
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute(kCurrencySelect, nullptr, -1, {currencyCode});
        ole::DictionaryPtr row;
        if (!rs->Eof()) {
            row = std::make_shared<ole::Dictionary>();
            row->Add("DECIMALS", rs->Fields(0).Value().ToInt());
            row->Add("EURO", rs->Fields(1).Value().IsNull() ? false : rs->Fields(1).Value().ToBool());
            row->Add("LOCALEID", rs->Fields(2).Value().IsNull() ? int32_t{0} : rs->Fields(2).Value().ToLong());
        }
        c->Close();
        return row;
    }

    int16_t decimals_ = 0;
};

}  // namespace

const char* const kCurrencySelect = "SELECT DECIMALS, EURO, LOCALEID FROM CURRENCY WHERE CURRENCYCODE = ?";

void RegisterCurrency() { ole::RegisterClass<Currency>("QxCommon.Currency"); }

}  // namespace qx
