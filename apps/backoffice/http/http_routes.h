// The route table of `backoffice serve`. Every endpoint is one Route: method,
// path pattern ("{name}" marks a path parameter), who may call it, and a
// handler. An area adds its routes with one Add...Routes function (see
// AddAllRoutes); adding an endpoint is one router.Add(...) call and its entry
// in api/openapi.json:
//
//   router.Add("GET", "/api/v1/freight/zone", Access::Shop, [](Call& call) {
//       auto freight = Sls_GetComponent<vendalo::IFreightCost>("Vendalo.FreightCost");
//       call.Json(200, {{"ZONEID", ...}});
//   });
//
// A handler throws to fail: an ole::AutomationError from a component gets the
// status of its number (ErrorStatus) and the one error format; RequestError
// names what is wrong with the request. The router answers, logs and counts.
//
// Around every handler the host does what HTTP clients expect: 404 for a path
// no route has, 405 with Allow for a method the path lacks, 401 without a
// valid key and 403 for a key without the route's permission (the broker's
// routes answer 401 for both, as they always did), X-Request-Id on every
// answer and in every log entry of the request, Idempotency-Key on the POSTs
// under /api/v1 (idempotency_store.h), and ETag and If-Match on baskets
// (basket_guard.h).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "platform/automation/dictionary.h"
#include "platform/automation/error.h"
#include "platform/data/ado.h"

namespace backoffice::http {

using json = nlohmann::ordered_json;  // fields keep the order of the table

// Who may call a route. Each key has its own permissions; a new caller (the
// requisition broker) gets its own value and key.
enum class Access {
    Public,    // no key (health)
    Shop,      // Authorization: Bearer <ShopApiKey>
    Operator,  // the operator's session cookie, or Authorization: Bearer <OperatorApiKey>
    Broker,    // the requisition broker: Bearer <BrokerApiKey>, or Basic with it as the password,
               // from an allowed client address when the installation names any
};

// A request the host refuses before any component is called.
class RequestError : public std::runtime_error {
public:
    RequestError(int status, const std::string& description, int32_t number = ole::err::InvalidProcedureCall)
        : std::runtime_error(description), status(status), number(number) {}
    int status;
    int32_t number;
    // Members the error object carries beside the usual ones: "field" (a column), "line" (a
    // basket line's BASKETLINENR), "missing" (every field a call lacks).
    json detail = json::object();
};

class HostState;  // what the handlers share: settings, sessions, metrics, the batch runner

// One request as a handler sees it.
class Call {
public:
    Call(const httplib::Request& request, httplib::Response& response, HostState& host)
        : request(request), response(response), host(host) {}

    const httplib::Request& request;
    httplib::Response& response;
    HostState& host;

    // A path parameter by its name in the pattern.
    const std::string& Param(const std::string& name) const;
    // The body as a JSON object: 415 when it is not declared JSON, 400 when it does not
    // parse or is no object. No body at all (a POST without one) is an empty object when
    // allowEmpty, else 400.
    json Body(bool allowEmpty = false) const;
    // A basket or order id from the path: 32 hexadecimal characters (upper-cased), else 400.
    std::string Id(const std::string& name = "id") const;

    void Json(int status, const json& body);
    // An answer whose JSON text is written already (json_codec.h's DictionaryText).
    void JsonText(int status, std::string text);
    void Html(int status, const std::string& page);
    void Redirect(const std::string& location);

    std::map<std::string, std::string> params;  // filled by the router
    // The basket of the path as the host read it under its lock to check If-Match;
    // the route takes it (TakeLockedBasket) rather than reading the basket again.
    std::shared_ptr<ole::Dictionary> lockedBasket;
    // On PostgreSQL the transaction that holds the basket's lock: the route writes there, and
    // the host commits it once the answer is a success (else it is rolled back).
    ado::ConnectionPtr lockedTransaction;
};

using Handler = std::function<void(Call&)>;

struct Route {
    std::string method, pattern;
    Access access;
    Handler handler;
};

// The broker's intake, the one route with a body limit of its own (BrokerMaxBodyBytes).
inline const char* const kRequisitionIntakePath = "/reqlink/requisitions";

class Router {
public:
    void Add(const std::string& method, const std::string& pattern, Access access, Handler handler);
    const std::vector<Route>& Routes() const { return routes_; }

private:
    std::vector<Route> routes_;
};

// The areas of the host.
void AddShopRoutes(Router& router);      // /api/v1: baskets, orders, sales parameters
void AddOperatorRoutes(Router& router);  // the console's pages and its log-in
void AddConsoleRoutes(Router& router);   // /api/v1/operator: me, batches, daily, log, batch, activity
void AddSystemRoutes(Router& router);    // /health, /metrics, /api/v1/openapi.json
void AddPriceRoutes(Router& router);        // /api/v1/prices, /api/v1/freight
void AddReferentialRoutes(Router& router);  // /api/v1/referential (operator key)
void AddOrderFormRoutes(Router& router);    // /api/v1/baskets/{id}/orderform[.html]
void AddCheckoutRoutes(Router& router);     // /api/v1/baskets/{id}/authorize
void AddReqlinkRoutes(Router& router);   // the broker's intake and the order requests sent to it
void AddExchangeRoutes(Router& router);  // /api/v1/exchanges and the operator's actions on them
void AddOrderRoutes(Router& router);     // the operators' order search, one order, its timeline
void AddAttentionRoutes(Router& router);  // /api/v1/attention and the operator's actions on an order

inline void AddAllRoutes(Router& router) {
    AddShopRoutes(router);
    AddOperatorRoutes(router);
    AddConsoleRoutes(router);
    AddSystemRoutes(router);
    AddPriceRoutes(router);
    AddReferentialRoutes(router);
    AddOrderFormRoutes(router);
    AddCheckoutRoutes(router);
    AddReqlinkRoutes(router);
    AddExchangeRoutes(router);
    AddOrderRoutes(router);
    AddAttentionRoutes(router);
}

// The status an error stands for: 503 while the database is busy or gone (its
// Kind), else by its number: 400 for values a call refuses, 404 and 409 for what
// does not exist or exists no more, 500 for everything else.
int ErrorStatus(const ole::SlsErrorInfo& error);

// The one error format: {"error": {"number", "description", "method", "info", "frames"}}.
json ErrorJson(const ole::SlsErrorInfo& error);

}  // namespace backoffice::http
