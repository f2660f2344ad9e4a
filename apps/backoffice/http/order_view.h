// One order as the operators see it, built once for the console's endpoints
// (order_routes.cpp) and for `backoffice orders show`: its summary, addresses,
// lines, payments and timeline as JSON in the shapes of api/openapi.json.
// Times are UTC ("2026-12-09T20:31:07.123Z"), statuses numbers with their
// names beside them, card numbers masked ("**** 1111"). Reads go through
// Vendalo.Reporting.
#pragma once

#include <optional>
#include <string>

#include "http/json_codec.h"
#include "interfaces/vendalo/reporting.h"

namespace backoffice::http {

// A row of SearchOrders (or an order's header) as a summary: orderId, status,
// statusName, partnerId, partnerName, instance, salesOrderNr, poNumber,
// orderDate, currency, total.
json OrderSummaryJson(ado::Recordset& row);

// The order with "addresses", "lines" and "payments"; nothing when there is no such order.
std::optional<json> OrderDetailJson(const std::string& orderId);

// {"orderId", "events": [...]} oldest first; nothing when there is no such order.
std::optional<json> OrderEventsJson(const std::string& orderId);

// The order and its timeline as lines for a terminal (the values as the two
// functions above give them, control characters escaped).
std::string OrderText(const json& detail, const json& events);

}  // namespace backoffice::http
