// The operators' view of the orders: the search, one order whole, and its
// timeline (api/openapi.json). Read-only; every value reaches SQL bound, in
// Vendalo.Reporting. Pages are newest first, keyed by (order date, order id):
// the cursor is the last order of a page, so a page never repeats or skips an
// order when new ones arrive.
#include <algorithm>
#include <cctype>

#include "http/http_routes.h"
#include "http/order_view.h"
#include "interfaces/vendalo/reporting.h"
#include "platform/format/text_encoding.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

constexpr int32_t kDefaultLimit = 50, kMaxLimit = 200;

std::string Query(const httplib::Request& request, const char* name) {
    return request.has_param(name) ? request.get_param_value(name) : "";
}

// A whole number of a query parameter, within its bounds; 400 otherwise.
std::optional<int32_t> Number(const std::string& text, const char* name, int32_t low, int32_t high) {
    if (text.empty()) return std::nullopt;
    bool digits = text.size() <= 9 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
    if (!digits || std::stol(text) < low || std::stol(text) > high)
        throw RequestError(400, std::string(name) + ": a whole number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + " expected");
    return static_cast<int32_t>(std::stol(text));
}

// "YYYY-MM-DD"; 400 otherwise.
std::optional<ole::Date> Day(const std::string& text, const char* name) {
    if (text.empty()) return std::nullopt;
    int year = 0, month = 0, day = 0;
    char rest = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &rest) != 3 ||
        text[4] != '-' || text[7] != '-')
        throw RequestError(400, std::string(name) + ": a day YYYY-MM-DD expected");
    try {
        ole::Date date = ole::Date::FromParts(year, month, day);
        if (date.Day() != day) throw RequestError(400, std::string(name) + ": no such day");
        return date;
    } catch (const ole::AutomationError&) {
        throw RequestError(400, std::string(name) + ": no such day");
    }
}

vendalo::OrderSearch SearchOf(const httplib::Request& request) {
    vendalo::OrderSearch search;
    search.text = Query(request, "q");
    if (search.text.size() > 100) throw RequestError(400, "q: at most 100 characters");
    // a database refuses a NUL or a broken character with an error of its own: refused here, named
    if (!qx::IsCleanUtf8(search.text)) throw RequestError(400, "q: not text (a NUL or no UTF-8)");
    size_t statuses = request.get_param_value_count("status");
    for (size_t i = 0; i < statuses; ++i)
        if (auto status = Number(request.get_param_value("status", i), "status", 0, 8)) search.statuses.push_back(*status);
    search.instance = Number(Query(request, "instance"), "instance", 0, 999999999);
    search.partner = Number(Query(request, "partner"), "partner", 0, 999999999);
    search.from = Day(Query(request, "from"), "from");
    search.to = Day(Query(request, "to"), "to");
    search.limit = Number(Query(request, "limit"), "limit", 1, kMaxLimit).value_or(kDefaultLimit);
    search.after = Query(request, "cursor");
    bool hex = search.after.size() == 32 &&
               std::all_of(search.after.begin(), search.after.end(), [](unsigned char c) { return std::isxdigit(c); });
    if (!search.after.empty() && !hex) throw RequestError(400, "cursor: not a cursor of this list");
    return search;
}

}  // namespace

void AddOrderRoutes(Router& router) {
    router.Add("GET", "/api/v1/operator/orders", Access::Operator, [](Call& call) {
        vendalo::OrderSearch search = SearchOf(call.request);
        int32_t limit = search.limit;
        search.limit = limit + 1;  // one more tells whether a next page exists
        auto rs = Sls_GetComponent<vendalo::IReporting>("Vendalo.Reporting")->SearchOrders(search);
        json orders = json::array();
        std::string last;
        bool more = false;
        for (; !rs->Eof(); rs->MoveNext()) {
            if (static_cast<int32_t>(orders.size()) == limit) {
                more = true;
                break;
            }
            orders.push_back(OrderSummaryJson(*rs));
            last = orders.back()["orderId"].get<std::string>();
        }
        call.Json(200, {{"orders", orders}, {"next", more ? json(last) : json(nullptr)}});
    });

    router.Add("GET", "/api/v1/operator/orders/{id}", Access::Operator, [](Call& call) {
        std::string id = call.Id();
        auto order = OrderDetailJson(id);
        if (!order) throw RequestError(404, "There is no order " + id);
        call.Json(200, *order);
    });

    router.Add("GET", "/api/v1/orders/{id}/events", Access::Operator, [](Call& call) {
        std::string id = call.Id();
        auto events = OrderEventsJson(id);
        if (!events) throw RequestError(404, "There is no order " + id);
        call.Json(200, *events);
    });
}

}  // namespace backoffice::http
