// The XML helpers of the order exchange: the BizTalk 0.81 envelope that every
// outgoing document wears, new elements, element texts, and addresses as
// dictionaries keyed by address-field numbers.
#pragma once

#include <optional>
#include <string>

#include "platform/automation/dictionary.h"
#include "platform/xml/dom.h"

namespace ordexa {

// Adds a message root (with its namespace) under BizTalk/Body, making the envelope
// when the document is empty; fails with "Mandatory Biztalk xml tags not found"
// when the document holds something else.
pugi::xml_node XML_BizTalk081Message(qx::XmlDocument& document, const std::string& rootName,
                                     const std::string& nameSpace);

// Appends an element; a text that is given and not Null becomes its text,
// without the characters XML does not allow (qx::XmlSafeText).
pugi::xml_node XML_NewNode(qx::XmlDocument& document, pugi::xml_node parent, const std::string& name,
                           const std::optional<ole::Variant>& text = std::nullopt);

// The text of the node that the path selects below the node; fails when nothing is selected.
std::string XML_GetNodeText(const pugi::xml_node& node, const std::string& path);
// The same, or "" when the path selects nothing or anything fails.
std::string XML_GetNodeTextOrEmpty(const pugi::xml_node& node, const std::string& path);

// Keys 0..11: COUNTRYCODE, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2,
// STATEPROVINCE, ZIPCODE, PHONE, FAX, SHORTDESCRIPTION; a missing child gives "".
ole::DictionaryPtr XML_AddressToDictionary(const pugi::xml_node& node);

}  // namespace ordexa
