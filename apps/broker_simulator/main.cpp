// broker-simulator: the requisition broker, simulated on loopback for the
// tests and the demo. Not part of the back office; links nothing of it.
//
//   serve: takes the shop's form posts (acknowledgements, order requests) on
//          any path, writes each to a journal (one JSON object a line: path,
//          content type, raw body, the decoded XMLINPUT document) and answers
//          with the status, after the delay set for the path or the
//          latency set for every post; posts are answered side by side.
//   send:  posts a requisition document to the shop's intake, as a form field
//          XMLINPUT or as text/xml, and prints the answer.
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator_common.h"

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string FormDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') out += ' ';
        else if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
            out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
            i += 2;
        } else out += text[i];
    }
    return out;
}

std::string FormEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~')
            out += static_cast<char>(c);
        else out += {'%', hex[c >> 4], hex[c & 15]};
    }
    return out;
}

// The XMLINPUT field of a form body, decoded ("" without one).
std::string XmlInput(const std::string& body) {
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        std::string pair = body.substr(start, end - start);
        if (pair.rfind("XMLINPUT=", 0) == 0) return FormDecode(pair.substr(9));
        start = end + 1;
    }
    return "";
}

struct ServeOptions {
    std::string host = "127.0.0.1", portFile, journal;
    int port = 0, latencyMs = 0;
    std::vector<std::string> statuses, delays;  // PATH=NUMBER
};

int Serve(const ServeOptions& o) {
    if (!simcommon::IsLoopback(o.host)) throw CLI::ValidationError("listens on loopback addresses only, not " + o.host);
    std::map<std::string, int> statuses, delays;
    for (const auto& text : o.statuses) statuses.insert(simcommon::KeyAndNumber(text, '='));
    for (const auto& text : o.delays) delays.insert(simcommon::KeyAndNumber(text, '='));
    simcommon::BlockStopSignals();

    httplib::Server server;
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(64 << 20);
    simcommon::AnswerSideBySide(server);
    std::mutex journalMutex;
    std::ofstream journal;
    if (!o.journal.empty()) {
        journal.open(o.journal, std::ios::app);
        if (!journal) throw std::runtime_error("cannot write the journal " + o.journal);
    }
    server.Post(R"(/.*)", [&](const httplib::Request& request, httplib::Response& response) {
        nlohmann::json entry{{"path", request.path},
                             {"content_type", request.get_header_value("Content-Type")},
                             {"body", request.body},
                             {"xmlinput", XmlInput(request.body)}};
        if (journal.is_open()) {
            std::lock_guard lock(journalMutex);
            // invalid UTF-8 is replaced, so that every line stays JSON
            journal << entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n" << std::flush;
        }
        if (auto d = delays.find(request.path); d != delays.end())
            std::this_thread::sleep_for(std::chrono::milliseconds(d->second));
        else if (o.latencyMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(o.latencyMs));
        auto s = statuses.find(request.path);
        response.status = s == statuses.end() ? 200 : s->second;
        response.set_content("OK\n", "text/plain");
    });

    return simcommon::ServeUntilStopped(server, "broker-simulator", o.host, o.port, o.portFile, [&](int port) {
        return "broker-simulator: listening on http://" + o.host + ":" + std::to_string(port) + "/";
    });
}

struct SendOptions {
    std::string url, key, file;
    bool xml = false;
};

int Send(const SendOptions& o) {
    const std::string& url = o.url;
    const std::string& file = o.file;
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file);
    std::stringstream document;
    document << in.rdbuf();
    // "http://host:port/path" -> client of "http://host:port" and the path
    size_t slash = url.find('/', url.find("://") + 3);
    std::string origin = url.substr(0, slash), path = slash == std::string::npos ? "/" : url.substr(slash);
    httplib::Client client(origin);
    client.set_connection_timeout(5);
    client.set_read_timeout(60);
    httplib::Headers headers;
    if (!o.key.empty()) headers.emplace("Authorization", "Bearer " + o.key);
    auto result = o.xml ? client.Post(path, headers, document.str(), "text/xml")
                        : client.Post(path, headers, "XMLINPUT=" + FormEncode(document.str()),
                                      "application/x-www-form-urlencoded");
    if (!result) throw std::runtime_error("no answer from " + url + ": " + httplib::to_string(result.error()));
    std::cout << result->status << " " << result->body << std::endl;
    return result->status >= 200 && result->status < 300 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Plays the requisition broker on a loopback address (not part of the back office).",
                 "broker-simulator");
    ServeOptions serve;
    auto* serveCommand = app.add_subcommand("serve", "take the shop's form posts on any path, journal and answer them");
    serveCommand->add_option("--host", serve.host, "loopback address to listen on (default 127.0.0.1)");
    serveCommand->add_option("--port", serve.port, "port (default 0: any free port)");
    serveCommand->add_option("--port-file", serve.portFile, "write the port there once listening");
    serveCommand->add_option("--journal", serve.journal,
                             "append one JSON line per post (path, content_type, body, xmlinput)");
    serveCommand->add_option("--status", serve.statuses, "answer posts to PATH with that HTTP status (default 200)")
        ->type_name("PATH=CODE");
    serveCommand->add_option("--delay", serve.delays, "answer posts to PATH only after that many milliseconds")
        ->type_name("PATH=MS");
    serveCommand->add_option("--latency-ms", serve.latencyMs,
                             "answer every other post only after that many milliseconds (default 0), as a real broker would")
        ->check(CLI::Range(0, 600000));
    SendOptions send;
    auto* sendCommand = app.add_subcommand("send", "post a requisition document to the shop's intake");
    sendCommand->add_option("--url", send.url, "the shop's intake, e.g. http://127.0.0.1:8080/reqlink/requisitions")
        ->required();
    sendCommand->add_option("--key", send.key, "the broker's key (sent as Authorization: Bearer)");
    sendCommand->add_option("--file", send.file, "the requisition document")->required();
    sendCommand->add_flag("--xml", send.xml, "post it as text/xml instead of the form field XMLINPUT");
    if (int parsed = simcommon::ParseCommandLine(app, argc, argv); parsed >= 0) return parsed;
    try {
        return serveCommand->parsed() ? Serve(serve) : Send(send);
    } catch (const CLI::Error& e) {
        std::cerr << "broker-simulator: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "broker-simulator: " << e.what() << "\n";
        return 1;
    }
}
