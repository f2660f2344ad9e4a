// The shop's API under /api/v1: one endpoint per public call of the basket
// store, order submission and retrieval, and the sales parameters, and the
// pricing of a basket. Each calls the component by ProgID as a web page would;
// the host itself runs no SQL. Every request is checked whole (basket_checks.h)
// before the first call that writes.
#include <algorithm>
#include <set>

#include "http/basket_checks.h"
#include "http/basket_guard.h"
#include "http/basket_pricing.h"
#include "http/http_routes.h"
#include "http/json_codec.h"
#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/reporting.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/payment/checkout_authorization.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

using ole::Variant;

std::shared_ptr<vendalo::IBasket> Baskets() { return Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket"); }
std::shared_ptr<vendalo::IOrder> Orders() { return Sls_GetComponent<vendalo::IOrder>("Vendalo.Order"); }

// The basket of the path: the one the host read under the lock for If-Match, else read now;
// nullptr when there is none.
ole::DictionaryPtr TakeLockedBasket(Call& call, const std::string& id) {
    if (call.lockedBasket) return std::move(call.lockedBasket);
    return Baskets()->Restore(id);
}

ole::DictionaryPtr StoredBasket(Call& call, const std::string& id) {
    auto basket = TakeLockedBasket(call, id);
    if (!basket) throw RequestError(404, "Basket " + id + " does not exist", vendalo::MissingOrderInfo);
    return basket;
}

// Stores the basket's changes: in the transaction that holds its lock where the host took one
// (PostgreSQL; the host commits it with the answer), else in a transaction of their own.
void Save(Call& call, const ole::DictionaryPtr& basket) {
    if (call.lockedTransaction) Baskets()->SaveIn(call.lockedTransaction, Variant(basket));
    else Baskets()->Save(Variant(basket));
}

// The BASKETLINENR of each line of a PUT's body and where it stands.
BodyLines BodyLineIndexes(const json& body) {
    BodyLines indexes;
    for (size_t i = 0; i < body["lines"].size(); ++i)
        indexes[FieldValue(body["lines"][i]["BASKETLINENR"], ado::adInteger, "BASKETLINENR").ToLong()] = i;
    return indexes;
}

// A line as AddLine takes it.
struct NewLine {
    int32_t sku;
    double quantity;
    ole::Date requestDate;
    bool configurable;
    std::string configId;
};

// The basket priced as it will be with the new line, on copies: refuses (422)
// before anything is stored when a line cannot be priced.
void PriceWithLine(Lookups& lookups, BasketPricer& pricer, const ole::Dictionary& basket, const NewLine& line) {
    auto header = std::make_shared<ado::Recordset>(*RecordsetOf(basket, "header"));
    auto lines = std::make_shared<ado::Recordset>(*RecordsetOf(basket, "lines"));
    int32_t last = 0;
    if (!(lines->Bof() && lines->Eof()))
        for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext())
            last = std::max(last, lines->Fields("BASKETLINENR").Value().ToLong());
    header->MoveFirst();
    lines->AddNew();
    lines->Fields("BASKETID") = header->Fields("BASKETID").Value();
    lines->Fields("BASKETLINENR") = last == INT32_MAX ? last : last + 1;
    lines->Fields("SKU") = line.sku;
    lines->Fields("QUANTITY") = line.quantity;
    lines->Fields("REQUESTDATE") = line.requestDate;
    ole::Dictionary trial;
    trial.Add("header", header);
    trial.Add("lines", lines);
    CheckPricing(lookups, trial);
    pricer.Price(trial);
}

// The basket as the answer's text. A basket just written whose values read back as they are
// gets its ETag from that text: the host need not read it again.
void BasketAnswer(Call& call, int status, const ole::DictionaryPtr& basket, bool written = true) {
    bool asRead = written && BasketReadsBackAsIs(*basket);
    auto header = RecordsetOf(*basket, "header");
    header->MoveFirst();
    std::string id = header->Fields("BASKETID").Value().Text();
    if (status == 201) call.response.set_header("Location", "/api/v1/baskets/" + id);
    call.JsonText(status, DictionaryText(*basket));
    if (asRead) call.response.set_header("ETag", BasketETagOfAnswer(call.response.body));
}

// The distinct addresses an order uses, with the order's snapshot of each (or
// the partner's current address where the order has none).
json OrderAddresses(const ole::Dictionary& order, const std::string& id) {
    auto header = RecordsetOf(order, "header");
    auto lines = RecordsetOf(order, "lines");
    std::vector<Variant> ids;
    std::set<int32_t> seen;
    auto collect = [&](const Variant& v) {
        if (v.IsNull() || v.IsEmpty()) return;
        if (seen.insert(v.ToLong()).second) ids.push_back(v);
    };
    header->MoveFirst();
    collect(header->Fields("BILLINGADDRESSID").Value());
    collect(header->Fields("SHIPPINGADDRESSID").Value());
    if (!(lines->Bof() && lines->Eof()))
        for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext()) collect(lines->Fields("ADDRESSID").Value());
    json addresses = json::array();
    auto orders = Orders();
    for (const Variant& address : ids) {
        auto rs = orders->GetAddress(address, Variant(id));
        json row = rs->Eof() ? json::object() : RowJson(*rs);
        row["ADDRESSID"] = address.ToLong();
        addresses.push_back(row);
    }
    return addresses;
}

}  // namespace

