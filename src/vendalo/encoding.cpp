#include "vendalo/encoding.h"

#include "shared/lib_sales.h"

namespace vendalo {

std::shared_ptr<qx::ISqlEncoder> SQLEncoder() {
    // one encoder per thread, made on first use, and again when the database's dialect changes
    thread_local std::string connectionString;
    thread_local std::shared_ptr<qx::ISqlEncoder> encoder;
    const std::string& current = Sls_ConnectionString();
    if (!encoder || current != connectionString) {
        encoder = qx::NewSqlEncoder(ado::DialectOf(current));
        connectionString = current;
    }
    return encoder;
}

std::string EncodeSQLText(const std::string& text) { return SQLEncoder()->StringLiteral(text); }

std::string EncodeSQLValue(const ole::Variant& value) {
    if (value.IsNull()) return "NULL";
    return SQLEncoder()->TextLiteral(value.ToString());
}

std::string EncodeSQLDate(ole::Date date) { return SQLEncoder()->DateLiteral(date); }

}  // namespace vendalo
