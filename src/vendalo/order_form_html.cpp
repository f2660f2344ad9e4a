#include "vendalo/order_form_html.h"

#include "platform/xml/xslt.h"

namespace embedded {
extern const std::string_view kOrderFormStylesheet;
}  // namespace embedded

namespace vendalo {

std::string OrderFormToHtml(std::string_view orderFormXml) {
    // compiled on first use and shared: a compiled stylesheet is read-only
    static const qx::XslStylesheet stylesheet(embedded::kOrderFormStylesheet, "order form stylesheet");
    return stylesheet.Transform(orderFormXml);
}

}  // namespace vendalo
