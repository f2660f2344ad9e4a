#include "platform/backend/business_objects.h"

#include <atomic>
#include <mutex>
#include <optional>

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/data/ado.h"
#include "platform/gateway/gateway_wire.h"
#include "platform/masterdata/business_partner.h"
#include "platform/net/http_post.h"
#include "platform/xml/dom.h"
#include "platform/xml/xml_text.h"

namespace qx {
namespace {

const char* kSource = "QxBackend.BusinessObject";

std::atomic<int64_t> gWaitNanoseconds{0};
std::atomic<int64_t> gRequests{0};

// A parameter value as the request carries it: dates as "yyyy-mm-dd hh:mm:ss", everything else as its text.
std::string ParameterText(const ole::Variant& value) {
    if (value.IsDate()) return value.ToDate().Iso();
    return value.IsNull() || value.IsEmpty() ? std::string() : value.Text();
}

class HttpBusinessObject : public IBusinessObject {
public:
    HttpBusinessObject(BoiEndpoint endpoint, std::string object, std::string backendType)
        : endpoint_(std::move(endpoint)), object_(std::move(object)), backendType_(std::move(backendType)) {}

    void SetParameter(const std::string& name, int32_t, const ole::Variant& value) override {
        for (auto& [n, v] : parameters_)
            if (ole::EqualsNoCase(n, name)) {
                v = value;
                return;
            }
        parameters_.emplace_back(name, value);
    }

    ole::Variant Execute() override {
        return PostBoiRequest(endpoint_, BoiRequestDocument(object_, backendType_, "", parameters_));
    }

private:
    BoiEndpoint endpoint_;
    std::string object_, backendType_;
    BoiParameters parameters_;
};

// The common part of the "ow" integration objects: InitializeAction finds the
// instance whose "componentid" property is the given id and its endpoint.
template <class Interface>
class IntegrationAction : public Interface {
public:
    void InitializeAction(const std::string& backendType, const std::string& componentId, int32_t& status) override {
        endpoint_.reset();
        backendType_ = backendType;
        componentId_ = ole::TrimBlanks(componentId);
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute(
            "SELECT BISID FROM BISPROPERTY WHERE LOWER(NAME) = 'componentid' AND TRIM(VALUE) = ? ORDER BY BISID",
            nullptr, -1, {componentId_});
        std::optional<int32_t> bisid;
        if (!rs->Eof()) bisid = rs->Fields(0).Value().ToLong();
        c->Close();
        if (!bisid) {
            status = 1;
            return;
        }
        auto selector = ole::CreateObjectAs<IBackendSelector>("QxBackend.Selector");
        auto properties = selector->SelectBackend(*bisid)->BackendProperties();
        endpoint_ = BoiEndpointOf(*properties);
        status = endpoint_ ? 0 : 2;
    }

