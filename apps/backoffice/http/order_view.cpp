#include "http/order_view.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "interfaces/vendalo/order_status.h"
#include "platform/automation/decimal.h"
#include "platform/automation/text.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace backoffice::http {
namespace {

using ole::Variant;

json Text(const Variant& v) { return v.IsNull() || v.IsEmpty() ? json(nullptr) : json(ole::TrimBlanks(v.Text())); }
json Whole(const Variant& v) { return v.IsNull() || v.IsEmpty() ? json(nullptr) : json(v.ToLong()); }

// An amount kept as a number or as the logs' text, as a JSON number.
json Amount(const Variant& v) {
    if (v.IsNull() || v.IsEmpty()) return nullptr;
    std::optional<ole::Decimal> d;
    if (v.Type() == ole::VarType::String) d = ole::Decimal::Parse(ole::TrimBlanks(v.Text()));
    else d = ole::Decimal::FromVariant(v);
    if (!d) return nullptr;
    return std::strtod(d->ToString().c_str(), nullptr);
}

// "2026-12-09T20:31:07.123Z"
json UtcTime(const Variant& v, bool local) {
    if (v.IsNull() || v.IsEmpty()) return nullptr;
    return local ? LocalAsUtcText(v.ToDate()) : UtcText(v.ToDate());
}

std::string OrderStatusName(int32_t status) { return vendalo::StatusName(static_cast<vendalo::OrderStatus>(status)); }
std::string LineStatusName(int32_t status) { return vendalo::StatusName(static_cast<vendalo::OrderLineStatus>(status)); }

ado::RecordsetPtr Part(const ole::Dictionary& detail, const char* name) { return RecordsetOf(detail, name); }

ole::DictionaryPtr Detail(const std::string& orderId) {
    return Sls_GetComponent<vendalo::IReporting>("Vendalo.Reporting")->OrderDetail(orderId);
}

json EventsOf(ado::Recordset& rs) {
    json events = json::array();
    for (rs.MoveFirst(); !rs.Eof(); rs.MoveNext()) {
        auto f = [&](const char* name) { return rs.Fields(name).Value(); };
        bool line = !f("LINENR").IsNull();
        int32_t after = f("STATUSAFTER").ToLong();
        events.push_back({{"seq", f("SEQ").ToLong()},
                          {"time", UtcTime(f("EVENTTIME"), false)},
                          {"lineNr", Whole(f("LINENR"))},
                          {"statusBefore", Whole(f("STATUSBEFORE"))},
                          {"statusAfter", after},
                          {"statusName", line ? LineStatusName(after) : OrderStatusName(after)},
                          {"what", Text(f("WHAT"))},
                          {"actor", Text(f("ACTOR"))},
                          {"reference", Text(f("REFERENCE"))},
                          {"detail", Text(f("DETAIL"))}});
    }
    return events;
}

std::string Shown(const json& value) {
    if (value.is_null()) return "";
    // an amount or quantity that is whole reads "1310", not "1310.0"
    if (value.is_number_float() && value.get<double>() == std::floor(value.get<double>()) &&
        std::fabs(value.get<double>()) < 1e15)
        return std::to_string(static_cast<int64_t>(value.get<double>()));
    return ole::EscapeControls(value.is_string() ? value.get<std::string>() : value.dump());
}

}  // namespace

json OrderSummaryJson(ado::Recordset& row) {
    auto f = [&](const char* name) { return row.Fields(name).Value(); };
    int32_t status = f("ORDERSTATUS").ToLong();
    return {{"orderId", Text(f("ORDERID"))},
            {"status", status},
            {"statusName", OrderStatusName(status)},
            {"partnerId", Whole(f("BUSINESSPARTNERID"))},
            {"partnerName", Text(f("PARTNERNAME"))},
            {"instance", Whole(f("BISID"))},
            {"salesOrderNr", Text(f("SALESORDERNR"))},
            {"poNumber", Text(f("CUSTOMERPONR"))},
            {"orderDate", UtcTime(f("ORDERDATE"), true)},
            {"currency", Text(f("CURRENCYCODE"))},
            {"total", Amount(f("TOTAL"))}};
}

