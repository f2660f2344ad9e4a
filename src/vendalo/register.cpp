#include "register.h"

#include "basket.h"

namespace vendalo {

void RegisterComponents() { RegisterBasket(); }

}  // namespace vendalo
