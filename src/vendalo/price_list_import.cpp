#include "interfaces/vendalo/price_list_import.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <optional>
#include <tuple>

#include "interfaces/vendalo/vendalo_error.h"
#include "platform/automation/text.h"
#include "platform/data/transaction.h"
#include "platform/os/durable_file.h"
#include "shared/lib_sales.h"
#include "vendalo/keys.h"
#include "vendalo/price_maintenance.h"
#include "vendalo/register.h"

namespace vendalo {
namespace {

using ole::Variant;
namespace pm = price_maintenance;

struct CsvRow {
    int64_t line = 0;
    std::vector<std::string> fields;
};

// RFC 4180 records: "," between fields, CR LF or LF between records, fields in
// double quotes may hold both and a doubled quote. Blank lines are skipped.
std::vector<CsvRow> ParseCsv(const std::string& text) {
    std::vector<CsvRow> rows;
    size_t i = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    int64_t line = 1;
    size_t width = 1;  // fields of the row before: a vector that needs no growing
    while (i < text.size()) {
        CsvRow row;
        row.line = line;
        row.fields.reserve(width);
        std::string field;
        bool endOfRecord = false;
        while (!endOfRecord) {
            field.clear();
            if (i < text.size() && text[i] == '"') {
                ++i;
                while (i < text.size()) {
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == '\n') ++line;
                    field += text[i++];
                }
            }
            // up to the separator as written (after a closing quote: anything there)
            size_t end = std::min(text.find_first_of(",\r\n", i), text.size());
            field.append(text, i, end - i);
            i = end;
            row.fields.push_back(std::move(field));
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            if (i < text.size() && text[i] == '\r') ++i;
            if (i < text.size() && text[i] == '\n') ++i;
            ++line;
            endOfRecord = true;
        }
        width = std::max(width, row.fields.size());
        bool blank = row.fields.size() == 1 && ole::TrimBlanks(row.fields[0]).empty();
        if (!blank) rows.push_back(std::move(row));
    }
    return rows;
}

enum Column { kProduct, kPartner, kCurrency, kEffective, kExpiry, kPrice, kPercent, kAmount, kColumns };
const char* const kColumnNames[kColumns] = {"PRODUCTID",     "BUSINESSPARTNERID", "CURRENCYCODE", "EFFECTIVEDATE",
                                            "EXPIRYDATE",    "PRICE",             "DISCOUNTPERC", "DISCOUNTAMOUNT"};

// What a refusal means, for the person who made the file.
std::string Explain(int32_t number, const std::string& description, const PriceRecord& r) {
    auto quoted = [](const Variant& v) { return "'" + v.Text() + "'"; };
    switch (number) {
        case MissingProductID: return "MissingProductID: PRODUCTID is empty";
        case MissingEffectiveDate: return "MissingEffectiveDate: EFFECTIVEDATE is empty";
        case MissingCurrencyCode: return "MissingCurrencyCode: CURRENCYCODE is empty";
        case MissingPrice: return "MissingPrice: PRICE is empty";
        case MissingBusinessPartnerID: return "MissingBusinessPartnerID: BUSINESSPARTNERID is empty";
        case InvalidEffectiveDate: return "InvalidEffectiveDate: EFFECTIVEDATE " + quoted(r.EffectiveDate) + " is no date";
        case InvalidExpiryDate: return "InvalidExpiryDate: EXPIRYDATE " + quoted(r.ExpiryDate) + " is no date";
        case InvalidPrice: return "InvalidPrice: PRICE " + quoted(r.Price) + " is no number of 0 or more";
        case InvalidDiscountPercent:
            return "InvalidDiscountPercent: DISCOUNTPERC " + quoted(r.DiscountPercent) + " is no number up to 100";
        case InvalidDiscountAmount:
            return "InvalidDiscountAmount: DISCOUNTAMOUNT " + quoted(r.DiscountAmount) + " is no number up to the price";
        case NonExclusiveDiscount:
            return "NonExclusiveDiscount: DISCOUNTPERC and DISCOUNTAMOUNT are both given; one of them must be 0 or empty";
        case ExpiryDateRange: return "ExpiryDateRange: EXPIRYDATE is not after EFFECTIVEDATE";
        case EffectiveDateRange:
            return "EffectiveDateRange: the range " + r.EffectiveDate.Text() + " to " +
                   (r.ExpiryDate.IsNull() ? std::string("open end") : r.ExpiryDate.Text()) +
                   " overlaps another price of the same key (a range may not end on the day the next one begins)";
        case ReferentialInsert: return "ReferentialInsert: no such product, partner or currency (" + description + ")";
        default: return description;
    }
}

// A date field that spells a date becomes that date; anything else stays as written.
void ReadDate(Variant& field) {
    ole::Date date;
    if (field.IsString() && ole::ParseDate(field.ToString(), date)) field = Variant(date);
}

// A field as the file wrote it, blanks trimmed; Null when empty or not in the file.
Variant FieldOf(const CsvRow& row, const int (&position)[kColumns], Column c) {
    if (position[c] < 0) return ole::Null;
    std::string field = ole::TrimBlanks(row.fields[static_cast<size_t>(position[c])]);
    return field.empty() ? ole::Null : Variant(std::move(field));
}

// The record of a row as the file wrote it.
PriceRecord RecordOf(const CsvRow& row, const int (&position)[kColumns]) {
    auto value = [&](Column c) { return FieldOf(row, position, c); };
    return {value(kProduct), value(kPartner), value(kCurrency), value(kEffective),
            value(kExpiry),  value(kPrice),   value(kPercent),  value(kAmount)};
}

// A date as a point in time in milliseconds, in calendar order (a serial before
// 1900 counts its time of day up from a negative day), so that dates read back
// from the database and dates read from the file compare as the database does.
int64_t Instant(ole::Date date) {
    double day = std::trunc(date.serial);
    return std::llround((day + std::fabs(date.serial - day)) * 86400000.0);
}

// The ranges of the key at hand, by first day (from its first day up to, not
// including, its expiry; none for an open end), and the overlap checks of a
// row against them. The rows of a key come in day order, so one sweep keeps the
// latest end of the ranges starting before the row's day: each check takes a
// few look-ups, however many ranges the key has.
class KeyRanges {
public:
    static constexpr int64_t kOpen = INT64_MAX;

