// The record of exchanges with the outside for the operator: the list, and the
// actions on a row (send an export group again, apply or dismiss a refused
// confirmation entry).
#include "http/exchange_json.h"
#include "http/http_host.h"
#include "http/http_routes.h"
#include "http/json_codec.h"

namespace backoffice::http {

namespace {

constexpr int32_t kDefaultLimit = 50, kMostLimit = 200;

std::string QueryText(const httplib::Request& request, const char* name) {
    return request.has_param(name) ? request.get_param_value(name) : "";
}

ordexa::ExchangeQuery QueryOf(const httplib::Request& request) {
    ordexa::ExchangeQuery query;
    query.kind = QueryText(request, "kind");
    query.outcome = QueryText(request, "outcome");
    query.orderId = QueryText(request, "order");
    query.cursor = QueryText(request, "cursor");
    ole::Variant instance = QueryValue(request, "instance", ado::adInteger, false);
    if (!instance.IsNull()) query.bisid = instance.ToLong();
    ole::Variant limit = QueryValue(request, "limit", ado::adInteger, false);
    query.limit = limit.IsNull() ? kDefaultLimit : limit.ToLong();
    if (query.limit < 1 || query.limit > kMostLimit)
        throw RequestError(400, "limit must lie between 1 and " + std::to_string(kMostLimit));
    std::string since = QueryText(request, "since");
    if (!since.empty()) {
        ole::Date date;
        if (!ole::ParseDate(since, date)) throw RequestError(400, "since must be a date (YYYY-MM-DD) or a UTC time");
        query.since = date;
    }
    return query;
}

// The note an operator's action requires.
std::string NoteOf(Call& call) {
    json body = call.Body();
    OnlyFields(body, {"note"});
    auto note = body.find("note");
    if (note == body.end() || !note->is_string() || note->get<std::string>().empty())
        throw RequestError(400, "A note is required: say why");
    return note->get<std::string>();
}

using Action = ordexa::ExchangeActionResult (*)(const std::string&, const std::string&, const std::string&);

void AddAction(Router& router, const char* name, Action action) {
    router.Add("POST", std::string("/api/v1/operator/exchanges/{id}/") + name, Access::Operator, [action](Call& call) {
        std::string id = call.Id();
        std::string note = NoteOf(call);
        auto result = action(id, call.host.OperatorOf(call.request), note);
        if (result.outcome == ordexa::ExchangeActionOutcome::NotFound) throw RequestError(404, result.why);
        if (result.outcome == ordexa::ExchangeActionOutcome::NoLongerApplies) throw RequestError(409, result.why);
        auto row = ordexa::FindExchange(id);
        call.Json(200, {{"exchange", row ? ExchangeJson(*row) : json(nullptr)}});
    });
}

}  // namespace

void AddExchangeRoutes(Router& router) {
    router.Add("GET", "/api/v1/exchanges", Access::Operator, [](Call& call) {
        ordexa::ExchangePage page = ordexa::ListExchanges(QueryOf(call.request));
        json rows = json::array();
        for (const auto& row : page.rows) rows.push_back(ExchangeJson(row));
        call.Json(200, {{"exchanges", rows}, {"next", page.next.empty() ? json(nullptr) : json(page.next)}});
    });
    AddAction(router, "replay", ordexa::ReplayExportGroup);
    AddAction(router, "apply", ordexa::ApplyRefusedEntry);
    AddAction(router, "dismiss", ordexa::DismissRefusedEntry);
}

}  // namespace backoffice::http
