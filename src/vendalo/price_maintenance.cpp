#include "vendalo/price_maintenance.h"

#include <cmath>
#include <optional>

#include "interfaces/vendalo/vendalo_error.h"
#include "platform/automation/decimal.h"
#include "platform/automation/text.h"
#include "platform/masterdata/referential_checker.h"
#include "shared/lib_sales.h"
#include "vendalo/keys.h"
#include "vendalo/statement.h"

namespace vendalo::price_maintenance {
namespace {

using ole::Variant;

bool Missing(const Variant& v) { return v.IsNull() || v.IsEmpty(); }

[[noreturn]] void Refuse(VendaloError code, const char* name) { ole::Raise(code, name, "Vendalo.Pricing"); }

bool IsDateValue(const Variant& v) {
    if (v.IsDate()) return true;
    ole::Date d;
    return v.IsString() && ole::ParseDate(v.ToString(), d);
}

// The value as an exact decimal, or nothing when it is no finite number a
// decimal holds (text that does not spell one, NaN, infinities, 1e300 and
// 1e-300 included).
std::optional<ole::Decimal> NumberOf(const Variant& v) {
    if (v.IsNull() || v.IsEmpty() || v.IsDate() || v.IsObject() || v.IsArray() || !v.IsNumeric()) return std::nullopt;
    if (v.IsString()) {
        if (auto exact = ole::Decimal::Parse(ole::TrimBlanks(v.ToString()))) return exact;
    }
    // other spellings of a number ("1e3", "1,000") as the platform reads them
    double d = v.ToDouble();
    if (!std::isfinite(d)) return std::nullopt;
    try {
        return v.IsString() ? ole::Decimal::FromDouble(d) : ole::Decimal::FromVariant(v);
    } catch (const ole::AutomationError& e) {
        if (e.Number() == ole::err::Overflow) return std::nullopt;
        throw;
    }
}

// A product or partner id as the 32-bit integer the key columns hold; a value
// that is no whole number in that range is a type mismatch, never rounded.
Variant WholeNumber(const Variant& v) {
    auto key = IntegerKeyOf(v);
    if (!key) ole::Raise(ole::err::TypeMismatch);
    return Variant(*key);
}

Variant DateOf(const Variant& v) { return Variant(v.ToDate()); }
Variant TextOf(const Variant& v) { return Variant(v.ToString()); }

// the expiry that stands for an open end in the overlap checks (made on use: the
// platform's calendar is not ready while statics are initialised)
ole::Date OpenEnd() { return ole::Date::FromParts(9999, 12, 31); }

Variant CheckedExpiry(const PriceRecord& r) {
    return r.ExpiryDate.IsNull() ? Variant(OpenEnd()) : DateOf(r.ExpiryDate);
}

// The key columns of the record's table, as the WHERE clause of the checks.
void KeyOfChecks(Statement& st, const PriceRecord& r, bool customer, const char* column = "PRODUCTID") {
    st.Sql(std::string("SELECT ") + column);
    if (customer) {
        st.Sql(" FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID = ");
        st.Value(WholeNumber(r.BusinessPartnerID));
        st.Sql(" AND PRODUCTID = ");
    } else {
        st.Sql(" FROM PRODUCTPRICE WHERE PRODUCTID = ");
    }
    st.Value(WholeNumber(r.ProductID));
    st.Sql(" AND CURRENCYCODE = ");
    st.Value(TextOf(r.CurrencyCode));
}

void RefuseOverlapIfFound(const Statement& check, const ado::ConnectionPtr& connection) {
    if (!check.Rows(connection)->Eof())
        ole::Raise(EffectiveDateRange, "VendaloError.EffectiveDateRange: " + check.Shown(), "Vendalo.Pricing");
}

// A command with the record's values as typed input parameters, in the order named.
ado::CommandPtr WriteCommand(const std::string& sql, const PriceRecord& r, const std::vector<std::string>& names,
                             const ado::ConnectionPtr& connection) {
    auto command = std::make_shared<ado::Command>();
    command->ActiveConnection = connection;
    command->CommandText = sql;
    command->CommandType = ado::adCmdText;
    for (const std::string& name : names) {
        ado::ParameterPtr p;
        if (name == "BusinessPartnerID") p = command->CreateParameter(name, ado::adInteger, ado::adParamInput, 0, WholeNumber(r.BusinessPartnerID));
        else if (name == "ProductID") p = command->CreateParameter(name, ado::adInteger, ado::adParamInput, 0, WholeNumber(r.ProductID));
        else if (name == "EffectiveDate") p = command->CreateParameter(name, ado::adDBTimeStamp, ado::adParamInput, 0, r.EffectiveDate);
        else if (name == "CurrencyCode") p = command->CreateParameter(name, ado::adWChar, ado::adParamInput, 3, r.CurrencyCode);
        else if (name == "ExpiryDate") p = command->CreateParameter(name, ado::adDBTimeStamp, ado::adParamInput, 0, r.ExpiryDate);
        else if (name == "Price") p = command->CreateParameter(name, ado::adNumeric, ado::adParamInput, 0, r.Price);
        else if (name == "DiscountPercent") p = command->CreateParameter(name, ado::adNumeric, ado::adParamInput, 0, r.DiscountPercent);
        else p = command->CreateParameter(name, ado::adNumeric, ado::adParamInput, 0, r.DiscountAmount);
        command->AppendParameter(p);
    }
    return command;
}

int32_t Run(const ado::CommandPtr& command) {
    int32_t affected = 0;
    command->Execute(&affected);
    return affected;
}

void CheckReferences(const PriceRecord& r, bool customer, ReferenceCache* cache) {
    std::string product = r.ProductID.Text(), partner = customer ? r.BusinessPartnerID.Text() : "",
                currency = r.CurrencyCode.Text();
    auto key = std::make_tuple(customer, product, partner, currency);
    auto known = cache ? cache->find(key) : ReferenceCache::iterator{};
    bool allowed;
    if (cache && known != cache->end()) {
        allowed = known->second;
    } else {
        auto checker = Sls_GetComponent<qx::IReferentialChecker>("Qxcore.ReferentialChecker");
        if (customer)
            allowed = checker->CheckInsert("CUSTOMERPRICE", {"PRODUCTID", "BUSINESSPARTNERID", "CURRENCYCODE"},
                                           {r.ProductID, r.BusinessPartnerID, r.CurrencyCode});
        else
            allowed = checker->CheckInsert("PRODUCTPRICE", {"PRODUCTID", "CURRENCYCODE"}, {r.ProductID, r.CurrencyCode});
        if (cache) cache->emplace(key, allowed);
    }
    if (allowed) return;
    std::string description = "ReferentialInsert PRODUCTID=" + product;
    if (customer) description += ", BUSINESSPARTNERID=" + partner;
    description += ", CURRENCYCODE=" + currency;
    ole::Raise(ReferentialInsert, description, "Vendalo.Pricing");
}

}  // namespace

void Validate(const PriceRecord& r, bool customer) {
    if (Missing(r.ProductID)) Refuse(MissingProductID, "MissingProductID");
    if (Missing(r.EffectiveDate)) Refuse(MissingEffectiveDate, "MissingEffectiveDate");
    if (Missing(r.CurrencyCode)) Refuse(MissingCurrencyCode, "MissingCurrencyCode");
    if (Missing(r.Price)) Refuse(MissingPrice, "MissingPrice");
    if (r.DiscountAmount.IsEmpty() || r.DiscountPercent.IsEmpty()) Refuse(MissingDiscount, "MissingDiscount");
    if (r.ExpiryDate.IsEmpty()) Refuse(MissingExpiryDate, "MissingExpiryDate");
    if (customer && Missing(r.BusinessPartnerID)) Refuse(MissingBusinessPartnerID, "MissingBusinessPartnerID");
    if (!IsDateValue(r.EffectiveDate)) Refuse(InvalidEffectiveDate, "InvalidEffectiveDate");
    if (!r.ExpiryDate.IsNull() && !IsDateValue(r.ExpiryDate)) Refuse(InvalidExpiryDate, "InvalidExpiryDate");
    auto price = NumberOf(r.Price);
    if (!price || price->Sign() < 0) Refuse(InvalidPrice, "InvalidPrice");
    std::optional<ole::Decimal> percent, amount;
    if (!r.DiscountPercent.IsNull()) {
        percent = NumberOf(r.DiscountPercent);
        if (!percent || *percent > ole::Decimal::FromInt(100)) Refuse(InvalidDiscountPercent, "InvalidDiscountPercent");
    }
    if (!r.DiscountAmount.IsNull()) {
        amount = NumberOf(r.DiscountAmount);
        if (!amount || *amount > *price) Refuse(InvalidDiscountAmount, "InvalidDiscountAmount");
    }
    if (percent && !percent->IsZero() && amount && !amount->IsZero()) Refuse(NonExclusiveDiscount, "NonExclusiveDiscount");
    if (!r.ExpiryDate.IsNull() && r.EffectiveDate.ToDate().serial >= r.ExpiryDate.ToDate().serial)
        Refuse(ExpiryDateRange, "ExpiryDateRange");
}

void ValidateKey(const PriceRecord& r, bool customer) {
    if (Missing(r.ProductID)) Refuse(MissingProductID, "MissingProductID");
    if (Missing(r.EffectiveDate)) Refuse(MissingEffectiveDate, "MissingEffectiveDate");
    if (Missing(r.CurrencyCode)) Refuse(MissingCurrencyCode, "MissingCurrencyCode");
    if (customer && Missing(r.BusinessPartnerID)) Refuse(MissingBusinessPartnerID, "MissingBusinessPartnerID");
}

// PostgreSQL: one advisory lock space per price table. A single writer holds
// the table's lock shared and its key's exclusively; a price-list import holds
// the table's exclusively (a lock per key would fill the lock table).
static const char* const kTableLock = "SELECT pg_advisory_xact_lock_shared(hashtext(?), 0)";
static const char* const kKeyLock = "SELECT pg_advisory_xact_lock(hashtext(?), hashtext(?))";
static const char* const kWholeTableLock = "SELECT pg_advisory_xact_lock(hashtext(?), 0)";

static const char* TableOf(bool customer) { return customer ? "CUSTOMERPRICE" : "PRODUCTPRICE"; }

void LockKey(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    if (connection->GetDialect() != ado::Dialect::PostgreSQL) return;
    std::string key = (customer ? WholeNumber(r.BusinessPartnerID).ToString() : "") + "|" +
                      WholeNumber(r.ProductID).ToString() + "|" + r.CurrencyCode.ToString();
    connection->Execute(kTableLock, nullptr, -1, {Variant(TableOf(customer))});
    connection->Execute(kKeyLock, nullptr, -1, {Variant(TableOf(customer)), Variant(key)});
}

void LockTable(bool customer, const ado::ConnectionPtr& connection) {
    if (connection->GetDialect() != ado::Dialect::PostgreSQL) return;
    connection->Execute(kWholeTableLock, nullptr, -1, {Variant(TableOf(customer))});
}

namespace {

// A new record may not start on a day an existing record covers, and no
// existing record may start within the new one's days, its expiry day included.
Statement AddOverlaps(const PriceRecord& r, bool customer, const char* column = "PRODUCTID") {
    Variant from = DateOf(r.EffectiveDate), to = CheckedExpiry(r);
    Statement check;
    KeyOfChecks(check, r, customer, column);
    check.Sql(" AND ((EFFECTIVEDATE <= ");
    check.Value(from);
    check.Sql(" AND (EXPIRYDATE IS NULL OR EXPIRYDATE > ");
    check.Value(from);
    check.Sql(")) OR (EFFECTIVEDATE >= ");
    check.Value(from);
    check.Sql(" AND (EFFECTIVEDATE <= ");
    check.Value(to);
    check.Sql(")))");
    return check;
}

void Insert(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    if (customer)
        Run(WriteCommand("INSERT INTO CUSTOMERPRICE(BUSINESSPARTNERID, PRODUCTID, EFFECTIVEDATE, CURRENCYCODE, EXPIRYDATE, "
                         "PRICE, DISCOUNTPERC, DISCOUNTAMOUNT) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                         r,
                         {"BusinessPartnerID", "ProductID", "EffectiveDate", "CurrencyCode", "ExpiryDate", "Price",
                          "DiscountPercent", "DiscountAmount"},
                         connection));
    else
        Run(WriteCommand("INSERT INTO PRODUCTPRICE(PRODUCTID, EFFECTIVEDATE, CURRENCYCODE, EXPIRYDATE, PRICE, DISCOUNTPERC, "
                         "DISCOUNTAMOUNT) VALUES (?, ?, ?, ?, ?, ?, ?)",
                         r,
                         {"ProductID", "EffectiveDate", "CurrencyCode", "ExpiryDate", "Price", "DiscountPercent",
                          "DiscountAmount"},
                         connection));
}

int32_t Change(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    if (customer)
        return Run(WriteCommand("UPDATE CUSTOMERPRICE SET EXPIRYDATE=?, PRICE=?, DISCOUNTPERC=?, DISCOUNTAMOUNT=? WHERE "
                                "BUSINESSPARTNERID=? AND PRODUCTID=? AND EFFECTIVEDATE=? AND CURRENCYCODE=?",
                                r,
                                {"ExpiryDate", "Price", "DiscountPercent", "DiscountAmount", "BusinessPartnerID",
                                 "ProductID", "EffectiveDate", "CurrencyCode"},
                                connection));
    return Run(WriteCommand("UPDATE PRODUCTPRICE SET EXPIRYDATE=?, PRICE=?, DISCOUNTPERC=?, DISCOUNTAMOUNT=? WHERE "
                            "PRODUCTID=? AND EFFECTIVEDATE=? AND CURRENCYCODE=?",
                            r,
                            {"ExpiryDate", "Price", "DiscountPercent", "DiscountAmount", "ProductID", "EffectiveDate",
                             "CurrencyCode"},
                            connection));
}

}  // namespace

void Add(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection, ReferenceCache* cache) {
    RefuseOverlapIfFound(AddOverlaps(r, customer), connection);
    CheckReferences(r, customer, cache);
    Insert(r, customer, connection);
}

bool AddOrUpdate(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection, ReferenceCache* cache) {
    // Add's overlap check finds every record that KeyExists and Update's check
    // would (those starting on the day, and those starting later within the range)
    Statement check = AddOverlaps(r, customer, "EFFECTIVEDATE");
    double from = r.EffectiveDate.ToDate().serial;
    bool stored = false, overlap = false, later = false;
    for (auto rows = check.Rows(connection); !rows->Eof(); rows->MoveNext()) {
        double effective = rows->Fields(0).Value().ToDate().serial;
        overlap = true;
        stored = stored || effective == from;
        later = later || effective > from;
    }
    auto refuse = [&] {
        ole::Raise(EffectiveDateRange, "VendaloError.EffectiveDateRange: " + check.Shown(), "Vendalo.Pricing");
    };
    if (stored) {
        if (later) refuse();
        Change(r, customer, connection);
        return false;
    }
    if (overlap) refuse();
    CheckReferences(r, customer, cache);
    Insert(r, customer, connection);
    return true;
}

int32_t Update(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    // the changed record may not reach into a later record of the key
    Statement check;
    KeyOfChecks(check, r, customer);
    check.Sql(" AND EFFECTIVEDATE > ");
    check.Value(DateOf(r.EffectiveDate));
    check.Sql(" AND EFFECTIVEDATE <= ");
    check.Value(CheckedExpiry(r));
    RefuseOverlapIfFound(check, connection);
    return Change(r, customer, connection);
}

int32_t Delete(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    if (customer)
        return Run(WriteCommand("DELETE FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID=? AND PRODUCTID=? AND EFFECTIVEDATE=? "
                                "AND CURRENCYCODE=?",
                                r, {"BusinessPartnerID", "ProductID", "EffectiveDate", "CurrencyCode"}, connection));
    return Run(WriteCommand("DELETE FROM PRODUCTPRICE WHERE PRODUCTID=? AND EFFECTIVEDATE=? AND CURRENCYCODE=?", r,
                            {"ProductID", "EffectiveDate", "CurrencyCode"}, connection));
}

bool KeyExists(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    Statement st;
    KeyOfChecks(st, r, customer);
    st.Sql(" AND EFFECTIVEDATE = ");
    st.Value(DateOf(r.EffectiveDate));
    return !st.Rows(connection)->Eof();
}

}  // namespace vendalo::price_maintenance
