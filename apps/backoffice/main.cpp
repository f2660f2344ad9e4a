// backoffice: the command-line host of the order back office.
#include <sys/stat.h>

#include <csignal>
#include <exception>
#include <iostream>

#include "commands/command_line.h"
#include "platform/automation/text.h"

int main(int argc, char** argv) {
    // A file that reaches the size limit (RLIMIT_FSIZE) fails its write with
    // EFBIG, which the writers handle as a full disk; the signal would kill the
    // batch in the middle of a message instead.
    std::signal(SIGXFSZ, SIG_IGN);
    // Whatever a command creates (configuration, database, log, temporary files)
    // is its owner's alone; the few files shared with the back end get their
    // mode explicitly.
    ::umask(077);
    try {
        return backoffice::RunCommandLine(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "backoffice: " << ole::EscapeControls(e.what()) << "\n";
        return 1;
    }
}
