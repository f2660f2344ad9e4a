// The installation a command works on: --home, else VENDALO_HOME. Once chosen,
// VENDALO_HOME names it for every component of the process.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "commands/command_line.h"
#include "platform/automation/error.h"

namespace backoffice {

// How a command uses the installation's database.
enum class DatabaseUse {
    Sales,      // it needs the sales tables: refused without them, warned when others may read the file
    Upgrading,  // `upgrade`, which adds the tables and tightens the modes itself
};

// The absolute folder of an existing installation (--home, else VENDALO_HOME),
// or nothing after a one-line message on standard error naming the command;
// exitCode then holds the code to end with. For DatabaseUse::Sales a database
// whose catalogue lacks the sales tables (an empty SQLite file among them,
// which is never turned into a database here) is refused with exit code 1, and
// an SQLite file that other users may read is a warning on standard error. A
// database that cannot be reached is left to the command to report.
std::optional<std::string> UseInstallation(const std::string& command, const std::optional<std::string>& home,
                                           int& exitCode, DatabaseUse use = DatabaseUse::Sales);

// What went wrong first (ole::ReasonOf: without the frames of the methods it
// passed through, with the info of its first report), fit for a terminal. Any
// other exception gives its own text.
std::string Reason(const ole::SlsErrorInfo& error);
std::string Reason(const std::exception& error);

// A text for a terminal: cut at 1024 characters, control characters escaped;
// a text of several lines goes on in lines indented by four blanks.
std::string TerminalText(std::string_view text);

}  // namespace backoffice
