// Vendalo.SalesParameter: one way for every component to read a named sales
// setting from the installation's VendaloConfiguration.xml.
#pragma once

#include <string>

#include "platform/automation/variant.h"

namespace vendalo {

class ISalesParameter : public ole::Object {
public:
    // The setting's value as text; "" for a name outside the list of sales settings.
    virtual std::string GetParameterValue(const std::string& parameter) = 0;
};

}  // namespace vendalo
