#include "http/basket_checks.h"

#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include "installation/sql_scripts.h"
#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "platform/automation/decimal.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

using ole::Variant;

bool Missing(const Variant& v) { return NoValue(v) || (v.Type() == ole::VarType::String && v.ToString().empty()); }

// Where a checked value stands: how the answer shows it, and the line it belongs to.
struct Place {
    std::string prefix;  // "header.", "lines[2].", "" (a header field or a body's own field)
    std::string suffix;  // " of line 5"
    std::optional<int32_t> line;

    std::string Shown(const std::string& column) const { return prefix + column + suffix; }
};

Place HeaderPlace(bool inBody) { return {inBody ? "header." : "", "", std::nullopt}; }

Place LinePlace(int32_t lineNr, const BodyLines& bodyLines) {
    auto at = bodyLines.find(lineNr);
    if (at != bodyLines.end()) return {"lines[" + std::to_string(at->second) + "].", "", lineNr};
    return {"", " of line " + std::to_string(lineNr), lineNr};
}

[[noreturn]] void Refuse(const Place& place, const std::string& column, const std::string& what, int32_t number) {
    RequestError refusal(400, place.Shown(column) + ": " + what, number);
    refusal.detail["field"] = column;
    if (place.line) refusal.detail["line"] = *place.line;
    throw refusal;
}