    // The ranges stored for the key; of two on one day (spelt apart in the
    // table) the longer counts.
    void Reset(const std::vector<pm::StoredRange>& stored) {
        ranges_.clear();
        for (const pm::StoredRange& r : stored) {
            std::optional<int64_t> to = r.expiry ? std::optional<int64_t>(Instant(*r.expiry)) : std::nullopt;
            auto [at, fresh] = ranges_.emplace(Instant(r.effective), to);
            if (!fresh) at->second = std::max(at->second.value_or(kOpen), to.value_or(kOpen));
        }
        Restart();
    }

    struct Found {
        bool overlap = false;  // a range covers the day, or starts within the new range (its expiry day included)
        bool later = false;    // a range starts after the day, within the new range
        std::optional<int64_t>* same = nullptr;  // the end of the range starting on the day
    };
    Found Check(int64_t from, int64_t to) {
        if (from < at_) Restart();  // a row before the sweep's day: sweep again
        at_ = from;
        for (; swept_ != ranges_.end() && swept_->first < from; ++swept_)
            reach_ = std::max(reach_, swept_->second.value_or(kOpen));
        Found found;
        auto after = swept_;
        if (after != ranges_.end() && after->first == from) found.same = &(after++)->second;
        found.later = after != ranges_.end() && after->first <= to;
        found.overlap = found.same || found.later || reach_ > from;
        return found;
    }
    // A range the run added on the day of the last check.
    void Added(int64_t from, std::optional<int64_t> to) { swept_ = ranges_.emplace(from, to).first; }

private:
    void Restart() {
        swept_ = ranges_.begin();
        reach_ = INT64_MIN;
        at_ = INT64_MIN;
    }
    std::map<int64_t, std::optional<int64_t>> ranges_;
    std::map<int64_t, std::optional<int64_t>>::iterator swept_ = ranges_.begin();  // the first range not in reach_
    int64_t reach_ = INT64_MIN;  // the latest end of the ranges before swept_
    int64_t at_ = INT64_MIN;     // the day of the last check
};

// A row that passed validation, with its key, its dates read and its values as
// written: what storing it takes, so that the run in key order need not go back
// to the rows read.
struct Candidate {
    uint32_t row;  // its index in the rows read
    int32_t partner, product;
    std::string currency;
    ole::Date effective;
    std::optional<ole::Date> expiry;
    Variant price, percent, amount;
};

class PriceListImport : public IPriceListImport {
public:
    PriceListResult ImportFile(const std::string& path, const PriceListProgress& progress) override {
        try {
            return Import(os::ReadRegularFile(path), progress);
        } catch (...) {
            Sls_RaiseError("Vendalo.PriceListImport.ImportFile", "file '" + path + "'");
        }
    }

