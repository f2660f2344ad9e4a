// What the allocation, order status and payment stages read alike: a sales
// parameter, the installation's connection string and the merchant of a
// currency. A failure is raised again through Sls_RaiseError under the
// caller's label, so each stage's log and error texts name the stage.
#pragma once

#include <optional>
#include <string>

#include "platform/data/ado.h"

namespace ordexa {

// The value of a sales parameter (Vendalo.SalesParameter).
std::string SalesParameter(const std::string& name, const std::string& label);

// The installation's connection string.
std::string InstallationConnectionString(const std::string& label);

// The gateway's merchant id for a currency; nothing when the currency has none.
std::optional<std::string> MerchantIdOfCurrency(const ado::ConnectionPtr& connection, const std::string& currency);

}  // namespace ordexa
