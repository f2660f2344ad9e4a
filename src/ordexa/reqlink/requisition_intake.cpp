// Each requisition is read and checked whole before anything is written, and
// then written in one transaction: its slot (REQUISITIONINTAKE), the addresses
// it names anew, its basket and the order made of it. A requisition that fails
// a check creates nothing, and one that fails later rolls back what it wrote,
// so a failed requisition never leaves anything behind. Copies of a
// requisition sent at once wait for each other at the slot, and make one order
// and one set of addresses.
#include "ordexa/reqlink/requisition_intake.h"

#include <chrono>
#include <exception>
#include <regex>
#include <thread>

#include "interfaces/vendalo/basket.h"
#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "ordexa/exchange/lib_sales_xml.h"
#include "platform/automation/decimal.h"
#include "platform/automation/text.h"
#include "platform/data/transaction.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/currency.h"
#include "platform/masterdata/locale.h"
#include "platform/masterdata/product_catalog.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace {

using ole::TrimBlanks;
using ole::Variant;
namespace err = reqlink_err;

// An address the requisition names: an existing one, or one to create from the element.
struct AddressPlan {
    int32_t id = -1;
    pugi::xml_node element;  // set when the address must be created
};

struct Requisition {
    std::string id, partNumber, shopperId, currency, acknowledgementUrl, unit;
    int32_t productId = -1, partnerId = 0, homeOrganisation = 0, quantity = 0;
    AddressPlan billTo, delivery, shipFrom;
    ole::Date dateRequired;
    ole::Decimal unitCost, discount;
};

[[noreturn]] void Fail(int32_t number, const std::string& text) { ole::Raise(number, text, "Ordexa.Reqlink"); }

// A positive whole number of at most 9 digits.
std::optional<int32_t> PositiveWhole(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    int32_t n = std::stoi(text);
    return n > 0 ? std::optional<int32_t>(n) : std::nullopt;
}

// "mm/dd/yyyy" (the broker's form) or "yyyy-mm-dd", and nothing else.
std::optional<ole::Date> RequiredDate(const std::string& text) {
    static const std::regex broker(R"((\d{2})/(\d{2})/(\d{4}))"), iso(R"((\d{4})-(\d{2})-(\d{2}))");
    std::smatch m;
    int y, mo, d;
    if (std::regex_match(text, m, broker)) y = std::stoi(m[3]), mo = std::stoi(m[1]), d = std::stoi(m[2]);
    else if (std::regex_match(text, m, iso)) y = std::stoi(m[1]), mo = std::stoi(m[2]), d = std::stoi(m[3]);
    else return std::nullopt;
    std::chrono::year_month_day date{std::chrono::year(y), std::chrono::month(mo), std::chrono::day(d)};
    if (!date.ok() || y < 1900) return std::nullopt;
    return ole::Date::FromParts(y, mo, d);
}

// The largest amount the order's columns keep exactly as a double carries it (15 digits, 4 decimals).
const ole::Decimal kAmountLimit = ole::Decimal::FromInt(100000000000);

ole::Decimal Amount(const pugi::xml_node& requisition, const char* path, bool nullAsZero, const std::string& id) {
    std::string text = TrimBlanks(XML_GetNodeTextOrEmpty(requisition, path));
    if (text.empty() && nullAsZero) return ole::Decimal();
    auto value = ole::Decimal::Parse(text);
    if (!value) Fail(err::reqlinkRequisitionError, std::string(path) + " is no amount (\"" + text + "\") in requisition " + id);
    if (value->Round(4) != *value)
        Fail(err::reqlinkRequisitionError,
             std::string(path) + " has more decimals than the amount keeps (at most four) in requisition " + id);
    if (*value >= kAmountLimit || *value <= -kAmountLimit)
        Fail(err::reqlinkRequisitionError, std::string(path) + " is too large (\"" + text + "\") in requisition " + id);
    return *value;
}

AddressPlan PlanAddress(const pugi::xml_node& requisition, const std::string& path, int32_t partnerId,
                        qx::IBusinessPartner& partners, bool postal) {
    AddressPlan plan;
    pugi::xml_node element = requisition.select_node(path.c_str()).node();
    if (!element || !element.first_child()) {
        plan.id = postal ? partners.GetPostalAddressID(partnerId) : partners.GetShippingAddressID(partnerId);
        return plan;
    }
    std::string name1 = XML_GetNodeText(requisition, path + "/NAME1");
    plan.id = partners.GetAddressIdByName(name1, partnerId);
    if (plan.id == -1) plan.element = element;
    return plan;
}

