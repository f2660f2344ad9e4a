#include "platform/xml/dom.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/automation/text.h"
#include "platform/format/text_encoding.h"
#include <string_view>

namespace qx {
namespace {
// Parse errors carry a number of the platform's parser range, one per kind of fault.
constexpr uint32_t kParseErrorBase = 0xC00CE500u;
// Faults of our own beyond pugixml's statuses.
constexpr uint32_t kUnknownEncoding = 0x20;
constexpr uint32_t kTooDeep = 0x21;
constexpr uint32_t kDocumentType = 0x22;

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

size_t LineAt(std::string_view text, ptrdiff_t offset) { return LineCounter(text).LineAt(offset); }

size_t LineCounter::LineAt(ptrdiff_t offset) {
    size_t to = offset < 0 ? 0 : std::min(static_cast<size_t>(offset), text_.size());
    if (to < at_) {
        at_ = 0;
        line_ = 1;
    }
    line_ += static_cast<size_t>(std::count(text_.data() + at_, text_.data() + to, '\n'));
    at_ = to;
    return line_;
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

bool XmlDocument::LoadXml(std::string_view bytes, const XmlReadRules& rules) {
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
    unsigned int options = pugi::parse_default | pugi::parse_declaration;
    if (rules.refuseDocumentType) options |= pugi::parse_doctype;
    if (rules.keepReferences) options &= ~pugi::parse_escapes;
    pugi::xml_parse_result result = doc.load_buffer(text_.data(), text_.size(), options, pugi::encoding_utf8);
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
    for (pugi::xml_node node : doc.children())
        if (node.type() == pugi::node_doctype) {
            Fail(static_cast<int32_t>(kParseErrorBase + kDocumentType), "a document type declaration is not allowed",
                 node.offset_debug());
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

namespace {

// Calls f with every text node (character data or CDATA) below node, in
// document order, walked without recursion.
template <class F>
void ForEachText(const pugi::xml_node& node, F f) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
        f(node);
        return;
    }
    pugi::xml_node current = node.first_child();
    while (current) {
        if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata) f(current);
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current && current != node && !current.next_sibling()) current = current.parent();
        if (!current || current == node) break;
        current = current.next_sibling();
    }
}

bool XmlAllows(char32_t c);

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The character of a reference's name ("amp", "#38", "#x26"), or none (0xFFFFFFFF).
char32_t ReferencedCharacter(std::string_view name) {
    constexpr char32_t kNone = 0xFFFFFFFF;
    static const std::pair<std::string_view, char32_t> kPredefined[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
    for (const auto& [entity, c] : kPredefined)
        if (name == entity) return c;
    if (name.size() < 2 || name[0] != '#') return kNone;
    bool hex = name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return kNone;
    char32_t c = 0;
    for (char d : digits) {
        int value = d >= '0' && d <= '9'             ? d - '0'
                    : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                    : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                  : -1;
        if (value < 0) return kNone;
        c = c * (hex ? 16 : 10) + static_cast<char32_t>(value);
    }
    return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF) && XmlAllows(c) ? c : kNone;
}

// Appends raw with its references resolved; false, with the reference in bad, at one that cannot be.
bool AppendResolved(std::string& out, std::string_view raw, std::string& bad) {
    for (size_t at = 0; at < raw.size();) {
        size_t amp = raw.find('&', at);
        out.append(raw.substr(at, amp == std::string_view::npos ? std::string_view::npos : amp - at));
        if (amp == std::string_view::npos) break;
        size_t end = raw.find(';', amp);
        // the longest reference that can name a character: "&#x0010FFFF;"
        if (end == std::string_view::npos || end - amp > 11) {
            bad = std::string(raw.substr(amp, std::min<size_t>(raw.size() - amp, 12)));
            return false;
        }
        char32_t c = ReferencedCharacter(raw.substr(amp + 1, end - amp - 1));
        if (c == 0xFFFFFFFF) {
            bad = std::string(raw.substr(amp, end - amp + 1));
            return false;
        }
        AppendUtf8(out, c);
        at = end + 1;
    }
    return true;
}

}  // namespace

std::string NodeText(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
    std::string text;
    ForEachText(node, [&](const pugi::xml_node& t) { text += t.value(); });
    return text;
}

bool ResolvedNodeText(const pugi::xml_node& node, std::string& text, std::string& bad) {
    text.clear();
    bad.clear();
    ForEachText(node, [&](const pugi::xml_node& t) {
        if (!bad.empty()) return;
        if (t.type() == pugi::node_cdata)
            text += t.value();
        else
            AppendResolved(text, t.value(), bad);
    });
    return bad.empty();
}

namespace {


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
        size_t length = ole::Utf8CharacterAt(text, at, &c);
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
