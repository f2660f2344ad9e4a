// The order form of a basket (Basket.ConvertToXML): the basket dictionary
// rendered as one line of XML for the web pages to transform for display and
// printing. It reads the basket and the master data only and leaves the
// caller's recordsets where they were.
#pragma once

#include <memory>
#include <string>

#include "platform/automation/variant.h"
#include "platform/format/message_manager.h"

namespace vendalo {

// The whole body of Basket.ConvertToXML, reporting under its label.
std::string ConvertBasketToXML(const ole::Variant& iBasket, const std::shared_ptr<qx::IMessageManager>& ioMessageManager,
                               const std::string& iUserLocale);

}  // namespace vendalo
