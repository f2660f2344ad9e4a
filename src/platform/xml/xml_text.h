// Text put into XML 1.0 documents that are built as strings. The result always
// parses: markup characters become entities, characters that XML 1.0 forbids
// (C0 controls other than tab, LF and CR; U+FFFE and U+FFFF) are dropped, and
// bytes that are not UTF-8 become U+FFFD. Apostrophes and quotation marks stay
// as they are in element content and become entities in attribute values.
#pragma once

#include <string>
#include <string_view>

namespace qx {

enum class XmlEscape {
    Text,       // element content: &, < and >
    Attribute,  // attribute values in either kind of quotes: also ' and "
};

void AppendXmlEscaped(std::string& out, std::string_view text, XmlEscape mode);
std::string XmlEscaped(std::string_view text, XmlEscape mode);

}  // namespace qx
