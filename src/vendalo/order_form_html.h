// The order form as a printable HTML page: the XML of Basket.ConvertToXML
// transformed by the stylesheet shipped with the system (order_form.xsl,
// compiled into the library). The page holds the header data, the addresses,
// the lines, the totals and, when tax is shown, the tax specification, all
// labeled as the document is, and needs nothing from outside.
//
// A host serves a basket's order form with
//   auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
//   auto labels = Sls_GetComponent<qx::IMessageManager>("Qxcore.MessageManager");
//   std::string xml = baskets->ConvertToXML(baskets->Restore(id), labels, locale);
//   std::string html = vendalo::OrderFormToHtml(xml);
#pragma once

#include <string>
#include <string_view>

namespace vendalo {

// UTF-8 HTML text. A document that is not well-formed raises qx::kTransformFailed
// (xml/xslt.h) with the parser's reason; nothing is logged here.
std::string OrderFormToHtml(std::string_view orderFormXml);

}  // namespace vendalo