Requisition Read(const pugi::xml_node& r, const BrokerPermissions& permissions, qx::IBusinessPartner& partners,
                 qx::IProduct& products, vendalo::ISalesParameter& parameters, qx::ICurrency& currencies) {
    Requisition q;
    XML_GetNodeText(r, "Requisitioner/CommonName");
    q.partNumber = XML_GetNodeText(r, "SupplierPartNumber");
    q.productId = products.getProductIDFromPartNum(q.partNumber);
    if (q.productId == -1)
        Fail(err::reqlinkInvalidSupplierPartNumber, "Cannot find the productid for BuyingPartNumber: " + q.partNumber);
    q.shopperId = XML_GetNodeText(r, "Requisitioner/ShopperID");
    std::string partner = TrimBlanks(XML_GetNodeText(r, "Requisitioner/BusinessPartnerID"));
    auto partnerId = PositiveWhole(partner);
    if (!partnerId) Fail(err::reqlinkInValidRequisitioner, "BusinessPartnerID is no partner id: \"" + partner + "\"");
    q.partnerId = *partnerId;
    if (!permissions.partners.count(q.partnerId))
        Fail(err::reqlinkInValidRequisitioner, "The broker may not order for business partner " + partner);
    partners.GetBusinessPartner(q.partnerId);  // an unknown partner raises
    // the order of anyone but the partner's own shop users could never be exported
    if (partners.GetBusinessPartnerIdOfUser(q.shopperId) != q.partnerId)
        Fail(err::reqlinkUnknownUser, "ShopperID '" + q.shopperId + "' is no shop user of business partner " + partner);
    q.homeOrganisation = std::stoi(parameters.GetParameterValue("HomeOrganisation"));
    q.id = XML_GetNodeText(r, "Id");
    if (TrimBlanks(q.id).empty()) Fail(err::reqlinkRequisitionError, "Id is empty: a requisition needs its id");
    if (!r.child("Pricing")) Fail(err::reqlinkPricingTagNotFound, "Tag <Pricing> not found for requestion=" + q.id);
    q.currency = TrimBlanks(XML_GetNodeText(r, "Pricing/Currency"));
    currencies.GetCurrencyAsDict(q.currency);  // an unknown currency raises
    q.acknowledgementUrl = TrimBlanks(XML_GetNodeText(r, "AcknowledgementURL"));
    if (!AllowedAcknowledgementUrl(q.acknowledgementUrl, permissions.acknowledgementHosts))
        Fail(err::reqlinkRequisitionError,
             "The acknowledgement URL is not an http(s) URL on the broker's list of hosts: " + q.acknowledgementUrl);
    std::string quantity = TrimBlanks(XML_GetNodeText(r, "Quantity"));
    auto n = PositiveWhole(quantity);
    if (!n) Fail(err::reqlinkRequisitionError, "Quantity must be a positive whole number: \"" + quantity + "\"");
    q.quantity = *n;
    std::string date = TrimBlanks(XML_GetNodeText(r, "DateRequired"));
    auto required = RequiredDate(date);
    if (!required) Fail(err::reqlinkRequisitionError, "DateRequired must be mm/dd/yyyy or yyyy-mm-dd: \"" + date + "\"");
    q.dateRequired = *required;
    q.unit = XML_GetNodeText(r, "Unit");
    q.unitCost = Amount(r, "Pricing/UnitCost", false, q.id);
    if (q.unitCost.Sign() < 0) Fail(err::reqlinkRequisitionError, "Pricing/UnitCost is negative in requisition " + q.id);
    q.discount = Amount(r, "Pricing/DiscountAmount", true, q.id);
    ole::Decimal gross = ole::Decimal::FromInt(q.quantity) * q.unitCost;
    if (gross >= kAmountLimit)
        Fail(err::reqlinkRequisitionError, "Quantity x Pricing/UnitCost is too large in requisition " + q.id);
    if (q.discount.Sign() < 0 || q.discount > gross)
        Fail(err::reqlinkRequisitionError, "Pricing/DiscountAmount must lie between 0 and Quantity x Pricing/UnitCost (" +
                                               gross.ToString() + ") in requisition " + q.id);
    return q;
}

