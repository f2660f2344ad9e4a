// `backoffice orders`: the orders of an installation with their status;
// `backoffice orders show ID`: one order whole, with its timeline.
#include <iomanip>
#include <iostream>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "http/order_view.h"
#include "interfaces/vendalo/reporting.h"
#include "platform/automation/text.h"
#include "shared/lib_sales.h"

namespace backoffice {


int RunOrders(const std::optional<std::string>& given) {
    int exitCode = 0;
    auto home = UseInstallation("orders", given, exitCode);
    if (!home) return exitCode;
    try {
        auto reporting = Sls_GetComponent<vendalo::IReporting>("Vendalo.Reporting");
        std::cout << std::left << std::setw(34) << "order" << std::setw(9) << "partner" << std::setw(6) << "BIS"
                  << std::setw(29) << "status" << "sales order\n";
        // newest first, a page at a time; the sales order number comes from the
        // back end's file: nothing of it reaches the terminal raw
        std::string after;
        for (;;) {
            auto rs = reporting->ListOrders(ole::Null, ole::Null, 500, after);
            if (rs->Eof()) break;
            auto shown = [&](const char* column) { return ole::EscapeControls(rs->Fields(column).Value().Text()); };
            for (; !rs->Eof(); rs->MoveNext()) {
                int status = rs->Fields("ORDERSTATUS").Value().ToLong();
                after = rs->Fields("ORDERID").Value().Text();
                std::cout << std::left << std::setw(34) << shown("ORDERID") << std::setw(9) << shown("BUSINESSPARTNERID")
                          << std::setw(6) << shown("BISID") << std::setw(29)
                          << (std::to_string(status) + " " + vendalo::StatusName(static_cast<vendalo::OrderStatus>(status)))
                          << shown("SALESORDERNR") << "\n";
            }
        }
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice orders: " << Reason(e) << "\n";
        return 1;
    }
    return 0;
}

// The same data as GET /api/v1/operator/orders/{id} and its events: exit 1 when there is no such order.
int RunOrderShow(const std::optional<std::string>& given, const std::string& id) {
    int exitCode = 0;
    auto home = UseInstallation("orders show", given, exitCode);
    if (!home) return exitCode;
    std::string orderId = ole::UpperCase(id);
    try {
        auto order = http::OrderDetailJson(orderId);
        auto events = http::OrderEventsJson(orderId);
        if (!order || !events) {
            std::cerr << "backoffice orders show: there is no order " << ole::EscapeControls(orderId) << "\n";
            return 1;
        }
        std::cout << http::OrderText(*order, *events);
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice orders show: " << Reason(e) << "\n";
        return 1;
    }
    return 0;
}

void AddOrdersCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("orders", "list the orders, newest first, with their instance, status and sales order number");
    auto home = std::make_shared<std::optional<std::string>>();
    AddHomeOption(*command, *home);
    auto* show = command->add_subcommand("show", "one order: header, addresses, lines, payments and its timeline");
    auto id = std::make_shared<std::string>();
    show->add_option("id", *id, "the order id")->required();
    AddHomeOption(*show, *home);
    show->callback([home, id, &selected] { selected = [home, id] { return RunOrderShow(*home, *id); }; });
    command->callback([home, show, &selected] {
        if (show->parsed()) return;
        selected = [home] { return RunOrders(*home); };
    });
}

}  // namespace backoffice
