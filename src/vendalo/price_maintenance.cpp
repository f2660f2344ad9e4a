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

// A command of the record's table with typed input parameters, in the order
// named; the values come with each run.
ado::CommandPtr WriteCommand(const std::string& sql, const std::vector<std::string>& names,
                             const ado::ConnectionPtr& connection) {
    auto command = std::make_shared<ado::Command>();
    command->ActiveConnection = connection;
    command->CommandText = sql;
    command->CommandType = ado::adCmdText;
    for (const std::string& name : names) {
        ado::DataTypeEnum type = ado::adNumeric;
        int32_t size = 0;
        if (name == "BusinessPartnerID" || name == "ProductID") type = ado::adInteger;
        else if (name == "EffectiveDate" || name == "ExpiryDate") type = ado::adDBTimeStamp;
        else if (name == "CurrencyCode") {
            type = ado::adWChar;
            size = 3;
        }
        command->AppendParameter(command->CreateParameter(name, type, ado::adParamInput, size));
    }
    return command;
}

// The record's values for the parameters named, in their order.
void WriteValues(const PriceRecord& r, const std::vector<std::string>& names, std::vector<Variant>& values) {
    values.clear();
    for (const std::string& name : names) {
        if (name == "BusinessPartnerID") values.push_back(WholeNumber(r.BusinessPartnerID));
        else if (name == "ProductID") values.push_back(WholeNumber(r.ProductID));
        else if (name == "EffectiveDate") values.push_back(r.EffectiveDate);
        else if (name == "CurrencyCode") values.push_back(r.CurrencyCode);
        else if (name == "ExpiryDate") values.push_back(r.ExpiryDate);
        else if (name == "Price") values.push_back(r.Price);
        else if (name == "DiscountPercent") values.push_back(r.DiscountPercent);
        else values.push_back(r.DiscountAmount);
    }
}

// The writes of a price table: their text and their parameters in order.
struct Write {
    std::string sql;
    std::vector<std::string> names;
};

const Write& InsertOf(bool customer) {
    static const Write kCustomer{
        "INSERT INTO CUSTOMERPRICE(BUSINESSPARTNERID, PRODUCTID, EFFECTIVEDATE, CURRENCYCODE, EXPIRYDATE, PRICE, "
        "DISCOUNTPERC, DISCOUNTAMOUNT) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        {"BusinessPartnerID", "ProductID", "EffectiveDate", "CurrencyCode", "ExpiryDate", "Price", "DiscountPercent",
         "DiscountAmount"}};
    static const Write kProduct{
        "INSERT INTO PRODUCTPRICE(PRODUCTID, EFFECTIVEDATE, CURRENCYCODE, EXPIRYDATE, PRICE, DISCOUNTPERC, "
        "DISCOUNTAMOUNT) VALUES (?, ?, ?, ?, ?, ?, ?)",
        {"ProductID", "EffectiveDate", "CurrencyCode", "ExpiryDate", "Price", "DiscountPercent", "DiscountAmount"}};
    return customer ? kCustomer : kProduct;
}

const Write& UpdateOf(bool customer) {
    static const Write kCustomer{
        "UPDATE CUSTOMERPRICE SET EXPIRYDATE=?, PRICE=?, DISCOUNTPERC=?, DISCOUNTAMOUNT=? WHERE BUSINESSPARTNERID=? AND "
        "PRODUCTID=? AND EFFECTIVEDATE=? AND CURRENCYCODE=?",
        {"ExpiryDate", "Price", "DiscountPercent", "DiscountAmount", "BusinessPartnerID", "ProductID", "EffectiveDate",
         "CurrencyCode"}};
    static const Write kProduct{
        "UPDATE PRODUCTPRICE SET EXPIRYDATE=?, PRICE=?, DISCOUNTPERC=?, DISCOUNTAMOUNT=? WHERE PRODUCTID=? AND "
        "EFFECTIVEDATE=? AND CURRENCYCODE=?",
        {"ExpiryDate", "Price", "DiscountPercent", "DiscountAmount", "ProductID", "EffectiveDate", "CurrencyCode"}};
    return customer ? kCustomer : kProduct;
}

