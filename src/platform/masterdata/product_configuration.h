// The product configuration service: copies the configuration of a configured
// basket line, kept in the master-data table PRODUCTCONFIGURATION.
//
// The platform makes this class by class, not by ProgID. It is registered
// under the internal class name "Qxcore.ProductConfigurationService" only so
// that its creation goes through the registry like every other component
// (and a test can make it fail); callers create it with ole::CreateObjectAs,
// not with Sls_GetComponent, so a failed creation is not reported on its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/variant.h"

namespace qx {

// Raised when the configuration to copy does not exist.
constexpr int32_t kProductConfigurationNotFound = static_cast<int32_t>(0x80040202u);

class IProductConfigurationService : public ole::Object {
public:
    // Copies a configuration under a new id for the product, language and
    // country given (an empty argument keeps the source's value); returns the new id.
    virtual std::string CopyConfiguration(const std::string& configurationId, const std::string& productId,
                                          const std::string& language, const std::string& countryCode) = 0;
};

void RegisterProductConfiguration();  // "Qxcore.ProductConfigurationService"

}  // namespace qx
