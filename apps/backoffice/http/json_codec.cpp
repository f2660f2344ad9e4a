#include "http/json_codec.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <vector>

#include "platform/automation/decimal.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace backoffice::http {

namespace {

using ole::Variant;

bool IsInteger(ado::DataTypeEnum t) { return t == ado::adSmallInt || t == ado::adInteger || t == ado::adBigInt; }
bool IsMoney(ado::DataTypeEnum t) { return t == ado::adCurrency || t == ado::adNumeric || t == ado::adDecimal; }
bool IsFloat(ado::DataTypeEnum t) { return t == ado::adDouble || t == ado::adSingle; }
bool IsDate(ado::DataTypeEnum t) { return t == ado::adDate || t == ado::adDBTimeStamp; }

std::string IsoDate(ole::Date d, bool dayOnly) {
    std::string iso = d.Iso();  // "yyyy-mm-dd hh:mm:ss[.fff]"
    if (dayOnly && !d.HasTime()) return iso.substr(0, 10);
    iso[10] = 'T';
    return iso;
}

// A number in its shortest exact form: whole numbers without ".0".
json Number(double d) {
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) return static_cast<int64_t>(d);
    return d;
}

// An exact decimal as the JSON number that prints as it: the shortest double
// that reads back as the same decimal.
json DecimalNumber(const ole::Decimal& d) { return Number(std::strtod(d.ToString().c_str(), nullptr)); }

json ValueJson(const Variant& v, ado::DataTypeEnum type) {
    switch (v.Type()) {
        case ole::VarType::Empty:
        case ole::VarType::Null: return nullptr;
        case ole::VarType::Boolean: return v.ToBool();
        case ole::VarType::Integer:
        case ole::VarType::Long:
        case ole::VarType::LongLong: return v.ToLongLong();
        case ole::VarType::Double: return Number(v.ToDouble());
        case ole::VarType::Currency: return DecimalNumber(ole::Decimal::FromCurrency(v.ToCurrency()));
        case ole::VarType::Date: return IsoDate(v.ToDate(), type == ado::adDate);
        case ole::VarType::String: return v.ToString();
        default: return v.Text();
    }
}

// ---- Answers written straight into their text ---------------------------------
// Each piece is written as json::dump writes the value ValueJson makes of it;
// what is rare (text to escape or to mend, duplicate column names) is handed to
// json itself, so that both ways give the same bytes.

void AppendText(std::string& out, std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            out += json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
            return;
        }
    }
    out += '"';
    out += text;
    out += '"';
}

void AppendInteger(std::string& out, int64_t n) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}

// As Number(d) dumps: whole numbers as integers, others in json's shortest form.
void AppendNumber(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
    } else if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
        AppendInteger(out, static_cast<int64_t>(d));
    } else {
        char digits[64];
        out.append(digits, nlohmann::detail::to_chars(digits, digits + sizeof digits, d));
    }
}

void AppendValue(std::string& out, const Variant& v, ado::DataTypeEnum type) {
    switch (v.Type()) {
        case ole::VarType::Empty:
        case ole::VarType::Null: out += "null"; return;
        case ole::VarType::Boolean: out += v.ToBool() ? "true" : "false"; return;
        case ole::VarType::Integer:
        case ole::VarType::Long:
        case ole::VarType::LongLong: AppendInteger(out, v.ToLongLong()); return;
        case ole::VarType::Double: AppendNumber(out, v.ToDouble()); return;
        case ole::VarType::Currency:
            AppendNumber(out, std::strtod(ole::Decimal::FromCurrency(v.ToCurrency()).ToString().c_str(), nullptr));
            return;
        case ole::VarType::Date: AppendText(out, IsoDate(v.ToDate(), type == ado::adDate)); return;
        case ole::VarType::String: AppendText(out, v.ToString()); return;
        default: AppendText(out, v.Text()); return;
    }
}

// The current row as RowJson dumps it; a row with a column name twice is left to RowJson.
void AppendRow(std::string& out, ado::Recordset& rs, bool namesUnique);

