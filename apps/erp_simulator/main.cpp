// erp-simulator: the back end's EDI module, simulated on a folder.
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "business_objects.h"
#include "simulator.h"
#include "simulator_common.h"

namespace {

const char* kName = "erp-simulator";

erpsim::BoiPolicy::Reply Mode(const std::string& text) {
    if (text == "answer") return erpsim::BoiPolicy::Reply::Answer;
    if (text == "no-record") return erpsim::BoiPolicy::Reply::NoRecord;
    if (text == "malformed") return erpsim::BoiPolicy::Reply::Malformed;
    if (text == "wrapped") return erpsim::BoiPolicy::Reply::Wrapped;
    if (text == "second-root") return erpsim::BoiPolicy::Reply::SecondRoot;
    throw CLI::ValidationError("unknown reply mode " + text);
}

struct BoiOptions {
    std::vector<std::filesystem::path> archives;
    int port = 0;
    std::string portFile, journal, allocation = "answer", status = "answer";
    std::vector<std::string> refusals, reasons;  // LINE:NUMBER, LINE a line number or "*"
    int delayMs = 0;                              // before each answer
};

// Listens on loopback until SIGINT or SIGTERM.
int ServeBusinessObjects(const BoiOptions& o) {
    erpsim::BoiPolicy policy;
    policy.allocation = Mode(o.allocation);
    policy.status = Mode(o.status);
    for (const auto& text : o.refusals) {
        auto [line, number] = simcommon::KeyAndNumber(text, ':');
        policy.refusals[line] = number;
    }
    for (const auto& text : o.reasons) {
        auto [line, number] = simcommon::KeyAndNumber(text, ':');
        policy.reasons[line] = number;
    }
    simcommon::BlockStopSignals();
    std::vector<std::filesystem::path> books;
    for (const auto& archive : o.archives) books.push_back(erpsim::SalesOrderBook(archive));
    erpsim::BusinessObjects objects(books, policy);
    std::mutex journalMutex;
    std::ofstream journal;
    if (!o.journal.empty()) journal.open(o.journal, std::ios::app);
    httplib::Server server;
    // calls come side by side (a stage sends up to 64 at once): one thread each
    server.new_task_queue = [] { return new httplib::ThreadPool(72); };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(1000000);
    server.set_keep_alive_timeout(60);
    server.Post(R"(/.*)", [&](const httplib::Request& request, httplib::Response& response) {
        std::string journalLine;
        if (o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
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
    return simcommon::ServeUntilStopped(server, kName, "127.0.0.1", o.port, o.portFile, [](int port) {
        return "erp-simulator: business objects listening on http://127.0.0.1:" + std::to_string(port) + "/boi";
    });
}

// The options of the commands that work on the folder of an export file.
void AddFolderOptions(CLI::App& command, erpsim::Settings& s, bool confirm) {
    command.add_option("--export", s.exportFile, "the export file the web side writes (EDI messages or the XML document)")
        ->required();
    auto* confirmation = command.add_option("--confirm", s.confirmationFile, "the confirmation file to write");
    if (confirm) confirmation->required();
    command.add_option("--archive", s.archive, "where taken export files are kept (default: <export folder>/archive)");
    command.add_option("--separator", s.separator, "field separator of EDI confirmation lines (default \",\")");
    command.add_flag("--xml", s.xmlConfirmation, "write an XML confirmation instead of EDI lines");
    command.add_flag("--handshake", s.handshake, "follow the semaphore files (command.fil)");
    command.add_option("--freight-part", s.freightPart, "part number of the freight line (default FREIGHT)");
}

int RunCycles(erpsim::Settings s, bool serve, int interval) {
    if (s.archive.empty()) s.archive = s.exportFile.parent_path() / "archive";
    do {
        auto r = erpsim::RunCycle(s);
        if (!r.archivedAs.empty())
            std::cout << "erp-simulator: took " << r.orderIds.size() << " order(s), archived as " << r.archivedAs
                      << ", confirmed in " << s.confirmationFile.string() << std::endl;
        if (serve) std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    } while (serve);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Plays the back end's EDI module on a folder (not part of the back office).", kName);
    erpsim::Settings settings;
    int interval = 500;
    auto* prepare = app.add_subcommand(
        "prepare", "place command.fil in the command folder (\"command\" beside the export file's folder)");
    AddFolderOptions(*prepare, settings, false);
    auto* cycle = app.add_subcommand(
        "cycle", "take the export file (EDI or XML) if there is one, archive it, give each order a sales order number "
                 "and write the confirmation file; with --handshake only while command.fil is absent, and place "
                 "command.fil again afterwards");
    AddFolderOptions(*cycle, settings, true);
    auto* serve = app.add_subcommand("serve", "run cycles until stopped");
    AddFolderOptions(*serve, settings, true);
    serve->add_option("--interval-ms", interval, "pause between cycles (default 500)");
    BoiOptions boi;
    auto* objects = app.add_subcommand("boi", "answer the business objects (allocation, order line status) over HTTP "
                                              "on loopback for the sales orders confirmed from the archives, until "
                                              "stopped");
    objects->add_option("--archive", boi.archives, "an archive of confirmed sales orders (one or more)")->required();
    objects->add_option("--port", boi.port, "port on 127.0.0.1 (default 0: any free port)");
    objects->add_option("--port-file", boi.portFile, "write the port there once listening");
    objects->add_option("--journal", boi.journal, "append one line per request: object, sales order, line");
    objects->add_option("--allocation", boi.allocation,
                        "answer (default), no-record (a reply without RECORD), malformed, wrapped (the answer inside "
                        "<X>), second-root (a second root after it)");
    objects->add_option("--status", boi.status, "answer (default: success), no-record, malformed, wrapped, second-root");
    objects->add_option("--refuse", boi.refusals, "refuse the allocation of line LINE (or * for all) with error number "
                                                  "ERROR (1-5)")
        ->type_name("LINE:ERROR");
    objects->add_option("--reason", boi.reasons, "refuse the billing step of line LINE (or *) with reason code CODE")
        ->type_name("LINE:CODE");
    objects->add_option("--boi-delay-ms", boi.delayMs, "answer each call after this many milliseconds (default 0)")
        ->check(CLI::Range(0, 600000));
    if (int parsed = simcommon::ParseCommandLine(app, argc, argv); parsed >= 0) return parsed;
    try {
        if (objects->parsed()) return ServeBusinessObjects(boi);
        if (prepare->parsed()) {
            erpsim::PlaceCommandFile(settings);
            return 0;
        }
        return RunCycles(settings, serve->parsed(), interval);
    } catch (const CLI::Error& e) {
        std::cerr << "erp-simulator: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "erp-simulator: " << e.what() << "\n";
        return 1;
    }
}
