#include "register.h"

#include "automation/component.h"
#include "exchange/ftp.h"

namespace ordexa {

void RegisterComponents() { ole::RegisterClass<FTP>("Ordexa.FTP"); }

}  // namespace ordexa
