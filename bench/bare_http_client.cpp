#include "bare_http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace bench_support {

BareHttpClient::BareHttpClient(int port, std::string key) : fd_(socket(AF_INET, SOCK_STREAM, 0)), key_(std::move(key)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        throw std::runtime_error("bench: no connection to 127.0.0.1:" + std::to_string(port));
    }
}

BareHttpClient::~BareHttpClient() { close(fd_); }

std::string BareHttpClient::Request(const std::string& method, const std::string& path, const std::string& json) const {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json\r\n";
    if (!key_.empty()) request += "Authorization: Bearer " + key_ + "\r\n";
    if (!json.empty() || method != "GET")
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) + "\r\n";
    return request + "\r\n" + json;
}

bool BareHttpClient::Exchange(const std::string& request, std::string& answer) {
    answer.clear();
    if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    size_t headersEnd = std::string::npos, total = 0;
    char buffer[16384];
    while (total == 0 || answer.size() < total) {
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        answer.append(buffer, static_cast<size_t>(got));
        if (headersEnd == std::string::npos && (headersEnd = answer.find("\r\n\r\n")) != std::string::npos) {
            size_t at = answer.find("\r\nContent-Length: ");
            total = headersEnd + 4 + (at < headersEnd ? std::stoul(answer.substr(at + 18)) : 0);
        }
    }
    return true;
}

BareHttpClient::Answer BareHttpClient::Call(const std::string& method, const std::string& path, const std::string& json) {
    std::string raw;
    Answer answer;
    if (!Exchange(Request(method, path, json), raw) || raw.rfind("HTTP/1.1 ", 0) != 0) return answer;
    answer.status = std::stoi(raw.substr(9, 3));
    answer.body = raw.substr(raw.find("\r\n\r\n") + 4);
    return answer;
}

}  // namespace bench_support
