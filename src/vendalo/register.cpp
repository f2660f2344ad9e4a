#include "register.h"

#include "basket.h"
#include "order.h"
#include "order_export_file.h"
#include "sales_parameter.h"

namespace vendalo {

void RegisterComponents() {
    RegisterBasket();
    RegisterSalesParameter();
    RegisterOrder();
    RegisterOrderExportFile();
}

}  // namespace vendalo