const Write& DeleteOf(bool customer) {
    static const Write kCustomer{
        "DELETE FROM CUSTOMERPRICE WHERE BUSINESSPARTNERID=? AND PRODUCTID=? AND EFFECTIVEDATE=? AND CURRENCYCODE=?",
        {"BusinessPartnerID", "ProductID", "EffectiveDate", "CurrencyCode"}};
    static const Write kProduct{"DELETE FROM PRODUCTPRICE WHERE PRODUCTID=? AND EFFECTIVEDATE=? AND CURRENCYCODE=?",
                                {"ProductID", "EffectiveDate", "CurrencyCode"}};
    return customer ? kCustomer : kProduct;
}

// One write of one record, its command made for it.
int32_t RunOnce(const Write& write, const PriceRecord& r, const ado::ConnectionPtr& connection) {
    std::vector<Variant> values;
    WriteValues(r, write.names, values);
    int32_t affected = 0;
    WriteCommand(write.sql, write.names, connection)->Execute(&affected, &values);
    return affected;
}

void CheckReferences(const PriceRecord& r, bool customer) {
    if (!ReferencesAllowed(r, customer)) RefuseReferences(r, customer);
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

bool ReferencesAllowed(const PriceRecord& r, bool customer) {
    auto checker = Sls_GetComponent<qx::IReferentialChecker>("Qxcore.ReferentialChecker");
    if (customer)
        return checker->CheckInsert("CUSTOMERPRICE", {"PRODUCTID", "BUSINESSPARTNERID", "CURRENCYCODE"},
                                    {r.ProductID, r.BusinessPartnerID, r.CurrencyCode});
    return checker->CheckInsert("PRODUCTPRICE", {"PRODUCTID", "CURRENCYCODE"}, {r.ProductID, r.CurrencyCode});
}

void RefuseReferences(const PriceRecord& r, bool customer) {
    std::string description = "ReferentialInsert PRODUCTID=" + r.ProductID.Text();
    if (customer) description += ", BUSINESSPARTNERID=" + r.BusinessPartnerID.Text();
    description += ", CURRENCYCODE=" + r.CurrencyCode.Text();
    ole::Raise(ReferentialInsert, description, "Vendalo.Pricing");
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

}  // namespace

void Add(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    RefuseOverlapIfFound(AddOverlaps(r, customer), connection);
    CheckReferences(r, customer);
    RunOnce(InsertOf(customer), r, connection);
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
    return RunOnce(UpdateOf(customer), r, connection);
}

int32_t Delete(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    return RunOnce(DeleteOf(customer), r, connection);
}

bool KeyExists(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    Statement st;
    KeyOfChecks(st, r, customer);
    st.Sql(" AND EFFECTIVEDATE = ");
    st.Value(DateOf(r.EffectiveDate));
    return !st.Rows(connection)->Eof();
}

std::vector<StoredRange> StoredRanges(const PriceRecord& r, bool customer, const ado::ConnectionPtr& connection) {
    Statement st;
    KeyOfChecks(st, r, customer, "EFFECTIVEDATE, EXPIRYDATE");
    std::vector<StoredRange> ranges;
    for (auto rows = st.Rows(connection); !rows->Eof(); rows->MoveNext()) {
        const Variant& expiry = rows->Fields(1).ValueRef();
        ranges.push_back({rows->Fields(0).ValueRef().ToDate(),
                          expiry.IsNull() ? std::nullopt : std::optional<ole::Date>(expiry.ToDate())});
    }
    return ranges;
}

RecordWriter::RecordWriter(bool customer, const ado::ConnectionPtr& connection)
    : customer_(customer),
      insert_(WriteCommand(InsertOf(customer).sql, InsertOf(customer).names, connection)),
      update_(WriteCommand(UpdateOf(customer).sql, UpdateOf(customer).names, connection)) {}

void RecordWriter::Insert(const PriceRecord& r) {
    WriteValues(r, InsertOf(customer_).names, values_);
    insert_->Execute(nullptr, &values_);
}

void RecordWriter::Update(const PriceRecord& r) {
    WriteValues(r, UpdateOf(customer_).names, values_);
    update_->Execute(nullptr, &values_);
}

}  // namespace vendalo::price_maintenance
