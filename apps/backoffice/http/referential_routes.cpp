// The referential checks over HTTP, for the master-data maintenance of the
// platform: before it deletes a product, partner, currency or back-end
// instance, it asks each Vendalo component that implements
// qx::IReferentialIntegrity whether its rows still refer to it (exists) and
// lets it clean up first (before-delete). Operator key only: before-delete
// removes rows.
//
//   POST /api/v1/referential/Pricing/exists
//   {"kind": "PRODUCT", "keys": ["PRODUCTID"], "values": [101]}   ->  {"exists": true}
#include <map>

#include "http/http_routes.h"
#include "http/json_codec.h"
#include "platform/masterdata/referential_integrity.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

// The components by the name the path gives them.
const std::map<std::string, std::string>& Components() {
    static const std::map<std::string, std::string> progIds = {{"Pricing", "Vendalo.Pricing"},
                                                               {"WebOrder", "Vendalo.WebOrder"},
                                                               {"OrderExportFile", "Vendalo.OrderExportFile"},
                                                               {"Order", "Vendalo.Order"}};
    return progIds;
}

struct Question {
    std::shared_ptr<qx::IReferentialIntegrity> component;
    std::string kind;
    ole::VariantArray keys, values;
};

// The component of the path and the body's kind, key names and key values
// (text or whole numbers, as many values as keys).
Question Asked(Call& call) {
    auto progId = Components().find(call.Param("component"));
    if (progId == Components().end())
        throw RequestError(404, "No component " + call.Param("component").substr(0, 64) +
                                    " answers referential checks (Pricing, WebOrder, OrderExportFile, Order)");
    json body = call.Body();
    OnlyFields(body, {"kind", "keys", "values"});
    Question q;
    q.kind = Field(body, "kind", ado::adVarWChar, true).ToString();
    for (const char* list : {"keys", "values"})
        if (!body.contains(list) || !body[list].is_array()) throw RequestError(400, std::string(list) + ": an array expected");
    if (body["keys"].size() != body["values"].size())
        throw RequestError(400, "keys and values: as many values as keys expected");
    for (size_t i = 0; i < body["keys"].size(); ++i) {
        std::string where = "[" + std::to_string(i) + "]";
        q.keys.push_back(FieldValue(body["keys"][i], ado::adVarWChar, "keys" + where));
        const json& value = body["values"][i];
        q.values.push_back(FieldValue(value, value.is_number_integer() ? ado::adInteger : ado::adVarWChar, "values" + where));
    }
    q.component = Sls_GetComponent<qx::IReferentialIntegrity>(progId->second);
    return q;
}

}  // namespace

void AddReferentialRoutes(Router& router) {
    router.Add("POST", "/api/v1/referential/{component}/exists", Access::Operator, [](Call& call) {
        Question q = Asked(call);
        call.Json(200, {{"exists", q.component->Exists(q.kind, q.keys, q.values)}});
    });
    router.Add("POST", "/api/v1/referential/{component}/before-delete", Access::Operator, [](Call& call) {
        Question q = Asked(call);
        call.Json(200, {{"mayDelete", q.component->BeforeDelete(q.kind, q.keys, q.values)}});
    });
}

}  // namespace backoffice::http
