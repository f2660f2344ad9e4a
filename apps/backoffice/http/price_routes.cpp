// Prices and freight over HTTP: the web price of one product or of a catalogue
// page, the maintenance of customer and list prices (operator key), and the
// freight zones, products and charges. Each calls Vendalo.Pricing or
// Vendalo.FreightCost by ProgID; the host runs no SQL.
//
// A price record travels with the tables' column names: PRODUCTID,
// BUSINESSPARTNERID (customer prices only; null for a list price found by a
// look-up), CURRENCYCODE, EFFECTIVEDATE, EXPIRYDATE, PRICE, DISCOUNTPERC,
// DISCOUNTAMOUNT.
#include "http/http_routes.h"
#include "http/json_codec.h"
#include "interfaces/vendalo/freight_cost.h"
#include "interfaces/vendalo/pricing.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "platform/automation/decimal.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

using ole::Variant;

// A catalogue page asks once; more than this is refused.
constexpr size_t kMaxProductsPerPage = 500;

std::shared_ptr<vendalo::IPricing> Pricing() { return Sls_GetComponent<vendalo::IPricing>("Vendalo.Pricing"); }
std::shared_ptr<vendalo::IFreightCost> Freight() {
    return Sls_GetComponent<vendalo::IFreightCost>("Vendalo.FreightCost");
}

json RecordJson(const vendalo::PriceRecord& r, bool withPartner) {
    json out = {{"PRODUCTID", VariantJson(r.ProductID, ado::adInteger)}};
    if (withPartner) out["BUSINESSPARTNERID"] = VariantJson(r.BusinessPartnerID, ado::adInteger);
    out["CURRENCYCODE"] = VariantJson(r.CurrencyCode, ado::adVarWChar);
    out["EFFECTIVEDATE"] = VariantJson(r.EffectiveDate, ado::adDate);
    out["EXPIRYDATE"] = VariantJson(r.ExpiryDate, ado::adDate);
    out["PRICE"] = VariantJson(r.Price, ado::adCurrency);
    out["DISCOUNTPERC"] = VariantJson(r.DiscountPercent, ado::adCurrency);
    out["DISCOUNTAMOUNT"] = VariantJson(r.DiscountAmount, ado::adCurrency);
    return out;
}

// A field a maintenance body may leave out: absent stays Empty (the call's own
// rule then names what is missing), null is Null.
Variant Optional(const json& body, const char* name, ado::DataTypeEnum type) {
    if (!body.contains(name)) return Variant();
    return FieldValue(body[name], type, name);
}

// The price record of a maintenance body; a list price has no partner.
vendalo::PriceRecord BodyRecord(const json& body, bool customer) {
    if (customer)
        OnlyFields(body, {"PRODUCTID", "BUSINESSPARTNERID", "CURRENCYCODE", "EFFECTIVEDATE", "EXPIRYDATE", "PRICE",
                          "DISCOUNTPERC", "DISCOUNTAMOUNT"});
    else
        OnlyFields(body,
                   {"PRODUCTID", "CURRENCYCODE", "EFFECTIVEDATE", "EXPIRYDATE", "PRICE", "DISCOUNTPERC", "DISCOUNTAMOUNT"});
    vendalo::PriceRecord r;
    r.ProductID = Optional(body, "PRODUCTID", ado::adInteger);
    if (customer) r.BusinessPartnerID = Optional(body, "BUSINESSPARTNERID", ado::adInteger);
    r.CurrencyCode = Optional(body, "CURRENCYCODE", ado::adVarWChar);
    r.EffectiveDate = Optional(body, "EFFECTIVEDATE", ado::adDate);
    r.ExpiryDate = Optional(body, "EXPIRYDATE", ado::adDate);
    r.Price = Optional(body, "PRICE", ado::adCurrency);
    r.DiscountPercent = Optional(body, "DISCOUNTPERC", ado::adCurrency);
    r.DiscountAmount = Optional(body, "DISCOUNTAMOUNT", ado::adCurrency);
    return r;
}