void AppendRows(std::string& out, ado::Recordset& rs) {
    out += '[';
    if (!(rs.Bof() && rs.Eof())) {
        bool unique = rs.FieldNamesUnique();
        for (rs.MoveFirst(); !rs.Eof(); rs.MoveNext()) {
            if (out.back() != '[') out += ',';
            AppendRow(out, rs, unique);
        }
    }
    out += ']';
}

const char* const kTooManyDecimals = "more decimals than the amount keeps (at most four)";

[[noreturn]] void Refuse(const std::string& field, const std::string& what) {
    throw FieldRefusal(field, what);
}

// A line's values replaced; a refusal names the line by its number.
void ReplaceLine(ado::Recordset& lines, const json& object, int32_t lineNr, size_t index) {
    try {
        ReplaceRow(lines, object, {"BASKETID", "BASKETLINENR"}, "lines[" + std::to_string(index) + "]");
    } catch (RequestError& e) {
        e.detail["line"] = lineNr;
        throw;
    }
}

}  // namespace

RequestError FieldRefusal(const std::string& path, const std::string& what, int32_t number, std::optional<int32_t> line) {
    RequestError refusal(400, path + ": " + what, number);
    size_t dot = path.rfind('.');
    refusal.detail["field"] = dot == std::string::npos ? path : path.substr(dot + 1);
    if (line) refusal.detail["line"] = *line;
    return refusal;
}

json RowJson(ado::Recordset& rs) {
    json row = json::object();
    for (int i = 0; i < rs.FieldCount(); ++i) {
        auto field = rs.Fields(i);
        row[field.Name()] = ValueJson(field.Value(), field.Type());
    }
    return row;
}

namespace {

void AppendRow(std::string& out, ado::Recordset& rs, bool namesUnique) {
    if (!namesUnique) {
        out += AnswerText(RowJson(rs));
        return;
    }
    out += '{';
    for (int i = 0; i < rs.FieldCount(); ++i) {
        auto field = rs.Fields(i);
        if (i > 0) out += ',';
        AppendText(out, field.Name());
        out += ':';
        AppendValue(out, field.ValueRef(), field.Type());
    }
    out += '}';
}

}  // namespace

json RowsJson(ado::Recordset& rs) {
    json rows = json::array();
    if (rs.Bof() && rs.Eof()) return rows;
    for (rs.MoveFirst(); !rs.Eof(); rs.MoveNext()) rows.push_back(RowJson(rs));
    return rows;
}

json DictionaryJson(const ole::Dictionary& dictionary) {
    json out = json::object();
    dictionary.ForEach([&](const Variant& key, const Variant& item) {
        std::string name = key.Text();
        if (auto rs = item.As<ado::Recordset>()) {
            if (name == "header") {
                if (rs->Bof() && rs->Eof()) {
                    out[name] = nullptr;
                } else {
                    rs->MoveFirst();
                    out[name] = RowJson(*rs);
                }
            } else {
                out[name] = RowsJson(*rs);
            }
        } else {
            out[name] = ValueJson(item, ado::adVariant);
        }
    });
    return out;
}

std::string DictionaryText(const ole::Dictionary& dictionary, const json& more) {
    bool clash = false;
    for (const auto& [name, value] : more.items()) clash = clash || dictionary.Exists(name);
    if (clash) {
        json whole = DictionaryJson(dictionary);
        for (const auto& [name, value] : more.items()) whole[name] = value;
        return AnswerText(whole);
    }
    std::string out;
    out.reserve(4096);
    out += '{';
    dictionary.ForEach([&](const Variant& key, const Variant& item) {
        if (out.size() > 1) out += ',';
        std::string name = key.Text();
        AppendText(out, name);
        out += ':';
        if (auto rs = item.As<ado::Recordset>()) {
            if (name != "header") {
                AppendRows(out, *rs);
            } else if (rs->Bof() && rs->Eof()) {
                out += "null";
            } else {
                rs->MoveFirst();
                AppendRow(out, *rs, rs->FieldNamesUnique());
            }
        } else {
            AppendValue(out, item, ado::adVariant);
        }
    });
    for (const auto& [name, value] : more.items()) {
        if (out.size() > 1) out += ',';
        AppendText(out, name);
        out += ':';
        out += AnswerText(value);
    }
    out += '}';
    return out;
}