// The addresses the requisition names, looked up once its slot is taken: a
// copy that waited for the slot sees what the holder committed.
void PlanAddresses(const pugi::xml_node& r, Requisition& q, qx::IBusinessPartner& partners) {
    q.billTo = PlanAddress(r, "BillToAddress", q.partnerId, partners, true);
    q.delivery = PlanAddress(r, "DeliveryAddress", q.partnerId, partners, false);
    q.shipFrom = PlanAddress(r, "Supplier/ShipFromAddress", q.homeOrganisation, partners, false);
}

// A requisition is the same requisition when partner, Id and acknowledgement URL are.
const char* const kRequisitionKey = "BUSINESSPARTNERID = ? AND CUSTOMERPONR = ? AND ACKNOWLEDGEMENTURL = ?";

std::vector<Variant> RequisitionKey(const Requisition& q) {
    return {Variant(q.partnerId), Variant(q.id), Variant(q.acknowledgementUrl)};
}

std::optional<std::string> ExistingOrder(const Requisition& q, const ado::ConnectionPtr& c) {
    auto rs = c->Execute(kExistingRequisitionOrderStatement, nullptr, -1, RequisitionKey(q));
    if (rs->Eof()) return std::nullopt;
    return rs->Fields(0).Value().Text();
}

// How long a requisition waits for a slot another version of the intake
// holds across its transactions, and when such a slot counts as left behind
// by a crash. The slots this intake takes live only inside its transaction.
constexpr auto kSlotWait = std::chrono::seconds(20);
constexpr auto kSlotPoll = std::chrono::milliseconds(20);
constexpr double kAbandonedSlotDays = 5.0 / (24 * 60);  // 5 minutes

void ReleaseSlot(const Requisition& q, const std::string& token, ado::Connection& c) {
    auto params = RequisitionKey(q);
    params.push_back(Variant(token));
    c.Execute(std::string("DELETE FROM REQUISITIONINTAKE WHERE ") + kRequisitionKey + " AND CLAIMTOKEN = ?", nullptr, -1,
              params);
}

void InsertSlot(const Requisition& q, const std::string& token, ado::Connection& c) {
    auto params = RequisitionKey(q);
    params.push_back(Variant(token));
    params.push_back(Variant(ole::Date::Now()));
    c.Execute("INSERT INTO REQUISITIONINTAKE (BUSINESSPARTNERID, CUSTOMERPONR, ACKNOWLEDGEMENTURL, CLAIMTOKEN, "
              "CLAIMED) VALUES (?, ?, ?, ?, ?)",
              nullptr, -1, params);
}

// Begins the requisition's transaction on `c` and takes the requisition's slot
// in it, before anything is created: a copy of the requisition sent at the
// same time waits there (on PostgreSQL at the slot's key, on SQLite at the
// write lock) until this one commits or rolls back, so copies make one order
// and one set of addresses. Returns the order a copy made (`tx` is then to be
// rolled back), or nothing once the slot is taken in `tx` under `token`.
std::optional<std::string> TakeSlot(const Requisition& q, const std::string& token, const ado::ConnectionPtr& c,
                                    std::optional<ado::Transaction>& tx) {
    auto deadline = std::chrono::steady_clock::now() + kSlotWait;
    int unexplained = 0;
    for (;;) {
        tx.emplace(*c);
        std::exception_ptr refused;
        try {
            InsertSlot(q, token, *c);
        } catch (...) {
            refused = std::current_exception();
        }
        // a copy may have stored its order before the slot was free
        if (!refused) return ExistingOrder(q, c);
        tx.reset();
        auto held = Sls_GetDisconnectedRecordset(
            std::string("SELECT CLAIMTOKEN, CLAIMED FROM REQUISITIONINTAKE WHERE ") + kRequisitionKey,
            Sls_ConnectionString(), RequisitionKey(q));
        if (held->Eof()) {
            // the holder has left since, unless the insert keeps failing for a reason of its own
            if (++unexplained == 3) std::rethrow_exception(refused);
            continue;
        }
        unexplained = 0;
        if (held->Fields(1).Value().ToDate().serial < ole::Date::Now().serial - kAbandonedSlotDays) {
            ReleaseSlot(q, held->Fields(0).Value().Text(), *c);  // left by a holder that never finished
            continue;
        }
        if (std::chrono::steady_clock::now() > deadline)
            Fail(err::reqlinkRequisitionError,
                 "Requisition " + q.id + " is being turned into an order by another request; send it again later");
        std::this_thread::sleep_for(kSlotPoll);
    }
}

