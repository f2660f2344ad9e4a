#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/data/ado.h"
#include "platform/data/driver.h"

namespace ado {

using detail::Row;

namespace {

// An update or delete by key that changed no row: another writer changed or removed it.
Error RowNotLocatedError() {
    return {err::RowNotLocated, "Row cannot be located for updating. Some values may have been changed since it was "
            "last read.", "ADODB.Recordset", "", 0};
}

[[noreturn]] void NoCurrent() {
    ole::Raise(err::NoCurrentRecord,
               "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
               "current record.",
               "ADODB.Recordset");
}

[[noreturn]] void NotUpdatable() {
    ole::Raise(err::NotUpdatable,
               "Current Recordset does not support updating. This may be a limitation of the provider, or of the "
               "selected locktype.",
               "ADODB.Recordset");
}

[[noreturn]] void DoesNotFit(const std::string& field, const std::string& why) {
    ole::Raise(err::MultipleStep,
               "Multiple-step operation generated errors. Check each status value. (field " + field + ": " + why + ")",
               "ADODB.Recordset");
}

// A value converted to the type of its field, as the platform converts on assignment.
Variant Coerce(const detail::Column& c, const Variant& v) {
    try {
        return detail::CoerceToType(c.type, c.size, v, detail::Numbers::AsDouble);
    } catch (const detail::Misfit& misfit) {
        DoesNotFit(c.name, misfit.tooLong ? "the text is longer than " + misfit.description + " characters"
                                          : misfit.description);
    }
}

struct Criterion {
    std::string field;
    std::string op;
    Variant value;
};

Criterion ParseCriterion(const std::string& text) {
    Criterion c;
    size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    };
    skip();
    if (i < text.size() && text[i] == '[') {
        size_t close = text.find(']', i);
        if (close == std::string::npos) ole::Raise(err::WrongArguments, "Invalid Find criterion: " + text);
        c.field = text.substr(i + 1, close - i - 1);
        i = close + 1;
    } else {
        size_t b = i;
        while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
        c.field = text.substr(b, i - b);
    }
    skip();
    static const char* ops[] = {"<=", ">=", "<>", "=", "<", ">"};
    for (const char* op : ops)
        if (text.compare(i, std::strlen(op), op) == 0) {
            c.op = op;
            i += std::strlen(op);
            break;
        }
    if (c.op.empty() && ole::UpperCase(text.substr(i, 4)) == "LIKE") {
        c.op = "LIKE";
        i += 4;
    }
    if (c.field.empty() || c.op.empty()) ole::Raise(err::WrongArguments, "Invalid Find criterion: " + text);
    skip();
    std::string rest = text.substr(i);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
    if (rest.size() >= 2 && (rest.front() == '\'' || rest.front() == '#') && rest.back() == rest.front()) {
        std::string inner = rest.substr(1, rest.size() - 2);
        if (rest.front() == '#') {
            ole::Date d;
            if (!ole::ParseDate(inner, d)) ole::Raise(err::WrongArguments, "Invalid date in Find criterion: " + text);
            c.value = Variant(d);
        } else {
            std::string unq;
            for (size_t k = 0; k < inner.size(); ++k) {
                unq += inner[k];
                if (inner[k] == '\'' && k + 1 < inner.size() && inner[k + 1] == '\'') ++k;
            }
            c.value = Variant(unq);
        }
    } else if (ole::UpperCase(rest) == "NULL") {
        c.value = ole::Null;
    } else {
        double d;
        if (!ole::ParseNumber(rest, d)) ole::Raise(err::WrongArguments, "Invalid value in Find criterion: " + text);
        c.value = Variant(d);
    }
    return c;
}

bool IsPlainName(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

bool LikeMatch(const std::string& s, const std::string& pattern) {
    std::string a = ole::UpperCase(s), p = ole::UpperCase(pattern);
    // '*' and '%' match any run; '_' and '?' one character
    size_t si = 0, pi = 0, star = std::string::npos, mark = 0;
    while (si < a.size()) {
        if (pi < p.size() && (p[pi] == '_' || p[pi] == '?' || p[pi] == a[si])) {
            ++si, ++pi;
        } else if (pi < p.size() && (p[pi] == '*' || p[pi] == '%')) {
            star = pi++;
            mark = si;
        } else if (star != std::string::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && (p[pi] == '*' || p[pi] == '%')) ++pi;
    return pi == p.size();
}

bool Matches(const Variant& field, const Criterion& c) {
    if (c.value.IsNull()) return c.op == "=" ? field.IsNull() : (c.op == "<>" && !field.IsNull());
    if (field.IsNull() || field.IsEmpty()) return false;
    if (c.op == "LIKE") return LikeMatch(field.Text(), c.value.Text());
    int cmp;
    if (c.value.IsString()) {
        std::string a = field.Text(), b = c.value.ToString();
        cmp = a < b ? -1 : (a > b ? 1 : 0);
    } else {
        double a, b = c.value.ToDouble();
        try {
            a = field.ToDouble();
        } catch (const ole::AutomationError&) {
            return false;
        }
        cmp = a < b ? -1 : (a > b ? 1 : 0);
    }
    if (c.op == "=") return cmp == 0;
    if (c.op == "<>") return cmp != 0;
    if (c.op == "<") return cmp < 0;
    if (c.op == ">") return cmp > 0;
    if (c.op == "<=") return cmp <= 0;
    return cmp >= 0;
}

[[noreturn]] void NoBaseTable(const std::string& what, const std::string& note = "") {
    throw detail::DriverError({err::InsufficientKeyInfo,
                               "Insufficient " + what + " information for updating or refreshing." + note,
                               "ADODB.Recordset", "", 0});
}

// The positions of the base table's key columns in the schema. The statements
// name the base table and its columns as the provider reported them; values
// always go to "?" markers. A schema without the whole key, or with a column
// that is no plain name (an expression, which has no place to be written to),
// cannot be written.
std::vector<int> WritableKeys(const detail::Schema& schema, detail::Driver& driver) {
    if (schema.table.empty()) NoBaseTable("base table");
    std::vector<int> keys;
    for (const auto& k : driver.PrimaryKey(schema.table)) {
        auto it = schema.byName.find(k);
        if (it == schema.byName.end()) NoBaseTable("key column");
        keys.push_back(it->second);
    }
    if (keys.empty()) NoBaseTable("key column");
    for (const auto& c : schema.columns)
        if (!IsPlainName(c.name)) NoBaseTable("base table", " (column " + c.name + ")");
    return keys;
}

enum class RowChange { None, Inserted, Stored };  // Stored: an update or delete of one stored row

// The statement that writes a pending row: an insert of its values, or an
// update of its changed values or a delete, both found by the key as read.
RowChange RowStatement(const detail::Schema& schema, const std::vector<int>& keys, const Row& row, std::string& sql,
                       std::vector<Variant>& params) {
    const auto& cols = schema.columns;
    if (row.status == Row::New) {
        std::string names, marks;
        for (size_t c = 0; c < cols.size(); ++c) {
            if (row.values[c].IsEmpty()) continue;
            names += (names.empty() ? "" : ", ") + cols[c].name;
            marks += marks.empty() ? "?" : ", ?";
            params.push_back(row.values[c]);
        }
        sql = names.empty() ? "INSERT INTO " + schema.table + " DEFAULT VALUES"
                            : "INSERT INTO " + schema.table + " (" + names + ") VALUES (" + marks + ")";
        return RowChange::Inserted;
    }
    if (row.status == Row::Modified) {
        std::string sets;
        for (size_t c = 0; c < cols.size(); ++c) {
            if (!row.original.empty() && row.values[c].SameAs(row.original[c])) continue;
            sets += (sets.empty() ? "" : ", ") + cols[c].name + " = ?";
            params.push_back(row.values[c].IsEmpty() ? ole::Null : row.values[c]);
        }
        if (sets.empty()) return RowChange::None;
        sql = "UPDATE " + schema.table + " SET " + sets;
    } else if (row.status == Row::Deleted) {
        sql = "DELETE FROM " + schema.table;
    } else {
        return RowChange::None;
    }
    for (size_t k = 0; k < keys.size(); ++k) {
        auto key = static_cast<size_t>(keys[k]);
        sql += (k ? " AND " : " WHERE ") + cols[key].name + " = ?";
        params.push_back(row.original.empty() ? row.values[key] : row.original[key]);
    }
    return RowChange::Stored;
}

}  // namespace

// ---- Field -------------------------------------------------------------------

const std::string& Field::Name() const { return rs_->schema_->columns[static_cast<size_t>(index_)].name; }
DataTypeEnum Field::Type() const { return rs_->schema_->columns[static_cast<size_t>(index_)].type; }
int32_t Field::DefinedSize() const { return rs_->schema_->columns[static_cast<size_t>(index_)].size; }
Variant Field::Value() const { return ValueRef(); }
const Variant& Field::ValueRef() const { return rs_->CurrentRow().values[static_cast<size_t>(index_)]; }
Variant Field::OriginalValue() const {
    const Row& row = rs_->CurrentRow();
    if (row.status == Row::New) return Variant();
    return row.original.empty() ? row.values[static_cast<size_t>(index_)] : row.original[static_cast<size_t>(index_)];
}
void Field::SetValue(const Variant& v) { rs_->SetFieldValue(index_, v); }

// ---- Recordset ---------------------------------------------------------------

Recordset::Recordset() = default;
Recordset::~Recordset() = default;
Recordset::Recordset(const Recordset& other) = default;
Recordset& Recordset::operator=(const Recordset& other) = default;

void Recordset::RequireOpen() const {
    if (!open_) ole::Raise(err::ObjectClosed, "Operation is not allowed when the object is closed.", "ADODB.Recordset");
}

void Recordset::AssignFrom(std::shared_ptr<const detail::Schema> schema, std::vector<Row> rows) {
    schema_ = std::move(schema);
    rows_ = std::move(rows);
    live_ = 0;
    for (auto& r : rows_)
        if (r.status != Row::Deleted) ++live_;
    open_ = true;
    pos_ = 0;
    pos_ = static_cast<long>(NextVisible(0));
}

void Recordset::Load(detail::Driver& driver, const std::string& sql, const std::vector<Variant>& params) {
    detail::Result result = driver.Run(sql, params);
    auto schema = detail::SchemaOf(sql, std::move(result.columns), true);
    std::vector<Row> rows;
    rows.reserve(result.rows.size());
    for (auto& values : result.rows) rows.push_back({std::move(values), {}, Row::Unchanged});
    AssignFrom(std::move(schema), std::move(rows));
}

void Recordset::Open(const std::string& source, const ConnectionPtr& connection, int cursorType, int lockType, long,
                     const std::vector<Variant>& params) {
    if (open_) ole::Raise(err::ObjectOpen, "Operation is not allowed when the object is open.", "ADODB.Recordset");
    if (!connection || connection->State() != adStateOpen)
        ole::Raise(err::ObjectClosed, "Operation is not allowed when the object is closed.", "ADODB.Recordset");
    if (cursorType != adOpenUnspecified) CursorType = cursorType;
    if (lockType != adLockUnspecified) LockType = lockType;
    // Every recordset reads its rows whole, as a client-side cursor does.
    if (CursorLocation == adUseClient && CursorType != adOpenForwardOnly) CursorType = adOpenStatic;
    connection->ClearErrors();
    try {
        Load(connection->Driver(), source, params);
    } catch (const detail::DriverError& e) {
        connection->Fail(e.error);
    }
    connection_ = connection;
}

std::vector<RecordsetPtr> Recordset::OpenAll(const std::vector<BatchStatement>& statements,
                                             const ConnectionPtr& connection, int lockType) {
    if (!connection || connection->State() != adStateOpen)
        ole::Raise(err::ObjectClosed, "Operation is not allowed when the object is closed.", "ADODB.Recordset");
    connection->ClearErrors();
    std::vector<detail::Result> results;
    results.reserve(statements.size());
    try {
        connection->Driver().RunBatch(statements, results);
    } catch (const detail::DriverError& e) {
        connection->Fail(e.error);
    }
    std::vector<RecordsetPtr> opened;
    for (size_t i = 0; i < results.size(); ++i) {
        auto rs = std::make_shared<Recordset>();
        rs->CursorLocation = adUseClient;
        rs->CursorType = adOpenStatic;
        rs->LockType = lockType;
        auto schema = detail::SchemaOf(statements[i].sql, std::move(results[i].columns), true);
        std::vector<Row> rows;
        rows.reserve(results[i].rows.size());
        for (auto& values : results[i].rows) rows.push_back({std::move(values), {}, Row::Unchanged});
        rs->AssignFrom(std::move(schema), std::move(rows));
        rs->connection_ = connection;
        opened.push_back(std::move(rs));
    }
    return opened;
}

void Recordset::Close() {
    RequireOpen();
    open_ = false;
    rows_.clear();
    schema_.reset();
    connection_.reset();
    pos_ = -1;
    live_ = 0;
}

int Recordset::State() const { return open_ ? adStateOpen : adStateClosed; }

void Recordset::SetActiveConnection(ConnectionPtr connection) { connection_ = std::move(connection); }

bool Recordset::Visible(size_t i) const { return i < rows_.size() && rows_[i].status != Row::Deleted; }

size_t Recordset::NextVisible(size_t from) const {
    while (from < rows_.size() && rows_[from].status == Row::Deleted) ++from;
    return from;
}

bool Recordset::Bof() const {
    RequireOpen();
    return pos_ < 0 || live_ == 0;
}

bool Recordset::Eof() const {
    RequireOpen();
    return pos_ >= static_cast<long>(rows_.size()) || live_ == 0;
}

void Recordset::MoveFirst() {
    RequireOpen();
    pos_ = static_cast<long>(NextVisible(0));
}

void Recordset::MoveNext() {
    if (Eof()) NoCurrent();
    pos_ = static_cast<long>(NextVisible(static_cast<size_t>(pos_ + 1)));
}

void Recordset::MovePrevious() {
    if (Bof()) NoCurrent();
    long p = pos_ - 1;
    while (p >= 0 && !Visible(static_cast<size_t>(p))) --p;
    pos_ = p;
}

void Recordset::MoveLast() {
    RequireOpen();
    long p = static_cast<long>(rows_.size()) - 1;
    while (p >= 0 && !Visible(static_cast<size_t>(p))) --p;
    pos_ = p < 0 ? static_cast<long>(rows_.size()) : p;
}

int32_t Recordset::RecordCount() const {
    RequireOpen();
    return static_cast<int32_t>(live_);
}

Row& Recordset::CurrentRow() {
    if (Bof() || Eof() || rows_[static_cast<size_t>(pos_)].status == Row::Deleted) NoCurrent();
    return rows_[static_cast<size_t>(pos_)];
}

const Row& Recordset::CurrentRow() const { return const_cast<Recordset*>(this)->CurrentRow(); }

int Recordset::FieldCount() const {
    RequireOpen();
    return static_cast<int>(schema_->columns.size());
}

bool Recordset::FieldNamesUnique() const {
    RequireOpen();
    if (schema_->byName.size() == schema_->columns.size()) return true;  // unique even regardless of case
    std::vector<std::string_view> names;
    for (const auto& column : schema_->columns) names.push_back(column.name);
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) == names.end();
}

int Recordset::FieldIndex(const std::string& name) const {
    RequireOpen();
    // names mostly come as the schema writes them (upper case): try them as given first
    auto it = schema_->byName.find(name);
    if (it == schema_->byName.end()) it = schema_->byName.find(ole::UpperCase(name));
    if (it == schema_->byName.end())
        ole::Raise(err::ItemNotFound,
                   "Item cannot be found in the collection corresponding to the requested name or ordinal. (" + name + ")",
                   "ADODB.Recordset");
    return it->second;
}

Field Recordset::Fields(int index) {
    RequireOpen();
    if (index < 0 || index >= static_cast<int>(schema_->columns.size()))
        ole::Raise(err::ItemNotFound,
                   "Item cannot be found in the collection corresponding to the requested name or ordinal.",
                   "ADODB.Recordset");
    return Field(this, index);
}

Field Recordset::Fields(const std::string& name) { return Field(this, FieldIndex(name)); }

void Recordset::SetFieldValue(int index, const Variant& v) {
    if (LockType == adLockReadOnly) NotUpdatable();
    Row& row = CurrentRow();
    Variant value = Coerce(schema_->columns[static_cast<size_t>(index)], v);
    if (row.status == Row::Unchanged) {
        row.original = row.values;
        row.status = Row::Modified;
    }
    row.values[static_cast<size_t>(index)] = std::move(value);
}

void Recordset::AddNew() {
    RequireOpen();
    if (LockType == adLockReadOnly) NotUpdatable();
    rows_.push_back({std::vector<Variant>(schema_->columns.size()), {}, Row::New});
    ++live_;
    pos_ = static_cast<long>(rows_.size()) - 1;
}

void Recordset::Update() {
    RequireOpen();
    if (LockType == adLockReadOnly) NotUpdatable();
    if (pos_ < 0 || pos_ >= static_cast<long>(rows_.size())) return;
    bool immediate = connection_ && (LockType == adLockOptimistic || LockType == adLockPessimistic);
    if (immediate && rows_[static_cast<size_t>(pos_)].status != Row::Unchanged) {
        std::vector<size_t> one{static_cast<size_t>(pos_)};
        WriteRows(one);
        Settle(one);
    }
}

void Recordset::Delete(int affect) {
    if (LockType == adLockReadOnly) NotUpdatable();
    if (affect != adAffectCurrent) ole::Raise(err::WrongArguments, "Only the current record can be deleted.");
    Row& row = CurrentRow();
    if (row.status == Row::New) {
        rows_.erase(rows_.begin() + pos_);
        --live_;
        // the position now names the row after the deleted one
        return;
    }
    if (row.status == Row::Unchanged) row.original = row.values;
    row.status = Row::Deleted;
    --live_;
    bool immediate = connection_ && (LockType == adLockOptimistic || LockType == adLockPessimistic);
    if (immediate) {
        std::vector<size_t> one{static_cast<size_t>(pos_)};
        WriteRows(one);
        Settle(one);
    }
}

void Recordset::Find(const std::string& criteria, int32_t skipRows, int direction) {
    RequireOpen();
    Criterion c = ParseCriterion(criteria);
    int index = FieldIndex(c.field);
    if (live_ == 0) return;
    if (direction == adSearchBackward) {
        if (pos_ < 0) return;
        long p = std::min<long>(pos_, static_cast<long>(rows_.size()) - 1);
        for (int32_t s = 0; s < skipRows && p >= 0; ++s)
            do --p;
            while (p >= 0 && !Visible(static_cast<size_t>(p)));
        for (; p >= 0; --p)
            if (Visible(static_cast<size_t>(p)) && Matches(rows_[static_cast<size_t>(p)].values[static_cast<size_t>(index)], c)) {
                pos_ = p;
                return;
            }
        pos_ = -1;
        return;
    }
    if (pos_ >= static_cast<long>(rows_.size())) return;  // at EOF: nothing after it
    size_t p = NextVisible(static_cast<size_t>(std::max<long>(pos_, 0)));
    for (int32_t s = 0; s < skipRows && p < rows_.size(); ++s) p = NextVisible(p + 1);
    for (; p < rows_.size(); p = NextVisible(p + 1))
        if (Matches(rows_[p].values[static_cast<size_t>(index)], c)) {
            pos_ = static_cast<long>(p);
            return;
        }
    pos_ = static_cast<long>(rows_.size());
}

RecordsetPtr Recordset::Clone(int lockType) const {
    RequireOpen();
    auto copy = std::make_shared<Recordset>();
    copy->CursorLocation = CursorLocation;
    copy->CursorType = CursorType;
    copy->LockType = lockType == adLockUnspecified ? LockType : lockType;
    copy->connection_ = connection_;
    copy->AssignFrom(schema_, rows_);
    return copy;
}

int32_t Recordset::PendingCount() const {
    RequireOpen();
    return static_cast<int32_t>(std::count_if(rows_.begin(), rows_.end(), [](const Row& r) { return r.status != Row::Unchanged; }));
}

std::vector<size_t> Recordset::PendingRows() const {
    std::vector<size_t> pending;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].status != Row::Unchanged) pending.push_back(i);
    return pending;
}