namespace {

// A field's name in errors ("header.QUANTITY"), put together only when its value is refused.
struct FieldName {
    std::string_view where, name;
    std::string Text() const {
        return where.empty() ? std::string(name) : std::string(where).append(".").append(name);
    }
};

// yyyy-mm-dd, optionally followed by [T ]hh:mm, :ss and .f to .fff
bool IsoDateForm(std::string_view text) {
    static const char kForm[] = "dddd-dd-dd?dd:dd:dd.ddd";  // d a digit, ? T or a space
    static const size_t kLengths[] = {10, 16, 19, 21, 22, 23};
    if (std::find(std::begin(kLengths), std::end(kLengths), text.size()) == std::end(kLengths)) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool fits = kForm[i] == 'd' ? c >= '0' && c <= '9' : kForm[i] == '?' ? c == 'T' || c == ' ' : c == kForm[i];
        if (!fits) return false;
    }
    return true;
}

Variant ValueOf(const json& value, ado::DataTypeEnum type, const FieldName& field) {
    if (value.is_null()) return ole::Null;
    if (type == ado::adBoolean) {
        if (!value.is_boolean()) Refuse(field.Text(), "true or false expected");
        return Variant(value.get<bool>());
    }
    if (IsInteger(type)) {
        if (!value.is_number_integer()) Refuse(field.Text(), "a whole number expected");
        if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
            Refuse(field.Text(), "the number is too large");
        int64_t n = value.get<int64_t>();
        if (type == ado::adBigInt) return Variant(n);
        if (n < INT32_MIN || n > INT32_MAX || (type == ado::adSmallInt && (n < INT16_MIN || n > INT16_MAX)))
            Refuse(field.Text(), "the number is too large");
        return type == ado::adSmallInt ? Variant(static_cast<int16_t>(n)) : Variant(static_cast<int32_t>(n));
    }
    if (IsFloat(type)) {
        if (!value.is_number()) Refuse(field.Text(), "a number expected");
        return Variant(value.get<double>());
    }
    if (IsMoney(type)) {
        if (!value.is_number()) Refuse(field.Text(), "a number expected");
        if (value.is_number_integer()) {
            constexpr int64_t kLimit = 100000000000;  // 1e11, as for amounts with decimals
            if ((value.is_number_unsigned() && value.get<uint64_t>() >= static_cast<uint64_t>(kLimit)) ||
                value.get<int64_t>() >= kLimit || value.get<int64_t>() <= -kLimit)
                Refuse(field.Text(), "the amount is too large to be kept exactly");
            return ole::Decimal::FromInt(value.get<int64_t>()).ToCurrency();
        }
        double d = value.get<double>();
        if (!std::isfinite(d)) Refuse(field.Text(), "a finite number expected");
        if (std::fabs(d) >= 1e11) Refuse(field.Text(), "the amount is too large to be kept exactly");
        // a value that is not 0 must not come in as 0, nor lose its last decimals
        if (d != 0 && std::fabs(d) < 0.0001) Refuse(field.Text(), kTooManyDecimals);
        // the decimal the client wrote, as long as a double carries it exactly
        ole::Decimal exact = ole::Decimal::FromDouble(d);
        if (exact.Scale() > 4) Refuse(field.Text(), kTooManyDecimals);
        return Variant(exact.ToCurrency());
    }
    if (IsDate(type)) {
        if (!value.is_string()) Refuse(field.Text(), "an ISO 8601 date expected (yyyy-mm-dd or yyyy-mm-ddThh:mm:ss)");
        std::string text = value.get<std::string>();
        ole::Date date;
        if (!IsoDateForm(text)) Refuse(field.Text(), "an ISO 8601 date expected (yyyy-mm-dd or yyyy-mm-ddThh:mm:ss)");
        if (text.size() > 10) text[10] = ' ';
        if (!ole::ParseDate(text, date)) Refuse(field.Text(), "not a valid date");
        // a day column keeps the day on every database (PostgreSQL's DATE drops a time by itself)
        return Variant(type == ado::adDate ? date.DateOnly() : date);
    }
    // text and anything else the provider keeps as text
    if (!value.is_string()) Refuse(field.Text(), "text expected");
    std::string text = value.get<std::string>();
    if (text.find('\0') != std::string::npos) Refuse(field.Text(), "text must not hold NUL characters");
    return Variant(std::move(text));
}

}  // namespace

