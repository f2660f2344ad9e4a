// The refused confirmation entries still waiting for an operator, as items of
// the attention list.
#pragma once

#include <nlohmann/json.hpp>

namespace backoffice::http {

// Oldest first: {"kind": "exchange", "orderId", "exchangeId", "status",
// "statusName", "reason", "since", "detail", "actions": ["apply", "dismiss"]}.
nlohmann::ordered_json ExchangeAttentionItems();

}  // namespace backoffice::http
