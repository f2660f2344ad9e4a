#include "ordexa/exchange/export_order_reader.h"

#include <utility>

#include "shared/lib_sales.h"

namespace ordexa {
namespace {

using ole::Variant;

// The header with the country of its delivery address snapshot, when there is one.
const char* const kHeader =
    "SELECT o.ORDERID, o.BUSINESSPARTNERID, o.USERID, o.SHIPPINGADDRESSID, o.BILLINGADDRESSID, o.CUSTOMERCODE, "
    "o.ORDERLISTNAME, o.CUSTOMERPONR, o.ORDERDATE, o.CARRIERCODE, o.CURRENCYCODE, o.DISCOUNTPERC, o.HEADERTEXT, "
    "o.FREIGHTTOTAL, o.WEBPAYMENTMETHOD, a.ADDRESSID AS DELIVERYSNAPSHOT, a.COUNTRYCODE AS COUNTRYCODE "
    "FROM ORDERHEADER o LEFT JOIN ADDRESSHISTORY a ON a.ORDERID = o.ORDERID AND a.ADDRESSID = o.SHIPPINGADDRESSID "
    "WHERE o.ORDERID = ?";
const char* const kLines =
    "SELECT ORDERID, LINENR, PARTNUMBER, QUANTITY, UNITCODE, REQUESTDATE, PRICE, DISCOUNTAMOUNT, ADDRESSID, LINETEXT, "
    "CONFIGID FROM ORDERLINE WHERE ORDERID = ? ORDER BY LINENR";
// The order's address snapshots, for the addresses its message sends in full.
const char* const kAddresses =
    "SELECT ADDRESSID, NAME1, NAME2, STREET1, STREET2, CITY1, CITY2, STATEPROVINCE, ZIPCODE, PHONE, FAX, COUNTRYCODE, "
    "COUNTRYNAME, SHORTDESCRIPTION FROM ADDRESSHISTORY WHERE ORDERID = ? ORDER BY ADDRESSID";

}  // namespace

ExportOrderReader::ExportOrderReader(std::string connectionString) : connectionString_(std::move(connectionString)) {}

OrderRows ExportOrderReader::Read(const std::string& orderId) {
    try {
        if (!connection_) connection_ = Sls_GetOpenConnection(connectionString_);
        if (!reading_) {
            connection_->ExecuteScript("BEGIN");  // deferred on SQLite: a reader that holds no write lock
            reading_ = true;
        }
        Variant id(orderId);
        auto read = connection_->ExecuteBatch({{kHeader, {id}}, {kLines, {id}}, {kAddresses, {id}}});
        OrderRows order;
        order.header = std::move(read[0].rows);
        order.lines = std::move(read[1].rows);
        order.addresses = std::move(read[2].rows);
        order.lines->LockType = ado::adLockBatchOptimistic;  // in memory only: the recordset is not connected
        // the header row carries the snapshot's COUNTRYCODE
        if (!order.header->Eof() && !order.header->Fields("DELIVERYSNAPSHOT").Value().IsNull())
            order.deliveryAddress = Variant(order.header);
        return order;
    } catch (...) {
        std::string info = Sls_ConnectionErrors(connection_);
        Sls_CloseConnection(connection_);  // closing rolls the read transaction back
        reading_ = false;
        Sls_RaiseError("ExportOrderReader.Read", info);
    }
}

void ExportOrderReader::EndGroup() {
    if (!reading_) return;
    reading_ = false;
    try {
        connection_->ExecuteScript("COMMIT");
    } catch (...) {
        Sls_CloseConnection(connection_);  // nothing was written: the next group opens another connection
    }
}

}  // namespace ordexa
