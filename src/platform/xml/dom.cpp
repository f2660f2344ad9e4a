#include "xml/dom.h"

#include <fstream>
#include <sstream>

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

}  // namespace qx
