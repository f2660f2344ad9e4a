#include "vendalo/order_export_file.h"

#include "lib_sales.h"
#include "register.h"

namespace vendalo {
namespace {

class OrderExportFile : public IOrderExportFile {
public:
    ado::RecordsetPtr GetAllInstances() override {
        try {
            return Sls_GetDisconnectedRecordset("SELECT * FROM ORDEREXPORTFILE", Sls_ConnectionString());
        } catch (...) {
            Sls_RaiseError("Vendalo.OrderExportFile.GetAllInstances");
        }
    }
};

}  // namespace

void RegisterOrderExportFile() { ole::RegisterClass<OrderExportFile>("Vendalo.OrderExportFile"); }

}  // namespace vendalo
