#include "platform/data/driver.h"

#include <cctype>

#include "platform/automation/decimal.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"

namespace ado::detail {

static std::string TrimCopy(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string ConnectionOptions::Get(const std::string& key, const std::string& fallback) const {
    auto it = values.find(ole::LowerCase(key));
    return it == values.end() ? fallback : it->second;
}

ConnectionOptions ParseConnectionString(const std::string& text) {
    ConnectionOptions options;
    size_t i = 0;
    for (int attribute = 1; i < text.size(); ++attribute) {
        size_t eq = text.find('=', i);
        size_t semi = text.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            // Most likely the rest of a value that holds ";": never shown, it may be a password's.
            if (!TrimCopy(text.substr(i, semi == std::string::npos ? std::string::npos : semi - i)).empty())
                throw DriverError({err::ProviderFailure,
                                   "Invalid connection string: attribute " + std::to_string(attribute) +
                                       " is not of the form Key=Value (a value that holds ';' must be enclosed in "
                                       "double quotes)",
                                   "Connection", "", 0});
            if (semi == std::string::npos) break;
            i = semi + 1;
            continue;
        }
        std::string key = ole::LowerCase(TrimCopy(text.substr(i, eq - i)));
        size_t v = eq + 1;
        while (v < text.size() && text[v] == ' ') ++v;
        std::string value;
        if (v < text.size() && text[v] == '"') {
            size_t close = v + 1;
            while (close < text.size()) {
                if (text[close] == '"' && close + 1 < text.size() && text[close + 1] == '"') {
                    value += '"';
                    close += 2;
                    continue;
                }
                if (text[close] == '"') break;
                value += text[close++];
            }
            i = text.find(';', close);
        } else {
            size_t end = text.find(';', v);
            value = TrimCopy(text.substr(v, end == std::string::npos ? std::string::npos : end - v));
            i = end;
        }
        if (!key.empty()) options.values[key] = value;
        if (i == std::string::npos) break;
        ++i;
    }
    options.provider = ole::LowerCase(options.Get("provider"));
    return options;
}

DataTypeEnum TypeFromDeclaration(const std::string& declaration, int32_t& size) {
    size = 0;
    std::string d = ole::UpperCase(TrimCopy(declaration));
    std::string base = d;
    int a = 0, b = -1;
    size_t paren = d.find('(');
    if (paren != std::string::npos) {
        base = TrimCopy(d.substr(0, paren));
        std::string args = d.substr(paren + 1);
        a = std::atoi(args.c_str());
        size_t comma = args.find(',');
        if (comma != std::string::npos) b = std::atoi(args.c_str() + comma + 1);
    }
    if (base == "SMALLINT" || base == "INT2") return adSmallInt;
    if (base == "INTEGER" || base == "INT" || base == "INT4") return adInteger;
    if (base == "BIGINT" || base == "INT8") return adBigInt;
    if (base == "REAL" || base == "FLOAT4") return adSingle;
    if (base == "DOUBLE" || base == "DOUBLE PRECISION" || base == "FLOAT" || base == "FLOAT8") return adDouble;
    if (base == "MONEY") return adCurrency;
    if (base == "NUMERIC" || base == "DECIMAL") return (a == 19 && b == 4) ? adCurrency : adNumeric;
    if (base == "BOOLEAN" || base == "BOOL" || base == "BIT") return adBoolean;
    if (base == "DATE") return adDate;
    if (base == "TIMESTAMP" || base == "DATETIME" || base == "TIMESTAMP WITHOUT TIME ZONE") return adDBTimeStamp;
    if (base == "CHAR" || base == "NCHAR" || base == "CHARACTER" || base == "BPCHAR") {
        size = a;
        return adWChar;
    }
    if (base == "VARCHAR" || base == "NVARCHAR" || base == "CHARACTER VARYING") {
        size = a;
        return adVarWChar;
    }
    if (base == "TEXT" || base == "CLOB") return adLongVarWChar;
    return adVariant;
}

namespace {
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; }

// The next word at top level (outside quotes and parentheses) from position i.
bool NextTopLevelWord(const std::string& sql, size_t& i, std::string& word) {
    int depth = 0;
    while (i < sql.size()) {
        char c = sql[i];
        if (c == '\'' || c == '"') {
            size_t close = sql.find(c, i + 1);
            while (close != std::string::npos && close + 1 < sql.size() && sql[close + 1] == c)
                close = sql.find(c, close + 2);
            if (close == std::string::npos) return false;
            i = close + 1;
            continue;
        }
        if (c == '(') { ++depth; ++i; continue; }
        if (c == ')') { --depth; ++i; continue; }
        if (IsWordChar(c)) {
            size_t b = i;
            while (i < sql.size() && IsWordChar(sql[i])) ++i;
            if (depth == 0) {
                word = ole::UpperCase(sql.substr(b, i - b));
                return true;
            }
            continue;
        }
        if (depth == 0 && c == ',') {
            word = ",";
            ++i;
            return true;
        }
        ++i;
    }
    return false;
}
}  // namespace

