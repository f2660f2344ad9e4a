// The installation a command works on: --home, else VENDALO_HOME. Once chosen,
// VENDALO_HOME names it for every component of the process.
#pragma once

#include <optional>
#include <string>

#include "command_line.h"

namespace backoffice {

// The absolute folder of an existing installation (--home, else VENDALO_HOME),
// or nothing after a one-line message on standard error naming the command;
// exitCode then holds the code to end with.
std::optional<std::string> UseInstallation(const std::string& command, const std::optional<std::string>& home,
                                           int& exitCode);

// The first description of an error: what went wrong, without the frames of the
// methods it passed through (and its info, when it has one), fit for a terminal
// (control characters escaped).
std::string Reason(const std::string& description);

}  // namespace backoffice
