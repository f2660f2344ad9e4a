#include "interfaces/vendalo/order_export_file.h"

#include "platform/automation/text.h"
#include "platform/masterdata/referential_integrity.h"
#include "shared/lib_sales.h"
#include "vendalo/keys.h"
#include "vendalo/register.h"

namespace vendalo {
namespace {

class OrderExportFile : public IOrderExportFile, public qx::IReferentialIntegrity {
public:
    ado::RecordsetPtr GetAllInstances() override {
        try {
            return Sls_GetDisconnectedRecordset("SELECT * FROM ORDEREXPORTFILE", Sls_ConnectionString());
        } catch (...) {
            Sls_RaiseError("Vendalo.OrderExportFile.GetAllInstances");
        }
    }

    // A back-end instance is referred to while the registry holds a row for it.
    // The value at the first position is the instance's id, whatever the key is
    // called; one that is no number (Null, text) names no row.
    bool Exists(const std::string& kind, const ole::VariantArray&, const ole::VariantArray& values) override {
        try {
            if (ole::UpperCase(kind) != "BISINSTANCE" || values.empty()) return false;
            auto bisid = IntegerKeyOf(values.front());
            if (!bisid) return false;
            return Sls_RecordExists("SELECT BISID FROM ORDEREXPORTFILE WHERE BISID=?", Sls_ConnectionString(),
                                    {ole::Variant(*bisid)});
        } catch (...) {
            Sls_RaiseError("OrderExportFile.IReferentialIntegrity_Exists");
        }
    }

    // A registry row is not removed with its instance.
    bool BeforeDelete(const std::string&, const ole::VariantArray&, const ole::VariantArray&) override { return true; }
};

}  // namespace

void RegisterOrderExportFile() { ole::RegisterClass<OrderExportFile>("Vendalo.OrderExportFile"); }

}  // namespace vendalo