int32_t MakeAddress(const AddressPlan& plan, int32_t partnerId, ado::Connection& c, int32_t number, const char* what) {
    if (plan.id != -1) return plan.id;
    try {
        return qx::InsertAddress(c, *XML_AddressToDictionary(plan.element), partnerId);
    } catch (const ole::AutomationError&) {
        Fail(number, std::string("Failure creating ") + what + " for BPID=" + std::to_string(partnerId));
    }
}

// The basket's header as the requisition asks: shopper, partner, currency,
// the addresses made for it, and its Id as name and purchase order number.
void FillHeader(ado::Recordset& header, const Requisition& q, int32_t billTo, int32_t shipFrom,
                qx::IBusinessPartner& partners, qx::ICurrency& currencies, qx::ILocale& locale) {
    header.Fields("CURRENCYCODE") = q.currency;
    header.Fields("BUSINESSPARTNERID") = q.partnerId;
    header.Fields("CARRIERCODE") = partners.GetCustomerCarrier(q.partnerId);
    header.Fields("SHIPPINGADDRESSID") = shipFrom;
    header.Fields("USERID") = q.shopperId;
    header.Fields("BILLINGADDRESSID") = billTo;
    header.Fields("BASKETNAME") = q.id;
    header.Fields("BASKETDATE") = ole::Date::Today();
    header.Fields("BASKETTEXT") = std::string();
    header.Fields("DISCOUNTPERC") = 0;
    header.Fields("CUSTOMERPONUMBER") = q.id;
    header.Fields("ACKNOWLEDGEMENTURL") = q.acknowledgementUrl;
    for (const char* empty : {"CUSTOMERCODE", "CUSTOMERNAME", "FREIGHTTAXCODE", "FREIGHTTAXCODEDESCRIPTION"})
        header.Fields(empty) = std::string();
    auto currency = currencies.GetCurrencyAsDict(q.currency);
    header.Fields("CURRENCYDECIMALS") = currency->Item("DECIMALS");
    header.Fields("CURRENCYSYMBOL") = currency->Item("EURO").ToBool()
                                          ? locale.GetEuroSymbol()
                                          : locale.GetCurrencySymbol(currency->Item("LOCALEID").ToLong());
    currencies.Release();
}

// The basket's one line at the requisition's price and discount, delivered to
// the address made for it; its amount is the basket's total.
void FillLine(ado::Recordset& lines, ado::Recordset& header, const Requisition& q, int32_t delivery) {
    ole::Decimal amount = ole::Decimal::FromInt(q.quantity) * q.unitCost - q.discount;
    lines.Fields("PARTNUMBER") = q.partNumber;
    lines.Fields("PRODUCTUNITCODE") = q.unit;
    lines.Fields("ADDRESSID") = delivery;
    lines.Fields("PRODUCTPRICE") = q.unitCost.ToVariant();
    lines.Fields("DISCOUNTPERC") = 0;
    lines.Fields("DISCOUNTAMOUNT") = q.discount.ToVariant();
    lines.Fields("LINEAMOUNT") = amount.ToVariant();
    header.Fields("SUBTOTAL") = amount.ToVariant();
    header.Fields("TOTAL") = amount.ToVariant();
}

