#include "register.h"

#include "vendalo/basket.h"
#include "vendalo/order.h"
#include "vendalo/order_export_file.h"
#include "vendalo/sales_parameter.h"

namespace vendalo {

void RegisterComponents() {
    RegisterBasket();
    RegisterSalesParameter();
    RegisterOrder();
    RegisterOrderExportFile();
    RegisterPricing();
    RegisterFreightCost();
    RegisterWebOrder();
    RegisterPriceListImport();
    RegisterReporting();
}

}  // namespace vendalo
