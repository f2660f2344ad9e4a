#include "vendalo/statement.h"

#include "vendalo/encoding.h"

namespace vendalo {

std::string Statement::Shown() const {
    std::string shown;
    size_t k = 0;
    for (char c : sql) {
        if (c != '?' || k >= params.size()) {
            shown += c;
            continue;
        }
        const ole::Variant& v = params[k++];
        switch (v.Type()) {
            case ole::VarType::String: shown += EncodeSQLValue(v); break;
            case ole::VarType::Double: shown += SQLEncoder()->NumberLiteral(v.ToDouble()); break;
            case ole::VarType::Date: shown += EncodeSQLDate(v.ToDate()); break;
            case ole::VarType::Null: shown += "NULL"; break;
            default: shown += v.ToString();
        }
    }
    return shown;
}

}  // namespace vendalo