void Recordset::WriteRows(const std::vector<size_t>& indexes) {
    if (!connection_ || connection_->State() != adStateOpen)
        ole::Raise(err::ObjectClosed, "Operation is not allowed when the object is closed. (no active connection)",
                   "ADODB.Recordset");
    auto& driver = connection_->Driver();
    connection_->ClearErrors();
    try {
        std::vector<int> keys = WritableKeys(*schema_, driver);
        // one row is one statement: on PostgreSQL a transaction of its own, without a BEGIN
        // and a COMMIT that would cost a round trip
        bool own = !driver.InTransaction() && (indexes.size() > 1 || driver.GetDialect() != Dialect::PostgreSQL);
        if (own) driver.Begin();
        try {
            for (size_t i : indexes) {
                std::string sql;
                std::vector<Variant> params;
                RowChange change = RowStatement(*schema_, keys, rows_[i], sql, params);
                if (change == RowChange::None) continue;
                detail::Result r = driver.Run(sql, params);
                if (change == RowChange::Stored && r.affected != 1) throw detail::DriverError(RowNotLocatedError());
            }
        } catch (...) {
            if (own) {
                try {
                    driver.Rollback();
                } catch (...) {
                }
            }
            throw;
        }
        if (own) driver.Commit();
    } catch (const detail::DriverError& e) {
        connection_->Fail(e.error);
    }
}

