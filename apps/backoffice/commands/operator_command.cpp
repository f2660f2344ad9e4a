// `backoffice operator add|list|remove`: the people who may use the console,
// each with a personal key. The key is printed once, when it is made; the
// installation keeps only its SHA-256.
#include <iostream>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "http/json_codec.h"
#include "http/operators.h"
#include "platform/automation/text.h"

namespace backoffice {

namespace {

enum class OperatorAction { Add, List, Remove };

int RunOperator(OperatorAction action, const std::string& name, const std::optional<std::string>& given) {
    int exitCode = 0;
    auto home = UseInstallation("operator", given, exitCode);
    if (!home) return exitCode;
    try {
        switch (action) {
            case OperatorAction::Add: {
                std::string key = http::AddOperator(name);
                std::cout << "operator " << TerminalText(name) << " added; the key (shown once, keep it safe):\n"
                          << key << "\n";
                return 0;
            }
            case OperatorAction::Remove:
                if (!http::RemoveOperator(name)) {
                    std::cerr << "backoffice operator: there is no active operator " << TerminalText(name) << "\n";
                    return 1;
                }
                std::cout << "operator " << TerminalText(name) << " removed; the key opens nothing any more\n";
                return 0;
            case OperatorAction::List:
                for (const auto& record : http::ListOperators())
                    std::cout << TerminalText(record.name) << "  added " << http::UtcText(record.created)
                              << (record.removed ? "  removed " + http::UtcText(*record.removed) : "") << "\n";
                return 0;
        }
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice operator: " << Reason(e) << "\n";
    }
    return 1;
}

}  // namespace

void AddOperatorCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("operator", "the console's operators and their personal keys");
    command->require_subcommand(1);
    auto home = std::make_shared<std::optional<std::string>>();
    auto name = std::make_shared<std::string>();
    auto add = command->add_subcommand("add", "makes an operator and prints the personal key once");
    add->add_option("NAME", *name, "the operator's name")->required();
    AddHomeOption(*add, *home);
    add->callback([=, &selected] { selected = [=] { return RunOperator(OperatorAction::Add, *name, *home); }; });
    auto remove = command->add_subcommand("remove", "removes an operator: the key stops working at once");
    remove->add_option("NAME", *name, "the operator's name")->required();
    AddHomeOption(*remove, *home);
    remove->callback([=, &selected] { selected = [=] { return RunOperator(OperatorAction::Remove, *name, *home); }; });
    auto list = command->add_subcommand("list", "lists the operators, removed ones with the time of removal");
    AddHomeOption(*list, *home);
    list->callback([=, &selected] { selected = [=] { return RunOperator(OperatorAction::List, "", *home); }; });
}

}  // namespace backoffice
