// `backoffice pay`: card payments. The payment run (one order, or every order in
// status 4 with a line at 1) under the installation's batch lock, the manual
// authorisation and refund, and the resolution of a capture of unknown outcome.
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <vector>

#include "batch_lock.h"
#include "commands.h"
#include "gateway/gateway_client.h"
#include "lib_sales.h"
#include "log/log.h"
#include "payment/card_data_retention.h"
#include "payment/cc_payment.h"
#include "payment/payment_resolution.h"
#include "use_installation.h"

namespace backoffice {
namespace {

using ole::Variant;

struct RunOptions {
    std::optional<std::string> home, order;
};
struct RequestOptions {
    std::optional<std::string> home;
    std::string request, amount;
};
struct ResolveOptions {
    std::optional<std::string> home;
    std::string order, billRequestId;
    bool captured = false, notCaptured = false;
};

// The orders due for payment: status 4 with at least one line at 1.
std::vector<std::string> DueOrders() {
    auto rs = Sls_GetDisconnectedRecordset(
        "SELECT h.ORDERID FROM ORDERHEADER h WHERE h.ORDERSTATUS = 4 AND EXISTS "
        "(SELECT 1 FROM ORDERLINE l WHERE l.ORDERID = h.ORDERID AND l.LINESTATUS = 1) ORDER BY h.ORDERID",
        Sls_ConnectionString());
    std::vector<std::string> orders;
    for (; !rs->Eof(); rs->MoveNext()) orders.push_back(rs->Fields(0).Value().Text());
    return orders;
}

int RunPayments(const RunOptions& options) {
    int exitCode = 0;
    auto home = UseInstallation("pay", options.home, exitCode);
    if (!home) return exitCode;
    std::string connectionString, holder;
    std::unique_ptr<BatchLock> lock;
    try {
        connectionString = Sls_ConnectionString();
        lock = BatchLock::TryAcquire(*home, connectionString, holder);
    } catch (const std::exception& e) {
        std::cerr << "backoffice pay: cannot start: " << Reason(e.what()) << "\n";
        return 1;
    }
    if (!lock) {
        std::cerr << "backoffice pay: a batch or payment run is already running for this installation (" << holder
                  << ")\n";
        return 3;
    }
    auto started = std::chrono::steady_clock::now();
    auto waitedBefore = qx::GatewayWaitTime();
    std::vector<std::string> orders;
    int32_t erased = 0;
    try {
        orders = options.order ? std::vector<std::string>{*options.order} : DueOrders();
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay: cannot start: " << Reason(e.Description()) << "\n";
        return 1;
    }
    bool terminal = isatty(STDOUT_FILENO);
    auto payment = ole::CreateObjectAs<ordexa::ICCPayment>("Ordexa.CCPayment");
    int captured = 0, refused = 0, failed = 0, unknown = 0, busy = 0, nothing = 0;
    for (size_t i = 0; i < orders.size(); ++i) {
        payment->Run(orders[i]);
        switch (payment->LastOutcome()) {
            case ordexa::PaymentOutcome::Captured: ++captured; break;
            case ordexa::PaymentOutcome::Refused: ++refused; break;
            case ordexa::PaymentOutcome::OutcomeUnknown: ++failed, ++unknown; break;
            case ordexa::PaymentOutcome::Failed: ++failed; break;
            case ordexa::PaymentOutcome::Busy: ++busy; break;
            case ordexa::PaymentOutcome::Nothing: ++nothing; break;
        }
        if (terminal && orders.size() >= 10)
            std::cout << "\r  paying: " << (i + 1) << "/" << orders.size() << " orders" << std::flush;
    }
    if (terminal && orders.size() >= 10) std::cout << "\n";
    try {
        auto connection = Sls_GetOpenConnection(connectionString);
        erased = ordexa::EraseCardDataNoLongerNeeded(connection, ordexa::UnsubmittedCheckoutDays());
        Sls_CloseConnection(connection);
    } catch (...) {
        Sls_LogError("backoffice pay", "The card numbers no longer needed could not be erased");
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double waited = std::chrono::duration<double>(qx::GatewayWaitTime() - waitedBefore).count();
    std::cout << "Payment run finished for the installation " << *home << "\n"
              << "  orders: " << orders.size() << ": captured " << captured << ", refused " << refused << ", failed "
              << failed;
    if (unknown) std::cout << " (" << unknown << " of unknown outcome, in status 8: see `backoffice pay resolve`)";
    std::cout << "\n";
    if (busy) std::cout << "  skipped: " << busy << " (another process was paying them)\n";
    if (nothing && options.order) std::cout << "  nothing to pay: the order has no allocated line in status 4, or no authorisation\n";
    std::cout << "  card numbers erased: " << erased << "\n";
    if (!orders.empty())
        std::cout << "  time: " << wall << " s, of which waiting for the gateway " << waited << " s ("
                  << (wall > 0 ? static_cast<int>(100 * waited / wall) : 0) << "%)\n";
    std::cout << "  log: " << qx::LogFilePath() << "\n";
    return 0;
}

int ManualAuthorize(const RequestOptions& options) {
    int exitCode = 0;
    if (!UseInstallation("pay authorize", options.home, exitCode)) return exitCode;
    try {
        auto payment = ole::CreateObjectAs<ordexa::ICCPayment>("Ordexa.CCPayment");
        bool ok = payment->manualAuthorize(options.request);
        std::cout << (ok ? "authorised" : "refused by the gateway") << ": request " << payment->getLastRequest() << "\n";
        return ok ? 0 : 1;
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay authorize: " << Reason(e.Description()) << "\n";
        return 1;
    }
}

int ManualRefund(const RequestOptions& options) {
    int exitCode = 0;
    if (!UseInstallation("pay refund", options.home, exitCode)) return exitCode;
    try {
        auto payment = ole::CreateObjectAs<ordexa::ICCPayment>("Ordexa.CCPayment");
        bool ok = payment->manualRefund(options.request, Variant(options.amount));
        std::cout << (ok ? "credited" : "refused by the gateway") << ": request " << payment->getLastRequest() << "\n";
        return ok ? 0 : 1;
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay refund: " << Reason(e.Description()) << "\n";
        return 1;
    }
}

int Resolve(const ResolveOptions& options) {
    int exitCode = 0;
    if (!UseInstallation("pay resolve", options.home, exitCode)) return exitCode;
    std::optional<bool> says;
    if (options.captured) says = true;
    if (options.notCaptured) says = false;
    try {
        auto r = ordexa::ResolveUnknownCapture(options.order, says, options.billRequestId);
        std::cout << "Order " << options.order << ", capture request " << r.clientRequestId << ": "
                  << (r.captured ? "captured" : "not captured") << " ("
                  << (r.gatewayAnswered ? "as the gateway says" : "as the operator states") << ")\n"
                  << "  " << r.lines << " line(s) "
                  << (r.captured ? "set to 2 (captured)" : "left at 1: the next `backoffice pay` captures them") << "\n"
                  << "  the order is back in status 4\n";
        return 0;
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay resolve: " << Reason(e.Description()) << "\n";
        return 1;
    }
}

}  // namespace

void AddPayCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("pay", "card payments: capture the orders due, manual calls, resolution");
    command->footer(
        "Without a subcommand: the payment run, under the installation's batch lock: every order in status 4\n"
        "with a line in status 1 (or the one --order names) is captured, authorised again first when its\n"
        "authorisation is too old. Prints a summary (captured, refused, failed). Exits 0 when the run ran\n"
        "(failures are in the log), 1 when it could not start, 3 when a batch or payment run is running.");
    auto run = std::make_shared<RunOptions>();
    AddHomeOption(*command, run->home);
    command->add_option("--order", run->order, "pay this order only")->type_name("ID");
    command->require_subcommand(0, 1);