// Characters of UTF-8 text (the bodies are valid UTF-8: the JSON reader refuses anything else).
size_t Characters(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

// `field` names the value where the request does not call it by its column.
void CheckLength(const std::string& table, const std::string& column, const Variant& value, const Place& place,
                 const std::string& field = "") {
    if (value.Type() != ole::VarType::String) return;
    size_t size = ColumnSize(table, column);
    if (size > 0 && Characters(value.ToString()) > size)
        Refuse(place, field.empty() ? column : field, "at most " + std::to_string(size) + " characters",
               ado::err::MultipleStep);
}

void CheckQuantity(const Variant& quantity, const Place& place) {
    if (NoValue(quantity)) return;
    try {
        vendalo::CheckLineQuantity(quantity.ToDouble(), place.Shown("QUANTITY"));
    } catch (const ole::AutomationError& e) {
        RequestError refusal(400, e.Description(), e.Number());
        refusal.detail["field"] = "QUANTITY";
        if (place.line) refusal.detail["line"] = *place.line;
        throw refusal;
    }
}

void CheckProduct(Lookups& lookups, const Variant& sku, const Place& place) {
    if (NoValue(sku)) return;
    if (!lookups.Product(sku.ToLong()))
        Refuse(place, "SKU", "product " + sku.Text() + " is not in the catalogue", qx::kProductNotFound);
}

// An address of the basket's partner (any known address while the basket has no partner).
void CheckAddress(Lookups& lookups, const Variant& address, const Variant& partner, const Place& place,
                  const std::string& column) {
    if (NoValue(address)) return;
    const Lookups::Address* found = lookups.AddressOf(address.ToLong());
    if (!found) Refuse(place, column, "address " + address.Text() + " does not exist", vendalo::MissingAddress);
    if (!NoValue(partner) && found->partner != partner.ToLong())
        Refuse(place, column, "address " + address.Text() + " is not one of business partner " + partner.Text() + "'s",
               vendalo::MissingAddress);
}

// A discount between 0 and quantity x price: what an order's amounts can rest on.
void CheckDiscount(ado::Recordset& line, const Place& place) {
    Variant quantity = line.Fields("QUANTITY").Value(), price = line.Fields("PRODUCTPRICE").Value(),
            discount = line.Fields("DISCOUNTAMOUNT").Value();
    if (NoValue(discount)) return;
    ole::Decimal amount = ole::Decimal::FromVariant(discount);
    if (amount.Sign() < 0) Refuse(place, "DISCOUNTAMOUNT", "a discount is not negative", ole::err::TypeMismatch);
    if (NoValue(quantity) || NoValue(price)) return;
    if (amount > ole::Decimal::FromVariant(quantity) * ole::Decimal::FromVariant(price))
        Refuse(place, "DISCOUNTAMOUNT", "a discount is at most QUANTITY x PRODUCTPRICE", ole::err::TypeMismatch);
}

bool Same(const Variant& a, const Variant& b) { return (NoValue(a) && NoValue(b)) || ole::VbEquals(a, b); }

// Every field a call lacks, named in one answer.
class MissingFields {
public:
    void Check(const Variant& value, const std::string& column, const Place& place) {
        if (!Missing(value)) return;
        json entry = {{"field", column}};
        if (place.line) entry["line"] = *place.line;
        entries_.push_back(entry);
        shown_ += (shown_.empty() ? "" : ", ") + place.Shown(column);
    }
    void RaiseAny(const std::string& what) const {
        if (entries_.empty()) return;
        RequestError refusal(400, what + ": " + shown_ + " missing", vendalo::MissingOrderInfo);
        refusal.detail["field"] = entries_[0]["field"];
        if (entries_[0].contains("line")) refusal.detail["line"] = entries_[0]["line"];
        refusal.detail["missing"] = entries_;
        throw refusal;
    }

private:
    json entries_ = json::array();
    std::string shown_;
};

template <class Each>
void ForEachLine(ado::Recordset& lines, Each each) {
    if (lines.Bof() && lines.Eof()) return;
    for (lines.MoveFirst(); !lines.Eof(); lines.MoveNext()) each(lines, lines.Fields("BASKETLINENR").Value().ToLong());
}

// The recordsets a check reads: copies, so that the caller's keep their position.
struct Rows {
    ado::Recordset header, lines;
    explicit Rows(const ole::Dictionary& basket)
        : header(*RecordsetOf(basket, "header")), lines(*RecordsetOf(basket, "lines")) {
        header.MoveFirst();
    }
};

// What CheckBasket looks up for a basket's rows (the user only when `userSet`).
Lookups::Wanted WantedBy(ado::Recordset& header, ado::Recordset& lines, bool userSet) {
    Lookups::Wanted wanted;
    auto number = [](std::set<int32_t>& into, const Variant& v) {
        if (!NoValue(v)) into.insert(v.ToLong());
    };
    Variant partner = header.Fields("BUSINESSPARTNERID").Value(), user = header.Fields("USERID").Value(),
            currency = header.Fields("CURRENCYCODE").Value();
    number(wanted.partners, partner);
    if (userSet && !NoValue(user) && !NoValue(partner)) wanted.users.insert(user.Text());
    if (!NoValue(currency)) wanted.currencies.insert(currency.Text());
    for (const char* column : {"BILLINGADDRESSID", "SHIPPINGADDRESSID"}) number(wanted.addresses, header.Fields(column).Value());
    ForEachLine(lines, [&](ado::Recordset& line, int32_t) {
        number(wanted.products, line.Fields("SKU").Value());
        number(wanted.addresses, line.Fields("ADDRESSID").Value());
    });
    return wanted;
}

}  // namespace

// ---- Lookups ------------------------------------------------------------------

bool Lookups::PartnerExists(int32_t partner) {
    auto known = partnerExists_.find(partner);
    if (known != partnerExists_.end()) return known->second;
    if (!partners_) partners_ = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
    bool exists = true;
    try {
        partners_->GetBusinessPartnerName(partner);
    } catch (const ole::AutomationError& e) {
        if (e.Number() != qx::kBusinessPartnerNotFound) throw;
        exists = false;
    }
    return partnerExists_[partner] = exists;
}

int32_t Lookups::PartnerOfUser(const std::string& user) {
    auto known = userPartners_.find(user);
    if (known != userPartners_.end()) return known->second;
    if (!partners_) partners_ = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
    return userPartners_[user] = partners_->GetBusinessPartnerIdOfUser(user);
}

ole::DictionaryPtr Lookups::Product(int32_t sku) {
    auto known = productRecords_.find(sku);
    if (known != productRecords_.end()) return known->second;
    if (!products_) products_ = Sls_GetComponent<qx::IProduct>("QxCatalog.Product");
    ole::DictionaryPtr record;
    try {
        record = products_->GetProduct(sku);
    } catch (const ole::AutomationError& e) {
        if (e.Number() != qx::kProductNotFound) throw;
    }
    return productRecords_[sku] = record;
}

