#include "ordexa/reqlink/reqlink.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/exchange/exchange_record.h"
#include "interfaces/vendalo/sales_parameter.h"
#include "ordexa/exchange/lib_sales_xml.h"
#include "ordexa/outside_calls.h"
#include "ordexa/reqlink/form_post.h"
#include "ordexa/reqlink/requisition_intake.h"
#include "platform/automation/component.h"
#include "platform/automation/decimal.h"
#include "platform/masterdata/business_partner.h"
#include "platform/masterdata/product_catalog.h"
#include "platform/data/transaction.h"
#include "platform/net/http_post.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

const char* kOrderRequestNamespace = "urn:schemas-biztalk-org:vorn-com/OrderRequest";
const char* kAcknowledgementNamespace = "urn:schemas-biztalk-org:vorn-com/Acknowledgement";
constexpr size_t kIdsPerUpdate = 500;            // bound parameters per status update

// A date as the broker's documents write it: "mm/dd/yyyy" or, day first, "dd/mm/yyyy".
std::string FormatDate(ole::Date date, bool monthFirst) {
    auto [y, m, d, h, mi, s, ms] = date.ToCalendar();
    char text[16];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d", monthFirst ? m : d, monthFirst ? d : m, y);
    return text;
}

// CUSTOMERPONR and the quantity of the first line (the lowest LINENR), or nothing.
struct AcknowledgedOrder {
    std::string requisitionId, url;
    int32_t quantity = 0;
};
std::optional<AcknowledgedOrder> ReadAcknowledgedOrder(const ado::ConnectionPtr& c, const std::string& orderId) {
    auto rs = c->Execute(
        "SELECT a.CUSTOMERPONR, b.QUANTITY, a.ACKNOWLEDGEMENTURL FROM ORDERHEADER a, ORDERLINE b "
        "WHERE a.ORDERID = ? AND a.ORDERID = b.ORDERID ORDER BY b.LINENR",
        nullptr, -1, {Variant(orderId)});
    if (rs->Eof()) return std::nullopt;
    AcknowledgedOrder o;
    o.requisitionId = rs->Fields(0).Value().Text();
    o.quantity = rs->Fields(1).Value().IsNull() ? 0 : static_cast<int32_t>(rs->Fields(1).Value().ToDouble());
    o.url = rs->Fields(2).Value().Text();
    return o;
}

// What went wrong first, without the frames of the methods it passed through.
std::string FirstReason() {
    ole::SlsErrorInfo e = ole::CurrentError();
    return e.Reason.empty() ? e.Description : e.Reason;
}

void AddAcknowledgement(qx::XmlDocument& doc, pugi::xml_node parent, const AcknowledgedOrder& o,
                        const std::string& date, const std::string& url) {
    XML_NewNode(doc, parent, "Id", Variant(o.requisitionId));
    XML_NewNode(doc, parent, "AcknowledgedQuantity", Variant(o.quantity));
    XML_NewNode(doc, parent, "AcknowledgedDate", Variant(date));
    XML_NewNode(doc, parent, "Url", Variant(url));
}

class Reqlink : public IReqlink {
public:
    void Run() override {
        try {
            AcknowledgeReqlinkOrders();
        } catch (...) {
            Sls_LogError("Reqlink.Run", "Failed to acknowledge reqlink-orders");
        }
    }