// The whole requisition is one transaction: its slot, addresses, basket and
// order are committed together, and a requisition that fails at any step
// rolls all of them back.
RequisitionOutcome ProcessOneRequisition(const pugi::xml_node& r, const BrokerPermissions& permissions) {
    RequisitionOutcome outcome;
    outcome.requisitionId = XML_GetNodeTextOrEmpty(r, "Id");
    bool submitting = false;
    Requisition q;
    try {
        auto products = Sls_GetComponent<qx::IProduct>("QxCatalog.Product");
        auto partners = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
        auto orders = Sls_GetComponent<vendalo::IOrder>("Vendalo.Order");
        auto parameters = Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter");
        auto baskets = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
        auto currencies = Sls_GetComponent<qx::ICurrency>("QxCommon.Currency");
        auto locale = Sls_GetComponent<qx::ILocale>("QxCommon.Locale");

        q = Read(r, permissions, *partners, *products, *parameters, *currencies);
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        std::optional<ado::Transaction> tx;  // after `c`: it rolls back before the connection goes
        std::string token = Sls_CreateGUID();
        // brokers retry: a requisition sent before answers with the order it made
        if (auto existing = TakeSlot(q, token, c, tx)) {
            outcome.orderId = *existing;
            outcome.existing = true;
            return outcome;
        }
        PlanAddresses(r, q, *partners);

        int32_t billTo =
            MakeAddress(q.billTo, q.partnerId, *c, err::reqlinkCreateBillingAddressFailure, "billingaddress");
        int32_t delivery =
            MakeAddress(q.delivery, q.partnerId, *c, err::reqlinkCreateDeliveryAddressFailure, "deliveryaddress");
        int32_t shipFrom =
            MakeAddress(q.shipFrom, q.homeOrganisation, *c, err::reqlinkCreateShippingAddressFailure, "shippingaddress");

        auto basket = baskets->CreateIn(c, q.shopperId, q.partnerId);
        auto header = RecordsetOf(*basket, "header");
        header->MoveFirst();
        std::string basketId = header->Fields("BASKETID").Value().Text();
        FillHeader(*header, q, billTo, shipFrom, *partners, *currencies, *locale);
        Variant basketValue(basket);
        baskets->AddLineIn(c, basketValue, q.productId, q.quantity, q.dateRequired, false, "");
        auto lines = RecordsetOf(*basket, "lines");
        lines->MoveLast();
        FillLine(*lines, *header, q, delivery);

        submitting = true;
        orders->SubmitBasketIn(c, basketValue);
        ReleaseSlot(q, token, *c);  // the order answers for the requisition from now on
        tx->Commit();
        outcome.orderId = basketId;
        return outcome;
    } catch (...) {
        ole::SlsErrorInfo failure = ole::CurrentError();
        // a concurrent retry of the same requisition won the race: its order is the answer
        if (submitting) {
            try {
                if (auto existing = ExistingOrder(q, Sls_GetOpenConnection(Sls_ConnectionString()))) {
                    outcome.orderId = *existing;
                    outcome.existing = true;
                    return outcome;
                }
            } catch (...) {
            }
        }
        try {
            Sls_RaiseError("Ordexa.Reqlink.ProcessOneRequisition()",
                           outcome.requisitionId.empty() ? SlsInfo() : SlsInfo("RequisitionID=" + outcome.requisitionId));
        } catch (const ole::AutomationError& e) {
            outcome.error = e.Info();
        } catch (...) {
            outcome.error = failure;
        }
        return outcome;
    }
}

}  // namespace

std::vector<RequisitionOutcome> ProcessRequisitionDocument(const std::string& xml, const BrokerPermissions& permissions) {
    try {
        qx::XmlDocument doc;
        // a document type could name outside entities: refused before the parser sees it
        if (xml.find("<!DOCTYPE") != std::string::npos)
            Fail(err::reqlinkXMLDomFailure, "XMLDom parser failure: a document type declaration is not allowed");
        if (!doc.LoadXml(xml)) Fail(err::reqlinkXMLDomFailure, "XMLDom parser failure: " + doc.Reason());
        if (doc.Text().find("<!DOCTYPE") != std::string::npos)  // one in another encoding than UTF-8
            Fail(err::reqlinkXMLDomFailure, "XMLDom parser failure: a document type declaration is not allowed");
        auto requisitions = doc.doc.select_nodes("BizTalk/Body/RequisitionList/Requisition");
        if (requisitions.empty())
            Fail(err::reqlinkNoRequisitionsFound, "No BizTalk compliant requisitions found in xml stream");
        std::vector<RequisitionOutcome> outcomes;
        for (const auto& r : requisitions) outcomes.push_back(ProcessOneRequisition(r.node(), permissions));
        return outcomes;
    } catch (...) {
        Sls_RaiseError("Ordexa.Reqlink.ProcessRequisition()");
    }
}

}  // namespace ordexa
