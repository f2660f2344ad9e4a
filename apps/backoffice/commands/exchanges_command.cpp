// `backoffice exchanges`: the record of exchanges with the outside, newest
// first; `backoffice replay`: sends an export group again.
#include <pwd.h>
#include <unistd.h>

#include <iostream>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "ordexa/exchange/exchange_actions.h"
#include "platform/automation/text.h"

namespace backoffice {

namespace {

struct ExchangesOptions {
    std::optional<std::string> home;
    std::string kind, order, since;
};

int RunExchanges(const ExchangesOptions& options) {
    int exitCode = 0;
    auto home = UseInstallation("exchanges", options.home, exitCode);
    if (!home) return exitCode;
    try {
        ordexa::ExchangeQuery query;
        query.kind = options.kind;
        query.orderId = options.order;
        query.limit = 200;
        if (!options.since.empty()) {
            ole::Date since;
            if (!ole::ParseDate(options.since, since)) {
                std::cerr << "backoffice exchanges: --since must be a date (YYYY-MM-DD)\n";
                return 2;
            }
            query.since = since;
        }
        // a back end's or a broker's text never reaches the terminal raw
        auto shown = [](const std::string& text) { return ole::EscapeControls(text); };
        do {
            auto page = ordexa::ListExchanges(query);
            for (const auto& row : page.rows) {
                std::cout << row.id << "  " << row.time.Iso() << "Z  " << row.kind << "  " << shown(row.outcome);
                if (row.bisid) std::cout << "  BISID " << *row.bisid;
                if (!row.file.empty()) std::cout << "  " << shown(row.file);
                if (row.offset) std::cout << " @" << *row.offset << "+" << (row.length ? *row.length : 0);
                if (!row.orderIds.empty()) std::cout << "  " << row.orderIds.size() << " order(s)";
                if (!row.detail.empty()) std::cout << "  " << shown(row.detail);
                std::cout << "\n";
            }
            query.cursor = page.next;
        } while (!query.cursor.empty());
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice exchanges: " << Reason(e) << "\n";
        return 1;
    }
    return 0;
}

// The person who runs the command: the login name of the user.
std::string CommandOperator() {
    if (const struct passwd* user = ::getpwuid(::geteuid()); user && user->pw_name) return user->pw_name;
    return "uid " + std::to_string(::geteuid());
}

int RunReplay(const std::optional<std::string>& given, const std::string& id, const std::string& note) {
    int exitCode = 0;
    auto home = UseInstallation("replay", given, exitCode);
    if (!home) return exitCode;
    try {
        auto result = ordexa::ReplayExportGroup(ole::UpperCase(id), CommandOperator(), note);
        if (result.outcome != ordexa::ExchangeActionOutcome::Done) {
            std::cerr << "backoffice replay: " << result.why << "\n";
            return 1;
        }
        std::cout << "export group " << id << " sent again\n";
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice replay: " << Reason(e) << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

void AddExchangesCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("exchanges", "list the exchanges with the outside, newest first");
    auto options = std::make_shared<ExchangesOptions>();
    AddHomeOption(*command, options->home);
    command->add_option("--kind", options->kind, "only this kind (\"export group\", \"refused entry\", ...)");
    command->add_option("--order", options->order, "only the exchanges of this order");
    command->add_option("--since", options->since, "only the exchanges from this day on (YYYY-MM-DD, UTC)");
    command->callback([options, &selected] { selected = [options] { return RunExchanges(*options); }; });

    auto* replay = app.add_subcommand("replay", "send an export group again, byte for byte, while its orders are exported");
    auto home = std::make_shared<std::optional<std::string>>();
    auto id = std::make_shared<std::string>();
    auto note = std::make_shared<std::string>();
    AddHomeOption(*replay, *home);
    replay->add_option("--exchange", *id, "the id of the export group")->required();
    replay->add_option("--note", *note, "why it is sent again")->required();
    replay->callback([home, id, note, &selected] { selected = [home, id, note] { return RunReplay(*home, *id, *note); }; });
}

}  // namespace backoffice
