// The command line of the host: one command and its options.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace backoffice {

struct CommandLine {
    std::string command;                    // "init", "demo", "help"
    std::optional<std::string> home;        // --home DIR
    std::optional<std::string> connection;  // --connection STR (init)
    bool demo = false;                      // --demo (init)
    bool help = false;                      // --help after a command
};

// A command line that names no known command or carries an option the command does not take.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The installation folder: --home, else the first folder of VENDALO_HOME, else the fallback ("" when none).
std::string HomeFolder(const CommandLine& line, const std::string& fallback = "");

extern const char* const kUsage;

}  // namespace backoffice
