#include "platform/xml/xml_text.h"

#include <cstdint>

#include "platform/automation/text.h"

namespace qx {
namespace {

const std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

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
        char32_t codePoint = 0;
        size_t length = ole::Utf8CharacterAt(text, i, &codePoint);
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
