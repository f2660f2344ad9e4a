#include "register.h"

#include "order.h"
#include "order_export_file.h"
#include "sales_parameter.h"

namespace vendalo {

void RegisterComponents() {
    RegisterSalesParameter();
    RegisterOrder();
    RegisterOrderExportFile();
}

}  // namespace vendalo