std::optional<json> OrderDetailJson(const std::string& orderId) {
    auto detail = Detail(orderId);
    if (!detail) return std::nullopt;
    json order = OrderSummaryJson(*Part(*detail, "header"));
    json& addresses = order["addresses"] = json::array();
    auto a = Part(*detail, "addresses");
    for (; !a->Eof(); a->MoveNext()) {
        auto f = [&](const char* name) { return Text(a->Fields(name).Value()); };
        addresses.push_back({{"role", f("ROLE")},
                             {"addressId", Whole(a->Fields("ADDRESSID").Value())},
                             {"name1", f("NAME1")},
                             {"name2", f("NAME2")},
                             {"street1", f("STREET1")},
                             {"street2", f("STREET2")},
                             {"city", f("CITY1")},
                             {"zipCode", f("ZIPCODE")},
                             {"stateProvince", f("STATEPROVINCE")},
                             {"countryCode", f("COUNTRYCODE")},
                             {"description", f("SHORTDESCRIPTION")}});
    }
    json& lines = order["lines"] = json::array();
    auto l = Part(*detail, "lines");
    for (; !l->Eof(); l->MoveNext()) {
        auto f = [&](const char* name) { return l->Fields(name).Value(); };
        int32_t status = f("LINESTATUS").ToLong();
        lines.push_back({{"lineNr", f("LINENR").ToLong()},
                         {"productId", Whole(f("PRODUCTID"))},
                         {"partNumber", Text(f("PARTNUMBER"))},
                         {"text", Text(f("LINETEXT"))},
                         {"quantity", f("QUANTITY").IsNull() ? json(nullptr) : json(f("QUANTITY").ToDouble())},
                         {"price", Amount(f("PRICE"))},
                         {"amount", Amount(f("AMOUNT"))},
                         {"status", status},
                         {"statusName", LineStatusName(status)}});
    }
    json& payments = order["payments"] = json::array();
    auto p = Part(*detail, "payments");
    for (; !p->Eof(); p->MoveNext()) {
        auto f = [&](const char* name) { return p->Fields(name).Value(); };
        std::string code = ole::TrimBlanks(f("ICSRCODE").IsNull() ? "" : f("ICSRCODE").Text());
        std::string card = Sls_MaskedCard(f("CARD").IsNull() ? "" : f("CARD").Text());
        payments.push_back({{"kind", Text(f("KIND"))},
                            {"time", UtcTime(f("REQUESTTIME"), true)},
                            {"amount", Amount(f("AMOUNT"))},
                            {"currency", Text(f("CURRENCY"))},
                            {"card", card.empty() ? json(nullptr) : json(card)},
                            {"requestId", Text(f("REQUESTID"))},
                            {"clientRequestId", Text(f("CLIENTREQUESTID"))},
                            {"outcome", code.empty() ? "unknown" : code == "1" ? "approved" : "declined"}});
    }
    return order;
}

std::optional<json> OrderEventsJson(const std::string& orderId) {
    auto detail = Detail(orderId);
    if (!detail) return std::nullopt;
    return json{{"orderId", orderId}, {"events", EventsOf(*Part(*detail, "events"))}};
}

std::string OrderText(const json& order, const json& events) {
    std::ostringstream out;
    out << "order " << Shown(order["orderId"]) << "  status " << order["status"].get<int>() << " "
        << Shown(order["statusName"]) << "\n";
    out << "partner " << Shown(order["partnerId"]) << " " << Shown(order["partnerName"]) << ", instance "
        << Shown(order["instance"]) << ", sales order " << Shown(order["salesOrderNr"]) << ", PO "
        << Shown(order["poNumber"]) << "\n";
    out << "ordered " << Shown(order["orderDate"]) << ", total " << Shown(order["total"]) << " "
        << Shown(order["currency"]) << "\n";
    out << "\naddresses\n";
    for (const auto& a : order["addresses"]) {
        out << "  " << Shown(a["role"]) << ": " << Shown(a["name1"]);
        for (const char* part : {"street1", "zipCode", "city", "countryCode"})
            if (!a[part].is_null() && !Shown(a[part]).empty()) out << ", " << Shown(a[part]);
        out << "\n";
    }
    out << "\nlines\n";
    for (const auto& l : order["lines"])
        out << "  " << l["lineNr"].get<int>() << "  " << Shown(l["partNumber"]) << " x " << Shown(l["quantity"])
            << " at " << Shown(l["price"]) << "  " << l["status"].get<int>() << " " << Shown(l["statusName"]) << "\n";
    out << "\npayments\n";
    if (order["payments"].empty()) out << "  none\n";
    for (const auto& p : order["payments"]) {
        out << "  " << Shown(p["time"]) << "  " << Shown(p["kind"]) << " " << Shown(p["amount"]) << " "
            << Shown(p["currency"]) << "  " << Shown(p["outcome"]);
        if (!p["card"].is_null()) out << "  card " << Shown(p["card"]);
        out << "  request " << Shown(p["clientRequestId"]) << "\n";
    }
    out << "\ntimeline\n";
    for (const auto& e : events["events"]) {
        std::string row = e["lineNr"].is_null() ? "order" : "line " + Shown(e["lineNr"]);
        std::string change = (e["statusBefore"].is_null() ? "" : Shown(e["statusBefore"]) + " -> ") +
                             Shown(e["statusAfter"]) + " " + Shown(e["statusName"]);
        out << "  " << Shown(e["time"]) << "  " << row << "  " << Shown(e["what"]) << "  (" << change << ")";
        if (!e["actor"].is_null()) out << "  by " << Shown(e["actor"]);
        if (!e["reference"].is_null()) out << "  ref " << Shown(e["reference"]);
        if (!e["detail"].is_null()) out << "  " << Shown(e["detail"]);
        out << "\n";
    }
    return out.str();
}

}  // namespace backoffice::http
