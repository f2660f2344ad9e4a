#include "xml/dom.h"

#include <fstream>
#include <sstream>
#include <string_view>

namespace qx {
namespace {
// Parse errors carry a number of the platform's parser range, one per kind of fault.
constexpr uint32_t kParseErrorBase = 0xC00CE500u;
}  // namespace

void XmlDocument::Take(const pugi::xml_parse_result& result, const std::string& text) {
    if (result) {
        errorCode_ = 0;
        reason_.clear();
        return;
    }
    errorCode_ = static_cast<int32_t>(kParseErrorBase + static_cast<uint32_t>(result.status));
    // line and column of the fault help whoever mends the file
    size_t line = 1, column = 1;
    for (ptrdiff_t i = 0; i < result.offset && static_cast<size_t>(i) < text.size(); ++i) {
        if (text[static_cast<size_t>(i)] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    reason_ = std::string(result.description()) + " (line " + std::to_string(line) + ", column " + std::to_string(column) + ")";
}

bool XmlDocument::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        doc.reset();
        errorCode_ = static_cast<int32_t>(kParseErrorBase + static_cast<uint32_t>(pugi::status_file_not_found));
        reason_ = "The system cannot locate the object specified: " + path;
        return false;
    }
    std::stringstream s;
    s << in.rdbuf();
    return LoadXml(s.str());
}

bool XmlDocument::LoadXml(const std::string& text) {
    pugi::xml_parse_result result = doc.load_buffer(text.data(), text.size(), pugi::parse_default | pugi::parse_declaration);
    if (result && !doc.document_element()) {
        result.status = pugi::status_no_document_element;
        result.offset = static_cast<ptrdiff_t>(text.size());
    }
    Take(result, text);
    return errorCode_ == 0;
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
    for (pugi::xml_node child : node.children()) text += NodeText(child);
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
