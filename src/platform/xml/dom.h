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

struct XmlReadRules {
    bool refuseDocumentType = false;
    bool keepReferences = false;  // texts hold "&amp;", "&#38;" as written; see ResolvedNodeText
};

class XmlDocument {
public:
    pugi::xml_document doc;

    // False on failure; ErrorCode() and Reason() then tell why.
    bool Load(const std::string& path);
    bool LoadXml(std::string_view bytes, const XmlReadRules& rules = {});
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

// For a document read with keepReferences: the text of a node as NodeText
// gives it, its references resolved (the five entities XML predefines, and
// character references to characters XML 1.0 allows). False when a reference
// cannot be resolved (an undeclared entity, a character reference to NUL or
// another character XML does not allow, an "&" that starts no reference);
// `bad` then holds that reference as written.
bool ResolvedNodeText(const pugi::xml_node& node, std::string& text, std::string& bad);

// The 1-based line of an offset into a text.
size_t LineAt(std::string_view text, ptrdiff_t offset);

// The lines of many offsets into one text: asked in ascending order, it looks
// at each character once however many offsets are asked (an offset before the
// last one asked is counted from the start again).
class LineCounter {
public:
    explicit LineCounter(std::string_view text) : text_(text) {}
    size_t LineAt(ptrdiff_t offset);

private:
    std::string_view text_;
    size_t at_ = 0;
    size_t line_ = 1;
};
// The text without what XML 1.0 does not allow in a document: control
// characters other than tab, line feed and carriage return, and U+FFFE and
// U+FFFF are dropped; bytes that are no UTF-8 (and encoded surrogates) become
// U+FFFD. Text that needs no change comes back as it is.
std::string XmlSafeText(std::string text);

}  // namespace qx