void AddShopRoutes(Router& router) {
    router.Add("POST", "/api/v1/baskets", Access::Shop, [](Call& call) {
        json body = call.Body();
        OnlyFields(body, {"USERID", "BUSINESSPARTNERID"});
        Variant user = Field(body, "USERID", ado::adVarWChar, true);
        Variant partner = Field(body, "BUSINESSPARTNERID", ado::adInteger, true);
        Lookups lookups;
        CheckNewBasket(lookups, user, partner);
        ole::DictionaryPtr basket;
        try {
            basket = Baskets()->Create(user.ToString(), partner.ToLong());
        } catch (const ole::AutomationError& e) {
            // read before anything is written: nothing is stored
            if (e.Number() == qx::kBusinessPartnerNotFound) RefuseUnknownPartner(partner);
            throw;
        }
        BasketAnswer(call, 201, basket);
    });

    router.Add("GET", "/api/v1/baskets/{id}", Access::Shop,
               [](Call& call) { BasketAnswer(call, 200, StoredBasket(call, call.Id()), false); });

    router.Add("PUT", "/api/v1/baskets/{id}", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        json body = call.Body();
        auto basket = StoredBasket(call, id);
        ole::Dictionary stored;  // the basket as it was, for what changed
        basket->ForEach([&](const Variant& key, const Variant& item) {
            auto rs = item.As<ado::Recordset>();
            stored.Add(key, rs ? Variant(std::make_shared<ado::Recordset>(*rs)) : item);
        });
        ReplaceBasket(*basket, body, id);
        Lookups lookups;
        CheckBasket(lookups, *basket, &stored, BodyLineIndexes(body));
        Save(call, basket);
        BasketAnswer(call, 200, basket);
    });

    router.Add("DELETE", "/api/v1/baskets/{id}", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        StoredBasket(call, id);
        if (call.lockedTransaction) Baskets()->DeleteIn(call.lockedTransaction, id);
        else Baskets()->Delete(id);
        call.response.status = 204;
    });

    router.Add("POST", "/api/v1/baskets/{id}/lines", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        json body = call.Body();
        OnlyFields(body, {"SKU", "QUANTITY", "REQUESTDATE", "PRODUCTCONFIGURABLE", "PRODUCTCONFIGID", "price"});
        Variant sku = Field(body, "SKU", ado::adInteger, true);
        Variant quantity = Field(body, "QUANTITY", ado::adDouble, true);
        Variant date = Field(body, "REQUESTDATE", ado::adDate, false);
        Variant configurable = Field(body, "PRODUCTCONFIGURABLE", ado::adBoolean, false);
        Variant configId = Field(body, "PRODUCTCONFIGID", ado::adVarWChar, false);
        Variant price = Field(body, "price", ado::adBoolean, false);
        Lookups lookups;
        CheckNewLine(lookups, sku, quantity, configId);
        NewLine line{sku.ToLong(), quantity.ToDouble(), date.IsNull() ? ole::Date::Today() : date.ToDate(),
                     !configurable.IsNull() && configurable.ToBool(), configId.Text()};
        auto stored = StoredBasket(call, id);
        BasketPricer pricer(lookups);
        // priced before it is stored: a line without a price is refused with nothing written
        if (!price.IsNull() && price.ToBool()) PriceWithLine(lookups, pricer, *stored, line);
        Variant basket(stored);
        int32_t lineNr = call.lockedTransaction
                             ? Baskets()->AddLineIn(call.lockedTransaction, basket, line.sku, line.quantity,
                                                    line.requestDate, line.configurable, line.configId)
                             : Baskets()->AddLine(basket, line.sku, line.quantity, line.requestDate,
                                                  line.configurable, line.configId);
        if (!price.IsNull() && price.ToBool()) {
            pricer.Price(*basket.As<ole::Dictionary>());
            Save(call, basket.As<ole::Dictionary>());
        }
        auto added = basket.As<ole::Dictionary>();
        bool asRead = BasketReadsBackAsIs(*added);
        std::string text = DictionaryText(*added);
        call.response.set_header("Location", "/api/v1/baskets/" + id);
        if (asRead) call.response.set_header("ETag", BasketETagOfAnswer(text));
        // the basket's text with the new line's number as its last member
        text.insert(text.size() - 1, ",\"BASKETLINENR\":" + std::to_string(lineNr));
        call.JsonText(201, text);
    });

    router.Add("DELETE", "/api/v1/baskets/{id}/lines", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        json body = call.Body();
        OnlyFields(body, {"lines"});
        if (!body.contains("lines") || !body["lines"].is_array()) throw RequestError(400, "lines: an array of line numbers expected");
        ole::VariantArray numbers;
        for (size_t i = 0; i < body["lines"].size(); ++i)
            numbers.push_back(FieldValue(body["lines"][i], ado::adInteger, "lines[" + std::to_string(i) + "]"));
        Variant basket(StoredBasket(call, id));
        if (call.lockedTransaction) Baskets()->DeleteLinesIn(call.lockedTransaction, basket, Variant(numbers));
        else Baskets()->DeleteLines(basket, Variant(numbers));
        BasketAnswer(call, 200, basket.As<ole::Dictionary>());
    });

    router.Add("POST", "/api/v1/baskets/{id}/copy", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        json body = call.Body();
        OnlyFields(body, {"name", "_language", "_countrycode"});
        Variant name = Field(body, "name", ado::adVarWChar, true);
        CheckCopy(name, Field(body, "_language", ado::adVarWChar, false), Field(body, "_countrycode", ado::adVarWChar, false));
        auto source = StoredBasket(call, id);
        for (const char* item : {"_language", "_countrycode"})
            if (body.contains(item)) source->Set(item, Field(body, item, ado::adVarWChar, false));
        BasketAnswer(call, 201, Baskets()->Copy(Variant(source), name.ToString()));
    });

    router.Add("POST", "/api/v1/baskets/{id}/submit", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        OnlyFields(call.Body(true), {});
        auto basket = TakeLockedBasket(call, id);
        if (!basket) {
            auto order = Orders()->Restore(id);
            auto header = RecordsetOf(*order, "header");
            if (!(header->Bof() && header->Eof()))
                throw RequestError(409, "Basket " + id + " was submitted already", vendalo::MissingOrderInfo);
            throw RequestError(404, "Basket " + id + " does not exist", vendalo::MissingOrderInfo);
        }
        // a card order is submitted only with the money held for it
        Lookups lookups;
        CheckSubmission(lookups, *basket);
        auto header = RecordsetOf(*basket, "header");
        header->MoveFirst();
        std::string unpaid = ordexa::CardSubmissionRefusal(id, header->Fields("PAYMENTMETHOD").Value(),
                                                           header->Fields("TOTAL").Value(),
                                                           header->Fields("CURRENCYCODE").Value().Text());
        if (!unpaid.empty()) throw RequestError(409, unpaid, ordexa::kCardNotAuthorized);
        // in the lock's transaction, whose COMMIT goes with the order's writes
        if (call.lockedTransaction) Orders()->SubmitBasketIn(call.lockedTransaction, Variant(basket), true);
        else Orders()->SubmitBasket(Variant(basket));
        call.response.set_header("Location", "/api/v1/orders/" + id);
        call.Json(201, {{"ORDERID", id}});
    });

    router.Add("POST", "/api/v1/baskets/{id}/price", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        OnlyFields(call.Body(true), {});
        auto basket = StoredBasket(call, id);
        Lookups lookups;
        CheckPricing(lookups, *basket);
        BasketPricer(lookups).Price(*basket);
        Save(call, basket);
        BasketAnswer(call, 200, basket);
    });

    router.Add("GET", "/api/v1/orders/{id}", Access::Shop, [](Call& call) {
        std::string id = call.Id();
        auto order = Orders()->Restore(id);
        auto header = RecordsetOf(*order, "header");
        if (header->Bof() && header->Eof()) throw RequestError(404, "Order " + id + " does not exist", vendalo::OrderNotFound);
        call.JsonText(200, DictionaryText(*order, {{"addresses", OrderAddresses(*order, id)}}));
    });

    router.Add("GET", "/api/v1/orders", Access::Shop, [](Call& call) {
        Variant partner = QueryValue(call.request, "partner", ado::adInteger, false);
        Variant status = QueryValue(call.request, "status", ado::adSmallInt, false);
        Variant limit = QueryValue(call.request, "limit", ado::adInteger, false);
        int32_t pageSize = limit.IsNull() ? 50 : limit.ToLong();
        if (pageSize < 1 || pageSize > 500) throw RequestError(400, "limit: from 1 to 500");
        std::string after = call.request.get_param_value("after");
        if (!after.empty()) {
            call.params["after"] = after;
            after = call.Id("after");
        }
        auto rs = Sls_GetComponent<vendalo::IReporting>("Vendalo.Reporting")->ListOrders(partner, status, pageSize, after);
        json orders = RowsJson(*rs);
        json next = nullptr;
        if (static_cast<int32_t>(orders.size()) == pageSize) next = orders.back()["ORDERID"];
        call.Json(200, {{"orders", orders}, {"next", next}});
    });

    router.Add("GET", "/api/v1/sales-parameters/{name}", Access::Shop, [](Call& call) {
        const std::string& name = call.Param("name");
        std::string value = Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter")->GetParameterValue(name);
        call.Json(200, {{"name", name}, {"value", value}});
    });
}

}  // namespace backoffice::http
