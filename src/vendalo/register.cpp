#include "vendalo/register.h"

#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/order_export_file.h"
#include "interfaces/vendalo/sales_parameter.h"

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