Variant FieldValue(const json& value, ado::DataTypeEnum type, const std::string& field) {
    return ValueOf(value, type, {{}, field});
}

json VariantJson(const Variant& value, ado::DataTypeEnum type) { return ValueJson(value, type); }

void OnlyFields(const json& body, std::initializer_list<const char*> allowed) {
    for (const auto& [name, value] : body.items()) {
        bool known = false;
        for (const char* a : allowed) known = known || name == a;
        if (!known) throw FieldRefusal(name, "no such field", ole::err::InvalidProcedureCall);
    }
}

Variant Field(const json& body, const char* name, ado::DataTypeEnum type, bool required) {
    if (!body.contains(name) || body[name].is_null()) {
        if (required) throw FieldRefusal(name, "missing", ole::err::InvalidProcedureCall);
        return ole::Null;
    }
    return FieldValue(body[name], type, name);
}

Variant QueryValue(const httplib::Request& request, const char* name, ado::DataTypeEnum type, bool required) {
    std::string text = request.has_param(name) ? request.get_param_value(name) : "";
    if (text.empty()) {
        if (required) throw RequestError(400, std::string(name) + ": missing");
        return ole::Null;
    }
    if (IsInteger(type) || IsFloat(type) || IsMoney(type) || type == ado::adBoolean) {
        json parsed = json::parse(text, nullptr, false);
        if (parsed.is_discarded() || parsed.is_string() || parsed.is_structured())
            Refuse(name, IsInteger(type) ? "a whole number expected" : type == ado::adBoolean ? "true or false expected"
                                                                                             : "a number expected");
        return FieldValue(parsed, type, name);
    }
    return FieldValue(json(text), type, name);
}

void ReplaceRow(ado::Recordset& rs, const json& object, const std::set<std::string>& keys, const std::string& where) {
    if (!object.is_object()) Refuse(where, "an object expected");
    // the columns by name; of two with one name, the last counts
    const int count = rs.FieldCount();
    std::vector<std::pair<const std::string*, int>> columns;
    columns.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) columns.emplace_back(&rs.Fields(i).Name(), i);
    std::sort(columns.begin(), columns.end(), [](const auto& a, const auto& b) {
        return *a.first < *b.first || (*a.first == *b.first && a.second < b.second);
    });
    auto last = [&](const std::string& name) {
        auto after = std::upper_bound(columns.begin(), columns.end(), name,
                                      [](const std::string& n, const auto& column) { return n < *column.first; });
        return after == columns.begin() || *std::prev(after)->first != name ? columns.end() : std::prev(after);
    };
    std::vector<bool> given(static_cast<size_t>(count), false);
    std::vector<std::pair<int, Variant>> values;
    values.reserve(static_cast<size_t>(count));
    for (const auto& [name, value] : object.items()) {
        auto column = last(name);
        if (column == columns.end()) Refuse(where + "." + name, "no such field");
        given[static_cast<size_t>(column->second)] = true;
        auto field = rs.Fields(column->second);
        Variant v = ValueOf(value, field.Type(), {where, name});
        if (keys.count(name)) {
            if (!ole::VbEquals(v, field.Value()) && !(v.IsNull() && field.Value().IsNull()))
                Refuse(where + "." + name, "a key field cannot change");
            continue;
        }
        values.emplace_back(column->second, std::move(v));
    }
    for (auto column = columns.begin(); column != columns.end(); ++column) {
        const std::string& name = *column->first;
        if (std::next(column) != columns.end() && *std::next(column)->first == name) continue;  // not the last
        if (keys.count(name) || given[static_cast<size_t>(column->second)]) continue;
        values.emplace_back(column->second, ole::Null);
    }
    for (const auto& [index, v] : values) {
        try {
            rs.Fields(index) = v;
        } catch (const ole::AutomationError& e) {
            // the data layer refuses what does not fit the column (a text longer than it)
            throw FieldRefusal(where + "." + rs.Fields(index).Name(), e.Description(), e.Number());
        }
    }
}