qx::ICurrency& Lookups::Currencies() {
    if (!currencies_) currencies_ = Sls_GetComponent<qx::ICurrency>("QxCommon.Currency");
    return *currencies_;
}

bool Lookups::CurrencyExists(const std::string& code) {
    auto known = currencyDecimals_.find(code);
    if (known != currencyDecimals_.end()) return known->second.has_value();
    std::optional<int16_t> decimals;
    if (Currencies().GetCurrency(code)) decimals = Currencies().Decimals();
    return (currencyDecimals_[code] = decimals).has_value();
}

int16_t Lookups::CurrencyDecimals(const std::string& code) {
    if (!CurrencyExists(code))
        ole::Raise(qx::currency_err::CurrencyNotFound, "Currency " + code + " does not exist", "backoffice.serve");
    return *currencyDecimals_[code];
}

std::string Lookups::HomeCurrency() {
    if (home_.empty()) {
        auto home = Currencies().GetHomeCurrency();
        if (!home) ole::Raise(vendalo::HomeCurrencyNotFound, "HomeCurrencyNotFound", "backoffice.serve");
        home_ = home->Item("CURRENCYCODE").Text();
    }
    return home_;
}

const Lookups::Address* Lookups::AddressOf(int32_t addressId) {
    auto known = addresses_.find(addressId);
    if (known == addresses_.end()) {
        if (!partners_) partners_ = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
        known = addresses_.emplace(addressId, AddressFrom(*partners_->GetAddress(addressId))).first;
    }
    return known->second ? &*known->second : nullptr;
}

std::optional<Lookups::Address> Lookups::AddressFrom(ado::Recordset& rows) {
    if (rows.Eof()) return std::nullopt;
    Variant partner = rows.Fields("BUSINESSPARTNERID").Value();
    return Address{NoValue(partner) ? -1 : partner.ToLong(), rows.Fields("COUNTRYCODE").Value().Text(),
                   rows.Fields("ZIPCODE").Value().Text()};
}

void Lookups::ReadAhead(const Wanted& wanted) {
    // the statements the components run, in this order, for what is not known yet
    std::vector<ado::BatchStatement> statements;
    auto add = [&](const auto& keys, const auto& known, const char* sql) {
        size_t from = statements.size();
        for (const auto& key : keys)
            if (!known.count(key)) statements.push_back({sql, {Variant(key)}});
        return std::make_pair(from, statements.size());
    };
    auto partners = add(wanted.partners, partnerExists_, qx::kBusinessPartnerSelect);
    auto users = add(wanted.users, userPartners_, qx::kPartnerOfUserSelect);
    auto currencies = add(wanted.currencies, currencyDecimals_, qx::kCurrencySelect);
    auto addresses = add(wanted.addresses, addresses_, qx::kAddressSelect);
    auto products = add(wanted.products, productRecords_, qx::kProductSelect);
    if (statements.empty()) return;
    auto connection = ado::OpenConnection(qx::MasterDataConnectionString());
    auto read = connection->ExecuteBatch(statements);
    connection->Close();
    auto each = [&](std::pair<size_t, size_t> range, auto store) {
        for (size_t i = range.first; i < range.second; ++i) store(statements[i].params[0], *read[i].rows);
    };
    each(partners, [&](const Variant& key, ado::Recordset& rows) { partnerExists_[key.ToLong()] = !rows.Eof(); });
    each(users, [&](const Variant& key, ado::Recordset& rows) { userPartners_[key.ToString()] = qx::PartnerOfUserFrom(rows); });
    each(currencies, [&](const Variant& key, ado::Recordset& rows) {
        std::optional<int16_t> decimals;
        if (!rows.Eof()) decimals = rows.Fields("DECIMALS").Value().ToInt();
        currencyDecimals_[key.ToString()] = decimals;
    });
    each(addresses, [&](const Variant& key, ado::Recordset& rows) { addresses_[key.ToLong()] = AddressFrom(rows); });
    each(products, [&](const Variant& key, ado::Recordset& rows) { productRecords_[key.ToLong()] = qx::ProductRecordOf(rows); });
}

// ---- Column sizes ---------------------------------------------------------------

