// backoffice: the command-line host of the order back office.
#include <csignal>
#include <exception>
#include <iostream>

#include "command_line.h"

int main(int argc, char** argv) {
    // A file that reaches the size limit (RLIMIT_FSIZE) fails its write with
    // EFBIG, which the writers handle as a full disk; the signal would kill the
    // batch in the middle of a message instead.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return backoffice::RunCommandLine(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "backoffice: " << e.what() << "\n";
        return 1;
    }
}
