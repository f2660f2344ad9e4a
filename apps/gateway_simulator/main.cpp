// gateway-simulator: the card gateway, simulated on loopback for the tests,
// the demo and the benchmark. Not part of the back office; links nothing of it.
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "simulator_common.h"

namespace {

const char* kName = "gateway-simulator";

struct Options {
    std::string host = "127.0.0.1", portFile, cert, key, journal;
    int port = 0, delayMs = 3000, latencyMs = 0;
};

void Handle(gatewaysim::Gateway& gateway, const Options& o, std::ofstream& journal, std::mutex& journalMutex,
            const httplib::Request& request, httplib::Response& response) {
    if (o.latencyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.latencyMs));
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
        std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
    std::string body;
    if (reply.delivery == gatewaysim::Delivery::Garbled) {
        body = "\x02<html>502 upstream\x7f garbled ]]";
    } else {
        for (const auto& [name, value] : reply.fields) body += name + "=" + value + "\n";
    }
    response.set_content(body, "text/plain");
}

int Serve(const Options& o) {
    if (!simcommon::IsLoopback(o.host)) {
        std::cerr << "gateway-simulator: listens on loopback addresses only, not " << o.host << "\n";
        return 2;
    }
    if (o.cert.empty() != o.key.empty()) {
        std::cerr << "gateway-simulator: --cert and --key go together\n";
        return 2;
    }
    simcommon::BlockStopSignals();
    std::unique_ptr<httplib::Server> server;
    if (o.cert.empty())
        server = std::make_unique<httplib::Server>();
    else
        server = std::make_unique<httplib::SSLServer>(o.cert.c_str(), o.key.c_str());
    if (!server->is_valid()) {
        std::cerr << "gateway-simulator: cannot use the certificate " << o.cert << " and key " << o.key << "\n";
        return 1;
    }
    // replies go out at once: Nagle's delay against the client's delayed ACK would add 40 ms to each
    server->set_tcp_nodelay(true);
    server->set_keep_alive_max_count(1000000);
    server->set_keep_alive_timeout(60);
    simcommon::AnswerSideBySide(*server);

    gatewaysim::Gateway gateway;
    std::mutex journalMutex;
    std::ofstream journal;
    if (!o.journal.empty()) {
        journal.open(o.journal, std::ios::app);
        if (!journal) {
            std::cerr << "gateway-simulator: cannot write the journal " << o.journal << "\n";
            return 1;
        }
    }
    server->Post(R"(/.*)", [&](const httplib::Request& request, httplib::Response& response) {
        Handle(gateway, o, journal, journalMutex, request, response);
    });

    return simcommon::ServeUntilStopped(*server, kName, o.host, o.port, o.portFile, [&](int port) {
        return "gateway-simulator: listening on " + std::string(o.cert.empty() ? "http" : "https") + "://" + o.host +
               ":" + std::to_string(port) + "/";
    });
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Plays the card gateway on a loopback address (not part of the back office).\n"
                 "Requests are form posts to any path; replies are \"name=value\" lines.",
                 kName);
    Options o;
    auto* serve = app.add_subcommand("serve", "serve the gateway until stopped");
    serve->add_option("--host", o.host, "loopback address to listen on (default 127.0.0.1)");
    serve->add_option("--port", o.port, "port (default 0: any free port)");
    serve->add_option("--port-file", o.portFile, "write the port there once listening");
    serve->add_option("--cert", o.cert, "server certificate (PEM); with --key, serve HTTPS");
    serve->add_option("--key", o.key, "the certificate's private key (PEM)");
    serve->add_option("--journal", o.journal,
                      "append one line per request (form-encoded; cards as their last four digits)");
    serve->add_option("--delay-ms", o.delayMs, "how late a reply to an amount ending in .88 comes (default 3000)");
    serve->add_option("--latency-ms", o.latencyMs, "how long every request takes (default 0), as a real gateway would");
    if (int parsed = simcommon::ParseCommandLine(app, argc, argv); parsed >= 0) return parsed;
    return Serve(o);
}
