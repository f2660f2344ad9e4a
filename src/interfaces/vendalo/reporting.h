// Vendalo.Reporting: the read-only views that no business call offers, for the
// hosts: the order list of the shop API and `backoffice orders`, the counts and
// latest entries of the operator page, and the metrics. It never writes, holds
// nothing between calls, and answers with disconnected recordsets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "interfaces/vendalo/order_status.h"
#include "platform/automation/variant.h"
#include "platform/data/ado.h"

namespace vendalo {

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
