// A basket's order form over HTTP: the XML of Basket.ConvertToXML, and the
// printable page made from it by the stylesheet shipped with the system. The
// labels come from the installation's catalogues (Qxcore.MessageManager).
#include "http/http_routes.h"
#include "http/json_codec.h"
#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "shared/lib_sales.h"
#include "vendalo/order_form_html.h"

namespace backoffice::http {

namespace {

// The basket's order form in the locale of the query (1033 when it names none).
std::string OrderFormXml(Call& call) {
    std::string id = call.Id();
    ole::Variant locale = QueryValue(call.request, "locale", ado::adInteger, false);
    if (!locale.IsNull() && locale.ToLong() <= 0) throw RequestError(400, "locale: a locale id such as 1033 expected");
    auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    auto basket = baskets->Restore(id);
    if (!basket) throw RequestError(404, "Basket " + id + " does not exist", vendalo::MissingOrderInfo);
    auto labels = Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager");
    return baskets->ConvertToXML(ole::Variant(basket), labels, locale.IsNull() ? "1033" : locale.Text());
}

}  // namespace

void AddOrderFormRoutes(Router& router) {
    router.Add("GET", "/api/v1/baskets/{id}/orderform", Access::Shop, [](Call& call) {
        std::string xml = OrderFormXml(call);
        call.response.status = 200;
        call.response.set_content(xml, "application/xml; charset=utf-8");
    });
    router.Add("GET", "/api/v1/baskets/{id}/orderform.html", Access::Shop,
               [](Call& call) { call.Html(200, vendalo::OrderFormToHtml(OrderFormXml(call))); });
}

}  // namespace backoffice::http
