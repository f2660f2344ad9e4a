// XSLT 1.0 on libxslt: a stylesheet compiled once and applied to documents held
// as text. Neither the stylesheet nor the document may reach outside: no DTD or
// external entity is loaded, and the transformation may not read or write
// files or use the network. A compiled stylesheet is read-only and may be
// shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct _xsltStylesheet;

namespace qx {

// Raised when a stylesheet does not compile or a document cannot be transformed;
// the description carries libxslt's and libxml2's reasons.
constexpr int32_t kTransformFailed = static_cast<int32_t>(0x80040230u);

class XslStylesheet {
public:
    // `name` appears in error texts ("order form stylesheet").
    XslStylesheet(std::string_view stylesheet, std::string name);
    ~XslStylesheet();
    XslStylesheet(const XslStylesheet&) = delete;
    XslStylesheet& operator=(const XslStylesheet&) = delete;

    // The stylesheet applied to an XML document, serialized as its xsl:output says.
    std::string Transform(std::string_view xml) const;

private:
    _xsltStylesheet* stylesheet_ = nullptr;
    std::string name_;
};

}  // namespace qx
