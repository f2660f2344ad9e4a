#include "platform/masterdata/referential_checker.h"

#include <climits>
#include <cmath>

#include "platform/automation/component.h"
#include "platform/automation/text.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"

namespace qx {
namespace {

struct MasterTable {
    const char* column;
    const char* query;
    bool numeric;
};

const MasterTable kMasterTables[] = {
    {"PRODUCTID", "SELECT PRODUCTID FROM PRODUCT WHERE PRODUCTID = ?", true},
    {"BUSINESSPARTNERID", "SELECT BUSINESSPARTNERID FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = ?", true},
    {"CURRENCYCODE", "SELECT CURRENCYCODE FROM CURRENCY WHERE CURRENCYCODE = ?", false},
};

// The value as the key of a numeric master table, or Empty when it cannot be one.
ole::Variant NumericKey(const ole::Variant& value) {
    if (value.IsNull() || value.IsEmpty() || !value.IsNumeric()) return {};
    double d = value.ToDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < INT32_MIN || d > INT32_MAX) return {};
    return ole::Variant(static_cast<int32_t>(d));
}

class ReferentialChecker : public IReferentialChecker {
public:
    bool CheckInsert(const std::string&, const ole::VariantArray& keys, const ole::VariantArray& values) override {
        ado::ConnectionPtr connection;
        for (size_t i = 0; i < keys.size(); ++i) {
            std::string column = ole::UpperCase(keys[i].Text());
            const MasterTable* master = nullptr;
            for (const auto& m : kMasterTables)
                if (column == m.column) master = &m;
            if (!master) continue;
            if (i >= values.size()) return false;
            ole::Variant key = master->numeric ? NumericKey(values[i])
                                               : (values[i].IsNull() || values[i].IsEmpty() ? ole::Variant()
                                                                                            : ole::Variant(values[i].Text()));
            if (key.IsEmpty()) return false;
            if (!connection) connection = ado::OpenConnection(MasterDataConnectionString());
            if (connection->Execute(master->query, nullptr, -1, {key})->Eof()) return false;
        }
        if (connection) connection->Close();
        return true;
    }
};

}  // namespace

void RegisterReferentialChecker() { ole::RegisterClass<ReferentialChecker>("Qxcore.ReferentialChecker"); }

}  // namespace qx
