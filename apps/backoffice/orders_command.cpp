// `backoffice orders`: the orders of an installation with their status.
#include <iomanip>
#include <iostream>

#include "automation/text.h"
#include "commands.h"
#include "lib_sales.h"
#include "use_installation.h"

namespace backoffice {

namespace {
const char* StatusName(int status) {
    static const char* names[] = {"ToBeProcessed",  "Processed", "ReqlinkToBeAcknowledged", "ReqlinkAcknowledged",
                                  "CCPaymentToBeFulfilled", "Paid",   "Acknowledged",   "OrderAuthorizationIssue",
                                  "OrderBillingIssue"};
    return status >= 0 && status <= 8 ? names[status] : "?";
}
}  // namespace

int RunOrders(const std::optional<std::string>& given) {
    int exitCode = 0;
    auto home = UseInstallation("orders", given, exitCode);
    if (!home) return exitCode;
    try {
        auto rs = Sls_GetDisconnectedRecordset(
            "SELECT ORDERID, BUSINESSPARTNERID, BISID, ORDERSTATUS, SALESORDERNR FROM ORDERHEADER "
            "ORDER BY ORDERDATE, ORDERID",
            Sls_ConnectionString());
        std::cout << std::left << std::setw(34) << "order" << std::setw(9) << "partner" << std::setw(6) << "BIS"
                  << std::setw(29) << "status" << "sales order\n";
        // the sales order number comes from the back end's file: nothing of it reaches the terminal raw
        auto shown = [&](const char* column) { return ole::EscapeControls(rs->Fields(column).Value().Text()); };
        for (; !rs->Eof(); rs->MoveNext()) {
            int status = rs->Fields("ORDERSTATUS").Value().ToLong();
            std::cout << std::left << std::setw(34) << shown("ORDERID") << std::setw(9) << shown("BUSINESSPARTNERID")
                      << std::setw(6) << shown("BISID") << std::setw(29) << (std::to_string(status) + " " + StatusName(status))
                      << shown("SALESORDERNR") << "\n";
        }
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice orders: " << Reason(e.Description()) << "\n";
        return 1;
    }
    return 0;
}

void AddOrdersCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("orders", "list the orders with their instance, status and sales order number");
    auto home = std::make_shared<std::optional<std::string>>();
    AddHomeOption(*command, *home);
    command->callback([home, &selected] { selected = [home] { return RunOrders(*home); }; });
}

}  // namespace backoffice
