// The inbound side of the broker link: a requisition document turned into web
// orders, one requisition at a time (Reqlink.ProcessRequisition).
#pragma once

#include <string>
#include <vector>

#include "ordexa/reqlink/reqlink.h"

namespace ordexa {

std::vector<RequisitionOutcome> ProcessRequisitionDocument(const std::string& xml, const BrokerPermissions& permissions);

}  // namespace ordexa
