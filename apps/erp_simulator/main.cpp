// erp-simulator: the back end's EDI module, simulated on a folder.
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "simulator.h"

namespace {

const char* kUsage =
    "Usage: erp-simulator <command> --export FILE --confirm FILE [options]\n"
    "\n"
    "Plays the back end's EDI module on a folder (not part of the back office).\n"
    "\n"
    "Commands:\n"
    "  prepare   place command.fil in the command folder (\"command\" beside the export file's folder)\n"
    "  cycle     take the export file (EDI or XML) if there is one, archive it, give each order a sales order\n"
    "            number and write the confirmation file; with --handshake only while command.fil\n"
    "            is absent, and place command.fil again afterwards\n"
    "  serve     run cycles until stopped (--interval-ms, default 500)\n"
    "\n"
    "Options:\n"
    "  --export FILE         the export file the web side writes (EDI messages or the XML document)\n"
    "  --confirm FILE        the confirmation file to write\n"
    "  --archive DIR         where taken export files are kept (default: <export folder>/archive)\n"
    "  --separator TEXT      field separator of EDI confirmation lines (default \",\")\n"
    "  --xml                 write an XML confirmation instead of EDI lines\n"
    "  --handshake           follow the semaphore files (command.fil)\n"
    "  --interval-ms N       pause between cycles of serve\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    erpsim::Settings s;
    int interval = 500;
    for (size_t i = 1; i < args.size(); ++i) {
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
            return args[++i];
        };
        try {
            if (args[i] == "--export") s.exportFile = value();
            else if (args[i] == "--confirm") s.confirmationFile = value();
            else if (args[i] == "--archive") s.archive = value();
            else if (args[i] == "--separator") s.separator = value();
            else if (args[i] == "--xml") s.xmlConfirmation = true;
            else if (args[i] == "--handshake") s.handshake = true;
            else if (args[i] == "--interval-ms") interval = std::stoi(value());
            else throw std::invalid_argument("unknown option " + args[i]);
        } catch (const std::exception& e) {
            std::cerr << "erp-simulator: " << e.what() << "\n";
            return 2;
        }
    }
    if (s.exportFile.empty() || (args[0] != "prepare" && s.confirmationFile.empty())) {
        std::cerr << "erp-simulator: --export and --confirm are required\n" << kUsage;
        return 2;
    }
    if (s.archive.empty()) s.archive = s.exportFile.parent_path() / "archive";
    try {
        if (args[0] == "prepare") {
            erpsim::PlaceCommandFile(s);
            return 0;
        }
        if (args[0] == "cycle" || args[0] == "serve") {
            do {
                auto r = erpsim::RunCycle(s);
                if (!r.archivedAs.empty())
                    std::cout << "erp-simulator: took " << r.orderIds.size() << " order(s), archived as "
                              << r.archivedAs << ", confirmed in " << s.confirmationFile.string() << std::endl;
                if (args[0] == "serve") std::this_thread::sleep_for(std::chrono::milliseconds(interval));
            } while (args[0] == "serve");
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "erp-simulator: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "erp-simulator: unknown command '" << args[0] << "'\n" << kUsage;
    return 2;
}
