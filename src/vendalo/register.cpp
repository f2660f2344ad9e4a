#include "register.h"

#include "order.h"
#include "sales_parameter.h"

namespace vendalo {

void RegisterComponents() {
    RegisterSalesParameter();
    RegisterOrder();
}

}  // namespace vendalo