    // The lists go side by side (OutsideCallsAtOnce), each on its own thread and
    // connection; a host that does not answer is skipped by the lists after it
    // and by the batches of its back-off; the stage ends within three post
    // time-outs however many URLs wait (a list not begun by then waits for the
    // next batch).
    int32_t AcknowledgeReqlinkOrders() override {
        ado::ConnectionPtr connection;
        try {
            auto parameters = Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter");
            std::string shopPage = parameters->GetParameterValue("SubmittedOrderListPage");
            auto hosts = BrokerPermissionsOfInstallation().acknowledgementHosts;
            OutsideCallSettings settings = OutsideCallSettingsOfInstallation();
            connection = Sls_GetOpenConnection(Sls_ConnectionString());
            auto rs = connection->Execute(
                "SELECT ORDERID, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERSTATUS = ? AND ACKNOWLEDGEMENTURL "
                "IS NOT NULL AND ACKNOWLEDGEMENTURL <> '' ORDER BY ACKNOWLEDGEMENTURL, ORDERID",
                nullptr, -1, {StatusValue(vendalo::OrderStatus::ReqlinkToBeAcknowledged)});
            std::map<std::string, std::vector<std::string>> groups;  // URL -> order ids, in URL order
            for (; !rs->Eof(); rs->MoveNext())
                groups[rs->Fields(1).Value().Text()].push_back(rs->Fields(0).Value().Text());
            rs.reset();
            Sls_CloseConnection(connection);

            HostBackoff backoff(settings.backoffMinutes);
            const std::chrono::milliseconds timeOut = std::chrono::seconds(settings.acknowledgementTimeout);
            const auto deadline = std::chrono::steady_clock::now() + 3 * timeOut;
            std::atomic<int32_t> count{0}, failed{0}, late{0};
            std::vector<std::function<void()>> jobs;
            for (const auto& [url, orderIds] : groups)
                jobs.push_back([&, &url = url, &orderIds = orderIds] {
                    std::string host = net::HostOfUrl(url);
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                    if (backoff.Skipped(host)) return;  // logged once, when its back-off began
                    if (left < std::chrono::seconds(1)) {
                        ++late;
                        return;
                    }
                    bool answered = true, opened = false;
                    ExchangeRecord post;
                    post.kind = exchange_kind::kBrokerPost;
                    post.reference = host;
                    post.detail = "acknowledgement list";
                    post.orderIds = orderIds;
                    auto started = std::chrono::steady_clock::now();
                    auto took = [&] {
                        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                     started).count();
                    };
                    // one URL that fails does not keep the others from being acknowledged
                    try {
                        if (!AllowedAcknowledgementUrl(url, hosts))
                            ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure,
                                       "The acknowledgement URL is not on the broker's list of hosts: " + url);
                        AcknowledgementList list = BuildAcknowledgementList(orderIds, shopPage);
                        if (list.orderIds.empty()) return;
                        post.orderIds = list.orderIds;
                        OpenBrokerPost(post);
                        opened = true;
                        started = std::chrono::steady_clock::now();
                        FormPostAnswer answer;
                        try {
                            InetHttpFormPost(list.document, "XMLINPUT", url, std::min(timeOut, left), answer);
                        } catch (...) {
                            answered = answer.answered;
                            if (answer.httpStatus != 0) post.httpStatus = answer.httpStatus;
                            throw;
                        }
                        post.httpStatus = answer.httpStatus;
                        post.outcome = "acknowledged";
                        post.durationMs = took();
                        count += UpdateOrderHeaderStatus(post.orderIds, vendalo::OrderStatus::ReqlinkAcknowledged, false, post);
                    } catch (...) {
                        ++failed;
                        post.outcome = answered ? "refused" : "no answer";
                        post.durationMs = took();
                        post.detail = "acknowledgement list: " + FirstReason();
                        if (opened) CompleteExchangeApart(post);
                        else RecordExchangesApart({post});
                        if (!answered) backoff.Failed(host, FirstReason());
                        Sls_LogError("Ordexa.Reqlink.AcknowledgeReqlinkOrders",
                                     std::to_string(orderIds.size()) + " order(s) of " + url +
                                         " stay waiting for acknowledgement");
                    }
                });
            RunAtOnce(static_cast<size_t>(settings.atOnce), jobs);
            if (late > 0)
                Sls_LogWarning("Ordexa.Reqlink.AcknowledgeReqlinkOrders",
                               std::to_string(late.load()) + " acknowledgement list(s) were not begun within the "
                               "stage's time (three times " + kAcknowledgementTimeout + "); they go with the next batch");
            if (failed > 0)
                ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure,
                           std::to_string(failed.load()) + " of " + std::to_string(groups.size()) +
                               " acknowledgement posts failed; " + std::to_string(count.load()) + " order(s) acknowledged");
            return count;
        } catch (...) {
            Sls_RaiseError("Ordexa.Reqlink.AcknowledgeReqlinkOrders");
        }
    }

    std::vector<RequisitionOutcome> ProcessRequisition(const std::string& iXmlString,
                                                       const BrokerPermissions& permissions) override {
        return ProcessRequisitionDocument(iXmlString, permissions);
    }

    void SendOrderRequest(const Variant& iBasket, const qx::MembershipUserPtr& iUserObject,
                          int32_t iSecondsTimeOut) override {
        try {
            auto basket = iBasket.As<ole::Dictionary>();
            if (!basket || !iUserObject) ole::Raise(ole::err::ObjectRequired);
            auto header = RecordsetOf(*basket, "header");
            auto lines = RecordsetOf(*basket, "lines");
            header->MoveFirst();
            auto h = [&](const char* name) { return header->Fields(name).Value(); };
            auto partners = Sls_GetComponent<qx::IBusinessPartner>("QxCommon.BusinessPartner");
            auto products = Sls_GetComponent<qx::IProduct>("QxCatalog.Product");
            auto parameters = Sls_GetComponent<vendalo::ISalesParameter>("Vendalo.SalesParameter");
            std::string url = partners->GetOrderRequestUrl(h("BUSINESSPARTNERID").ToLong());

            qx::XmlDocument doc;
            pugi::xml_node root = XML_BizTalk081Message(doc, "OrderRequest", kOrderRequestNamespace);
            pugi::xml_node requisitioner = XML_NewNode(doc, root, "Requisitioner");
            XML_NewNode(doc, requisitioner, "GivenName", Variant(iUserObject->FirstName() + " " + iUserObject->LastName()));
            XML_NewNode(doc, requisitioner, "CommonName", Variant(iUserObject->CommonName()));
            XML_NewNode(doc, requisitioner, "BusinessPartnerID", h("BUSINESSPARTNERID"));
            XML_NewNode(doc, requisitioner, "ShopperID", h("USERID"));
            XML_NewNode(doc, root, "Currency", h("CURRENCYCODE"));
            if (!(lines->Bof() && lines->Eof())) {
                std::string supplier;
                bool supplierRead = false;
                for (lines->MoveFirst(); !lines->Eof(); lines->MoveNext()) {
                    auto l = [&](const char* name) { return lines->Fields(name).Value(); };
                    auto product = products->GetProduct(l("SKU").ToLong());
                    auto p = [&](const char* key) { return product->Exists(key) ? product->Item(key) : ole::Null; };
                    if (!supplierRead) {
                        supplier = partners->GetBusinessPartnerName(
                            static_cast<int32_t>(std::stol(parameters->GetParameterValue("HomeOrganisation"))));
                        supplierRead = true;
                    }
                    pugi::xml_node line = XML_NewNode(doc, root, "OrderRequestLine");
                    XML_NewNode(doc, line, "Commodity", p("COMMODITYCODE"));
                    if (!p("CONTRACTCODE").IsNull()) {
                        pugi::xml_node contract = XML_NewNode(doc, line, "Contract");
                        XML_NewNode(doc, contract, "ContractCode", p("CONTRACTCODE"));
                        XML_NewNode(doc, contract, "ContractLine", p("NUMBER"));
                    }
                    XML_NewNode(doc, line, "ItemDescription", p("PRODUCTDESCRIPTION"));
                    XML_NewNode(doc, line, "Quantity", l("QUANTITY"));
                    XML_NewNode(doc, line, "Unit", p("UNITCODE"));
                    XML_NewNode(doc, line, "SupplierID", Variant(supplier));
                    XML_NewNode(doc, line, "SupplierPartnumber", p("PARTNUMBER"));
                    Variant requested = l("REQUESTDATE");
                    XML_NewNode(doc, line, "DateRequired",
                                requested.IsNull() || requested.IsEmpty() ? ole::Null
                                                                          : Variant(FormatDate(requested.ToDate(), true)));
                    pugi::xml_node pricing = XML_NewNode(doc, line, "Pricing");
                    XML_NewNode(doc, pricing, "UnitCost", l("PRODUCTPRICE"));
                    XML_NewNode(doc, pricing, "DiscountPercentage", Variant(static_cast<int16_t>(0)));
                    ole::Decimal discount = ole::Decimal::FromVariant(l("ORDERDISCOUNTAMOUNT"), true) +
                                            ole::Decimal::FromVariant(l("DISCOUNTAMOUNT"), true);
                    XML_NewNode(doc, pricing, "DiscountAmount", Variant(discount.ToString()));
                    XML_NewNode(doc, pricing, "TaxPercentage", l("TAXPERCENTAGE"));
                }
            }
            InetHttpFormPost(doc.Xml(), "XMLINPUT", url, iSecondsTimeOut);
        } catch (...) {
            Sls_RaiseError("Ordexa.Reqlink.SendOrderRequest()");
        }
    }

    ExchangeRecord SendAcknowledgement(const std::string& orderId, const std::string& url,
                                       int32_t secondsTimeOut) override {
        ado::ConnectionPtr connection;
        ExchangeRecord post;
        bool opened = false;
        try {
            connection = Sls_GetOpenConnection(Sls_ConnectionString());
            auto order = ReadAcknowledgedOrder(connection, orderId);
            Sls_CloseConnection(connection);
            if (!order) ole::Raise(reqlink_err::reqlinkOrderNotFound, "Cannot find order: " + orderId);
            if (!AllowedAcknowledgementUrl(order->url, BrokerPermissionsOfInstallation().acknowledgementHosts))
                ole::Raise(reqlink_err::reqlinkInetHttpFormPostFailure,
                           "The acknowledgement URL is not on the broker's list of hosts: " + order->url);
            qx::XmlDocument doc;
            pugi::xml_node root = XML_BizTalk081Message(doc, "Acknowledgement", kAcknowledgementNamespace);
            AddAcknowledgement(doc, root, *order, FormatDate(ole::Date::Today(), false), url);
            post.kind = exchange_kind::kBrokerPost;
            post.reference = net::HostOfUrl(order->url);
            post.detail = "acknowledgement";
            post.orderIds = {orderId};
            OpenBrokerPost(post);
            opened = true;
            auto started = std::chrono::steady_clock::now();
            FormPostAnswer answer;
            try {
                InetHttpFormPost(doc.Xml(), "XMLINPUT", order->url,
                                 std::chrono::seconds(std::max<int32_t>(1, secondsTimeOut)), answer);
            } catch (...) {
                post.outcome = answer.answered ? "refused" : "no answer";
                if (answer.httpStatus != 0) post.httpStatus = answer.httpStatus;
                post.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started).count();
                post.detail = "acknowledgement: " + FirstReason();
                throw;
            }
            post.outcome = "acknowledged";
            post.httpStatus = answer.httpStatus;
            post.durationMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
            return post;
        } catch (...) {
            if (opened) CompleteExchangeApart(post);
            Sls_RaiseError("Ordexa.Reqlink.SendAcknowledgement()");
        }
    }

