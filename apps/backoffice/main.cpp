// backoffice: the command-line host of the order back office.
#include <exception>
#include <iostream>

#include "command_line.h"

int main(int argc, char** argv) {
    try {
        return backoffice::RunCommandLine(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "backoffice: " << e.what() << "\n";
        return 1;
    }
}