    void CloseAction() override { endpoint_.reset(); }

protected:
    std::string Call(const std::string& object, const BoiParameters& parameters) {
        if (!endpoint_)
            ole::Raise(backend_err::ActionNotInitialized, "The action was not initialised for a back end", kSource);
        return PostBoiRequest(*endpoint_, BoiRequestDocument(object, backendType_, componentId_, parameters));
    }

private:
    std::optional<BoiEndpoint> endpoint_;
    std::string backendType_, componentId_;
};

// The value of the first RECORD's FIELD of that NAME; raises when the reply is no reply document or has none.
int32_t ReplyNumber(const std::string& reply, const std::string& field) {
    XmlDocument doc;
    std::string why;
    if (!LoadBoiReply(doc, reply, why)) ole::Raise(ole::err::TypeMismatch, "The back end's reply " + why, kSource);
    auto node = doc.doc.select_node(("//RECORD/FIELD[@NAME='" + field + "']").c_str()).node();
    if (!node) ole::Raise(ole::err::TypeMismatch, "The back end's reply has no field " + field, kSource);
    return ole::Variant(std::string(node.text().get())).ToLong();
}

class BackendAllocate : public IntegrationAction<IBackendAllocate> {
public:
    void Allocate(const std::string& salesOrderNumber, int32_t lineNumber, int32_t& errorNumber) override {
        errorNumber = ReplyNumber(Call("Allocate", {{"SalesOrder", salesOrderNumber}, {"PositionNumber", lineNumber}}),
                                  "ErrorNumber");
    }
};

class BackendOrder : public IntegrationAction<IBackendOrder> {
public:
    void UpdateOrderStatus(const std::string& salesOrderNumber, int32_t lineNumber, int16_t stepNumber, int16_t freight,
                           int32_t& success, int32_t& reasonCode) override {
        std::string reply = Call("UpdateOrderStatus", {{"SalesOrder", salesOrderNumber},
                                                       {"SOPositionNumber", lineNumber},
                                                       {"StepNumber", stepNumber},
                                                       {"Freight", freight}});
        success = ReplyNumber(reply, "Success");
        reasonCode = ReplyNumber(reply, "ReasonCode");
    }
};

}  // namespace

std::optional<BoiEndpoint> BoiEndpointOf(const ole::Dictionary& properties) {
    auto text = [&](const char* name) {
        return properties.Exists(name) ? ole::TrimBlanks(properties.Item(name).Text()) : std::string();
    };
    BoiEndpoint endpoint;
    endpoint.url = text("boiurl");
    if (endpoint.url.empty()) return std::nullopt;
    std::string seconds = text("boitimeout");
    if (!seconds.empty()) {
        try {
            int32_t value = ole::Variant(seconds).ToLong();
            if (value > 0) endpoint.timeout = std::chrono::seconds(value);
        } catch (...) {
            // not a number: the default stands
        }
    }
    return endpoint;
}

std::string BoiRequestDocument(const std::string& object, const std::string& backendType,
                               const std::string& componentId, const BoiParameters& parameters) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BOIREQUEST OBJECT=\"";
    AppendXmlEscaped(xml, object, XmlEscape::Attribute);
    xml += "\" BACKENDTYPE=\"";
    AppendXmlEscaped(xml, backendType, XmlEscape::Attribute);
    xml += "\" COMPONENTID=\"";
    AppendXmlEscaped(xml, componentId, XmlEscape::Attribute);
    xml += "\">";
    for (const auto& [name, value] : parameters) {
        xml += "<PARAMETER NAME=\"";
        AppendXmlEscaped(xml, name, XmlEscape::Attribute);
        xml += "\">";
        AppendXmlEscaped(xml, ParameterText(value), XmlEscape::Text);
        xml += "</PARAMETER>";
    }
    xml += "</BOIREQUEST>\n";
    return xml;
}

std::string PostBoiRequest(const BoiEndpoint& endpoint, const std::string& document) {
    std::string url = gateway_wire::GatewayUrl(endpoint.url);  // http only to loopback addresses
    // no reply of a business object is anywhere near 4 MiB
    net::HttpReply reply = net::Post({url, "application/xml; charset=UTF-8", document, "", endpoint.connectTimeout,
                                      endpoint.timeout, 4u << 20});
    gWaitNanoseconds += reply.elapsed.count();
    ++gRequests;
    if (reply.curlCode != 0)
        ole::Raise(backend_err::BoiNoReply, "The back end at " + url + " did not answer: " + reply.error, kSource);
    if (reply.status != 200)
        ole::Raise(backend_err::BoiNoReply, "The back end at " + url + " answered HTTP " + std::to_string(reply.status),
                   kSource);
    return reply.body;
}

bool LoadBoiReply(XmlDocument& doc, const std::string& reply, std::string& why) {
    if (!doc.LoadXml(reply)) {
        why = "is no XML document (" + doc.Reason() + ")";
        return false;
    }
    // the parser takes a fragment: several roots, or text beside the root, are no document
    int roots = 0;
    for (pugi::xml_node node : doc.doc.children()) {
        switch (node.type()) {
            case pugi::node_element: ++roots; break;
            case pugi::node_comment:
            case pugi::node_pi:
            case pugi::node_declaration: break;
            default:
                why = "holds text or markup outside its root element";
                return false;
        }
    }
    if (roots != 1) {
        why = "holds " + std::to_string(roots) + " root elements";
        return false;
    }
    if (std::string(doc.doc.document_element().name()) != "BOIREPLY") {
        why = "is no BOIREPLY document (its root element is <" + std::string(doc.doc.document_element().name()) + ">)";
        return false;
    }
    return true;
}

BusinessObjectPtr NewHttpBusinessObject(BoiEndpoint endpoint, std::string object, std::string backendType) {
    return std::make_shared<HttpBusinessObject>(std::move(endpoint), std::move(object), std::move(backendType));
}

std::chrono::nanoseconds BoiWaitTime() { return std::chrono::nanoseconds(gWaitNanoseconds.load()); }
int64_t BoiRequestCount() { return gRequests.load(); }

void RegisterBackendIntegration() {
    ole::RegisterClass<BackendAllocate>("VendaloBackendIntegration.Allocate");
    ole::RegisterClass<BackendOrder>("VendaloBackendIntegration.Order");
}

}  // namespace qx
