// backoffice: the command-line host of the order back office.
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "register_all.h"

int main(int argc, char** argv) {
    using namespace backoffice;
    CommandLine line;
    try {
        line = ParseCommandLine({argv + 1, argv + argc});
    } catch (const UsageError& e) {
        std::cerr << "backoffice: " << e.what() << "\n\n" << kUsage;
        return 2;
    }
    if (line.command == "help" || line.help) {
        std::cout << kUsage;
        return 0;
    }
    RegisterAllComponents();
    try {
        if (line.command == "init") return RunInit(line);
        if (line.command == "batch") return RunBatch(line);
        if (line.command == "orders") return RunOrders(line);
        return RunDemo(line);
    } catch (const std::exception& e) {
        std::cerr << "backoffice " << line.command << ": " << e.what() << "\n";
        return 1;
    }
}
