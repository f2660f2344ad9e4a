#include "register.h"

namespace vendalo {

void RegisterComponents() {}

}  // namespace vendalo
