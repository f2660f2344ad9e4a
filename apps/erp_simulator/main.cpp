// erp-simulator: the back end's EDI module, simulated on a folder.
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "business_objects.h"
#include "simulator.h"

namespace {

const char* kUsage =
    "Usage: erp-simulator <command> --export FILE --confirm FILE [options]\n"
    "       erp-simulator boi --archive DIR [--archive DIR ...] [options]\n"
    "\n"
    "Plays the back end's EDI module on a folder (not part of the back office).\n"
    "\n"
    "Commands:\n"
    "  prepare   place command.fil in the command folder (\"command\" beside the export file's folder)\n"
    "  cycle     take the export file (EDI or XML) if there is one, archive it, give each order a sales order\n"
    "            number and write the confirmation file; with --handshake only while command.fil\n"
    "            is absent, and place command.fil again afterwards\n"
    "  serve     run cycles until stopped (--interval-ms, default 500)\n"
    "  boi       answer the business objects (allocation, order line status) over HTTP on loopback\n"
    "            for the sales orders confirmed from the archives, until stopped\n"
    "\n"
    "Options:\n"
    "  --export FILE         the export file the web side writes (EDI messages or the XML document)\n"
    "  --confirm FILE        the confirmation file to write\n"
    "  --archive DIR         where taken export files are kept (default: <export folder>/archive)\n"
    "  --separator TEXT      field separator of EDI confirmation lines (default \",\")\n"
    "  --xml                 write an XML confirmation instead of EDI lines\n"
    "  --handshake           follow the semaphore files (command.fil)\n"
    "  --interval-ms N       pause between cycles of serve\n"
    "  --freight-part TEXT   part number of the freight line (default FREIGHT)\n"
    "\n"
    "Options of boi:\n"
    "  --port N              port on 127.0.0.1 (default 0: any free port)\n"
    "  --port-file FILE      write the port there once listening\n"
    "  --journal FILE        append one line per request: object, sales order, line\n"
    "  --allocation MODE     answer (default), no-record (a reply without RECORD), malformed,\n"
    "                        wrapped (the answer inside <X>), second-root (a second root after it)\n"
    "  --refuse LINE:ERROR   refuse the allocation of line LINE (or * for all) with error number ERROR (1-5)\n"
    "  --status MODE         answer (default: success), no-record, malformed, wrapped, second-root\n"
    "  --reason LINE:CODE    refuse the billing step of line LINE (or *) with reason code CODE\n";

erpsim::BoiPolicy::Reply Mode(const std::string& text) {
    if (text == "answer") return erpsim::BoiPolicy::Reply::Answer;
    if (text == "no-record") return erpsim::BoiPolicy::Reply::NoRecord;
    if (text == "malformed") return erpsim::BoiPolicy::Reply::Malformed;
    if (text == "wrapped") return erpsim::BoiPolicy::Reply::Wrapped;
    if (text == "second-root") return erpsim::BoiPolicy::Reply::SecondRoot;
    throw std::invalid_argument("unknown reply mode " + text);
}

// "LINE:NUMBER", LINE a line number or "*".
void AddRule(std::map<std::string, int>& rules, const std::string& text) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) throw std::invalid_argument("expected LINE:NUMBER, not " + text);
    rules[text.substr(0, colon)] = std::stoi(text.substr(colon + 1));
}

// Listens on loopback until SIGINT or SIGTERM.
int ServeBusinessObjects(const std::vector<std::filesystem::path>& archives, const erpsim::BoiPolicy& policy, int port,
                         const std::string& portFile, const std::string& journalFile) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::filesystem::path> books;
    for (const auto& archive : archives) books.push_back(erpsim::SalesOrderBook(archive));
    erpsim::BusinessObjects objects(books, policy);
    std::mutex journalMutex;
    std::ofstream journal;
    if (!journalFile.empty()) journal.open(journalFile, std::ios::app);
    httplib::Server server;
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(1000000);
    server.set_keep_alive_timeout(60);
    server.Post(R"(/.*)", [&](const httplib::Request& request, httplib::Response& response) {
        std::string journalLine;
        try {
            response.set_content(objects.Handle(request.body, journalLine), "application/xml; charset=UTF-8");
        } catch (const std::exception& e) {
            response.status = 400;
            response.set_content(std::string(e.what()) + "\n", "text/plain");
        }
        if (journal.is_open()) {
            std::lock_guard lock(journalMutex);
            journal << journalLine << "\n" << std::flush;
        }
    });
    int bound = port == 0 ? server.bind_to_any_port("127.0.0.1") : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) {
        std::cerr << "erp-simulator: cannot listen on 127.0.0.1:" << port << "\n";
        return 1;
    }
    std::thread stopper([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        std::_Exit(0);  // keep-alive connections would hold a graceful stop
    });
    stopper.detach();
    if (!portFile.empty()) {
        std::string temp = portFile + ".tmp";
        std::ofstream(temp) << bound << "\n";
        std::filesystem::rename(temp, portFile);
    }
    std::cout << "erp-simulator: business objects listening on http://127.0.0.1:" << bound << "/boi" << std::endl;
    server.listen_after_bind();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    erpsim::Settings s;
    int interval = 500;
    std::vector<std::filesystem::path> archives;
    erpsim::BoiPolicy policy;
    int port = 0;
    std::string portFile, journalFile;
    for (size_t i = 1; i < args.size(); ++i) {
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
            return args[++i];
        };
        try {
            if (args[i] == "--export") s.exportFile = value();
            else if (args[i] == "--confirm") s.confirmationFile = value();
            else if (args[i] == "--archive") archives.push_back(s.archive = value());
            else if (args[i] == "--freight-part") s.freightPart = value();
            else if (args[i] == "--port") port = std::stoi(value());
            else if (args[i] == "--port-file") portFile = value();
            else if (args[i] == "--journal") journalFile = value();
            else if (args[i] == "--allocation") policy.allocation = Mode(value());
            else if (args[i] == "--status") policy.status = Mode(value());
            else if (args[i] == "--refuse") AddRule(policy.refusals, value());
            else if (args[i] == "--reason") AddRule(policy.reasons, value());
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
    if (args[0] == "boi") {
        if (archives.empty()) {
            std::cerr << "erp-simulator: boi needs --archive\n" << kUsage;
            return 2;
        }
        return ServeBusinessObjects(archives, policy, port, portFile, journalFile);
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
