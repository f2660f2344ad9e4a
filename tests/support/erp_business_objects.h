// The ERP simulator's business objects (`erp-simulator boi`) on loopback for
// tests: answers for the sales orders of a book the test writes (or the
// archives of earlier cycles), with the policy given as command-line options.
// The constructor returns once it listens; the destructor stops it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "run_program.h"
#include "test_db.h"

namespace testing_support {

class ErpBusinessObjects {
public:
    // options: further arguments of `erp-simulator boi` ("--refuse", "2:3", ...).
    // archives: the folders whose book it reads; none: a folder of its own (Book()).
    explicit ErpBusinessObjects(const std::vector<std::string>& options = {},
                                std::vector<std::filesystem::path> archives = {});
    ErpBusinessObjects(const ErpBusinessObjects&) = delete;
    ErpBusinessObjects& operator=(const ErpBusinessObjects&) = delete;

    // "http://127.0.0.1:<port>/boi"
    std::string Url() const;
    // Adds a sales order with lines 1..lines to the book of its own folder.
    void AddSalesOrder(const std::string& salesOrder, const std::string& orderId, int lines);
    // The requests so far, one "<object> <sales order> <line>" each.
    std::vector<std::string> Journal() const;

private:
    TempDir dir_;
    std::optional<SimulatorProcess> process_;  // after dir_, which holds its files
};

}  // namespace testing_support
