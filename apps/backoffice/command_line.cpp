#include "command_line.h"

#include <cstdlib>

namespace backoffice {

const char* const kUsage =
    "Usage: backoffice <command> [options]\n"
    "\n"
    "Commands:\n"
    "  init [--home DIR] [--demo] [--connection STR]\n"
    "        make DIR a new installation: config/VendaloConfiguration.xml (connection string and\n"
    "        sales parameters), config/SiteConfiguration.xml (membership settings), data/, log/,\n"
    "        Vendalo/TempEdiFtp and the sales database with its tables. DIR must be missing or\n"
    "        empty; a folder that already holds an installation is left as it is.\n"
    "        --demo            also load the demo data (partners, products, prices, freight,\n"
    "                          two back-end instances, an export registry under DIR/edi\n"
    "                          and DIR/edi2)\n"
    "        --connection STR  use this database instead of the embedded DIR/data/vendalo.db, e.g.\n"
    "                          \"Provider=PostgreSQL;Host=db;Port=5432;Database=shop;User ID=shop;Password=...\"\n"
    "  batch [--home DIR]\n"
    "        run one batch: for every back-end instance of the export registry the semaphore\n"
    "        handshake, the export of new orders and the import of confirmations, then the later\n"
    "        stages and the closing of fully billed orders. Prints a summary. Exits 0 when the\n"
    "        batch ran (stage failures are in the log), 1 when it could not start, 3 when another\n"
    "        batch of the installation is running\n"
    "  demo [--home DIR]\n"
    "        play the web shop on a demo installation: four customers fill baskets and submit\n"
    "        them as orders (status 0), ready for the batch\n"
    "  orders [--home DIR]\n"
    "        list the orders with their back-end instance, status and sales order number\n"
    "  help  show this text\n"
    "\n"
    "DIR defaults to the first folder of VENDALO_HOME. A wrong command line exits with 2.\n";

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    if (args.empty()) throw UsageError("no command given");
    line.command = args[0];
    if (line.command == "--help" || line.command == "-h") line.command = "help";
    if (line.command != "init" && line.command != "batch" && line.command != "demo" && line.command != "orders" && line.command != "help")
        throw UsageError("unknown command '" + line.command + "'");
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw UsageError(option + " needs a value");
            return args[++i];
        };
        if (option == "--help" || option == "-h")
            line.help = true;
        else if (option == "--home")
            line.home = value();
        else if (option == "--demo" && line.command == "init")
            line.demo = true;
        else if (option == "--connection" && line.command == "init")
            line.connection = value();
        else
            throw UsageError("'" + line.command + "' does not take '" + option + "'");
    }
    return line;
}

std::string HomeFolder(const CommandLine& line, const std::string& fallback) {
    if (line.home) return *line.home;
    const char* env = std::getenv("VENDALO_HOME");
    std::string list = env ? env : "";
    std::string first = list.substr(0, list.find(':'));
    return first.empty() ? fallback : first;
}

}  // namespace backoffice
