#include "encoding.h"

#include "lib_sales.h"

namespace vendalo {

std::shared_ptr<qx::ISqlEncoder> SQLEncoder() {
    // one encoder per thread and dialect, made on first use
    thread_local std::shared_ptr<qx::ISqlEncoder> encoders[2];
    ado::Dialect dialect = ado::DialectOf(Sls_ConnectionString());
    auto& encoder = encoders[dialect == ado::Dialect::SQLite ? 0 : 1];
    if (!encoder) encoder = qx::NewSqlEncoder(dialect);
    return encoder;
}

std::string EncodeSQLText(const std::string& text) { return SQLEncoder()->StringLiteral(text); }

std::string EncodeSQLValue(const ole::Variant& value) {
    if (value.IsNull()) return "NULL";
    return SQLEncoder()->TextLiteral(value.ToString());
}

std::string EncodeSQLDate(ole::Date date) { return SQLEncoder()->DateLiteral(date); }

}  // namespace vendalo