void Recordset::UpdateAll(const std::vector<RecordsetPtr>& recordsets, Connection& connection, bool commit) {
    auto& driver = connection.Driver();
    if (!driver.InTransaction())
        connection.Fail({err::NoTransaction, "No transaction is active.", "ADODB.Recordset", "", 0});
    std::vector<BatchStatement> statements;
    std::vector<bool> mustFind;  // an update or delete of a stored row: it changes exactly one
    std::vector<std::vector<size_t>> pending(recordsets.size());
    try {
        for (size_t r = 0; r < recordsets.size(); ++r) {
            Recordset& rs = *recordsets[r];
            rs.RequireOpen();
            if (rs.LockType == adLockReadOnly) NotUpdatable();
            pending[r] = rs.PendingRows();
            if (pending[r].empty()) continue;
            std::vector<int> keys = WritableKeys(*rs.schema_, driver);
            for (size_t i : pending[r]) {
                BatchStatement s;
                RowChange change = RowStatement(*rs.schema_, keys, rs.rows_[i], s.sql, s.params);
                if (change == RowChange::None) continue;
                statements.push_back(std::move(s));
                mustFind.push_back(change == RowChange::Stored);
            }
        }
    } catch (const detail::DriverError& e) {
        connection.Fail(e.error);
    }
    bool checked = std::find(mustFind.begin(), mustFind.end(), true) != mustFind.end();
    bool commitInBatch = commit && !checked && driver.GetDialect() == Dialect::PostgreSQL;
    if (commitInBatch) statements.push_back({"COMMIT", {}});
    auto results = connection.ExecuteBatch(statements);
    for (size_t i = 0; i < mustFind.size(); ++i)
        if (mustFind[i] && results[i].affected != 1)
            connection.Fail(RowNotLocatedError());
    for (size_t r = 0; r < recordsets.size(); ++r) recordsets[r]->Settle(pending[r]);
    if (commit && !commitInBatch) connection.CommitTrans();
}

