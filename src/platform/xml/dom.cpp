#include "xml/dom.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "automation/text.h"
#include "format/text_encoding.h"
#include <string_view>

namespace qx {
namespace {
// Parse errors carry a number of the platform's parser range, one per kind of fault.
constexpr uint32_t kParseErrorBase = 0xC00CE500u;
// Faults of our own beyond pugixml's statuses.
constexpr uint32_t kUnknownEncoding = 0x20;
constexpr uint32_t kTooDeep = 0x21;

// The value of encoding="..." in a declaration at the start of ASCII-compatible bytes, or "".
std::string DeclaredEncoding(std::string_view bytes) {
    if (bytes.substr(0, 5) != "<?xml") return "";
    std::string_view declaration = bytes.substr(0, bytes.find("?>"));
    size_t at = declaration.find("encoding");
    if (at == std::string_view::npos) return "";
    at = declaration.find('=', at);
    if (at == std::string_view::npos) return "";
    at = declaration.find_first_not_of(" \t\r\n", at + 1);
    if (at == std::string_view::npos || (declaration[at] != '"' && declaration[at] != '\'')) return "";
    size_t end = declaration.find(declaration[at], at + 1);
    if (end == std::string_view::npos) return "";
    return std::string(declaration.substr(at + 1, end - at - 1));
}

// The document's bytes as UTF-8 (see the header); raises std::invalid_argument
// for an encoding that ICU does not know.
std::string DocumentToUtf8(std::string_view bytes) {
    size_t markSize = 0;
    std::string mark = ByteOrderMark(bytes, markSize);
    if (mark == "UTF-8") return std::string(bytes.substr(markSize));
    if (!mark.empty()) return CharsetToUtf8(bytes.substr(markSize), mark);
    // "<?" in UTF-16 without a mark
    if (bytes.substr(0, 4) == std::string_view("<\0?\0", 4)) return CharsetToUtf8(bytes, "UTF-16LE");
    if (bytes.substr(0, 4) == std::string_view("\0<\0?", 4)) return CharsetToUtf8(bytes, "UTF-16BE");
    std::string declared = DeclaredEncoding(bytes), name = ole::UpperCase(declared);
    // A declaration read as ASCII cannot be in a wide encoding: it names one that the bytes are not in.
    if (name.empty() || name == "UTF-8" || name == "UTF8" || name.rfind("UTF-16", 0) == 0 || name.rfind("UTF-32", 0) == 0 ||
        name.rfind("UCS-", 0) == 0)
        return std::string(bytes);
    return CharsetToUtf8(bytes, declared);
}

// The first element deeper than the limit, or a null node.
pugi::xml_node TooDeep(const pugi::xml_node& root) {
    int depth = 0;
    pugi::xml_node current = root.first_child();
    if (current) depth = 1;
    while (current) {
        if (current.type() == pugi::node_element && depth > kMaxXmlDepth) return current;
        if (current.first_child()) {
            current = current.first_child();
            ++depth;
            continue;
        }
        while (current && current != root && !current.next_sibling()) {
            current = current.parent();
            --depth;
        }
        if (!current || current == root) break;
        current = current.next_sibling();
    }
    return {};
}

}  // namespace

size_t LineAt(std::string_view text, ptrdiff_t offset) {
    size_t line = 1;
    for (ptrdiff_t i = 0; i < offset && static_cast<size_t>(i) < text.size(); ++i)
        if (text[static_cast<size_t>(i)] == '\n') ++line;
    return line;
}

void XmlDocument::Fail(int32_t code, const std::string& reason, ptrdiff_t offset) {
    doc.reset();
    errorCode_ = code;
    // line and column of the fault help whoever mends the file
    size_t column = 1;
    for (ptrdiff_t i = offset - 1; i >= 0 && static_cast<size_t>(i) < text_.size() && text_[static_cast<size_t>(i)] != '\n'; --i)
        ++column;
    reason_ = reason + " (line " + std::to_string(LineAt(text_, offset)) + ", column " + std::to_string(column) + ")";
}

bool XmlDocument::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        doc.reset();
        text_.clear();
        errorCode_ = static_cast<int32_t>(kParseErrorBase + static_cast<uint32_t>(pugi::status_file_not_found));
        reason_ = "The system cannot locate the object specified: " + path;
        return false;
    }
    std::stringstream s;
    s << in.rdbuf();
    return LoadXml(s.str());
}

bool XmlDocument::LoadXml(std::string_view bytes) {
    errorCode_ = 0;
    reason_.clear();
    try {
        text_ = DocumentToUtf8(bytes);
    } catch (const std::invalid_argument& e) {
        text_.clear();
        Fail(static_cast<int32_t>(kParseErrorBase + kUnknownEncoding), e.what(), 0);
        return false;
    }
    // UTF-8 now, whatever the declaration says
    pugi::xml_parse_result result =
        doc.load_buffer(text_.data(), text_.size(), pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
    if (!result) {
        Fail(static_cast<int32_t>(kParseErrorBase + static_cast<uint32_t>(result.status)), result.description(),
             result.offset);
        return false;
    }
    if (!doc.document_element()) {
        pugi::xml_parse_result empty;
        empty.status = pugi::status_no_document_element;
        Fail(static_cast<int32_t>(kParseErrorBase + static_cast<uint32_t>(empty.status)), empty.description(),
             static_cast<ptrdiff_t>(text_.size()));
        return false;
    }
    if (pugi::xml_node deep = TooDeep(doc)) {
        Fail(static_cast<int32_t>(kParseErrorBase + kTooDeep),
             "The document is nested deeper than " + std::to_string(kMaxXmlDepth) + " elements", deep.offset_debug());
        return false;
    }
    return true;
}

std::string XmlDocument::Xml() const {
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    return out.str();
}

bool XmlDocument::Save(const std::string& path) const { return doc.save_file(path.c_str(), "  ", pugi::format_default); }

std::string NodeText(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
    std::string text;
    pugi::xml_node current = node.first_child();
    while (current) {
        if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata) text += current.value();
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current && current != node && !current.next_sibling()) current = current.parent();
        if (!current || current == node) break;
        current = current.next_sibling();
    }
    return text;
}

namespace {

// The length of the UTF-8 sequence at text[at] when it encodes a character XML
// allows (0 when it does not), and that character.
size_t XmlCharacterAt(std::string_view text, size_t at, char32_t& c) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;  // overlong or no character
    return length;
}

bool XmlAllows(char32_t c) { return c >= 0x20 ? c != 0xFFFE && c != 0xFFFF : c == 0x9 || c == 0xA || c == 0xD; }

}  // namespace

std::string XmlSafeText(std::string text) {
    bool plain = true;
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        if (b >= 0x80 || (b < 0x20 && b != 0x9 && b != 0xA && b != 0xD)) {
            plain = false;
            break;
        }
    }
    if (plain) return text;
    std::string safe;
    safe.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        char32_t c = 0;
        size_t length = XmlCharacterAt(text, at, c);
        if (length == 0) {
            safe += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no character
            ++at;
            continue;
        }
        if (XmlAllows(c)) safe.append(text, at, length);
        at += length;
    }
    return safe;
}

}  // namespace qx
