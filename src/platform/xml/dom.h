// An XML document as the platform's document object model offers it: load
// from a file or a text, keep the parse error (code and reason), save. Nodes
// are pugixml nodes; paths are XPath 1.0 with names matched as written (no
// namespace handling).
//
// Loading reads the bytes as the document says: a byte-order mark (UTF-8,
// UTF-16) first, else the encoding its declaration names (any character set
// ICU knows, windows-1252 included), else UTF-8; the document in memory is
// UTF-8. A document nested deeper than kMaxXmlDepth elements is refused, so
// that no reader walks an unbounded depth.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

constexpr int kMaxXmlDepth = 256;

class XmlDocument {
public:
    pugi::xml_document doc;

    // False on failure; ErrorCode() and Reason() then tell why.
    bool Load(const std::string& path);
    bool LoadXml(std::string_view bytes);
    // 0 when the last load succeeded.
    int32_t ErrorCode() const { return errorCode_; }
    const std::string& Reason() const { return reason_; }
    // The UTF-8 text that the last load parsed; node offsets count in it.
    const std::string& Text() const { return text_; }
    // The document as text, and saved to a file (UTF-8 with a declaration).
    std::string Xml() const;
    bool Save(const std::string& path) const;

private:
    void Fail(int32_t code, const std::string& reason, ptrdiff_t offset);
    int32_t errorCode_ = 0;
    std::string reason_;
    std::string text_;
};

// The text of a node: the text of all its descendants in document order
// (walked without recursion, so any depth is safe).
std::string NodeText(const pugi::xml_node& node);

// The 1-based line of an offset into a text.
size_t LineAt(std::string_view text, ptrdiff_t offset);
// The text without what XML 1.0 does not allow in a document: control
// characters other than tab, line feed and carriage return, and U+FFFE and
// U+FFFF are dropped; bytes that are no UTF-8 (and encoded surrogates) become
// U+FFFD. Text that needs no change comes back as it is.
std::string XmlSafeText(std::string text);

}  // namespace qx
