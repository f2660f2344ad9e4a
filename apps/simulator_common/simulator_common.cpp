#include "simulator_common.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

namespace simcommon {

int ParseCommandLine(CLI::App& app, int argc, char** argv) {
    app.require_subcommand(0, 1);
    auto* help = app.add_subcommand("help", "show this text");
    // the program's own help, before a parsed command takes it over
    const std::string usage = app.help();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << (app.get_subcommands().empty() ? usage : app.get_subcommands().front()->help());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << app.get_name() << ": " << e.what() << "\nRun `" << app.get_name() << " --help` for the commands.\n";
        return 2;
    }
    if (help->parsed()) {
        std::cout << usage;
        return 0;
    }
    if (app.get_subcommands().empty()) {
        std::cout << usage;
        return 2;
    }
    return -1;
}

std::pair<std::string, int> KeyAndNumber(const std::string& text, char separator) {
    size_t at = text.rfind(separator);
    try {
        if (at != std::string::npos && at > 0) {
            size_t used = 0;
            int number = std::stoi(text.substr(at + 1), &used);
            if (used == text.size() - at - 1) return {text.substr(0, at), number};
        }
    } catch (const std::exception&) {
    }
    throw CLI::ValidationError("expected KEY" + std::string(1, separator) + "NUMBER, not " + text);
}

bool IsLoopback(const std::string& host) { return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0; }

namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

void BlockStopSignals() {
    sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void AnswerSideBySide(httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kAnsweringThreads); };
}

int ServeUntilStopped(httplib::Server& server, const std::string& name, const std::string& host, int port,
                      const std::string& portFile, const std::function<std::string(int)>& banner) {
    int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        std::cerr << name << ": cannot listen on " << host << ":" << port << "\n";
        return 1;
    }
    std::thread([] {
        sigset_t signals = StopSignals();
        int received = 0;
        sigwait(&signals, &received);
        std::_Exit(0);
    }).detach();
    if (!portFile.empty()) {
        std::string temporary = portFile + ".tmp";
        std::ofstream(temporary, std::ios::trunc) << bound << "\n";
        std::filesystem::rename(temporary, portFile);
    }
    std::cout << banner(bound) << std::endl;
    server.listen_after_bind();
    return 0;
}

}  // namespace simcommon
