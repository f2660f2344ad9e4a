// The product configurator (ProgID "QxConfigurator.Configurator"): the text of
// a product configuration for the back end, kept in PRODUCTCONFIGURATION.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/variant.h"

namespace qx {

// Raised when the configuration a line names does not exist.
constexpr int32_t kConfigurationNotFound = static_cast<int32_t>(0x80040230u);

class IConfigurator : public ole::Object {
public:
    // The configuration's text: from its first "VOP" on, the variant option
    // records separated by CR LF. Order id and line number say which line asks.
    virtual std::string GetVariantOptions(const std::string& configurationId, const std::string& orderId,
                                          const std::string& lineNumber) = 0;
};

void RegisterConfigurator();  // "QxConfigurator.Configurator"

}  // namespace qx
