#include "xml/xml_text.h"

#include <cstdint>

namespace qx {
namespace {

const std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence at the start of text and its code point;
// 0 when the bytes there are no well-formed UTF-8 (overlong forms and
// surrogates included).
size_t DecodeUtf8(std::string_view text, uint32_t& codePoint) {
    auto lead = static_cast<unsigned char>(text[0]);
    size_t length;
    uint32_t least;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, least = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, least = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, least = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        auto next = static_cast<unsigned char>(text[k]);
        if ((next & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

void AppendXmlEscaped(std::string& out, std::string_view text, XmlEscape mode) {
    const bool attribute = mode == XmlEscape::Attribute;
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '&': out += "&amp;"; break;
                case '<': out += "&lt;"; break;
                case '>': out += "&gt;"; break;
                case '\'': out += attribute ? "&apos;" : "'"; break;
                case '"': out += attribute ? "&quot;" : "\""; break;
                default:
                    if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        uint32_t codePoint = 0;
        size_t length = DecodeUtf8(text.substr(i), codePoint);
        if (length == 0) {
            out += kReplacementCharacter;
            ++i;
            continue;
        }
        if (codePoint != 0xFFFE && codePoint != 0xFFFF) out.append(text.substr(i, length));
        i += length;
    }
}

std::string XmlEscaped(std::string_view text, XmlEscape mode) {
    std::string out;
    out.reserve(text.size() + 8);
    AppendXmlEscaped(out, text, mode);
    return out;
}

}  // namespace qx
