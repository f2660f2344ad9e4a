#include "gateway_simulator.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace {

namespace fs = std::filesystem;

// The test CA and the simulator's certificate for 127.0.0.1, made once per test program.
struct Certificates {
    TempDir dir;
    fs::path ca, cert, key;
    Certificates() {
        ca = dir.Path() / "ca.pem";
        cert = dir.Path() / "server.pem";
        key = dir.Path() / "server.key";
        std::string d = dir.Str();
        std::string script =
            "cd '" + d + "' && "
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
            "-days 2 -subj '/CN=Backoffice test CA' && "
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr "
            "-subj '/CN=127.0.0.1' && "
            "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > ext.cnf && "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
            "-extfile ext.cnf";
        if (std::system(("(" + script + ") > openssl.log 2>&1").c_str()) != 0 || !fs::exists(cert))
            throw std::runtime_error("openssl could not make the test certificates in " + d);
    }
};

const Certificates& TestCertificates() {
    static Certificates certificates;
    return certificates;
}

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

}  // namespace

GatewaySimulator::GatewaySimulator(const Options& options) : https_(options.https) {
    std::vector<std::string> args = {GATEWAY_SIMULATOR_BINARY, "serve", "--port-file", (dir_.Path() / "port").string(),
                                     "--journal", (dir_.Path() / "journal").string(), "--delay-ms",
                                     std::to_string(options.delayMs), "--latency-ms", std::to_string(options.latencyMs)};
    if (https_) {
        const auto& c = TestCertificates();
        args.insert(args.end(), {"--cert", c.cert.string(), "--key", c.key.string()});
    }
    process_.emplace(std::move(args), dir_.Path(), "gateway simulator");
}

std::string GatewaySimulator::Url() const {
    return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(process_->Port()) + "/ics";
}

void GatewaySimulator::ServeInstallation(const fs::path& home) const {
    fs::path file = home / "config" / "VendaloConfiguration.xml";
    std::string xml = ReadFile(file);
    xml = std::regex_replace(xml, std::regex("http://127\\.0\\.0\\.1:18490/"), Url());
    xml = std::regex_replace(xml, std::regex("<Setting name=\"CAFile\"></Setting>"),
                             "<Setting name=\"CAFile\">" + CaFile() + "</Setting>");
    WriteFile(file, xml);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
}

std::string GatewaySimulator::CaFile() { return TestCertificates().ca.string(); }
std::string GatewaySimulator::ServerCertificateFile() { return TestCertificates().cert.string(); }
std::string GatewaySimulator::ServerKeyFile() { return TestCertificates().key.string(); }

std::string GatewaySimulator::JournalText() const {
    fs::path journal = dir_.Path() / "journal";
    return fs::exists(journal) ? ReadFile(journal) : "";
}

std::vector<std::map<std::string, std::string>> GatewaySimulator::Journal() const {
    std::vector<std::map<std::string, std::string>> entries;
    std::string text = JournalText();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        std::map<std::string, std::string> entry;
        size_t p = 0;
        while (p <= line.size()) {
            size_t amp = line.find('&', p);
            std::string pair = line.substr(p, amp == std::string::npos ? std::string::npos : amp - p);
            size_t eq = pair.find('=');
            if (eq != std::string::npos) entry[PercentDecoded(pair.substr(0, eq))] = PercentDecoded(pair.substr(eq + 1));
            if (amp == std::string::npos) break;
            p = amp + 1;
        }
        if (!entry.empty()) entries.push_back(entry);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return entries;
}

size_t GatewaySimulator::Count(const std::string& field, const std::string& value) const {
    size_t n = 0;
    for (const auto& e : Journal()) {
        auto it = e.find(field);
        if (it != e.end() && it->second == value) ++n;
    }
    return n;
}

}  // namespace testing_support
