// The requisition broker's side of the host: its intake of requisition
// documents (its own key and body limit), and the order requests the shop
// sends to it for a basket.
#include "http/http_host.h"
#include "http/http_routes.h"
#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/exchange/membership_logon.h"
#include "ordexa/reqlink/reqlink.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

using ole::Variant;
constexpr int32_t kOrderRequestTimeOut = 10;  // seconds, as the acknowledgements

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A form field as the form's encoding gives it: "%XX" a byte, "+" a blank.
std::string FormDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1, low = high >= 0 ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) throw RequestError(400, "XMLINPUT: a malformed %-escape");
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The requisition document of the request: the form field XMLINPUT, or the body as text/xml.
std::string RequisitionDocument(const httplib::Request& request) {
    std::string type = request.get_header_value("Content-Type");
    type = type.substr(0, type.find(';'));
    if (type == "text/xml" || type == "application/xml") return request.body;
    if (type != "application/x-www-form-urlencoded")
        throw RequestError(415, "The body must be a form post with the field XMLINPUT, or text/xml");
    std::string_view body(request.body);
    for (size_t start = 0; start <= body.size();) {
        size_t end = body.find('&', start);
        if (end == std::string_view::npos) end = body.size();
        std::string_view pair = body.substr(start, end - start);
        if (pair.substr(0, 9) == "XMLINPUT=") return FormDecode(pair.substr(9));
        start = end + 1;
    }
    throw RequestError(400, "XMLINPUT: missing");
}

ordexa::BrokerPermissions Permissions(const HostSettings& s) {
    return {s.brokerPartners, s.brokerAcknowledgementHosts, s.brokerClientAddresses};
}

}  // namespace

void AddReqlinkRoutes(Router& router) {
    router.Add("POST", kRequisitionIntakePath, Access::Broker, [](Call& call) {
        std::string document = RequisitionDocument(call.request);
        auto reqlink = Sls_GetComponent<ordexa::IReqlink>("Ordexa.Reqlink");
        std::vector<ordexa::RequisitionOutcome> outcomes;
        try {
            outcomes = reqlink->ProcessRequisition(document, Permissions(call.host.settings));
        } catch (const ole::AutomationError& e) {
            // a document that does not parse or holds no requisition: nothing was created
            int32_t n = e.Number();
            if (n == ordexa::reqlink_err::reqlinkXMLDomFailure || n == ordexa::reqlink_err::reqlinkNoRequisitionsFound)
                return call.Json(400, ErrorJson(e.Info()));
            throw;
        }
        json orders = json::array(), failed = json::array();
        for (const auto& o : outcomes) {
            if (o.error)
                failed.push_back({{"requisition", o.requisitionId}, {"error", ErrorJson(*o.error)["error"]}});
            else
                orders.push_back({{"requisition", o.requisitionId}, {"order", o.orderId}, {"existing", o.existing}});
        }
        json body{{"orders", orders}};
        if (!failed.empty()) body["failed"] = failed;
        call.Json(failed.empty() ? 200 : 422, body);
    });

    router.Add("POST", "/api/v1/baskets/{id}/order-request", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        json body = call.Body(true);
        for (const auto& [name, value] : body.items())
            if (name != "timeout") throw RequestError(400, name + ": no such field");
        int32_t timeout = kOrderRequestTimeOut;
        if (body.contains("timeout")) {
            if (!body["timeout"].is_number_integer() || body["timeout"].get<int64_t>() < 1 || body["timeout"].get<int64_t>() > 300)
                throw RequestError(400, "timeout: a whole number of seconds from 1 to 300");
            timeout = body["timeout"].get<int32_t>();
        }
        auto basket = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket")->Restore(id);
        if (!basket) throw RequestError(404, "Basket " + id + " does not exist", vendalo::MissingOrderInfo);
        auto header = RecordsetOf(*basket, "header");
        header->MoveFirst();
        auto user = ordexa::LogOnToMembership()->GetUser(header->Fields("USERID").Value().Text());
        try {
            Sls_GetComponent<ordexa::IReqlink>("Ordexa.Reqlink")->SendOrderRequest(Variant(basket), user, timeout);
        } catch (const ole::AutomationError& e) {
            // the broker did not take it: a bad gateway, not a fault of the call
            if (e.Number() == ordexa::reqlink_err::reqlinkInetHttpFormPostFailure) return call.Json(502, ErrorJson(e.Info()));
            throw;
        }
        call.Json(200, {{"basket", id}, {"sent", true}});
    });
}

}  // namespace backoffice::http
