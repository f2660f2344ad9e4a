#include "http/exchange_json.h"

#include "http/json_codec.h"

namespace backoffice::http {

json ExchangeJson(const ordexa::ExchangeRow& row) {
    auto text = [](const std::string& value) { return value.empty() ? json(nullptr) : json(value); };
    json detail = text(row.detail);
    // what the detail needs to be read: where an export group sits, a refused entry as its file held it
    if (row.offset || !row.entryText.empty()) {
        detail = json::object();
        detail["text"] = text(row.detail);
        if (row.offset) {
            detail["offset"] = *row.offset;
            detail["length"] = row.length ? json(*row.length) : json(nullptr);
            detail["archive"] = text(row.archive);
        }
        if (!row.entryText.empty()) detail["entry"] = row.entryText;
    }
    return json{{"id", row.id},
                {"time", UtcText(row.time)},
                {"kind", row.kind},
                {"outcome", row.outcome},
                {"instance", row.bisid ? json(*row.bisid) : json(nullptr)},
                {"orders", row.orderIds},
                {"file", text(row.file)},
                {"reference", text(row.reference)},
                {"sha256", text(row.sha256)},
                {"durationMs", row.durationMs ? json(*row.durationMs) : json(nullptr)},
                {"httpStatus", row.httpStatus ? json(*row.httpStatus) : json(nullptr)},
                {"attempt", row.attempt ? json(*row.attempt) : json(nullptr)},
                {"detail", detail},
                {"actions", row.actions}};
}

}  // namespace backoffice::http
