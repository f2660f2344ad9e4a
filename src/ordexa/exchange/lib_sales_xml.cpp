#include "ordexa/exchange/lib_sales_xml.h"

#include "shared/lib_sales.h"

namespace ordexa {

namespace {
const char* kBizTalkNamespace = "urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml";
}

pugi::xml_node XML_BizTalk081Message(qx::XmlDocument& document, const std::string& rootName,
                                     const std::string& nameSpace) {
    try {
        pugi::xml_node body;
        if (!document.doc.document_element()) {
            pugi::xml_node bizTalk = document.doc.append_child("BizTalk");
            bizTalk.append_attribute("xmlns") = kBizTalkNamespace;
            body = XML_NewNode(document, bizTalk, "Body");
        } else {
            body = document.doc.select_node("BizTalk/Body").node();
            if (!body) Sls_RaiseNew(ole::err::ObjectErrorBase + 1, ole::Variant("Mandatory Biztalk xml tags not found"));
        }
        pugi::xml_node root = XML_NewNode(document, body, rootName);
        root.append_attribute("xmlns") = nameSpace.c_str();
        return root;
    } catch (...) {
        Sls_RaiseError("Lib_XML.XML_BizTalk081Message()", document.ErrorCode() != 0 ? document.Reason() : std::string());
    }
}

pugi::xml_node XML_NewNode(qx::XmlDocument&, pugi::xml_node parent, const std::string& name,
                           const std::optional<ole::Variant>& text) {
    try {
        pugi::xml_node element = parent.append_child(name.c_str());
        if (!element) ole::Raise(ole::err::InvalidProcedureCall, "Invalid element name or parent");
        // characters XML forbids never reach a document: it must parse wherever it goes
        if (text && !text->IsNull()) {
            std::string safe = qx::XmlSafeText(text->Text());
            if (!safe.empty()) element.text() = safe.c_str();
        }
        return element;
    } catch (...) {
        Sls_RaiseError("Lib_XML.XML_NewNode()", "Error creating XMLDom node: <" + name + ">");
    }
}

std::string XML_GetNodeText(const pugi::xml_node& node, const std::string& path) {
    try {
        pugi::xml_node selected = node.select_node(path.c_str()).node();
        if (!selected) ole::Raise(ole::err::ObjectNotSet);
        return qx::NodeText(selected);
    } catch (...) {
        Sls_RaiseError("Lib_XML", "Error retrieving XMLDom element: <" + path + ">");
    }
}

std::string XML_GetNodeTextOrEmpty(const pugi::xml_node& node, const std::string& path) {
    try {
        pugi::xml_node selected = node.select_node(path.c_str()).node();
        return selected ? qx::NodeText(selected) : std::string();
    } catch (...) {
        return "";
    }
}

ole::DictionaryPtr XML_AddressToDictionary(const pugi::xml_node& node) {
    try {
        static const std::pair<int32_t, const char*> kFields[] = {
            {1, "NAME1"}, {2, "NAME2"},   {3, "STREET1"}, {4, "STREET2"}, {5, "CITY1"}, {6, "CITY2"},
            {7, "STATEPROVINCE"}, {8, "ZIPCODE"}, {0, "COUNTRYCODE"}, {9, "PHONE"}, {10, "FAX"}, {11, "SHORTDESCRIPTION"}};
        auto address = std::make_shared<ole::Dictionary>();
        for (const auto& [key, name] : kFields) address->Add(key, XML_GetNodeTextOrEmpty(node, name));
        return address;
    } catch (...) {
        Sls_RaiseError("Lib_XML.XML_AddressToDictionary");
    }
}

}  // namespace ordexa