// The full key of a stored record from the query: product, partner (customer
// prices), currency and effective date.
struct PriceKey {
    int32_t product = 0, partner = 0;
    std::string currency;
    ole::Date effective;
};

PriceKey QueryKey(const httplib::Request& request, bool customer) {
    PriceKey key;
    key.product = QueryValue(request, "product", ado::adInteger, true).ToLong();
    if (customer) key.partner = QueryValue(request, "partner", ado::adInteger, true).ToLong();
    key.currency = QueryValue(request, "currency", ado::adVarWChar, true).ToString();
    key.effective = QueryValue(request, "effective", ado::adDate, true).ToDate();
    return key;
}

vendalo::PriceRecord KeyRecord(const PriceKey& key, bool customer) {
    vendalo::PriceRecord r;
    r.ProductID = ole::Variant(key.product);
    if (customer) r.BusinessPartnerID = ole::Variant(key.partner);
    r.CurrencyCode = ole::Variant(key.currency);
    r.EffectiveDate = ole::Variant(key.effective);
    return r;
}

// GET, POST, PUT and DELETE of one price table.
void AddMaintenance(Router& router, const std::string& path, bool customer) {
    router.Add("GET", path, Access::Operator, [customer](Call& call) {
        PriceKey key = QueryKey(call.request, customer);
        auto pricing = Pricing();
        if (customer)
            pricing->GetCustomerPrice(key.product, key.partner, key.effective, key.currency);
        else
            pricing->GetProductPrice(key.product, key.effective, key.currency);
        call.Json(200, RecordJson(pricing->Record(), customer));
    });
    router.Add("POST", path, Access::Operator, [customer, path](Call& call) {
        auto pricing = Pricing();
        pricing->SetRecord(BodyRecord(call.Body(), customer));
        pricing->AddPricing(customer);
        json record = RecordJson(pricing->Record(), customer);
        // the new record is read back by its full key
        auto value = [&](const char* name) {
            const json& v = record[name];
            return httplib::detail::encode_query_param(v.is_string() ? v.get<std::string>() : v.dump());
        };
        std::string at = path + "?product=" + value("PRODUCTID");
        if (customer) at += "&partner=" + value("BUSINESSPARTNERID");
        at += "&currency=" + value("CURRENCYCODE") + "&effective=" + value("EFFECTIVEDATE");
        call.response.set_header("Location", at);
        call.Json(201, record);
    });
    router.Add("PUT", path, Access::Operator, [customer](Call& call) {
        auto pricing = Pricing();
        pricing->SetRecord(BodyRecord(call.Body(), customer));
        pricing->UpdatePricing(customer);  // a key without a record changes nothing and is no error
        call.Json(200, RecordJson(pricing->Record(), customer));
    });
    router.Add("DELETE", path, Access::Operator, [customer](Call& call) {
        auto pricing = Pricing();
        pricing->SetRecord(KeyRecord(QueryKey(call.request, customer), customer));
        pricing->DeletePricing(customer);
        call.response.status = 204;
    });
}

}  // namespace

