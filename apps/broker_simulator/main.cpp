// broker-simulator: the requisition broker, simulated on loopback for the
// tests and the demo. Not part of the back office; links nothing of it.
//
//   serve: takes the shop's form posts (acknowledgements, order requests) on
//          any path, writes each to a journal (one JSON object a line: path,
//          content type, raw body, the decoded XMLINPUT document) and answers
//          with the status or after the delay set for the path.
//   send:  posts a requisition document to the shop's intake, as a form field
//          XMLINPUT or as text/xml, and prints the answer.
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* kUsage =
    "Usage: broker-simulator serve [options]\n"
    "       broker-simulator send --url URL --key KEY --file FILE [--xml]\n"
    "\n"
    "Plays the requisition broker on a loopback address (not part of the back office).\n"
    "\n"
    "serve options:\n"
    "  --host ADDRESS      loopback address to listen on (default 127.0.0.1)\n"
    "  --port N            port (default 0: any free port)\n"
    "  --port-file FILE    write the port there once listening\n"
    "  --journal FILE      append one JSON line per post (path, content_type, body, xmlinput)\n"
    "  --status PATH=CODE  answer posts to PATH with that HTTP status (default 200)\n"
    "  --delay PATH=MS     answer posts to PATH only after that many milliseconds\n"
    "\n"
    "send options:\n"
    "  --url URL           the shop's intake, e.g. http://127.0.0.1:8080/reqlink/requisitions\n"
    "  --key KEY           the broker's key (sent as Authorization: Bearer)\n"
    "  --file FILE         the requisition document\n"
    "  --xml               post it as text/xml instead of the form field XMLINPUT\n";

bool IsLoopback(const std::string& host) { return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0; }

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

// "PATH=VALUE" as a pair.
std::pair<std::string, int> PathSetting(const std::string& text) {
    size_t eq = text.rfind('=');
    if (eq == std::string::npos || eq == 0) throw std::invalid_argument("expected PATH=NUMBER, not " + text);
    return {text.substr(0, eq), std::stoi(text.substr(eq + 1))};
}

int Serve(const std::vector<std::string>& args) {
    std::string host = "127.0.0.1", portFile, journalPath;
    int port = 0;
    std::map<std::string, int> statuses, delays;
    for (size_t i = 0; i < args.size(); ++i) {
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
            return args[++i];
        };
        if (args[i] == "--host") host = value();
        else if (args[i] == "--port") port = std::stoi(value());
        else if (args[i] == "--port-file") portFile = value();
        else if (args[i] == "--journal") journalPath = value();
        else if (args[i] == "--status") statuses.insert(PathSetting(value()));
        else if (args[i] == "--delay") delays.insert(PathSetting(value()));
        else throw std::invalid_argument("unknown option " + args[i]);
    }
    if (!IsLoopback(host)) throw std::invalid_argument("listens on loopback addresses only, not " + host);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(64 << 20);
    std::mutex journalMutex;
    std::ofstream journal;
    if (!journalPath.empty()) {
        journal.open(journalPath, std::ios::app);
        if (!journal) throw std::runtime_error("cannot write the journal " + journalPath);
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
        auto s = statuses.find(request.path);
        response.status = s == statuses.end() ? 200 : s->second;
        response.set_content("OK\n", "text/plain");
    });

    int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::_Exit(0);  // every journal line is flushed as it is written
    });
    stopper.detach();
    if (!portFile.empty()) {
        std::string temporary = portFile + ".tmp";
        std::ofstream(temporary, std::ios::trunc) << bound << "\n";
        std::filesystem::rename(temporary, portFile);
    }
    std::cout << "broker-simulator: listening on http://" << host << ":" << bound << "/" << std::endl;
    server.listen_after_bind();
    return 0;
}

int Send(const std::vector<std::string>& args) {
    std::string url, key, file;
    bool xml = false;
    for (size_t i = 0; i < args.size(); ++i) {
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
            return args[++i];
        };
        if (args[i] == "--url") url = value();
        else if (args[i] == "--key") key = value();
        else if (args[i] == "--file") file = value();
        else if (args[i] == "--xml") xml = true;
        else throw std::invalid_argument("unknown option " + args[i]);
    }
    if (url.empty() || file.empty()) throw std::invalid_argument("send needs --url and --file");
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
    if (!key.empty()) headers.emplace("Authorization", "Bearer " + key);
    auto result = xml ? client.Post(path, headers, document.str(), "text/xml")
                      : client.Post(path, headers, "XMLINPUT=" + FormEncode(document.str()),
                                    "application/x-www-form-urlencoded");
    if (!result) throw std::runtime_error("no answer from " + url + ": " + httplib::to_string(result.error()));
    std::cout << result->status << " " << result->body << std::endl;
    return result->status >= 200 && result->status < 300 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        if (args[0] == "serve") return Serve(rest);
        if (args[0] == "send") return Send(rest);
        std::cerr << "broker-simulator: unknown command '" << args[0] << "'\n\n" << kUsage;
        return 2;
    } catch (const std::invalid_argument& e) {
        std::cerr << "broker-simulator: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "broker-simulator: " << e.what() << "\n";
        return 1;
    }
}
