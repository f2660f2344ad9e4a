// gateway-simulator: the card gateway, simulated on loopback for the tests,
// the demo and the benchmark. Not part of the back office; links nothing of it.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"

namespace {

const char* kUsage =
    "Usage: gateway-simulator serve [options]\n"
    "\n"
    "Plays the card gateway on a loopback address (not part of the back office).\n"
    "Requests are form posts to any path; replies are \"name=value\" lines.\n"
    "\n"
    "Options:\n"
    "  --host ADDRESS      loopback address to listen on (default 127.0.0.1)\n"
    "  --port N            port (default 0: any free port)\n"
    "  --port-file FILE    write the port there once listening\n"
    "  --cert FILE         server certificate (PEM); with --key, serve HTTPS\n"
    "  --key FILE          the certificate's private key (PEM)\n"
    "  --journal FILE      append one line per request (form-encoded; cards as their last four digits)\n"
    "  --delay-ms N        how late a reply to an amount ending in .88 comes (default 3000)\n"
    "  --latency-ms N      how long every request takes (default 0), as a real gateway would\n";

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
    }
    std::filesystem::rename(temporary, path);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    if (args[0] != "serve") {
        std::cerr << "gateway-simulator: unknown command '" << args[0] << "'\n\n" << kUsage;
        return 2;
    }
    std::string host = "127.0.0.1", portFile, cert, key, journalPath;
    int port = 0, delayMs = 3000, latencyMs = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
            return args[++i];
        };
        try {
            if (args[i] == "--host") host = value();
            else if (args[i] == "--port") port = std::stoi(value());
            else if (args[i] == "--port-file") portFile = value();
            else if (args[i] == "--cert") cert = value();
            else if (args[i] == "--key") key = value();
            else if (args[i] == "--journal") journalPath = value();
            else if (args[i] == "--delay-ms") delayMs = std::stoi(value());
            else if (args[i] == "--latency-ms") latencyMs = std::stoi(value());
            else throw std::invalid_argument("unknown option " + args[i]);
        } catch (const std::exception& e) {
            std::cerr << "gateway-simulator: " << e.what() << "\n";
            return 2;
        }
    }
    if (!IsLoopback(host)) {
        std::cerr << "gateway-simulator: listens on loopback addresses only, not " << host << "\n";
        return 2;
    }
    if (cert.empty() != key.empty()) {
        std::cerr << "gateway-simulator: --cert and --key go together\n";
        return 2;
    }

    // SIGINT and SIGTERM stop the server from a thread of their own.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<httplib::Server> server;
    if (cert.empty())
        server = std::make_unique<httplib::Server>();
    else
        server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!server->is_valid()) {
        std::cerr << "gateway-simulator: cannot use the certificate " << cert << " and key " << key << "\n";
        return 1;
    }
    // replies go out at once: Nagle's delay against the client's delayed ACK would add 40 ms to each
    server->set_tcp_nodelay(true);
    server->set_keep_alive_max_count(1000000);
    server->set_keep_alive_timeout(60);

    gatewaysim::Gateway gateway;
    std::mutex journalMutex;
    std::ofstream journal;
    if (!journalPath.empty()) {
        journal.open(journalPath, std::ios::app);
        if (!journal) {
            std::cerr << "gateway-simulator: cannot write the journal " << journalPath << "\n";
            return 1;
        }
    }
    auto handle = [&](const httplib::Request& request, httplib::Response& response) {
        if (latencyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(latencyMs));
        auto fields = gatewaysim::DecodeForm(request.body);
        if (!fields) {
            response.status = 400;
            response.set_content("malformed form body\n", "text/plain");
            return;
        }
        gatewaysim::JournalEntry entry;
        gatewaysim::Reply reply = gateway.Handle(*fields, entry);
        if (journal.is_open()) {
            std::lock_guard lock(journalMutex);
            journal << gatewaysim::EncodeForm(entry.fields) << "\n" << std::flush;
        }
        if (reply.delivery == gatewaysim::Delivery::Delayed)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        std::string body;
        if (reply.delivery == gatewaysim::Delivery::Garbled) {
            body = "\x02<html>502 upstream\x7f garbled ]]";
        } else {
            for (const auto& [name, value] : reply.fields) body += name + "=" + value + "\n";
        }
        response.set_content(body, "text/plain");
    };
    server->Post(R"(/.*)", handle);

    int bound = port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        std::cerr << "gateway-simulator: cannot listen on " << host << ":" << port << "\n";
        return 1;
    }
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        // every journal line is flushed as it is written; open keep-alive
        // connections would hold a graceful stop, so the process just ends
        std::_Exit(0);
    });
    stopper.detach();
    if (!portFile.empty()) WriteFileAtomically(portFile, std::to_string(bound) + "\n");
    std::cout << "gateway-simulator: listening on " << (cert.empty() ? "http" : "https") << "://" << host << ":" << bound
              << "/" << std::endl;
    server->listen_after_bind();
    return 0;
}