void Recordset::Settle(const std::vector<size_t>& indexes) {
    // deleted rows leave the recordset; the others become stored rows
    std::vector<bool> remove(rows_.size(), false);
    for (size_t i : indexes) {
        Row& row = rows_[i];
        if (row.status == Row::Deleted) {
            remove[i] = true;
        } else {
            row.status = Row::Unchanged;
            row.original.clear();
        }
    }
    if (std::find(remove.begin(), remove.end(), true) == remove.end()) return;
    std::vector<Row> kept;
    kept.reserve(rows_.size());
    long newPos = -1;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (static_cast<long>(i) == pos_) newPos = static_cast<long>(kept.size());
        if (!remove[i]) kept.push_back(std::move(rows_[i]));
    }
    if (pos_ >= static_cast<long>(rows_.size())) newPos = static_cast<long>(kept.size());
    if (pos_ < 0) newPos = -1;
    rows_ = std::move(kept);
    pos_ = newPos;
}

void Recordset::UpdateBatch(int affect) {
    RequireOpen();
    if (LockType == adLockReadOnly) NotUpdatable();
    std::vector<size_t> pending;
    if (affect == adAffectCurrent) {
        if (pos_ >= 0 && pos_ < static_cast<long>(rows_.size()) && rows_[static_cast<size_t>(pos_)].status != Row::Unchanged)
            pending.push_back(static_cast<size_t>(pos_));
    } else {
        pending = PendingRows();
    }
    if (pending.empty()) return;
    WriteRows(pending);
    Settle(pending);
}

}  // namespace ado