void AddPriceRoutes(Router& router) {
    router.Add("GET", "/api/v1/prices/web", Access::Shop, [](Call& call) {
        Variant product = QueryValue(call.request, "product", ado::adInteger, true);
        Variant partner = QueryValue(call.request, "partner", ado::adInteger, true);
        Variant currency = QueryValue(call.request, "currency", ado::adVarWChar, true);
        Variant date = QueryValue(call.request, "date", ado::adDate, false);
        auto pricing = Pricing();
        if (!pricing->GetWebPrice(product.ToLong(), partner.ToLong(), date.IsNull() ? ole::Date::Today() : date.ToDate(),
                                  currency.ToString()))
            throw RequestError(404, "Product " + product.Text() + " has no price for partner " + partner.Text() +
                                        " in " + currency.Text(), vendalo::ProductPriceNotFound);
        call.Json(200, RecordJson(pricing->Record(), true));
    });

    router.Add("POST", "/api/v1/prices/web", Access::Shop, [](Call& call) {
        json body = call.Body();
        OnlyFields(body, {"partner", "currency", "date", "products"});
        Variant partner = Field(body, "partner", ado::adInteger, true);
        Variant currency = Field(body, "currency", ado::adVarWChar, true);
        Variant date = Field(body, "date", ado::adDate, false);
        if (!body.contains("products") || !body["products"].is_array())
            throw RequestError(400, "products: an array of product ids expected");
        const json& list = body["products"];
        if (list.size() > kMaxProductsPerPage)
            throw RequestError(400, "products: at most " + std::to_string(kMaxProductsPerPage) + " per call");
        std::vector<int32_t> products;
        products.reserve(list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            std::string where = "products[" + std::to_string(i) + "]";
            Variant id = FieldValue(list[i], ado::adInteger, where);
            if (id.IsNull()) throw RequestError(400, where + ": a product id expected");
            products.push_back(id.ToLong());
        }
        auto prices = Pricing()->GetWebPrices(products, partner.ToLong(),
                                              date.IsNull() ? ole::Date::Today() : date.ToDate(), currency.ToString());
        json answer = json::array();
        for (const auto& price : prices) answer.push_back(price ? RecordJson(*price, true) : json(nullptr));
        call.Json(200, {{"prices", answer}});
    });

    AddMaintenance(router, "/api/v1/prices/customer", true);
    AddMaintenance(router, "/api/v1/prices/product", false);

    router.Add("GET", "/api/v1/freight/zone", Access::Shop, [](Call& call) {
        Variant country = QueryValue(call.request, "country", ado::adVarWChar, true);
        Variant zip = QueryValue(call.request, "zip", ado::adVarWChar, true);
        auto freight = Freight();
        if (!freight->InitZone(country.ToString(), zip.ToString()))
            throw RequestError(404, "No freight zone for " + country.Text() + " " + zip.Text(), vendalo::kFreightError);
        call.Json(200, {{"ZONEID", freight->ZoneId()}, {"ZONEDESCRIPTION", freight->ZoneDescription()}});
    });

    router.Add("GET", "/api/v1/freight/products/{id}", Access::Shop, [](Call& call) {
        json id = json::parse(call.Param("id"), nullptr, false);
        if (id.is_discarded()) id = call.Param("id");  // refused below as no number
        Variant product = FieldValue(id, ado::adInteger, "id");
        auto freight = Freight();
        bool charged = freight->InitFreightProduct(product);
        call.Json(200, {{"PRODUCTID", product.ToLong()},
                        {"FREIGHTGROUPID", VariantJson(freight->FreightGroupID(), ado::adSmallInt)},
                        {"SHIPFROMZONEID", VariantJson(freight->ShipFromZoneID(), ado::adSmallInt)},
                        {"ADDITIONALCOST", VariantJson(freight->AdditionalCost(), ado::adCurrency)},
                        {"charged", charged}});
    });

    router.Add("GET", "/api/v1/freight/cost", Access::Shop, [](Call& call) {
        Variant product = QueryValue(call.request, "product", ado::adInteger, true);
        Variant carrier = QueryValue(call.request, "carrier", ado::adVarWChar, true);
        Variant zone = QueryValue(call.request, "to-zone", ado::adSmallInt, true);
        Variant quantity = QueryValue(call.request, "quantity", ado::adCurrency, true);
        double cost = Freight()->GetFreightCost(product, carrier, zone, quantity);
        call.Json(200, {{"PRODUCTID", product.ToLong()},
                        {"CARRIER", carrier.ToString()},
                        {"SHIPTOZONEID", zone.ToLong()},
                        {"QUANTITY", VariantJson(quantity, ado::adCurrency)},
                        {"FREIGHTCOST", VariantJson(ole::Decimal::FromDouble(cost).ToCurrency(), ado::adCurrency)}});
    });
}

}  // namespace backoffice::http