void ReplaceBasket(ole::Dictionary& basket, const json& body, const std::string& basketId) {
    for (const auto& [name, value] : body.items())
        if (name != "header" && name != "lines" && name.rfind('_', 0) != 0) Refuse(name, "no such part of a basket");
    if (!body.contains("header")) Refuse("header", "missing");
    if (!body.contains("lines") || !body["lines"].is_array()) Refuse("lines", "an array expected");
    auto header = RecordsetOf(basket, "header");
    auto lines = RecordsetOf(basket, "lines");
    // changes go to copies first: a refused value leaves the basket as it was
    ado::Recordset newHeader(*header), newLines(*lines);
    newHeader.MoveFirst();
    ReplaceRow(newHeader, body["header"], {"BASKETID"}, "header");

    std::map<int32_t, size_t> wanted;  // line number -> index in the body
    const json& bodyLines = body["lines"];
    for (size_t i = 0; i < bodyLines.size(); ++i) {
        std::string where = "lines[" + std::to_string(i) + "]";
        if (!bodyLines[i].is_object() || !bodyLines[i].contains("BASKETLINENR"))
            Refuse(where + ".BASKETLINENR", "every line needs its number");
        Variant nr = FieldValue(bodyLines[i]["BASKETLINENR"], ado::adInteger, where + ".BASKETLINENR");
        if (nr.IsNull()) Refuse(where + ".BASKETLINENR", "every line needs its number");
        if (!wanted.emplace(nr.ToLong(), i).second) Refuse(where + ".BASKETLINENR", "the number is given twice");
        if (bodyLines[i].contains("BASKETID") && bodyLines[i]["BASKETID"] != basketId)
            Refuse(where + ".BASKETID", "a key field cannot change");
    }
    // lines the body lacks go; the others are replaced
    std::set<int32_t> present;
    if (!(newLines.Bof() && newLines.Eof())) {
        newLines.MoveFirst();
        while (!newLines.Eof()) {
            int32_t nr = newLines.Fields("BASKETLINENR").Value().ToLong();
            auto it = wanted.find(nr);
            if (it == wanted.end()) {
                newLines.Delete(ado::adAffectCurrent);
                newLines.MoveFirst();
                continue;
            }
            if (present.insert(nr).second) ReplaceLine(newLines, bodyLines[it->second], nr, it->second);
            newLines.MoveNext();
        }
    }
    for (const auto& [nr, index] : wanted) {
        if (present.count(nr)) continue;
        newLines.AddNew();
        newLines.Fields("BASKETID") = basketId;
        newLines.Fields("BASKETLINENR") = nr;
        ReplaceLine(newLines, bodyLines[index], nr, index);
    }
    *header = newHeader;
    *lines = newLines;
    for (const auto& [name, value] : body.items())
        if (name.rfind('_', 0) == 0) basket.Set(name, FieldValue(value, ado::adVarWChar, name));
}

std::string UtcText(ole::Date utc) {
    ole::CalendarTime t = utc.ToCalendar();
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond);
    return text;
}

std::string LocalAsUtcText(ole::Date local) { return UtcText(Sls_LocalToUtc(local)); }

std::string AnswerText(const json& body) { return body.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace backoffice::http
