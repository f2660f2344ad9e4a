#include "http/basket_pricing.h"

#include <algorithm>

#include "interfaces/vendalo/vendalo_error.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

using ole::Decimal;
using ole::Variant;

[[noreturn]] void Unpriceable(int32_t lineNr, const std::string& column, const std::string& what, int32_t number) {
    RequestError refusal(422, "Line " + std::to_string(lineNr) + ": " + what + "; the basket is unchanged", number);
    refusal.detail["field"] = column;
    refusal.detail["line"] = lineNr;
    throw refusal;
}

Decimal AmountOr0(const Variant& value) { return Decimal::FromVariant(value, true); }
Variant Money(const Decimal& amount) { return Variant(amount.ToCurrency()); }
bool Missing(const Variant& v) { return NoValue(v) || v.Text().empty(); }
std::string Day(ole::Date day) { return day.Iso().substr(0, 10); }

}  // namespace

BasketPricer::WebPrice BasketPricer::PriceOf(int32_t lineNr, int32_t sku, int32_t partner, ole::Date day,
                                             const std::string& currency) {
    std::string key = std::to_string(sku) + "|" + std::to_string(partner) + "|" + Day(day) + "|" + currency;
    auto known = prices_.find(key);
    if (known == prices_.end()) {
        if (!pricing_) pricing_ = Sls_GetComponent<vendalo::IPricing>("Vendalo.Pricing");
        std::optional<WebPrice> found;
        try {
            if (pricing_->GetWebPrice(sku, partner, day, currency)) {
                vendalo::PriceRecord r = pricing_->Record();
                found = WebPrice{Decimal::FromVariant(r.Price), AmountOr0(r.DiscountPercent), AmountOr0(r.DiscountAmount)};
            }
        } catch (const ole::AutomationError& e) {
            // a home-currency price without a rate on that day is no price in the basket's currency
            if (e.Number() != qx::currency_err::RateNotFound) throw;
        }
        known = prices_.emplace(key, found).first;
    }
    if (!known->second)
        Unpriceable(lineNr, "PRODUCTPRICE",
                    "no price for product " + std::to_string(sku) + " for business partner " + std::to_string(partner) +
                        " in " + currency + " on " + Day(day),
                    vendalo::ProductPriceNotFound);
    return *known->second;
}

int16_t BasketPricer::ZoneOf(int32_t lineNr, int32_t addressId) {
    auto known = zones_.find(addressId);
    if (known == zones_.end()) {
        int16_t zone = 0;
        if (const Lookups::Address* address = lookups_.AddressOf(addressId)) {
            if (!freight_) freight_ = Sls_GetComponent<vendalo::IFreightCost>("Vendalo.FreightCost");
            if (freight_->InitZone(address->country, address->zip)) zone = freight_->ZoneId();
        }
        known = zones_.emplace(addressId, zone).first;
    }
    if (known->second == 0)
        Unpriceable(lineNr, "FREIGHTAMOUNT", "no freight zone for the country and zip code of address " +
                                                 std::to_string(addressId), vendalo::kFreightError);
    return known->second;
}

Decimal BasketPricer::FreightOf(int32_t lineNr, int32_t sku, const std::string& carrier, int16_t zone,
                                const Decimal& quantity, const std::string& currency, ole::Date day) {
    std::string key = std::to_string(sku) + "|" + carrier + "|" + std::to_string(zone) + "|" + quantity.ToString() +
                      "|" + currency + "|" + Day(day);
    auto known = freights_.find(key);
    if (known != freights_.end()) return known->second;
    if (!freight_) freight_ = Sls_GetComponent<vendalo::IFreightCost>("Vendalo.FreightCost");
    Decimal charge;
    try {
        charge = Decimal::FromDouble(
            freight_->GetFreightCost(Variant(sku), Variant(carrier), Variant(zone), Variant(quantity.ToCurrency())));
    } catch (const ole::AutomationError& e) {
        if (e.Number() != vendalo::kFreightError) throw;
        Unpriceable(lineNr, "FREIGHTAMOUNT", "no freight charge for product " + std::to_string(sku) + " by " + carrier +
                                                 " to zone " + std::to_string(zone) + " (" + e.Info().Reason + ")",
                    vendalo::kFreightError);
    }
    // the tariffs are kept in the home currency, like the prices a look-up converts
    std::string home = lookups_.HomeCurrency();
    if (currency != home && !charge.IsZero()) {
        try {
            auto homeCurrency = lookups_.Currencies().GetHomeCurrency();
            auto converted = lookups_.Currencies().ConvertTo(homeCurrency, currency, charge.ToDouble(), 0, day);
            charge = Decimal::FromVariant(converted->Item("PRICE"));
        } catch (const ole::AutomationError& e) {
            if (e.Number() != qx::currency_err::RateNotFound) throw;
            Unpriceable(lineNr, "FREIGHTAMOUNT", "no rate of " + currency + " on " + Day(day) + " for the freight charge",
                        qx::currency_err::RateNotFound);
        }
    }
    return freights_[key] = charge;
}

