#include "register.h"

namespace ordexa {

void RegisterComponents() {}

}  // namespace ordexa
