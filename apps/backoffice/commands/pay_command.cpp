// `backoffice pay`: card payments. The payment run (one order, or every order in
// status 4 with a line at 1) under the installation's batch lock, the manual
// authorisation and refund, and the resolution of a capture of unknown outcome.
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <vector>

#include "batch/batch_lock.h"
#include "commands/commands.h"
#include "commands/use_installation.h"
#include "interfaces/vendalo/order_status.h"
#include "installation/setting_check.h"
#include "ordexa/operator_actions.h"
#include "ordexa/outside_calls.h"
#include "ordexa/payment/cc_payment.h"
#include "ordexa/payment/gateway_requests.h"
#include "ordexa/payment/payment_resolution.h"
#include "ordexa/payment/payment_run.h"
#include "platform/gateway/gateway_client.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

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
    std::string order, requestId, note;
    bool done = false, notDone = false;
};
struct OrderActionOptions {
    std::optional<std::string> home;
    std::string order, note;
};

// The operator of a command: the user the host's account names. The command
// line has no operator key; whoever runs it is logged in as that user.
std::string CommandOperator() {
    if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name) return user->pw_name;
    return "uid " + std::to_string(::geteuid());
}

int RunPayments(const RunOptions& options) {
    int exitCode = 0;
    auto home = UseInstallation("pay", options.home, exitCode);
    if (!home) return exitCode;
    // the run moves money: with a setting it cannot use it sends nothing
    try {
        auto findings = SettingFindings(*home, {"DIRECTPAYMENT_PARAMETERS", "PAYMENT_GATEWAY", "CARD_DATA", "OUTSIDE_CALLS"});
        for (const auto& finding : findings) std::cerr << "backoffice pay: " << TerminalText(finding) << "\n";
        if (!findings.empty()) {
            std::cerr << "backoffice pay: nothing was paid: correct the settings above (`backoffice check`)\n";
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << "backoffice pay: cannot start: " << Reason(e) << "\n";
        return 1;
    }
    std::string connectionString, holder;
    std::unique_ptr<BatchLock> lock;
    try {
        connectionString = Sls_ConnectionString();
        lock = BatchLock::TryAcquire(*home, connectionString, holder);
    } catch (const std::exception& e) {
        std::cerr << "backoffice pay: cannot start: " << Reason(e) << "\n";
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
    try {
        orders = options.order ? std::vector<std::string>{*options.order} : ordexa::DueOrders();
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay: cannot start: " << Reason(e) << "\n";
        return 1;
    }
    bool terminal = isatty(STDOUT_FILENO);
    const std::string runId = Sls_CreateGUID();
    OrderEventRun eventRun("payment run " + runId);
    qx::LogContext logged(qx::LogField::Batch, "payment run " + runId);
    ordexa::PaymentRunSummary summary;
    int atOnce = 0;
    try {
        atOnce = ordexa::OutsideCallSettingsOfInstallation().atOnce;
        summary = ordexa::PayOrders(orders, [&](size_t paid) {
            if (terminal && orders.size() >= 10) std::cout << "\r  paying: " << paid << "/" << orders.size() << " orders" << std::flush;
        });
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay: cannot start: " << Reason(e) << "\n";
        return 1;
    }
    if (terminal && orders.size() >= 10) std::cout << "\n";
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double waited = std::chrono::duration<double>(qx::GatewayWaitTime() - waitedBefore).count();
    std::cout << "Payment run finished for the installation " << *home << "\n"
              << "  orders: " << orders.size() << ": captured " << summary.captured << ", refused " << summary.refused
              << ", failed " << summary.failed;
    if (summary.unknown)
        std::cout << " (" << summary.unknown << " of unknown outcome, in status 8: see `backoffice pay resolve`)";
    std::cout << "\n";
    if (summary.busy) std::cout << "  skipped: " << summary.busy << " (another process was paying them)\n";
    if (summary.nothing && options.order)
        std::cout << "  nothing to pay: the order has no allocated line in status 4, or no authorisation\n";
    std::cout << "  card numbers erased: " << summary.erased << "\n";
    if (!orders.empty())
        // the replies' times add up over the orders paid side by side
        std::cout << "  time: " << wall << " s; the gateway's replies took " << waited << " s in all, up to "
                  << atOnce << " at once\n";
    std::cout << "  log: " << qx::LogFilePath() << "\n";
    return 0;
}

int ManualAuthorize(const RequestOptions& options) {
    int exitCode = 0;
    if (!UseInstallation("pay authorize", options.home, exitCode)) return exitCode;
    try {
        OrderEventRun eventRun(Sls_OperatorActor(CommandOperator()));
        auto payment = ole::CreateObjectAs<ordexa::ICCPayment>("Ordexa.CCPayment");
        bool ok = payment->manualAuthorize(options.request);
        std::cout << (ok ? "authorised" : "refused by the gateway") << ": request " << payment->getLastRequest() << "\n";
        return ok ? 0 : 1;
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay authorize: " << Reason(e) << "\n";
        return 1;
    }
}

int ManualRefund(const RequestOptions& options) {
    int exitCode = 0;
    if (!UseInstallation("pay refund", options.home, exitCode)) return exitCode;
    try {
        // the order's timeline names who credited it
        OrderEventRun eventRun(Sls_OperatorActor(CommandOperator()));
        auto payment = ole::CreateObjectAs<ordexa::ICCPayment>("Ordexa.CCPayment");
        bool ok = payment->manualRefund(options.request, Variant(options.amount));
        std::cout << (ok ? "credited" : "refused by the gateway") << ": request " << payment->getLastRequest() << "\n";
        return ok ? 0 : 1;
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay refund: " << Reason(e) << "\n";
        return 1;
    }
}

int Resolve(const ResolveOptions& options) {
    int exitCode = 0;
    if (!UseInstallation("pay resolve", options.home, exitCode)) return exitCode;
    std::optional<bool> says;
    if (options.done) says = true;
    if (options.notDone) says = false;
    try {
        std::string actor = Sls_OperatorActor(CommandOperator());
        OrderEventRun eventRun(actor);
        auto r = ordexa::ResolveUnknownOutcome(options.order, says, options.requestId, actor, options.note);
        std::cout << options.order << ", " << r.operation << " request " << r.clientRequestId << ": "
                  << (r.done ? "done" : "not done") << " ("
                  << (r.gatewayAnswered ? "as the gateway says" : "as the operator states") << ")\n";
        if (ordexa::IsCaptureOperation(r.operation))
            std::cout << "  " << r.lines << " line(s) "
                      << (r.done ? "set to 2 (captured)" : "left at 1: the next `backoffice pay` captures them") << "\n";
        if (r.stillOpen)
            std::cout << "  " << r.stillOpen << " more request(s) of unknown outcome: run `backoffice pay resolve` again\n";
        return 0;
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay resolve: " << Reason(e) << "\n";
        return 1;
    }
}

int CaptureAgain(const OrderActionOptions& options) {
    int exitCode = 0;
    if (!UseInstallation("pay capture-again", options.home, exitCode)) return exitCode;
    try {
        ordexa::OperatorAction action{options.order, Sls_OperatorActor(CommandOperator()), options.note};
        OrderEventRun eventRun(action.actor);
        ordexa::CaptureAgain(action);
        int32_t status = ordexa::OutcomeOf(action).status;
        std::cout << options.order << ": status " << status << " ("
                  << vendalo::StatusName(static_cast<vendalo::OrderStatus>(status)) << ")\n";
        return status == static_cast<int32_t>(vendalo::OrderStatus::CCPaymentToBeFulfilled) ? 0 : 1;
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice pay capture-again: " << Reason(e) << "\n";
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

    auto* resolve = command->add_subcommand("resolve", "settle a gateway request of unknown outcome");
    resolve->footer(
        "Asks the gateway what became of the order's (or checkout basket's) request whose outcome is unknown,\n"
        "and does what its reply would have done: captured lines go to 2, others stay at 1 for the next run;\n"
        "an approved authorisation is kept for later captures. Where the gateway cannot tell, state what it\n"
        "did with one of the flags (an authorisation stated done needs --request-id). The order goes back\n"
        "from 8 to 4. A capture the gateway refused has no unknown outcome: `pay capture-again` is its step.");
    auto resolveOptions = std::make_shared<ResolveOptions>();
    AddHomeOption(*resolve, resolveOptions->home);
    resolve->add_option("--order", resolveOptions->order, "the order, or the basket of a checkout authorisation")
        ->required()
        ->type_name("ID");
    auto* done = resolve->add_flag("--captured,--authorized,--credited", resolveOptions->done,
                                   "the gateway did it (took the money, approved, credited)");
    auto* notDone = resolve->add_flag("--not-captured,--not-authorized,--not-credited", resolveOptions->notDone,
                                      "the gateway did not do it");
    done->excludes(notDone);
    resolve->add_option("--request-id,--bill-request-id", resolveOptions->requestId,
                        "the gateway's request id of the request, when known")
        ->type_name("ID");
    resolve->add_option("--note", resolveOptions->note, "why, for the order's timeline")->type_name("TEXT");
    resolve->callback([resolveOptions, &selected] { selected = [resolveOptions] { return Resolve(*resolveOptions); }; });

    auto* again = command->add_subcommand("capture-again", "capture an order whose capture the gateway refused");
    again->footer(
        "For an order in status 8 whose capture the gateway refused (its lines at 4): the lines go back to 1\n"
        "and the order to 4, then a fresh authorisation is taken and the lines captured against it. The\n"
        "order's timeline names the user who ran the command and the note. Exits 0 when the order is in 4\n"
        "afterwards (captured, or waiting for the next run), 1 otherwise.");
    auto againOptions = std::make_shared<OrderActionOptions>();
    AddHomeOption(*again, againOptions->home);
    again->add_option("--order", againOptions->order, "the order")->required()->type_name("ID");
    again->add_option("--note", againOptions->note, "why, for the order's timeline")->required()->type_name("TEXT");
    again->callback([againOptions, &selected] { selected = [againOptions] { return CaptureAgain(*againOptions); }; });

    command->callback([command, run, &selected] {
        if (command->get_subcommands().empty()) selected = [run] { return RunPayments(*run); };
    });
}

}  // namespace backoffice
