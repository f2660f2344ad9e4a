// What the shop API checks before a basket or order call writes anything: the
// values a call would store, price or submit, against the tables' columns and
// the master data. A check throws RequestError (400) before the caller has
// changed anything; the answer names the field ("field": the column, "line":
// a basket line's BASKETLINENR) and carries the system's number for the fault:
//
//   unknown partner            0x80040201 (QxCommon.BusinessPartner's "not found")
//   user of another partner    0x8004015C InvalidCustomer
//   unknown product (SKU)      0x80040203 (QxCatalog.Product's "not found")
//   unknown currency           0x80040240 (QxCommon.Currency's "not found")
//   address not the partner's  0x80040154 MissingAddress
//   text longer than its column 0x80040E21 (a value that does not fit its field)
//   quantity, discount         5 Invalid procedure call, 13 Type mismatch
//   fields a call lacks        0x80040157 MissingOrderInfo, every one in "missing"
//
// The master data comes from the platform's components (by ProgID, as a web
// page would ask them), each value read once per request (Lookups).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "http/http_routes.h"
#include "platform/automation/dictionary.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/currency.h"
#include "platform/masterdata/product_catalog.h"

namespace backoffice::http {

// Null, or Empty (a field of a row just added).
inline bool NoValue(const ole::Variant& v) { return v.IsNull() || v.IsEmpty(); }

// The master data one request reads, each value once.
class Lookups {
public:
    bool PartnerExists(int32_t partner);
    // The partner a shop user belongs to; -1 for none.
    int32_t PartnerOfUser(const std::string& user);
    // The catalogue's record of a product (PARTNUMBER, UNITCODE, PRODUCTDESCRIPTION, ...); nullptr when unknown.
    ole::DictionaryPtr Product(int32_t sku);
    bool CurrencyExists(const std::string& code);
    int16_t CurrencyDecimals(const std::string& code);
    std::string HomeCurrency();
    qx::ICurrency& Currencies();

    struct Address {
        int32_t partner = -1;
        std::string country, zip;
    };
    // nullptr for an unknown address.
    const Address* AddressOf(int32_t addressId);

    // What a check is about to look up: read together, in one batch (one round trip on
    // PostgreSQL) rather than one by one; what was read already is not read again.
    struct Wanted {
        std::set<int32_t> partners, addresses, products;
        std::set<std::string> users, currencies;
    };
    void ReadAhead(const Wanted& wanted);

private:
    static std::optional<Address> AddressFrom(ado::Recordset& rows);

    std::shared_ptr<qx::IBusinessPartner> partners_;
    std::shared_ptr<qx::IProduct> products_;
    std::shared_ptr<qx::ICurrency> currencies_;
    std::map<int32_t, bool> partnerExists_;
    std::map<std::string, int32_t> userPartners_;
    std::map<int32_t, ole::DictionaryPtr> productRecords_;
    std::map<std::string, std::optional<int16_t>> currencyDecimals_;
    std::map<int32_t, std::optional<Address>> addresses_;
    std::string home_;
};

// The longest text a column of sql/schema.sql takes, in characters; 0 for one
// without limit (TEXT) or no text at all. For the values a request hands to a
// component directly (a new basket's user, a copy's name), not through a recordset.
size_t ColumnSize(const std::string& table, const std::string& column);
// Whether sql/schema.sql gives a column a DEFAULT: a row inserted without it gets that, not null.
bool ColumnHasDefault(const std::string& table, const std::string& column);

// Where a basket's lines stand in a PUT's body ("lines[2]"), by BASKETLINENR.
// A line that is not there is named by its number ("line 5").
using BodyLines = std::map<int32_t, size_t>;

// A new basket (POST /baskets): the partner exists and the user is one of its shop users. The
// partner of a user who belongs to it is not read here: the caller hands Basket.Create's
// "not found" (0x80040201) to RefuseUnknownPartner.
void CheckNewBasket(Lookups& lookups, const ole::Variant& user, const ole::Variant& partner);
// The refusal (400) of a new basket's partner that does not exist.
[[noreturn]] void RefuseUnknownPartner(const ole::Variant& partner);
// A line about to be added (POST /baskets/{id}/lines).
void CheckNewLine(Lookups& lookups, const ole::Variant& sku, const ole::Variant& quantity, const ole::Variant& configId);
// A copy's name and the texts its configured lines are copied with.
void CheckCopy(const ole::Variant& name, const ole::Variant& language, const ole::Variant& country);
// A whole basket as it would be stored: known partner, currency, products and
// the partner's addresses; quantities and discounts an order can rest on. (Its
// recordsets hold no text longer than its column: the data layer refuses one,
// and ReplaceBasket names the field.) Null passes: a stored basket may be a draft.
// The user is checked only when `before` is null or its user or partner differ
// (a broker's shopper need not be a shop user).
void CheckBasket(Lookups& lookups, const ole::Dictionary& basket, const ole::Dictionary* before,
                 const BodyLines& bodyLines = {});
// A stored basket before it becomes an order: every field the order needs is
// there (all missing ones named in one answer), then CheckBasket.
void CheckSubmission(Lookups& lookups, const ole::Dictionary& basket);
// A stored basket before it is priced: partner, currency, carrier, and per line
// product, quantity, a date and an address (its own or the basket's).
void CheckPricing(Lookups& lookups, const ole::Dictionary& basket);

}  // namespace backoffice::http
