// A basket priced from the system's own data, where the web pages filled the
// amounts by hand: per line the web price (Vendalo.Pricing GetWebPrice for the
// basket's partner and currency on the line's REQUESTDATE, else the basket's
// date), the catalogue's part number, unit and description, the discount and
// amounts, and the freight (Vendalo.FreightCost for the zone of the line's
// address, else the basket's delivery address, and the basket's carrier); then
// the header's totals. Every amount is decimal, rounded to the currency's
// decimals (halves to even):
//
//   PRODUCTPRICE        the web price, to the four decimals the column keeps
//   DISCOUNTPERC        the price's discount percentage
//   LINEDISCOUNTAMOUNT  QUANTITY x PRODUCTPRICE x DISCOUNTPERC / 100 + QUANTITY x the price's
//   = DISCOUNTAMOUNT    discount amount (the line's whole discount, as the order keeps it)
//   LINEAMOUNT          QUANTITY x PRODUCTPRICE (rounded) - LINEDISCOUNTAMOUNT
//   FREIGHTAMOUNT       the freight charge; tariffs are in the home currency and are
//                       converted at the line's date like a home-currency price
//   TOTALNETAMOUNT      sum of LINEAMOUNT; DISCOUNTTOTAL sum of ORDERDISCOUNTAMOUNT;
//   SUBTOTAL            TOTALNETAMOUNT - DISCOUNTTOTAL; FREIGHTTOTAL sum of FREIGHTAMOUNT
//   TOTAL               per line LINEAMOUNT - ORDERDISCOUNTAMOUNT (rounded) + TAXAMOUNT +
//                       FREIGHTAMOUNT + FREIGHTTAXAMOUNT, rounded, summed: the card
//                       gateway's offers, so that an authorisation of TOTAL is what
//                       the capture of the order's lines asks for
//
// The system holds no tax rates: TAXAMOUNT, FREIGHTTAXAMOUNT, ORDERDISCOUNTAMOUNT,
// TAXTOTAL and FREIGHTTAXTOTAL stay what the caller set. A line without its own
// ADDRESSID gets the address its freight was charged for; a line without
// LINETEXT gets the product's description (the order form's description).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "http/basket_checks.h"
#include "interfaces/vendalo/freight_cost.h"
#include "interfaces/vendalo/pricing.h"
#include "platform/automation/decimal.h"

namespace backoffice::http {

class BasketPricer {
public:
    explicit BasketPricer(Lookups& lookups) : lookups_(lookups) {}

    // Prices the basket's lines and header in its recordsets (the caller saves
    // it). A line without a price on its date, without a freight zone or
    // without a freight tariff raises RequestError 422 naming the line; the
    // basket is then unchanged. Call CheckPricing first.
    void Price(ole::Dictionary& basket);

private:
    struct WebPrice {
        ole::Decimal price, percent, amount;
    };
    // Each raises the 422 naming the line when there is nothing to charge.
    WebPrice PriceOf(int32_t lineNr, int32_t sku, int32_t partner, ole::Date day, const std::string& currency);
    int16_t ZoneOf(int32_t lineNr, int32_t addressId);
    ole::Decimal FreightOf(int32_t lineNr, int32_t sku, const std::string& carrier, int16_t zone,
                           const ole::Decimal& quantity, const std::string& currency, ole::Date day);

    Lookups& lookups_;
    std::shared_ptr<vendalo::IPricing> pricing_;
    std::shared_ptr<vendalo::IFreightCost> freight_;
    // what was read once in a request (an added line is priced twice: before and after it is stored)
    std::map<std::string, std::optional<WebPrice>> prices_;
    std::map<int32_t, int16_t> zones_;
    std::map<std::string, ole::Decimal> freights_;
};

}  // namespace backoffice::http