void BasketPricer::Price(ole::Dictionary& basket) {
    auto storedHeader = RecordsetOf(basket, "header");
    auto storedLines = RecordsetOf(basket, "lines");
    // the work is done on copies: a line that cannot be priced leaves the basket as it was
    ado::Recordset header(*storedHeader), lines(*storedLines);
    header.MoveFirst();
    int32_t partner = header.Fields("BUSINESSPARTNERID").Value().ToLong();
    std::string currency = header.Fields("CURRENCYCODE").Value().Text();
    std::string carrier = header.Fields("CARRIERCODE").Value().Text();
    Variant basketDate = header.Fields("BASKETDATE").Value(), shipping = header.Fields("SHIPPINGADDRESSID").Value();
    int decimals = lookups_.CurrencyDecimals(currency);

    Decimal net, orderDiscounts, freights, total;
    if (!(lines.Bof() && lines.Eof()))
        for (lines.MoveFirst(); !lines.Eof(); lines.MoveNext()) {
            auto f = [&](const char* column) { return lines.Fields(column); };
            int32_t lineNr = f("BASKETLINENR").Value().ToLong();
            int32_t sku = f("SKU").Value().ToLong();
            Decimal quantity = Decimal::FromVariant(f("QUANTITY").Value());
            Variant requested = f("REQUESTDATE").Value();
            ole::Date day = (NoValue(requested) ? basketDate.ToDate() : requested.ToDate()).DateOnly();
            WebPrice web = PriceOf(lineNr, sku, partner, day, currency);

            Decimal price = Decimal::FromCurrency(web.price.ToCurrency());  // the four decimals PRODUCTPRICE keeps
            Decimal gross = quantity * price;
            Decimal byPercent = gross * web.percent;
            byPercent = Decimal::Divide(byPercent, Decimal::FromInt(100), std::min(Decimal::kMaxScale, byPercent.Scale() + 2));
            Decimal discount = (byPercent + quantity * web.amount).Round(decimals);
            Decimal amount = gross.Round(decimals) - discount;

            Variant address = f("ADDRESSID").Value();
            if (NoValue(address)) address = shipping;
            Decimal freight =
                FreightOf(lineNr, sku, carrier, ZoneOf(lineNr, address.ToLong()), quantity, currency, day).Round(decimals);

            auto product = lookups_.Product(sku);
            f("PARTNUMBER") = product->Item("PARTNUMBER");
            f("PRODUCTUNITCODE") = product->Item("UNITCODE");
            if (Missing(f("LINETEXT").Value())) f("LINETEXT") = product->Item("PRODUCTDESCRIPTION");
            f("ADDRESSID") = address;
            f("PRODUCTPRICE") = Money(price);
            f("DISCOUNTPERC") = Variant(web.percent.ToDouble());
            f("DISCOUNTAMOUNT") = Money(discount);
            f("LINEDISCOUNTAMOUNT") = Money(discount);
            f("LINEAMOUNT") = Money(amount);
            f("FREIGHTAMOUNT") = Money(freight);

            Decimal orderDiscount = AmountOr0(f("ORDERDISCOUNTAMOUNT").Value());
            net += amount;
            orderDiscounts += orderDiscount;
            freights += freight;
            // one offer of the card gateway
            total += ((amount - orderDiscount).Round(decimals) + AmountOr0(f("TAXAMOUNT").Value()) + freight +
                      AmountOr0(f("FREIGHTTAXAMOUNT").Value()))
                         .Round(decimals);
        }
    header.Fields("CURRENCYDECIMALS") = Variant(static_cast<int16_t>(decimals));
    header.Fields("TOTALNETAMOUNT") = Money(net);
    header.Fields("DISCOUNTTOTAL") = Money(orderDiscounts);
    header.Fields("SUBTOTAL") = Money(net - orderDiscounts);
    header.Fields("FREIGHTTOTAL") = Money(freights);
    header.Fields("TOTAL") = Money(total);
    *storedHeader = header;
    *storedLines = lines;
}

}  // namespace backoffice::http
