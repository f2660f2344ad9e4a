// The command line of the host, on CLI11: one subcommand per command, each
// with its own options and --help. A command lives in its own file and adds
// itself with one Add...Command function (see commands.h); adding a command
// is that function and one line in AddAllCommands.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace backoffice {

// Runs the command that the command line chose; returns the process exit code.
using Runner = std::function<int()>;

// The option every command that works on an installation takes.
void AddHomeOption(CLI::App& command, std::optional<std::string>& home);

// The installation folder: --home, else the first folder of VENDALO_HOME, else "".
std::string HomeFolder(const std::optional<std::string>& home);

// Parses the command line and runs the chosen command: 0 for --help, 2 (after
// a one-line message) for a command line the commands do not accept.
int RunCommandLine(int argc, char** argv);

}  // namespace backoffice
