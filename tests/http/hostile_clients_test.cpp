// `backoffice serve` against clients that try to wear it down: answers
// multiplied by ranges, connections that trickle or crowd in from one address,
// a second host on the same port, a burst of connections, a database that
// cannot be reached; and the transport over TLS.
//
// BACKOFFICE_TRICKLE_SECONDS=N runs the trickle for N seconds instead of a few
// and prints the probes' latencies and the host's memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <regex>
#include <thread>

#include "gateway_simulator.h"
#include "installation/sql_scripts.h"
#include "run_program.h"
#include "serve_process.h"
#include "test_db.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A TCP connection to the host from a loopback address of the test's choice.
class RawConnection {
public:
    RawConnection(int port, const std::string& from = "127.0.0.1", bool wait = true) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | (wait ? 0 : SOCK_NONBLOCK), 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in host{};
        host.sin_family = AF_INET;
        host.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &host.sin_addr);
        int rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&host), sizeof host);
        if (rc != 0 && !(errno == EINPROGRESS && !wait)) throw std::runtime_error("cannot connect to the host");
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // False once the host has closed the connection.
    bool Send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // What has arrived, without waiting; false once the host has closed the connection.
    bool Discard() {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) continue;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    // The status of the answer that arrives within `seconds`; -1 when the host closes instead.
    int Status(int seconds) {
        return StatusOnceRead(seconds, [](const std::string& text) { return text.find("\r\n") != std::string::npos; });
    }
    // The status of a whole answer (its head and Content-Length bytes of body) that
    // arrives within `seconds`; -1 when the host closes instead.
    int WholeStatus(int seconds) {
        return StatusOnceRead(seconds, [](const std::string& text) {
            size_t head = text.find("\r\n\r\n");
            std::smatch length;
            return head != std::string::npos && std::regex_search(text, length, std::regex("Content-Length: (\\d+)")) &&
                   text.size() == head + 4 + std::stoul(length[1]);
        });
    }
    // True when the host closes the connection within `seconds` (what it sends first is read away).
    bool Closed(int seconds) {
        for (auto until = Clock::now() + std::chrono::seconds(seconds); Clock::now() < until;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buffer[4096];
            if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
        }
        return false;
    }
    bool Connected() {
        pollfd p{fd_, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        return ::poll(&p, 1, 0) == 1 && ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }

private:
    // Reads until `enough` holds of what arrived (or `seconds` pass), then the
    // answer's status; -1 when the host closes first or `enough` never holds.
    template <typename Enough>
    int StatusOnceRead(int seconds, Enough enough) {
        std::string text;
        for (auto until = Clock::now() + std::chrono::seconds(seconds); !enough(text) && Clock::now() < until;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return -1;
            text.append(buffer, static_cast<size_t>(n));
        }
        return enough(text) && text.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(text.substr(9, 3)) : -1;
    }

    int fd_ = -1;
};

const std::string kHealth = "GET /health HTTP/1.1\r\nHost: shop\r\n\r\n";

class HostileClients : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = parent_.Path() / "shop";
        Outcome outcome = RunProgram(BACKOFFICE_BINARY, "init --home " + Quoted(home_.string()));
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
        shopKey_ = SettingOf(home_ / "config" / "SiteConfiguration.xml", "API", "ShopApiKey");
    }
    void TearDown() override {
        if (serve_) {
            EXPECT_EQ(serve_->Stop(), 0) << serve_->Output();
        }
    }

    // A setting of section HTTP_PARAMETERS, added when the file lacks it.
    void Setting(const std::string& name, const std::string& value) {
        fs::path file = home_ / "config" / "VendaloConfiguration.xml";
        std::string xml = ReadFile(file);
        std::smatch m;
        if (std::regex_search(xml, m, std::regex("<Setting name=\"" + name + "\"[^>]*>([^<]*)</Setting>"))) {
            xml.replace(static_cast<size_t>(m.position(1)), static_cast<size_t>(m.length(1)), value);
        } else {
            std::string section = "<Section name=\"HTTP_PARAMETERS\">";
            xml.insert(xml.find(section) + section.size(), "<Setting name=\"" + name + "\">" + value + "</Setting>");
        }
        WriteFile(file, xml);
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    }
    void Serve() { serve_ = std::make_unique<ServeProcess>(home_); }

    TempDir parent_;
    fs::path home_;
    std::string shopKey_;
    std::unique_ptr<ServeProcess> serve_;
};

