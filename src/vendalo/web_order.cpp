// Vendalo.WebOrder: the referential checks of the web orders against the
// back-end instances they are exchanged through (ORDERHEADER.BISID). It has no
// operations besides qx::IReferentialIntegrity.
#include "platform/automation/text.h"
#include "platform/masterdata/referential_integrity.h"
#include "shared/lib_sales.h"
#include "vendalo/keys.h"
#include "vendalo/register.h"

namespace vendalo {
namespace {

class WebOrder : public qx::IReferentialIntegrity {
public:
    // True when an order is exchanged through the instance of any BISID key;
    // the rows returned are counted (a later key without orders does not take
    // back an earlier hit). A value that is no number names no instance.
    bool Exists(const std::string& kind, const ole::VariantArray& keys, const ole::VariantArray& values) override {
        ado::ConnectionPtr connection;
        try {
            if (ole::UpperCase(kind) != "BISINSTANCE") return false;
            bool found = false;
            for (size_t i = 0; i < keys.size() && i < values.size() && !found; ++i) {
                auto bisid = IntegerKeyOf(values[i]);
                if (ole::UpperCase(keys[i].Text()) != "BISID" || !bisid) continue;
                if (!connection) connection = Sls_GetOpenConnection(Sls_ConnectionString());
                auto rows = connection->Execute("SELECT BISID FROM ORDERHEADER WHERE BISID = ? LIMIT 1", nullptr, -1,
                                                {ole::Variant(*bisid)});
                found = rows->RecordCount() > 0;
            }
            if (connection) connection->Close();
            return found;
        } catch (...) {
            std::string errors = Sls_ConnectionErrors(connection);
            connection.reset();
            Sls_RaiseError("WebOrder.IReferentialIntegrity_Exists", errors.empty() ? SlsInfo() : SlsInfo(errors));
        }
    }

    // Web orders are not removed when a back-end instance is deleted.
    bool BeforeDelete(const std::string&, const ole::VariantArray&, const ole::VariantArray&) override { return false; }
};

}  // namespace

void RegisterWebOrder() { ole::RegisterClass<WebOrder>("Vendalo.WebOrder"); }

}  // namespace vendalo
