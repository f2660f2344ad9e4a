#include "commands/command_line.h"

#include <cstdlib>
#include <iostream>

#include "all/register_all.h"
#include "commands/commands.h"

namespace backoffice {

namespace {

const char* const kFooter =
    "DIR defaults to the first folder of VENDALO_HOME. Each command has its own --help.\n"
    "Exit codes: 0 done, 1 could not be done (the message says why), 2 wrong command line,\n"
    "3 another batch or payment run of the installation holds the lock, 4 the batch ran but a\n"
    "part of it stopped, or a price import refused rows and stored nothing.";

// What the parser could not place, named: a command or an option it does not know.
std::string UnknownArgument(const CLI::App& app, const CLI::ParseError& e) {
    auto left = app.remaining();
    if (left.empty()) return e.what();
    const std::string& first = left.front();
    if (first.rfind("-", 0) == 0) return "unknown option " + first;
    return "unknown command '" + first + "'";
}

}  // namespace

// BACKOFFICE_VERSION and BACKOFFICE_GIT_COMMIT come from CMake (apps/backoffice/CMakeLists.txt).
const char* const kVersionText = "backoffice " BACKOFFICE_VERSION " (commit " BACKOFFICE_GIT_COMMIT ")";

void AddHomeOption(CLI::App& command, std::optional<std::string>& home) {
    command.add_option("--home", home, "the installation folder (default: the first folder of VENDALO_HOME)")
        ->type_name("DIR");
}

std::string HomeFolder(const std::optional<std::string>& home) {
    if (home) return *home;
    const char* env = std::getenv("VENDALO_HOME");
    std::string list = env ? env : "";
    return list.substr(0, list.find(':'));
}

int RunCommandLine(int argc, char** argv) {
    CLI::App app("backoffice: the command-line host of the order back office", "backoffice");
    app.footer(kFooter);
    app.require_subcommand(1);
    app.fallthrough(false);
    app.set_version_flag("--version", kVersionText, "the version and the commit it was built from");
    app.set_help_all_flag("--help-all", "every command's help, one after the other");
    Runner selected;
    AddAllCommands(app, selected);
    auto* help = app.add_subcommand("help", "show this text, or a command's (help COMMAND)");
    std::string topic;
    help->add_option("command", topic, "the command to describe")->type_name("COMMAND");
    // the application's own help text, before a parsed subcommand takes it over
    const std::string usage = app.help();
    help->callback([&] {
        selected = [&] {
            if (topic.empty()) {
                std::cout << usage;
                return 0;
            }
            for (const auto* command : app.get_subcommands({}))
                if (command->get_name() == topic && command != help) {
                    std::cout << command->help();
                    return 0;
                }
            std::cerr << "backoffice: unknown command '" << topic << "'\nRun `backoffice --help` for the commands.\n";
            return 2;
        };
    });
    help->footer("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << (app.get_subcommands().empty() ? usage : app.get_subcommands().front()->help());
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::cout << kVersionText << "\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << "backoffice: " << UnknownArgument(app, e) << "\nRun `backoffice --help` for the commands.\n";
        return 2;
    }
    if (!selected) return 2;
    RegisterAllComponents();
    return selected();
}

}  // namespace backoffice