namespace {

struct ColumnFacts {
    std::map<std::string, size_t> sizes;     // "TABLE.COLUMN" of a text with a limit
    std::set<std::string> defaulted;         // "TABLE.COLUMN" with a DEFAULT
};

// Read once: "CREATE TABLE NAME (" opens a table, "    COLUMN VARCHAR(n)" declares a
// text, "    COLUMN TYPE ... DEFAULT x" a column the database fills in.
const ColumnFacts& Columns() {
    static const ColumnFacts facts = [] {
        ColumnFacts found;
        std::istringstream script(backoffice::ReadSqlScript("schema.sql"));
        static const std::regex create(R"(^CREATE TABLE (\w+) \()"), text(R"(^\s+(\w+)\s+N?(?:VAR)?CHAR\((\d+)\))"),
            column(R"(^\s+(\w+)\s)"), byDefault(R"(\sDEFAULT\s)");
        std::string line, current;
        std::smatch m;
        while (std::getline(script, line)) {
            if (std::regex_search(line, m, create)) {
                current = m[1].str();
                continue;
            }
            if (line.rfind(")", 0) == 0) current.clear();
            if (current.empty() || !std::regex_search(line, m, column)) continue;
            std::string name = current + "." + m[1].str();
            if (std::regex_search(line, byDefault)) found.defaulted.insert(name);
            if (std::regex_search(line, m, text)) found.sizes[name] = std::stoul(m[2]);
        }
        return found;
    }();
    return facts;
}

}  // namespace

size_t ColumnSize(const std::string& table, const std::string& column) {
    auto at = Columns().sizes.find(table + "." + column);
    return at == Columns().sizes.end() ? 0 : at->second;
}

bool ColumnHasDefault(const std::string& table, const std::string& column) {
    return Columns().defaulted.count(table + "." + column) > 0;
}

// ---- Checks ---------------------------------------------------------------------

void CheckNewBasket(Lookups& lookups, const Variant& user, const Variant& partner) {
    Place body = HeaderPlace(false);
    CheckLength("BASKETHEADER", "USERID", user, body);
    // The user first: when it is one of the partner's, the partner's row is left to Basket.Create,
    // which reads it next (see RefuseUnknownPartner); an unknown partner is refused as such either way.
    // (Only a user whose partner is gone, which the master data should never hold, reaches Create so.)
    int32_t own = lookups.PartnerOfUser(user.Text());
    if (own != -1 && own == partner.ToLong()) return;
    if (!lookups.PartnerExists(partner.ToLong())) RefuseUnknownPartner(partner);
    // the order of anyone else could never be exported
    Refuse(body, "USERID", "'" + user.Text() + "' is no shop user of business partner " + partner.Text(),
           vendalo::InvalidCustomer);
}

void RefuseUnknownPartner(const Variant& partner) {
    Refuse(HeaderPlace(false), "BUSINESSPARTNERID", "business partner " + partner.Text() + " does not exist",
           qx::kBusinessPartnerNotFound);
}

void CheckNewLine(Lookups& lookups, const Variant& sku, const Variant& quantity, const Variant& configId) {
    Place body = HeaderPlace(false);
    CheckProduct(lookups, sku, body);
    CheckQuantity(quantity, body);
    CheckLength("BASKETLINE", "PRODUCTCONFIGID", configId, body);
}

void CheckCopy(const Variant& name, const Variant& language, const Variant& country) {
    Place body = HeaderPlace(false);
    CheckLength("BASKETHEADER", "BASKETNAME", name, body, "name");
    // a configured line's configuration is copied with these
    CheckLength("PRODUCTCONFIGURATION", "LANGUAGE", language, body, "_language");
    CheckLength("PRODUCTCONFIGURATION", "COUNTRYCODE", country, body, "_countrycode");
}