    auto* authorize = command->add_subcommand("authorize", "authorise again the order of an authorisation request");
    auto authorizeOptions = std::make_shared<RequestOptions>();
    AddHomeOption(*authorize, authorizeOptions->home);
    authorize->add_option("--request", authorizeOptions->request, "the AUTH_REQUEST_ID of the authorisation")
        ->required()
        ->type_name("ID");
    authorize->callback([authorizeOptions, &selected] { selected = [authorizeOptions] { return ManualAuthorize(*authorizeOptions); }; });

    auto* refund = command->add_subcommand("refund", "credit an amount against a capture");
    auto refundOptions = std::make_shared<RequestOptions>();
    AddHomeOption(*refund, refundOptions->home);
    refund->add_option("--request", refundOptions->request, "the BILL_REQUEST_ID of the capture")->required()->type_name("ID");
    refund->add_option("--amount", refundOptions->amount, "the amount, at most what the capture took less earlier credits")
        ->required()
        ->type_name("X");
    refund->callback([refundOptions, &selected] { selected = [refundOptions] { return ManualRefund(*refundOptions); }; });

    auto* resolve = command->add_subcommand("resolve", "settle a capture of unknown outcome (order in status 8)");
    resolve->footer(
        "Asks the gateway what became of the order's last capture request. Where it cannot tell, state\n"
        "it with --captured or --not-captured. Captured lines go to 2, others stay at 1 for the next run;\n"
        "the order goes back to 4.");
    auto resolveOptions = std::make_shared<ResolveOptions>();
    AddHomeOption(*resolve, resolveOptions->home);
    resolve->add_option("--order", resolveOptions->order, "the order in status 8")->required()->type_name("ID");
    auto* captured = resolve->add_flag("--captured", resolveOptions->captured, "the gateway took the money");
    auto* notCaptured = resolve->add_flag("--not-captured", resolveOptions->notCaptured, "the gateway did not take it");
    captured->excludes(notCaptured);
    resolve->add_option("--bill-request-id", resolveOptions->billRequestId, "the capture's request id, when known")
        ->type_name("ID");
    resolve->callback([resolveOptions, &selected] { selected = [resolveOptions] { return Resolve(*resolveOptions); }; });

    command->callback([command, run, &selected] {
        if (command->get_subcommands().empty()) selected = [run] { return RunPayments(*run); };
    });
}

}  // namespace backoffice
