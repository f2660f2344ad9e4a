// The membership directory logged on to with the installation's service
// account (SiteConfiguration.xml, section MEMBERSHIP): how the batch and the
// broker link read shop users.
#pragma once

#include <memory>

#include "platform/masterdata/membership.h"

namespace ordexa {

std::shared_ptr<qx::IMembership> LogOnToMembership();

}  // namespace ordexa