private:
    // An acknowledgement list and the ids of the orders it holds.
    struct AcknowledgementList {
        std::string document;
        std::vector<std::string> orderIds;
    };

    // The list for the orders; an order that cannot be found is logged and left
    // out, and so stays waiting.
    AcknowledgementList BuildAcknowledgementList(const std::vector<std::string>& orderIds, const std::string& shopPage) {
        ado::ConnectionPtr connection;
        try {
            qx::XmlDocument doc;
            pugi::xml_node root = XML_BizTalk081Message(doc, "AcknowledgementList", kAcknowledgementNamespace);
            std::string today = FormatDate(ole::Date::Today(), true);
            AcknowledgementList list;
            connection = Sls_GetOpenConnection(Sls_ConnectionString());
            for (const std::string& id : orderIds) {
                auto order = ReadAcknowledgedOrder(connection, id);
                if (!order) {
                    try {
                        ole::Raise(reqlink_err::reqlinkOrderNotFound, "Cannot find order: " + id);
                    } catch (...) {
                        Sls_LogError("Ordexa.Reqlink.SendAcknowledgementList()", "Cannot find order: " + id);
                    }
                    continue;
                }
                AddAcknowledgement(doc, XML_NewNode(doc, root, "Acknowledgement"), *order, today,
                                   shopPage + "?order_id=" + id);
                list.orderIds.push_back(id);
            }
            Sls_CloseConnection(connection);
            list.document = doc.Xml();
            return list;
        } catch (...) {
            Sls_RaiseError("Ordexa.Reqlink.SendAcknowledgementList()");
        }
    }

    // Puts a post on record ("sent", its attempt counted) before it goes: a
    // process that stops during the post leaves a row of unknown outcome, never none.
    static void OpenBrokerPost(ExchangeRecord& post) {
        post.id = Sls_CreateGUID();
        post.outcome = kSentOutcome;
        auto connection = Sls_GetOpenConnection(Sls_ConnectionString());
        ado::Transaction tx(*connection);
        post.attempt = NextAttempt(connection, exchange_kind::kBrokerPost, post.orderIds);
        connection->ExecuteBatch(ExchangeStatements({post}));
        tx.Commit();
    }

    // Sets the status of orders still waiting for acknowledgement (ReqlinkToBeAcknowledged); the number changed.
    // The post behind the change (on record as "sent") is completed with the first statement.
    static int32_t UpdateOrderHeaderStatus(const std::vector<std::string>& orderIds, vendalo::OrderStatus status,
                                           bool raise, const ExchangeRecord& post) {
        ado::ConnectionPtr connection;
        try {
            int32_t changed = 0;
            connection = Sls_GetOpenConnection(Sls_ConnectionString());
            for (size_t start = 0; start < orderIds.size(); start += kIdsPerUpdate) {
                size_t end = std::min(orderIds.size(), start + kIdsPerUpdate);
                std::string sql = "UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE " +
                                  StatusGuard(vendalo::OrderStatus::ReqlinkToBeAcknowledged) + " AND ORDERID IN (";
                std::vector<Variant> params{StatusValue(status)};
                for (size_t i = start; i < end; ++i) {
                    sql += i == start ? "?" : ", ?";
                    params.emplace_back(orderIds[i]);
                }
                std::vector<OrderEvent> events;
                for (size_t i = start; i < end; ++i)
                    events.push_back({orderIds[i], std::nullopt,
                                      static_cast<int32_t>(vendalo::OrderStatus::ReqlinkToBeAcknowledged),
                                      static_cast<int32_t>(status), "acknowledged", "", "acknowledgement post",
                                      vendalo::StatusName(status)});
                std::vector<ado::BatchStatement> statements{{sql + ")", params}};
                if (start == 0) statements.push_back(CompleteExchangeStatement(post));
                auto results = Sls_ExecuteWithOrderEvents(connection, statements, events);
                changed += std::max(results.front().affected, 0);
            }
            return changed;
        } catch (...) {
            std::string info = "Failed to update orderstatus for orderid=" + (orderIds.empty() ? "" : orderIds.front());
            // the broker has the list all the same
            ExchangeRecord answered = post;
            answered.detail += "; the orders' statuses could not be set";
            CompleteExchangeApart(answered);
            if (raise) Sls_RaiseError("Ordexa.Reqlink.UpdateOrderHeaderStatus()", info);
            Sls_LogError("Ordexa.Reqlink.UpdateOrderHeaderStatus()", info);
            return 0;
        }
    }
};

}  // namespace

void RegisterReqlink() { ole::RegisterClass<Reqlink>("Ordexa.Reqlink"); }

}  // namespace ordexa
