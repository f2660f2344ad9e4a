#include "erp_business_objects.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace fs = std::filesystem;

ErpBusinessObjects::ErpBusinessObjects(const std::vector<std::string>& options, std::vector<fs::path> archives) {
    if (archives.empty()) archives.push_back(dir_.Path());
    std::vector<std::string> args = {ERP_SIMULATOR_BINARY, "boi", "--port-file", (dir_.Path() / "port").string(),
                                     "--journal", (dir_.Path() / "journal").string()};
    for (const auto& a : archives) args.insert(args.end(), {"--archive", a.string()});
    args.insert(args.end(), options.begin(), options.end());
    process_.emplace(std::move(args), dir_.Path(), "ERP simulator");
}

std::string ErpBusinessObjects::Url() const { return "http://127.0.0.1:" + std::to_string(process_->Port()) + "/boi"; }

void ErpBusinessObjects::AddSalesOrder(const std::string& salesOrder, const std::string& orderId, int lines) {
    std::ofstream book(dir_.Path() / "sales-orders", std::ios::app);
    book << salesOrder << " " << orderId;
    for (int nr = 1; nr <= lines; ++nr) book << " " << nr;
    book << "\n";
}

std::vector<std::string> ErpBusinessObjects::Journal() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_.Path() / "journal");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace testing_support
