// The commands of the host. Each adds its subcommand (options, help text) to
// the application and, when the command line names it, sets `selected` to the
// function that runs it; that function returns the process exit code.
#pragma once

#include "commands/command_line.h"

namespace backoffice {

void AddInitCommand(CLI::App& app, Runner& selected);
void AddBatchCommand(CLI::App& app, Runner& selected);
void AddDemoCommand(CLI::App& app, Runner& selected);
void AddOrdersCommand(CLI::App& app, Runner& selected);
void AddPricesCommand(CLI::App& app, Runner& selected);
void AddPayCommand(CLI::App& app, Runner& selected);
void AddUpgradeCommand(CLI::App& app, Runner& selected);
void AddCheckCommand(CLI::App& app, Runner& selected);
void AddBackupCommand(CLI::App& app, Runner& selected);
void AddServeCommand(CLI::App& app, Runner& selected);
void AddReqlinkCommand(CLI::App& app, Runner& selected);
void AddOperatorCommand(CLI::App& app, Runner& selected);
void AddExchangesCommand(CLI::App& app, Runner& selected);  // also `replay`

// Every command, in the order --help lists them.
inline void AddAllCommands(CLI::App& app, Runner& selected) {
    AddInitCommand(app, selected);
    AddUpgradeCommand(app, selected);
    AddCheckCommand(app, selected);
    AddBackupCommand(app, selected);
    AddBatchCommand(app, selected);
    AddDemoCommand(app, selected);
    AddOrdersCommand(app, selected);
    AddPricesCommand(app, selected);
    AddPayCommand(app, selected);
    AddServeCommand(app, selected);
    AddReqlinkCommand(app, selected);
    AddOperatorCommand(app, selected);
    AddExchangesCommand(app, selected);
}

}  // namespace backoffice
