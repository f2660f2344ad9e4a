// The orders an EDI export run takes: those waiting for the instance when the
// run begins (not exported yet, assigned to it or to none), in partner, date
// and id order. They are noted in a temporary table of the selection's own
// connection when the run begins and read back a page at a time: the run holds
// one page of ids however many orders wait, and an order submitted while the
// run goes waits for the next run, as it did when every id was read at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/data/ado.h"

namespace ordexa {

class ExportSelection {
public:
    static constexpr size_t kPageSize = 1000;

    explicit ExportSelection(std::string connectionString, size_t pageSize = kPageSize);
    ExportSelection(const ExportSelection&) = delete;
    ExportSelection& operator=(const ExportSelection&) = delete;
    // Drops the table; the connection goes back to the pool.
    ~ExportSelection();

    // Notes the orders waiting for the instance now, and returns how many; raises when it cannot.
    int32_t Select(int32_t bisid);
    // The ids of the next page of the orders noted, in their order; empty after the last.
    std::vector<std::string> NextPage();

private:
    std::string connectionString_;
    size_t pageSize_;
    ado::ConnectionPtr connection_;
    int32_t read_ = 0;  // orders handed out so far: the last page ended at this position
};

}  // namespace ordexa
