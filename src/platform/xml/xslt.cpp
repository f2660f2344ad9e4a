#include "platform/xml/xslt.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/automation/error.h"

namespace qx {
namespace {

const char* kSource = "qx.XslStylesheet";
const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOCDATA;

// libxml2 and libxslt report through callbacks; the reasons of the current
// call on this thread are collected here.
thread_local std::string tReasons;

void CollectStructured(void*, xmlErrorPtr error) {
    if (!error || !error->message) return;
    if (!tReasons.empty()) tReasons += "; ";
    std::string message = error->message;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    tReasons += message;
    if (error->line > 0) tReasons += " (line " + std::to_string(error->line) + ")";
}

void CollectGeneric(void*, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    if (message.empty()) return;
    if (!tReasons.empty()) tReasons += "; ";
    tReasons += message;
}

// Sets up the libraries once per process and the collectors once per call.
class Collecting {
public:
    Collecting() {
        static std::once_flag once;
        std::call_once(once, [] {
            xmlInitParser();
            xsltSetGenericErrorFunc(nullptr, CollectGeneric);
        });
        tReasons.clear();
        xmlSetStructuredErrorFunc(nullptr, CollectStructured);
        xmlSetGenericErrorFunc(nullptr, CollectGeneric);
    }
    ~Collecting() { tReasons.clear(); }
    std::string Reasons() const { return tReasons.empty() ? "no reason given" : tReasons; }
};

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ContextFree {
    void operator()(xsltTransformContext* context) const { xsltFreeTransformContext(context); }
};
struct PrefsFree {
    void operator()(xsltSecurityPrefs* prefs) const { xsltFreeSecurityPrefs(prefs); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

DocPtr Parse(std::string_view text, const char* url) {
    if (text.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
    return DocPtr(xmlReadMemory(text.data(), static_cast<int>(text.size()), url, nullptr, kParseOptions));
}

}  // namespace

XslStylesheet::XslStylesheet(std::string_view stylesheet, std::string name) : name_(std::move(name)) {
    Collecting collecting;
    DocPtr doc = Parse(stylesheet, "stylesheet.xsl");
    if (!doc) ole::Raise(kTransformFailed, "The " + name_ + " is not well-formed XML: " + collecting.Reasons(), kSource);
    stylesheet_ = xsltParseStylesheetDoc(doc.get());
    if (!stylesheet_) ole::Raise(kTransformFailed, "The " + name_ + " does not compile: " + collecting.Reasons(), kSource);
    doc.release();  // the stylesheet owns it now
}

XslStylesheet::~XslStylesheet() {
    if (stylesheet_) xsltFreeStylesheet(stylesheet_);
}

std::string XslStylesheet::Transform(std::string_view xml) const {
    Collecting collecting;
    DocPtr doc = Parse(xml, "document.xml");
    if (!doc)
        ole::Raise(kTransformFailed, "The document for the " + name_ + " is not well-formed XML: " + collecting.Reasons(),
                   kSource);
    std::unique_ptr<xsltSecurityPrefs, PrefsFree> prefs(xsltNewSecurityPrefs());
    std::unique_ptr<xsltTransformContext, ContextFree> context(xsltNewTransformContext(stylesheet_, doc.get()));
    if (!prefs || !context) ole::Raise(ole::err::OutOfMemory, "No memory for the " + name_, kSource);
    for (xsltSecurityOption option : {XSLT_SECPREF_READ_FILE, XSLT_SECPREF_WRITE_FILE, XSLT_SECPREF_CREATE_DIRECTORY,
                                      XSLT_SECPREF_READ_NETWORK, XSLT_SECPREF_WRITE_NETWORK})
        xsltSetSecurityPrefs(prefs.get(), option, xsltSecurityForbid);
    xsltSetCtxtSecurityPrefs(prefs.get(), context.get());
    DocPtr result(xsltApplyStylesheetUser(stylesheet_, doc.get(), nullptr, nullptr, nullptr, context.get()));
    if (!result || context->state != XSLT_STATE_OK)
        ole::Raise(kTransformFailed, "The " + name_ + " failed: " + collecting.Reasons(), kSource);
    xmlChar* bytes = nullptr;
    int length = 0;
    if (xsltSaveResultToString(&bytes, &length, result.get(), stylesheet_) != 0)
        ole::Raise(kTransformFailed, "The result of the " + name_ + " cannot be written: " + collecting.Reasons(), kSource);
    std::string text(bytes ? reinterpret_cast<const char*>(bytes) : "", bytes ? static_cast<size_t>(length) : 0);
    xmlFree(bytes);
    return text;
}

}  // namespace qx
