// What needs an operator (GET /api/v1/attention) and the operator's actions on
// one order (POST /api/v1/operator/orders/{id}/{action}). The queries and the
// actions live in ordexa (attention.h, operator_actions.h); this file reads
// the request and writes the answer.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "http/exchange_attention.h"
#include "http/http_host.h"
#include "http/http_routes.h"
#include "http/json_codec.h"
#include "interfaces/vendalo/order_status.h"
#include "ordexa/attention.h"
#include "ordexa/operator_actions.h"
#include "shared/order_events.h"

namespace backoffice::http {
namespace {

constexpr size_t kNoteLimit = 500;  // the event's DETAIL holds it

json StatusName(int32_t status) { return vendalo::StatusName(static_cast<vendalo::OrderStatus>(status)); }

json ItemJson(const ordexa::AttentionItem& item) {
    return {{"kind", "order"},
            {"orderId", item.orderId},
            {"exchangeId", nullptr},
            {"status", item.status},
            {"statusName", StatusName(item.status)},
            {"reason", item.reason},
            {"since", UtcText(item.since)},
            {"detail", item.detail},
            {"actions", item.actions}};
}

json EventJson(const ordexa::RecordedEvent& recorded) {
    const OrderEvent& e = recorded.event;
    auto optional = [](const std::optional<int32_t>& v) { return v ? json(*v) : json(nullptr); };
    // a line's status has its own names
    json name = e.lineNr ? json(vendalo::StatusName(static_cast<vendalo::OrderLineStatus>(e.after)))
                         : StatusName(e.after);
    return {{"seq", recorded.seq},          {"time", UtcText(recorded.time)}, {"lineNr", optional(e.lineNr)},
            {"statusBefore", optional(e.before)}, {"statusAfter", e.after},       {"statusName", name},
            {"what", e.what},               {"actor", e.actor},                   {"reference", e.reference},
            {"detail", e.detail}};
}

// The text of a body field that must be a string; "" when it is absent.
std::string TextField(const json& body, const char* name) {
    if (!body.contains(name) || body[name].is_null()) return "";
    if (!body[name].is_string()) throw FieldRefusal(name, "must be a string");
    return body[name].get<std::string>();
}

using Action = std::function<void(const ordexa::OperatorAction&, const json& body)>;

const std::map<std::string, Action>& Actions() {
    static const std::map<std::string, Action> actions{
        {"mark-handled", [](const auto& a, const json&) { ordexa::MarkHandled(a); }},
        {"export-again", [](const auto& a, const json&) { ordexa::ExportAgain(a); }},
        {"send-acknowledgement", [](const auto& a, const json&) { ordexa::SendAcknowledgementNow(a); }},
        {"capture-again", [](const auto& a, const json&) { ordexa::CaptureAgain(a); }},
        {"authorize-again", [](const auto& a, const json&) { ordexa::AuthorizeAgain(a); }},
        {"refund",
         [](const auto& a, const json& body) {
             std::optional<std::string> amount;
             if (body.contains("amount") && !body["amount"].is_null()) {
                 // a number as text: a JSON number would pass through binary floating point
                 if (!body["amount"].is_string()) throw FieldRefusal("amount", "must be a decimal number as a string");
                 amount = body["amount"].get<std::string>();
             }
             ordexa::Refund(a, amount);
         }},
        {"resolve",
         [](const auto& a, const json& body) {
             std::string outcome = TextField(body, "outcome");
             std::optional<bool> captured;
             if (outcome == "captured") captured = true;
             else if (outcome == "not-captured") captured = false;
             else if (!outcome.empty()) throw FieldRefusal("outcome", "must be \"captured\" or \"not-captured\"");
             ordexa::ResolveOutcome(a, captured);
         }},
    };
    return actions;
}

}  // namespace

void AddAttentionRoutes(Router& router) {
    router.Add("GET", "/api/v1/attention", Access::Operator, [](Call& call) {
        json items = json::array();
        for (const auto& item : ordexa::OrdersNeedingAttention(call.host.settings.attention))
            items.push_back(ItemJson(item));
        // the refused confirmation entries waiting too; oldest first by "since"
        // (the texts sort as the times do)
        for (auto& item : ExchangeAttentionItems()) items.push_back(std::move(item));
        std::stable_sort(items.begin(), items.end(), [](const json& a, const json& b) {
            return a["since"].get<std::string>() < b["since"].get<std::string>();
        });
        call.Json(200, {{"items", items}});
    });

    router.Add("POST", "/api/v1/operator/orders/{id}/{action}", Access::Operator, [](Call& call) {
        std::string id = call.Id();
        auto action = Actions().find(call.Param("action"));
        if (action == Actions().end())
            throw RequestError(404, "There is no operator action '" + call.Param("action") + "'");
        json body = call.Body();
        OnlyFields(body, {"note", "outcome", "amount"});
        std::string note = TextField(body, "note");
        if (note.find_first_not_of(" \t\r\n") == std::string::npos) throw FieldRefusal("note", "is required");
        if (note.size() > kNoteLimit)
            throw FieldRefusal("note", "may hold at most " + std::to_string(kNoteLimit) + " bytes");
        ordexa::OperatorAction a{id, Sls_OperatorActor(call.host.OperatorOf(call.request)), note};
        action->second(a, body);
        auto outcome = ordexa::OutcomeOf(a);
        call.Json(200, {{"orderId", id},
                        {"status", outcome.status},
                        {"statusName", StatusName(outcome.status)},
                        {"event", outcome.event ? EventJson(*outcome.event) : json(nullptr)}});
    });
}

}  // namespace backoffice::http
