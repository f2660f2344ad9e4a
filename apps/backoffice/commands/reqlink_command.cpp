// `backoffice reqlink send-order-request --basket ID`: posts a basket to its
// partner's requisition broker as an order request.
#include <iostream>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "interfaces/vendalo/basket.h"
#include "ordexa/exchange/membership_logon.h"
#include "ordexa/reqlink/reqlink.h"
#include "platform/automation/text.h"
#include "shared/lib_sales.h"

namespace backoffice {

int RunSendOrderRequest(const std::optional<std::string>& given, const std::string& basketId, int timeout) {
    int exitCode = 0;
    auto home = UseInstallation("reqlink send-order-request", given, exitCode);
    if (!home) return exitCode;
    try {
        auto basket = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket")->Restore(basketId);
        if (!basket) {
            std::cerr << "backoffice reqlink send-order-request: basket " << ole::EscapeControls(basketId)
                      << " does not exist\n";
            return 1;
        }
        auto header = RecordsetOf(*basket, "header");
        header->MoveFirst();
        auto user = ordexa::LogOnToMembership()->GetUser(header->Fields("USERID").Value().Text());
        Sls_GetComponent<ordexa::IReqlink>("Ordexa.Reqlink")->SendOrderRequest(ole::Variant(basket), user, timeout);
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice reqlink send-order-request: " << Reason(e) << "\n";
        return 1;
    }
    std::cout << "The order request of basket " << basketId << " was posted to the broker.\n";
    return 0;
}

void AddReqlinkCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("reqlink", "the requisition broker: send order requests to it");
    command->require_subcommand(1);
    auto* send = command->add_subcommand("send-order-request", "post a basket to its partner's broker as an order request");
    auto home = std::make_shared<std::optional<std::string>>();
    auto basket = std::make_shared<std::string>();
    auto timeout = std::make_shared<int>(10);
    AddHomeOption(*send, *home);
    send->add_option("--basket", *basket, "the basket's id (32 hexadecimal characters)")->required();
    send->add_option("--timeout", *timeout, "seconds the broker has to answer")->check(CLI::Range(1, 300));
    send->callback([home, basket, timeout, &selected] {
        selected = [home, basket, timeout] { return RunSendOrderRequest(*home, *basket, *timeout); };
    });
}

}  // namespace backoffice