// Ranges would multiply an answer (each range a copy); the host answers every request whole.
TEST_F(HostileClients, RangesAreIgnored) {
    Serve();
    std::string ranges = "bytes=0-";
    for (int i = 1; i < 2000; ++i) ranges += ",0-";
    auto client = serve_->Client("");
    auto r = client.Get("/api/v1/openapi.json", {{"Range", ranges}, {"Accept-Encoding", "identity"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    std::string file = backoffice::ReadShippedFile("api/openapi.json");
    EXPECT_EQ(r->body.size(), file.size());
    EXPECT_TRUE(r->body == file);
}

// Slow clients hold connections, not workers: the host keeps answering while
// hundreds of them trickle, and cuts off those that fall behind.
TEST_F(HostileClients, TricklingClientsDoNotStarveTheHost) {
    const char* longer = std::getenv("BACKOFFICE_TRICKLE_SECONDS");
    const int runSeconds = longer ? std::max(1, std::atoi(longer)) : 4;
    Setting("Workers", "2");
    Setting("HeaderTimeoutSeconds", "2");
    Setting("ReadTimeout", "1");
    Setting("BodyMinBytesPerSecond", "100");
    Setting("KeepAliveTimeout", "3");
    Setting("MaxConnectionsPerClient", "0");  // all from one address, as behind a proxy
    Serve();

    // a third each: a head a byte at a time, a body a byte at a time, a cheap request now and then
    const std::string bodyHead = "POST /api/v1/baskets HTTP/1.1\r\nHost: shop\r\nContent-Type: application/json\r\n"
                                 "Content-Length: 100000\r\n\r\n";
    constexpr int kTricklers = 200;
    std::vector<std::unique_ptr<RawConnection>> tricklers(kTricklers);
    std::atomic<int> cutOff[3] = {0, 0, 0};
    std::atomic<bool> running{true};
    auto open = [&](int i) {
        tricklers[static_cast<size_t>(i)] = std::make_unique<RawConnection>(serve_->Port());
        tricklers[static_cast<size_t>(i)]->Send(i % 3 == 0 ? "GET /health HTTP/1.1\r\nX-Slow: " : i % 3 == 1 ? bodyHead : "");
    };
    for (int i = 0; i < kTricklers; ++i) open(i);
    std::thread trickle([&] {
        for (int tick = 0; running; ++tick) {
            for (int i = 0; i < kTricklers && running; ++i) {
                auto& c = *tricklers[static_cast<size_t>(i)];
                bool alive = i % 3 == 0   ? c.Send("a")
                             : i % 3 == 1 ? c.Send("{")
                                          : (tick % 4 != 0 || c.Send(kHealth)) && c.Discard();
                if (!alive) {
                    ++cutOff[i % 3];
                    open(i);  // as an attacker would
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });

    std::vector<double> latencies;
    int answered = 0;
    for (auto until = Clock::now() + std::chrono::seconds(runSeconds); Clock::now() < until;) {
        httplib::Client probe("127.0.0.1", serve_->Port());
        probe.set_connection_timeout(5);
        probe.set_read_timeout(5);
        auto started = Clock::now();
        auto r = probe.Get("/health");
        latencies.push_back(std::chrono::duration<double>(Clock::now() - started).count());
        EXPECT_TRUE(r && r->status == 200) << "probe " << latencies.size() << ": " << (r ? r->status : -1);
        answered += r && r->status == 200;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    running = false;
    trickle.join();

    std::sort(latencies.begin(), latencies.end());
    std::ifstream status("/proc/" + std::to_string(serve_->Pid()) + "/status");
    std::string memory;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS", 0) == 0 || line.rfind("VmHWM", 0) == 0) memory += line + "; ";
    std::cout << answered << "/" << latencies.size() << " probes answered, median " << latencies[latencies.size() / 2]
              << " s, max " << latencies.back() << " s; cut off: " << cutOff[0] << " heads, " << cutOff[1]
              << " bodies, " << cutOff[2] << " kept-alive; host " << memory << "\n";
    EXPECT_GT(cutOff[0], 0) << "a head that trickles is cut off at its deadline";
    EXPECT_GT(cutOff[1], 0) << "a body below the minimum rate is cut off";
}

// A worker that answered a kept-alive connection waits for its next request
// itself, but lets it go for any other client: with one worker, a kept-alive
// client, a client whose head comes in pieces and a client that stalls are all
// served, and the keep-alive and head deadlines still close what idles.
TEST_F(HostileClients, AKeptAliveConnectionNeverHoldsTheOnlyWorker) {
    Setting("Workers", "1");
    Setting("KeepAliveTimeout", "2");
    Setting("HeaderTimeoutSeconds", "2");
    Setting("KeepAliveMaxCount", "5");
    Serve();
    RawConnection kept(serve_->Port());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(kept.Send(kHealth));
        ASSERT_EQ(kept.WholeStatus(5), 200) << "request " << i << " on the kept-alive connection";
    }
    RawConnection stalled(serve_->Port());
    ASSERT_TRUE(stalled.Send(kHealth));
    ASSERT_EQ(stalled.WholeStatus(5), 200);
    ASSERT_TRUE(stalled.Send("GET /health HTTP/1.1\r\n"));  // and no more
    RawConnection pieces(serve_->Port());
    ASSERT_TRUE(pieces.Send("GET /health HTTP/1.1\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(pieces.Send("Host: shop\r\n\r\n"));
    EXPECT_EQ(pieces.WholeStatus(5), 200) << "a head in pieces, while two connections wait";
    ASSERT_TRUE(kept.Send(kHealth.substr(0, 10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(kept.Send(kHealth.substr(10)));
    EXPECT_EQ(kept.WholeStatus(5), 200) << "the kept-alive connection's fourth request, in pieces";
    ASSERT_TRUE(kept.Send(kHealth));
    EXPECT_EQ(kept.WholeStatus(5), 200) << "its fifth";
    EXPECT_TRUE(kept.Closed(1)) << "KeepAliveMaxCount: closed after the fifth";
    EXPECT_TRUE(stalled.Closed(5)) << "the stalled head is cut off at its deadline";
    EXPECT_TRUE(pieces.Closed(5)) << "the idle connection is closed after KeepAliveTimeout";
}

// One address cannot take every connection: over its cap a new one is closed,
// while other addresses are served.
TEST_F(HostileClients, EachClientAddressHasItsCap) {
    Setting("MaxConnectionsPerClient", "3");
    Serve();
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i) held.push_back(std::make_unique<RawConnection>(serve_->Port(), "127.0.0.2"));
    ASSERT_TRUE(held[0]->Send(kHealth));
    EXPECT_EQ(held[0]->Status(5), 200);

    RawConnection over(serve_->Port(), "127.0.0.2");
    over.Send(kHealth);
    EXPECT_EQ(over.Status(5), -1) << "the fourth connection from 127.0.0.2 is closed";
    RawConnection other(serve_->Port(), "127.0.0.3");
    ASSERT_TRUE(other.Send(kHealth));
    EXPECT_EQ(other.Status(5), 200);

    // a connection that ends frees its place
    held.pop_back();
    int status = -1;
    for (int attempt = 0; attempt < 50 && status != 200; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        RawConnection again(serve_->Port(), "127.0.0.2");
        again.Send(kHealth);
        status = again.Status(5);
    }
    EXPECT_EQ(status, 200);
}

// The port is one host's alone, and a burst of connections waits in the
// listener's queue rather than being dropped.
TEST_F(HostileClients, APortIsOneHostsAloneAndTakesABurst) {
    Serve();
    std::string listen = "127.0.0.1:" + std::to_string(serve_->Port());
    Outcome second = RunProgram("timeout", "20 " + Quoted(BACKOFFICE_BINARY) + " serve --home " +
                                               Quoted(home_.string()) + " --listen " + listen);
    EXPECT_EQ(second.exitCode, 1) << second.output;
    EXPECT_NE(second.output.find("in use"), std::string::npos) << second.output;

    // while the host accepts nothing, the kernel completes the handshakes its queue holds
    constexpr int kBurst = 200;
    ASSERT_EQ(::kill(serve_->Pid(), SIGSTOP), 0);
    std::vector<std::unique_ptr<RawConnection>> burst;
    for (int i = 0; i < kBurst; ++i) burst.push_back(std::make_unique<RawConnection>(serve_->Port(), "127.0.0.1", false));
    int connected = 0;
    for (auto until = Clock::now() + std::chrono::seconds(3); Clock::now() < until && connected < kBurst;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        connected = static_cast<int>(std::count_if(burst.begin(), burst.end(), [](auto& c) { return c->Connected(); }));
    }
    ::kill(serve_->Pid(), SIGCONT);
    EXPECT_EQ(connected, kBurst);
}

// A database that cannot be reached is a 503 that names neither its host nor its socket.
TEST_F(HostileClients, AnUnreachableDatabaseIsNotDescribed) {
    fs::path file = home_ / "config" / "VendaloConfiguration.xml";
    std::string socketDir = (parent_.Path() / "no-such-socket-dir").string();
    std::string xml = std::regex_replace(ReadFile(file), std::regex("<ConnectionString>[^<]*</ConnectionString>"),
                                         "<ConnectionString>Provider=PostgreSQL;Host=" + socketDir +
                                             ";Database=shop;User ID=shop</ConnectionString>");
    WriteFile(file, xml);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    Serve();
    auto r = serve_->Client(shopKey_).Get("/api/v1/baskets/0123456789ABCDEF0123456789ABCDEF");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503) << r->body;
    EXPECT_FALSE(r->get_header_value("Retry-After").empty());
    EXPECT_EQ(r->body.find("no-such-socket-dir"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("cannot be reached"), std::string::npos) << r->body;
}

// Over TLS the host answers as over plain HTTP, refusals included.
TEST_F(HostileClients, ServesOverTls) {
    Setting("TlsCertificate", GatewaySimulator::ServerCertificateFile());
    Setting("TlsKey", GatewaySimulator::ServerKeyFile());
    Serve();
    EXPECT_NE(serve_->Output().find("https://"), std::string::npos) << serve_->Output();
    httplib::SSLClient client("127.0.0.1", serve_->Port());
    client.set_ca_cert_path(GatewaySimulator::CaFile().c_str());
    client.enable_server_certificate_verification(true);
    client.set_bearer_token_auth(shopKey_.c_str());
    auto r = client.Get("/health");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    r = client.Post("/api/v1/baskets", std::string(2 << 20, ' '), "application/json");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 413);
}

}  // namespace