void CheckBasket(Lookups& lookups, const ole::Dictionary& basket, const ole::Dictionary* before,
                 const BodyLines& bodyLines) {
    Rows rows(basket);
    ado::Recordset& header = rows.header;
    Place top = HeaderPlace(true);
    Variant partner = header.Fields("BUSINESSPARTNERID").Value(), user = header.Fields("USERID").Value();
    bool userSet = true;
    if (before) {
        Rows stored(*before);
        userSet = !Same(stored.header.Fields("USERID").Value(), user) ||
                  !Same(stored.header.Fields("BUSINESSPARTNERID").Value(), partner);
    }
    lookups.ReadAhead(WantedBy(header, rows.lines, userSet));
    if (!NoValue(partner) && !lookups.PartnerExists(partner.ToLong()))
        Refuse(top, "BUSINESSPARTNERID", "business partner " + partner.Text() + " does not exist",
               qx::kBusinessPartnerNotFound);
    if (userSet && (NoValue(user) || NoValue(partner) || lookups.PartnerOfUser(user.Text()) != partner.ToLong()))
        Refuse(top, "USERID", "'" + user.Text() + "' is no shop user of business partner " + partner.Text(),
               vendalo::InvalidCustomer);
    Variant currency = header.Fields("CURRENCYCODE").Value();
    if (!NoValue(currency) && !lookups.CurrencyExists(currency.Text()))
        Refuse(top, "CURRENCYCODE", "currency " + currency.Text() + " does not exist", qx::currency_err::CurrencyNotFound);
    for (const char* column : {"BILLINGADDRESSID", "SHIPPINGADDRESSID"})
        CheckAddress(lookups, header.Fields(column).Value(), partner, top, column);

    ForEachLine(rows.lines, [&](ado::Recordset& line, int32_t lineNr) {
        Place at = LinePlace(lineNr, bodyLines);
        CheckProduct(lookups, line.Fields("SKU").Value(), at);
        CheckQuantity(line.Fields("QUANTITY").Value(), at);
        CheckDiscount(line, at);
        CheckAddress(lookups, line.Fields("ADDRESSID").Value(), partner, at, "ADDRESSID");
    });
}

void CheckSubmission(Lookups& lookups, const ole::Dictionary& basket) {
    Rows rows(basket);
    MissingFields missing;
    Place top = HeaderPlace(true);
    // what the order's rows are made of: a Null here once failed the submission as "Invalid use of Null"
    for (const char* column : {"BUSINESSPARTNERID", "USERID", "CURRENCYCODE", "BASKETDATE", "BILLINGADDRESSID",
                               "SHIPPINGADDRESSID", "DISCOUNTPERC"})
        missing.Check(rows.header.Fields(column).Value(), column, top);
    ForEachLine(rows.lines, [&](ado::Recordset& line, int32_t lineNr) {
        for (const char* column :
             {"SKU", "QUANTITY", "ADDRESSID", "PRODUCTPRICE", "DISCOUNTPERC", "DISCOUNTAMOUNT", "LINEAMOUNT"})
            missing.Check(line.Fields(column).Value(), column, LinePlace(lineNr, {}));
    });
    missing.RaiseAny("The order needs every field");
    CheckBasket(lookups, basket, &basket);
}

void CheckPricing(Lookups& lookups, const ole::Dictionary& basket) {
    Rows rows(basket);
    MissingFields missing;
    Place top = HeaderPlace(true);
    for (const char* column : {"BUSINESSPARTNERID", "CURRENCYCODE", "CARRIERCODE"})
        missing.Check(rows.header.Fields(column).Value(), column, top);
    bool needsDate = false, needsAddress = false;
    ForEachLine(rows.lines, [&](ado::Recordset& line, int32_t lineNr) {
        for (const char* column : {"SKU", "QUANTITY"}) missing.Check(line.Fields(column).Value(), column, LinePlace(lineNr, {}));
        needsDate = needsDate || NoValue(line.Fields("REQUESTDATE").Value());
        needsAddress = needsAddress || NoValue(line.Fields("ADDRESSID").Value());
    });
    // a line without its own date or address takes the basket's
    if (needsDate) missing.Check(rows.header.Fields("BASKETDATE").Value(), "BASKETDATE", top);
    if (needsAddress) missing.Check(rows.header.Fields("SHIPPINGADDRESSID").Value(), "SHIPPINGADDRESSID", top);
    missing.RaiseAny("Pricing needs every field");
    CheckBasket(lookups, basket, &basket);
}

}  // namespace backoffice::http
