#include "http/exchange_attention.h"

#include "http/exchange_json.h"
#include "http/json_codec.h"

namespace backoffice::http {

namespace {
constexpr int32_t kMostItems = 500;
}

nlohmann::ordered_json ExchangeAttentionItems() {
    json items = json::array();
    for (const auto& row : ordexa::WaitingRefusedEntries(kMostItems)) {
        std::string reason = "A confirmation entry was refused (" + row.detail + ")";
        items.push_back({{"kind", "exchange"},
                         {"orderId", row.orderIds.empty() ? json(nullptr) : json(row.orderIds.front())},
                         {"exchangeId", row.id},
                         {"status", nullptr},
                         {"statusName", nullptr},
                         {"reason", reason},
                         {"since", UtcText(row.time)},
                         {"detail", row.reference + ": " + row.entryText},
                         {"actions", row.actions}});
    }
    return items;
}

}  // namespace backoffice::http