std::string BaseTableOf(const std::string& sql) {
    size_t i = 0;
    std::string word;
    if (!NextTopLevelWord(sql, i, word) || word != "SELECT") return "";
    while (NextTopLevelWord(sql, i, word))
        if (word == "FROM") break;
    if (word != "FROM" || !NextTopLevelWord(sql, i, word) || word == ",") return "";
    std::string table = word;
    if (table.rfind("DBO.", 0) == 0) table = table.substr(4);
    if (table.find('.') != std::string::npos) return "";
    if (!NextTopLevelWord(sql, i, word)) return table;
    if (word == "WHERE" || word == "ORDER" || word == "GROUP" || word == "LIMIT" || word == "FOR") return table;
    return "";  // an alias, a join or a second table: not updatable
}

std::shared_ptr<const Schema> SchemaOf(const std::string& sql, std::vector<Column>&& columns, bool updatable) {
    constexpr size_t kKept = 256;
    thread_local std::unordered_map<std::string, std::shared_ptr<const Schema>> kept[2];
    auto& cache = kept[updatable ? 1 : 0];
    auto same = [&](const Schema& schema) {
        if (schema.columns.size() != columns.size()) return false;
        for (size_t i = 0; i < columns.size(); ++i) {
            const Column& a = schema.columns[i];
            if (a.type != columns[i].type || a.size != columns[i].size || a.name != columns[i].name) return false;
        }
        return true;
    };
    auto found = cache.find(sql);
    if (found != cache.end() && same(*found->second)) return found->second;
    auto schema = std::make_shared<Schema>();
    schema->columns = std::move(columns);
    for (size_t i = 0; i < schema->columns.size(); ++i)
        schema->byName.emplace(ole::UpperCase(schema->columns[i].name), static_cast<int>(i));
    if (updatable) schema->table = BaseTableOf(sql);
    if (cache.size() >= kKept) cache.clear();
    cache[sql] = schema;
    return schema;
}

size_t Utf8Length(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

namespace {

Variant ExactNumber(const Variant& v) {
    // text that spells a number otherwise ("1e3", "1,000") as the platform reads it
    auto exact = v.IsString() ? ole::Decimal::Parse(ole::TrimBlanks(v.ToString())) : std::nullopt;
    ole::Decimal d = exact ? *exact : v.IsString() ? ole::Decimal::FromDouble(v.ToDouble()) : ole::Decimal::FromVariant(v);
    return Variant(d.ToString());
}

}  // namespace

Variant CoerceToType(DataTypeEnum type, int32_t size, const Variant& v, Numbers numbers) {
    if (v.IsEmpty() || v.IsNull()) return v;
    try {
        switch (type) {
            case adSmallInt: return Variant(v.ToInt());
            case adInteger: return Variant(v.ToLong());
            case adBigInt: return Variant(v.ToLongLong());
            case adSingle:
            case adDouble:
            case adNumeric:
            case adDecimal: return numbers == Numbers::AsDouble ? Variant(v.ToDouble()) : ExactNumber(v);
            case adCurrency: return Variant(v.ToCurrency());
            case adDate:
            case adDBTimeStamp: return Variant(v.ToDate());
            case adBoolean: return Variant(v.ToBool());
            case adChar:
            case adWChar:
            case adVarChar:
            case adVarWChar:
            case adLongVarChar:
            case adLongVarWChar:
            case adBSTR: {
                std::string text = v.ToString();
                if (size > 0 && Utf8Length(text) > static_cast<size_t>(size))
                    throw Misfit(true, std::to_string(size));
                return Variant(std::move(text));
            }
            default: return v;
        }
    } catch (const ole::AutomationError& e) {
        throw Misfit(false, e.Description());
    }
}

}  // namespace ado::detail

namespace ado {

namespace {
// The keys whose values may be shown. Anything else, and an attribute without
// "=", may be the rest of a password that holds ";": it is shown as "***".
bool ShownKey(const std::string& key) {
    static const char* const kShown[] = {"provider", "data source", "mode",     "busy timeout", "synchronous",
                                         "pooling",  "host",        "server",   "port",         "database",
                                         "initial catalog", "user id", "uid",   "connect timeout", "schema"};
    for (const char* shown : kShown)
        if (key == shown) return true;
    return false;
}
}  // namespace

std::string ConnectionStringForDisplay(const std::string& text) {
    std::string shown;
    size_t i = 0;
    while (i < text.size()) {
        size_t eq = text.find('=', i);
        size_t semi = text.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            bool blank = detail::TrimCopy(text.substr(i, semi == std::string::npos ? std::string::npos : semi - i)).empty();
            if (!blank) shown += "***";
            if (semi == std::string::npos) return shown;
            shown += ';';
            i = semi + 1;
            continue;
        }
        size_t end = eq + 1;
        while (end < text.size() && text[end] == ' ') ++end;
        if (end < text.size() && text[end] == '"') {  // a quoted value may hold ";" and doubled quotes
            ++end;
            while (end < text.size() && !(text[end] == '"' && (end + 1 >= text.size() || text[end + 1] != '"')))
                end += text[end] == '"' ? 2 : 1;
        }
        end = text.find(';', end);
        if (end == std::string::npos) end = text.size();
        std::string key = ole::LowerCase(detail::TrimCopy(text.substr(i, eq - i)));
        if (key == "password" || key == "pwd")
            shown += text.substr(i, eq + 1 - i) + "***";
        else if (ShownKey(key))
            shown += text.substr(i, end - i);
        else
            shown += "***";
        if (end < text.size()) shown += ';';
        i = end + 1;
    }
    return shown;
}

}  // namespace ado
