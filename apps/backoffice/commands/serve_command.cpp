// `backoffice serve`: the long-running HTTP host that the web pages call
// instead of in-process components. It serves until SIGTERM or SIGINT, then
// stops taking requests, lets those in flight finish (for at most the
// configured shutdown time-out) and exits 0.
#include <malloc.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <thread>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "installation/setting_check.h"
#include "http/http_host.h"
#include "platform/log/log.h"

namespace backoffice {

namespace {

struct ServeOptions {
    std::optional<std::string> home, listen;
};

// "HOST:PORT" or "[v6]:PORT".
bool SplitListen(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    try {
        size_t used = 0;
        port = std::stoi(text.substr(colon + 1), &used);
        return used == text.size() - colon - 1 && port >= 0 && port <= 65535 && !host.empty();
    } catch (const std::exception&) {
        return false;
    }
}

// The workers' heaps are kept rather than given back after each request: by
// default the allocator returns the top of a thread's heap to the kernel as
// soon as a request frees it (an madvise a few requests) and takes it again
// on the next, and moves its mmap threshold as blocks come and go. A host
// that answers all day keeps what its busiest moment needed.
void KeepHeap() {
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
}

}  // namespace

int RunServe(const ServeOptions& options) {
    int exitCode = 0;
    auto home = UseInstallation("serve", options.home, exitCode);
    if (!home) return exitCode;
    HostSettings settings;
    try {
        auto findings = SettingFindings(*home, {kHttpSection});
        for (const auto& finding : findings) std::cerr << "backoffice serve: " << TerminalText(finding) << "\n";
        if (!findings.empty()) return 1;
        settings = ReadHostSettings(*home);
    } catch (const std::exception& e) {
        std::cerr << "backoffice serve: cannot read the settings: " << Reason(e) << "\n";
        return 1;
    }
    std::string listen = options.listen.value_or(settings.listen), host;
    int port = 0;
    if (!SplitListen(listen, host, port)) {
        std::cerr << "backoffice serve: --listen takes HOST:PORT, not \"" << listen << "\"\n";
        return 2;
    }
    bool tls = !settings.tlsCertificate.empty() && !settings.tlsKey.empty();
    if (!tls && !http::IsLoopback(host)) {
        std::cerr << "backoffice serve: " << host << " is reachable from other machines: listening there needs TLS "
                  << "(TlsCertificate and TlsKey in section " << kHttpSection << " of config/VendaloConfiguration.xml)\n";
        return 1;
    }
    if (settings.shopApiKey.empty() || settings.operatorApiKey.empty())
        std::cerr << "backoffice serve: warning: the API keys are missing from config/SiteConfiguration.xml; "
                     "run `backoffice upgrade` to make them\n";

    // Every thread started from here on blocks SIGTERM, SIGINT and SIGHUP; this one waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    KeepHeap();

    std::unique_ptr<http::HttpHost> made;
    try {
        made = std::make_unique<http::HttpHost>(*home, settings);
    } catch (const std::exception& e) {
        std::cerr << "backoffice serve: cannot use the TLS certificate and key (TlsCertificate, TlsKey): "
                  << Reason(e) << "\n";
        return 1;
    }
    http::HttpHost& server = *made;
    std::string why;
    int bound = server.Bind(host, port, &why);
    if (bound < 0) {
        std::cerr << "backoffice serve: cannot listen on " << listen << ": " << why << "\n";
        return 1;
    }
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::cout << "listening on " << (tls ? "https" : "http") << "://" << shown << ":" << bound << " for " << *home
              << " (" << settings.workers << " workers)" << std::endl;

    auto serving = std::async(std::launch::async, [&] { return server.Serve(); });
    // Under systemd (Type=notify): ready once the port answers, and a watchdog
    // ping at half the interval while the serving loop runs. Without
    // NOTIFY_SOCKET these calls do nothing.
    sd_notify(0, "READY=1");
    uint64_t watchdogUsec = 0;
    timespec wait{};
    if (sd_watchdog_enabled(0, &watchdogUsec) > 0) {
        watchdogUsec /= 2;
        wait = {static_cast<time_t>(watchdogUsec / 1000000), static_cast<long>(watchdogUsec % 1000000) * 1000};
    }
    int signal = 0;
    while (true) {
        signal = watchdogUsec ? sigtimedwait(&stopSignals, nullptr, &wait) : sigwaitinfo(&stopSignals, nullptr);
        // SIGHUP: logrotate renamed the log files; they are opened again by name
        if (signal == SIGHUP) {
            qx::ReopenLogs();
            continue;
        }
        if (signal > 0) break;
        if (serving.wait_for(std::chrono::seconds(0)) != std::future_status::ready) sd_notify(0, "WATCHDOG=1");
    }
    sd_notify(0, "STOPPING=1");
    std::cout << "backoffice serve: " << (signal == SIGTERM ? "SIGTERM" : "SIGINT")
              << ": finishing the requests in flight" << std::endl;
    server.Stop();
    if (serving.wait_for(std::chrono::seconds(settings.shutdownTimeout)) != std::future_status::ready) {
        std::cerr << "backoffice serve: requests still running after " << settings.shutdownTimeout
                  << " s; stopping without them\n";
        std::_Exit(1);
    }
    std::cout << "backoffice serve: stopped" << std::endl;
    return 0;
}

void AddServeCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("serve", "serve the shop API and the operator page over HTTP");
    command->footer(
        "Serves /api/v1 (the shop's calls, key ShopApiKey), the operator page at / (key OperatorApiKey),\n"
        "the requisition broker's intake /reqlink/requisitions (key BrokerApiKey),\n"
        "/metrics and /health until SIGTERM or SIGINT. Settings: section HTTP_PARAMETERS of\n"
        "config/VendaloConfiguration.xml; addresses other than loopback need TLS.");
    auto options = std::make_shared<ServeOptions>();
    AddHomeOption(*command, options->home);
    command->add_option("--listen", options->listen, "address and port (default 127.0.0.1:8080; port 0: any free one)")
        ->type_name("HOST:PORT");
    command->callback([options, &selected] { selected = [options] { return RunServe(*options); }; });
}

}  // namespace backoffice
