#include "ordexa/exchange/export_selection.h"

#include <utility>

#include "interfaces/vendalo/order_status.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace {

using ole::Variant;

const char* const kDrop = "DROP TABLE IF EXISTS EXPORTSELECTION";
const char* const kCreate = "CREATE TEMPORARY TABLE EXPORTSELECTION (SEQ INTEGER PRIMARY KEY, ORDERID VARCHAR(32) NOT NULL)";
// The position of each order is its rank in the order the run takes them.
const char* const kNote =
    "INSERT INTO EXPORTSELECTION (SEQ, ORDERID) "
    "SELECT ROW_NUMBER() OVER (ORDER BY BUSINESSPARTNERID, ORDERDATE, ORDERID), ORDERID FROM ORDERHEADER "
    "WHERE ORDERSTATUS = ? AND (BISID = ? OR BISID IS NULL)";
const char* const kPage = "SELECT ORDERID FROM EXPORTSELECTION WHERE SEQ > ? ORDER BY SEQ LIMIT ?";

}  // namespace

ExportSelection::ExportSelection(std::string connectionString, size_t pageSize)
    : connectionString_(std::move(connectionString)), pageSize_(pageSize == 0 ? 1 : pageSize) {}

ExportSelection::~ExportSelection() {
    if (!connection_) return;
    try {
        connection_->Execute(kDrop);
        connection_->Close();
    } catch (...) {
        Sls_CloseConnection(connection_);  // the next selection drops what this one left
    }
}

int32_t ExportSelection::Select(int32_t bisid) {
    if (!connection_) connection_ = Sls_GetOpenConnection(connectionString_);
    connection_->Execute(kDrop);
    connection_->Execute(kCreate);
    int32_t noted = 0;
    connection_->Execute(kNote, &noted, ado::adCmdText,
                         {StatusValue(vendalo::OrderStatus::ToBeProcessed), Variant(bisid)});
    read_ = 0;
    return noted;
}

std::vector<std::string> ExportSelection::NextPage() {
    std::vector<std::string> ids;
    if (!connection_) return ids;
    auto rows = connection_->Execute(kPage, nullptr, ado::adCmdText,
                                     {Variant(read_), Variant(static_cast<int32_t>(pageSize_))});
    ids.reserve(pageSize_);
    for (; !rows->Eof(); rows->MoveNext()) ids.push_back(rows->Fields(0).Value().ToString());
    read_ += static_cast<int32_t>(ids.size());
    return ids;
}

}  // namespace ordexa
