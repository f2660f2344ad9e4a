#include "all/register_all.h"

#include "ordexa/register.h"
#include "platform/register.h"
#include "vendalo/register.h"

void RegisterAllComponents() {
    qx::RegisterPlatformComponents();
    vendalo::RegisterComponents();
    ordexa::RegisterComponents();
}
