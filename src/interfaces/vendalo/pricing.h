// Vendalo.Pricing: one price record and the look-ups and maintenance of the
// price tables CUSTOMERPRICE (prices agreed with one business partner) and
// PRODUCTPRICE (list prices). A record is valid from EFFECTIVEDATE (inclusive)
// to EXPIRYDATE (exclusive; Null for an open end). The object also implements
// qx::IReferentialIntegrity for products, partners, currencies, carriers and
// countries.
//
// Properties are Variants: a property never set is Empty, which maintenance
// tells apart from Null (ExpiryDate, DiscountPercent and DiscountAmount may be
// Null). A look-up fills them; maintenance reads them and leaves them as the
// caller set them, also when it refuses. Every failure raises an automation
// error whose number is a VendaloError (validation, overlap, referential check,
// missing record) or the database's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation/variant.h"
#include "platform/masterdata/referential_integrity.h"

namespace vendalo {

// The eight values of a price record, as the properties hold them.
struct PriceRecord {
    ole::Variant ProductID;
    ole::Variant BusinessPartnerID;
    ole::Variant CurrencyCode;
    ole::Variant EffectiveDate;
    ole::Variant ExpiryDate;
    ole::Variant Price;
    ole::Variant DiscountPercent;
    ole::Variant DiscountAmount;
};

class IPricing : public virtual ole::Object {
public:
    virtual ole::Variant ProductID() const = 0;
    virtual void SetProductID(const ole::Variant& value) = 0;
    virtual ole::Variant BusinessPartnerID() const = 0;
    virtual void SetBusinessPartnerID(const ole::Variant& value) = 0;
    virtual ole::Variant CurrencyCode() const = 0;
    virtual void SetCurrencyCode(const ole::Variant& value) = 0;
    virtual ole::Variant EffectiveDate() const = 0;
    virtual void SetEffectiveDate(const ole::Variant& value) = 0;
    virtual ole::Variant ExpiryDate() const = 0;
    virtual void SetExpiryDate(const ole::Variant& value) = 0;
    virtual ole::Variant Price() const = 0;
    virtual void SetPrice(const ole::Variant& value) = 0;
    virtual ole::Variant DiscountPercent() const = 0;
    virtual void SetDiscountPercent(const ole::Variant& value) = 0;
    virtual ole::Variant DiscountAmount() const = 0;
    virtual void SetDiscountAmount(const ole::Variant& value) = 0;

    // All eight properties at once.
    virtual PriceRecord Record() const = 0;
    virtual void SetRecord(const PriceRecord& record) = 0;

    // The price the shop charges the partner for the product on the order date in
    // the currency: the partner's customer price in that currency, else in the home
    // currency, else the list price in that currency, else in the home currency;
    // within each the latest valid on the date. A home-currency price is converted
    // (CurrencyCode becomes the requested code). BusinessPartnerID is the partner
    // for a customer price and Null for a list price; both discounts are numbers.
    // False, with the properties unchanged, when the product has no price.
    virtual bool GetWebPrice(int32_t iProductID, int32_t iBusinessPartnerID, ole::Date iOrderDate,
                             const std::string& iCurrencyCode) = 0;
    // The same for a list of products on one connection, in the order given:
    // nothing for a product without price. The properties are left unchanged.
    virtual std::vector<std::optional<PriceRecord>> GetWebPrices(const std::vector<int32_t>& iProductIDs,
                                                                 int32_t iBusinessPartnerID, ole::Date iOrderDate,
                                                                 const std::string& iCurrencyCode) = 0;

    // Stores the properties as a new record of CUSTOMERPRICE (iCustomerPricing) or
    // PRODUCTPRICE after validation, the overlap check and the referential check.
    virtual bool AddPricing(bool iCustomerPricing) = 0;
    // Changes expiry, price and discounts of the record with the properties' key
    // (a key without a record changes nothing and is no error).
    virtual bool UpdatePricing(bool iCustomerPricing) = 0;
    // Deletes the record with the properties' key.
    virtual bool DeletePricing(bool iCustomerPricing) = 0;

    // Loads the stored record with exactly this key; raises CustomerPriceNotFound /
    // ProductPriceNotFound when there is none.
    virtual bool GetCustomerPrice(int32_t iProductID, int32_t iBusinessPartnerID, ole::Date iEffectiveDate,
                                  const std::string& iCurrencyCode) = 0;
    virtual bool GetProductPrice(int32_t iProductID, ole::Date iEffectiveDate, const std::string& iCurrencyCode) = 0;
};

}  // namespace vendalo
