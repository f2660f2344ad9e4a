// An XML document as the platform's document object model offers it: load
// from a file or a text, keep the parse error (code and reason), save. Nodes
// are pugixml nodes; paths are XPath 1.0 with names matched as written (no
// namespace handling).
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <string>

namespace qx {

class XmlDocument {
public:
    pugi::xml_document doc;

    // False on failure; ErrorCode() and Reason() then tell why.
    bool Load(const std::string& path);
    bool LoadXml(const std::string& text);
    // 0 when the last load succeeded.
    int32_t ErrorCode() const { return errorCode_; }
    const std::string& Reason() const { return reason_; }
    // The document as text, and saved to a file (UTF-8 with a declaration).
    std::string Xml() const;
    bool Save(const std::string& path) const;

private:
    void Take(const pugi::xml_parse_result& result, const std::string& text);
    int32_t errorCode_ = 0;
    std::string reason_;
};

// The text of a node: the text of all its descendants in document order.
std::string NodeText(const pugi::xml_node& node);

// The text without what XML 1.0 does not allow in a document: control
// characters other than tab, line feed and carriage return, and U+FFFE and
// U+FFFF are dropped; bytes that are no UTF-8 (and encoded surrogates) become
// U+FFFD. Text that needs no change comes back as it is.
std::string XmlSafeText(std::string text);

}  // namespace qx
