#include "ordexa/outside_calls.h"

#include <atomic>
#include <thread>

#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"

namespace ordexa {

namespace {

using ole::Variant;

// A whole number setting of OUTSIDE_CALLS within [low, high]; the fallback when the file lacks it.
int Setting(qx::IConfiguration& config, const char* name, int fallback, int low, int high) {
    std::string text;
    try {
        text = ole::TrimBlanks(config.GetValue(kOutsideCallsSection, name).Text());
    } catch (const ole::AutomationError& e) {
        if (e.Number() != qx::config_err::SettingNotFound) throw;
        return fallback;
    }
    bool valid = !text.empty() && text.size() <= 6;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') valid = false;
        if (valid) value = value * 10 + (c - '0');
    }
    if (!valid || value < low || value > high)
        ole::Raise(ole::err::InvalidProcedureCall,
                   std::string("The setting ") + name + " of section " + kOutsideCallsSection +
                       " in VendaloConfiguration.xml is not a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high) + ": '" + text + "'",
                   "Qxcore.Configuration");
    return value;
}

}  // namespace

OutsideCallSettings OutsideCallSettingsOfInstallation() {
    auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
    config->LoadProduct("Vendalo", 0);
    OutsideCallSettings s;
    s.atOnce = Setting(*config, kOutsideCallsAtOnce, s.atOnce, 1, 64);
    s.backoffMinutes = Setting(*config, kHostBackoffMinutes, s.backoffMinutes, 0, 1440);
    s.acknowledgementTimeout = Setting(*config, kAcknowledgementTimeout, s.acknowledgementTimeout, 1, 600);
    return s;
}

HostBackoff::HostBackoff(int minutes) : minutes_(minutes) {
    if (minutes_ <= 0) return;
    try {
        auto rs = Sls_GetDisconnectedRecordset("SELECT HOSTNAME, UNTIL FROM OUTSIDEHOSTBACKOFF WHERE UNTIL > ?",
                                               Sls_ConnectionString(), {Variant(ole::Date::Now())});
        for (; !rs->Eof(); rs->MoveNext())
            until_[ole::LowerCase(rs->Fields(0).Value().Text())] = rs->Fields(1).Value().ToDate();
    } catch (...) {
        Sls_LogWarning("Ordexa.HostBackoff", "The hosts that did not answer cannot be read (" +
                                                 ole::CurrentDescription() +
                                                 "); run `backoffice upgrade`. No host is skipped.");
    }
}

bool HostBackoff::Skipped(const std::string& host) {
    std::lock_guard lock(mutex_);
    auto it = until_.find(ole::LowerCase(host));
    return it != until_.end() && it->second.serial > ole::Date::Now().serial;
}

void HostBackoff::Failed(const std::string& host, const std::string& reason) {
    if (minutes_ <= 0 || host.empty()) return;
    std::string name = ole::LowerCase(host);
    ole::Date until{ole::Date::Now().serial + minutes_ / (24.0 * 60.0)};
    {
        std::lock_guard lock(mutex_);
        auto it = until_.find(name);
        if (it != until_.end() && it->second.serial > ole::Date::Now().serial) return;  // already backed off
        until_[name] = until;
    }
    Sls_LogWarning("Ordexa.HostBackoff", "The host " + name + " did not answer (" + reason +
                                             "); calls to it are skipped until " + until.Iso() + " (" +
                                             kHostBackoffMinutes + " " + std::to_string(minutes_) + ")");
    ado::ConnectionPtr c;
    try {
        c = Sls_GetOpenConnection(Sls_ConnectionString());
        ado::Transaction tx(*c);
        c->Execute("DELETE FROM OUTSIDEHOSTBACKOFF WHERE HOSTNAME = ?", nullptr, -1, {Variant(name)});
        c->Execute("INSERT INTO OUTSIDEHOSTBACKOFF (HOSTNAME, UNTIL, REASON) VALUES (?, ?, ?)", nullptr, -1,
                   {Variant(name), Variant(until), Variant(reason.substr(0, 500))});
        tx.Commit();
    } catch (...) {
        Sls_LogWarning("Ordexa.HostBackoff", "The back-off of host " + name + " cannot be kept for the next batch: " +
                                                 ole::CurrentDescription());
    }
}

void RunAtOnce(size_t atOnce, const std::vector<std::function<void()>>& jobs) {
    if (jobs.empty()) return;
    std::atomic<size_t> next{0};
    auto work = [&] {
        Sls_ResetThreadState();  // this thread's caches start from the installation (VENDALO_HOME)
        for (size_t i = next++; i < jobs.size(); i = next++) {
            try {
                jobs[i]();
            } catch (...) {
                Sls_LogError("Ordexa.RunAtOnce", ole::CurrentDescription());
            }
        }
    };
    std::vector<std::thread> threads;
    size_t count = std::min(std::max<size_t>(atOnce, 1), jobs.size());
    threads.reserve(count);
    for (size_t i = 0; i < count; ++i) threads.emplace_back(work);
    for (auto& t : threads) t.join();
}

}  // namespace ordexa
