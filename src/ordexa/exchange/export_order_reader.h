// The orders of an EDI export run, read as their messages need them: the
// header's and the lines' columns the message uses, the header with the country
// of the order's delivery address snapshot, the order's address snapshots (the
// line addresses sent in full come from them), in one batch per order (on
// PostgreSQL one round trip) on a connection kept for the run. The orders of a group are read
// in one read transaction: one snapshot, and on SQLite one shared lock instead
// of one per statement.
#pragma once

#include <string>

#include "ordexa/exchange/edi_order_message.h"
#include "platform/data/ado.h"

namespace ordexa {

class ExportOrderReader {
public:
    explicit ExportOrderReader(std::string connectionString);
    ExportOrderReader(const ExportOrderReader&) = delete;
    ExportOrderReader& operator=(const ExportOrderReader&) = delete;

    // The order's rows: the header (no row when the order does not exist), the
    // lines in line-number order and, when the order holds a snapshot of its
    // delivery address, that snapshot's COUNTRYCODE (on the header row); the
    // order's address snapshots. A failed
    // read drops the connection: the next order opens another.
    OrderRows Read(const std::string& orderId);
    // Ends the read transaction that the first Read began (before the group is written and marked).
    void EndGroup();
    // The run's connection, to mark a group on (nullptr before the first Read or after a failed one).
    const ado::ConnectionPtr& Connection() const { return connection_; }

private:
    std::string connectionString_;
    ado::ConnectionPtr connection_;
    bool reading_ = false;  // a read transaction is open
};

}  // namespace ordexa
