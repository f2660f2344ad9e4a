// The inbound side of the broker link: a requisition document turned into web
// orders, one requisition at a time (Reqlink.ProcessRequisition).
#pragma once

#include <string>
#include <vector>

#include "ordexa/reqlink/reqlink.h"

namespace ordexa {

std::vector<RequisitionOutcome> ProcessRequisitionDocument(const std::string& xml, const BrokerPermissions& permissions);

// The order a requisition (partner, Id, acknowledgement URL) already became. It
// names the unique index's condition (a URL never empty) so that SQLite finds
// the order by that index, not by scanning the partner's orders.
inline constexpr const char* kExistingRequisitionOrderStatement =
    "SELECT ORDERID FROM ORDERHEADER WHERE BUSINESSPARTNERID = ? AND CUSTOMERPONR = ? AND ACKNOWLEDGEMENTURL = ? "
    "AND ACKNOWLEDGEMENTURL <> ''";

}  // namespace ordexa
