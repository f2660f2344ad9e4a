// Vendalo.Reporting: the read-only views that no business call offers, for the
// hosts: the order list of the shop API and `backoffice orders`, the counts and
// latest entries of the operator page, and the metrics. It never writes, holds
// nothing between calls, and answers with disconnected recordsets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/vendalo/order_status.h"
#include "platform/automation/dictionary.h"
#include "platform/automation/variant.h"
#include "platform/data/ado.h"

namespace vendalo {

// What the operators' order search asks for; members left empty do not filter.
struct OrderSearch {
    // an order id by its beginning, a sales order number, a PO number, a
    // partner's id or a part of its name
    std::string text;
    std::vector<int32_t> statuses;  // any of them
    std::optional<int32_t> instance, partner;
    std::optional<ole::Date> from, to;  // order dates, both days included
    std::string after;                  // the last ORDERID of the previous page; "" the first page
    int32_t limit = 50;
};

class IReporting : public ole::Object {
public:
    // A page of at most `limit` orders, newest first (ORDERDATE, then ORDERID,
    // descending), with ORDERID, BUSINESSPARTNERID, USERID, BISID, ORDERSTATUS,
    // SALESORDERNR, ORDERDATE, ORDERLISTNAME, CURRENCYCODE and TOTAL. partner and
    // status filter when they are not Null; `after` is the ORDERID of the last
    // row of the previous page ("" for the first page), so a page never repeats
    // or skips an order when new ones arrive.
    virtual ado::RecordsetPtr ListOrders(const ole::Variant& partner, const ole::Variant& status, int32_t limit,
                                         const std::string& after) = 0;
    // A page of the orders the search finds, newest first (ORDERDATE, then
    // ORDERID, descending), with ORDERID, ORDERSTATUS, BUSINESSPARTNERID,
    // PARTNERNAME, BISID, SALESORDERNR, CUSTOMERPONR, ORDERDATE, CURRENCYCODE
    // and TOTAL. Raises InvalidProcedureCall when `after` names no order.
    virtual ado::RecordsetPtr SearchOrders(const OrderSearch& search) = 0;
    // One order as the operators see it, or nullptr when there is none:
    // "header" (the columns of SearchOrders), "addresses" (ROLE "billing" or
    // "shipping", ADDRESSID and the snapshot's fields), "lines" (by LINENR),
    // "payments" (KIND "authorisation", "capture" or "refund", REQUESTTIME in
    // local time, AMOUNT, CURRENCY, CARD as the log keeps it, REQUESTID,
    // CLIENTREQUESTID, ICSRCODE; in the order they were logged) and "events"
    // (ORDEREVENT by SEQ).
    virtual ole::DictionaryPtr OrderDetail(const std::string& orderId) = 0;
    // ORDERSTATUS and ORDERS: how many orders each status that has any holds, by status.
    virtual ado::RecordsetPtr OrderCountsByStatus() = 0;
    // The latest batch runs (table BATCHRUN), newest first.
    virtual ado::RecordsetPtr LatestBatchRuns(int32_t limit) = 0;
    // BATCHES and FAILED: how many batch runs were recorded, and how many of them failed.
    virtual ado::RecordsetPtr BatchTotals() = 0;
    // The ORDERDATE of the oldest order of every status 0 to 8, by status; Null
    // for a status without orders (one index probe per status).
    virtual std::vector<ole::Variant> OldestOrderDates() = 0;
    // BISID, COUNTNAME and TOTAL: what the batches did per back-end instance (table BATCHTOTAL).
    virtual ado::RecordsetPtr BatchInstanceTotals() = 0;
    // The last `count` entries of the installation's log, oldest first, each as written.
    virtual std::vector<std::string> LatestLogEntries(int32_t count) = 0;
};

}  // namespace vendalo