    PriceListResult ImportText(const std::string& csv, const PriceListProgress& progress) override {
        try {
            return Import(csv, progress);
        } catch (...) {
            Sls_RaiseError("Vendalo.PriceListImport.ImportText");
        }
    }

private:
    static PriceListResult Import(const std::string& text, const PriceListProgress& progress) {
        PriceListResult result;
        std::vector<CsvRow> rows = ParseCsv(text);
        if (rows.empty()) {
            result.refused.push_back({1, 0, "the file holds no header row"});
            return result;
        }
        int position[kColumns];
        if (!ReadHeader(rows.front(), position, result)) return result;
        result.customerPrices = position[kPartner] >= 0;
        result.rows = rows.size() - 1;

        std::vector<Candidate> candidates = CheckRows(rows, position, result);
        // a key's ranges in date order: each range is checked against the earlier ones
        std::vector<uint32_t> order(candidates.size());
        for (uint32_t k = 0; k < order.size(); ++k) order[k] = k;
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            const Candidate &x = candidates[a], &y = candidates[b];
            return std::tie(x.partner, x.product, x.currency, x.effective.serial) <
                   std::tie(y.partner, y.product, y.currency, y.effective.serial);
        });
        if (progress) progress(result.rows - candidates.size(), result.rows);
        Store(rows, position, candidates, order, result, progress);
        std::stable_sort(result.refused.begin(), result.refused.end(),
                         [](const PriceListProblem& a, const PriceListProblem& b) { return a.line < b.line; });
        if (!result.refused.empty()) result.added = result.updated = 0;
        return result;
    }

    static bool ReadHeader(const CsvRow& header, int (&position)[kColumns], PriceListResult& result) {
        std::fill(std::begin(position), std::end(position), -1);
        for (size_t i = 0; i < header.fields.size(); ++i) {
            std::string name = ole::UpperCase(ole::TrimBlanks(header.fields[i]));
            auto known = std::find_if(std::begin(kColumnNames), std::end(kColumnNames),
                                      [&](const char* c) { return name == c; });
            if (known == std::end(kColumnNames)) {
                result.refused.push_back({header.line, 0, "the header names an unknown column '" + header.fields[i] + "'"});
                continue;
            }
            int& at = position[known - std::begin(kColumnNames)];
            if (at >= 0) result.refused.push_back({header.line, 0, "the header names the column " + name + " twice"});
            at = static_cast<int>(i);
        }
        for (Column required : {kProduct, kCurrency, kEffective, kPrice})
            if (position[required] < 0)
                result.refused.push_back(
                    {header.line, 0, std::string("the header lacks the column ") + kColumnNames[required]});
        return result.refused.empty();
    }

    // The rows that pass validation, as candidates; the others are refused.
    static std::vector<Candidate> CheckRows(const std::vector<CsvRow>& rows, const int (&position)[kColumns],
                                            PriceListResult& result) {
        std::vector<Candidate> candidates;
        candidates.reserve(rows.size());
        for (size_t k = 1; k < rows.size(); ++k) {
            const CsvRow& row = rows[k];
            if (row.fields.size() != rows.front().fields.size()) {
                result.refused.push_back({row.line, 0,
                                          "the row has " + std::to_string(row.fields.size()) + " fields, the header " +
                                              std::to_string(rows.front().fields.size())});
                continue;
            }
            PriceRecord r = RecordOf(row, position);
            // the dates are read once: those that are dates go on as such
            Variant effectiveAsWritten = r.EffectiveDate, expiryAsWritten = r.ExpiryDate;
            ReadDate(r.EffectiveDate);
            ReadDate(r.ExpiryDate);
            try {
                pm::Validate(r, result.customerPrices);
            } catch (const ole::AutomationError& e) {
                r.EffectiveDate = effectiveAsWritten;
                r.ExpiryDate = expiryAsWritten;
                result.refused.push_back({row.line, e.Number(), Explain(e.Number(), e.Description(), r)});
                continue;
            }
            auto product = IntegerKeyOf(r.ProductID);
            auto partner = result.customerPrices ? IntegerKeyOf(r.BusinessPartnerID) : std::optional<int32_t>(0);
            if (!product || !partner) {
                result.refused.push_back({row.line, ole::err::TypeMismatch,
                                          !product ? "PRODUCTID '" + r.ProductID.Text() + "' is no whole number"
                                                   : "BUSINESSPARTNERID '" + r.BusinessPartnerID.Text() +
                                                         "' is no whole number"});
                continue;
            }
            std::optional<ole::Date> expiry;
            if (!r.ExpiryDate.IsNull()) expiry = r.ExpiryDate.ToDate();
            candidates.push_back({static_cast<uint32_t>(k), *partner, *product, r.CurrencyCode.ToString(),
                                  r.EffectiveDate.ToDate(), expiry, std::move(r.Price), std::move(r.DiscountPercent),
                                  std::move(r.DiscountAmount)});
        }
        return candidates;
    }

    // Every candidate in one transaction; kept only when none is refused. The
    // candidates come in key and date order: the ranges of a key are read once,
    // when the run reaches it, and the run keeps them as it writes, so each row
    // is checked against what is stored and what the rows before it wrote. The
    // table lock keeps every other writer out meanwhile.
    static void Store(const std::vector<CsvRow>& rows, const int (&position)[kColumns],
                      const std::vector<Candidate>& candidates, const std::vector<uint32_t>& order,
                      PriceListResult& result, const PriceListProgress& progress) {
        if (candidates.empty()) return;
        bool customer = result.customerPrices;
        auto connection = ado::OpenConnection(Sls_ConnectionString());
        ado::Transaction tx(*connection);
        // The table grows under the import's own statements, in one transaction
        // that no statistics see: a plan kept from when it was small would read it
        // whole for every key. On PostgreSQL each statement is planned for its values.
        if (connection->GetDialect() == ado::Dialect::PostgreSQL)
            connection->ExecuteScript("SET LOCAL plan_cache_mode = force_custom_plan");
        pm::LockTable(customer, connection);
        pm::RecordWriter writer(customer, connection);
        const int64_t openEnd = Instant(ole::Date::FromParts(9999, 12, 31));  // an open end, in the checks
        const Candidate* key = nullptr;  // the key at hand: its ranges and its references' answer
        KeyRanges ranges;
        std::optional<bool> referencesAllowed;
        PriceRecord record;
        size_t done = result.rows - candidates.size();
        for (uint32_t k : order) {
            const Candidate& c = candidates[k];
            const CsvRow& row = rows[c.row];
            auto refuse = [&](int32_t number, const std::string& description) {
                result.refused.push_back({row.line, number, Explain(number, description, RecordOf(row, position))});
            };
            try {
                record.ProductID = Variant(c.product);
                record.BusinessPartnerID = customer ? Variant(c.partner) : Variant(ole::Null);
                record.CurrencyCode = Variant(c.currency);
                record.EffectiveDate = Variant(c.effective);
                record.ExpiryDate = c.expiry ? Variant(*c.expiry) : Variant(ole::Null);
                record.Price = c.price;
                record.DiscountPercent = c.percent;
                record.DiscountAmount = c.amount;
                if (!key || key->partner != c.partner || key->product != c.product || key->currency != c.currency) {
                    ranges.Reset(pm::StoredRanges(record, customer, connection));
                    referencesAllowed.reset();
                    key = &c;
                }
                // A new range may not start on a day a range covers, and no range may
                // start within the new one, its expiry day included; a range starting
                // on the same day is the record this row changes, unless a later range
                // starts within the new one.
                int64_t from = Instant(c.effective), to = c.expiry ? Instant(*c.expiry) : openEnd;
                KeyRanges::Found found = ranges.Check(from, to);
                if (found.same && !found.later) {
                    writer.Update(record);
                    *found.same = c.expiry ? std::optional<int64_t>(to) : std::nullopt;
                    ++result.updated;
                } else if (found.overlap) {
                    refuse(EffectiveDateRange, "");
                } else {
                    if (!referencesAllowed) referencesAllowed = pm::ReferencesAllowed(record, customer);
                    if (!*referencesAllowed) pm::RefuseReferences(RecordOf(row, position), customer);
                    writer.Insert(record);
                    ranges.Added(from, c.expiry ? std::optional<int64_t>(to) : std::nullopt);
                    ++result.added;
                }
            } catch (const ole::AutomationError& e) {
                refuse(e.Number(), e.Description());
                // a statement the database refused may have ended the transaction (PostgreSQL):
                // the later rows cannot be checked in it
                if (!connection->Errors().empty()) {
                    result.refused.back().text += " (the rows after it were not checked)";
                    break;
                }
            }
            if (progress && (++done % 256 == 0 || done == result.rows)) progress(done, result.rows);
        }
        if (result.refused.empty()) tx.Commit();
        connection->Close();
    }
};

}  // namespace

void RegisterPriceListImport() { ole::RegisterClass<PriceListImport>("Vendalo.PriceListImport"); }

}  // namespace vendalo
