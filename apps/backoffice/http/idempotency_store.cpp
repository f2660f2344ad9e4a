#include "http/idempotency_store.h"

#include <atomic>
#include <chrono>

#include <nlohmann/json.hpp>

#include "platform/data/ado.h"
#include "platform/os/sha256.h"

namespace backoffice::http {

namespace {

using ole::Variant;

constexpr double kLifetimeDays = 1.0;
// A request runs for minutes at most (an order request waits 300 seconds at
// most): a claim older than this was left by a host that stopped.
constexpr double kAbandonedAfterDays = 10.0 / (24 * 60);
constexpr auto kSweepEvery = std::chrono::hours(1);

std::atomic<int64_t> gLastSweep{0};  // steady clock, seconds; 0: never

// Removes every expired row, once an hour per process.
void SweepWhenDue(ado::Connection& c, ole::Date now) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    int64_t last = gLastSweep.load();
    if (last != 0 && seconds - last < std::chrono::duration_cast<std::chrono::seconds>(kSweepEvery).count()) return;
    if (!gLastSweep.compare_exchange_strong(last, seconds)) return;  // another thread sweeps
    c.Execute("DELETE FROM IDEMPOTENCYKEY WHERE EXPIRES < ?", nullptr, -1, {Variant(now)});
}

}  // namespace

std::string RequestFingerprint(const std::string& method, const std::string& target, const std::string& body) {
    return os::Sha256Hex(method + "\n" + target + "\n" + body);
}

Claim ClaimKey(const std::string& connectionString, const std::string& ownerHash, const std::string& key,
               const std::string& fingerprint) {
    auto c = ado::OpenConnection(connectionString);
    ole::Date now = ole::Date::Now();
    SweepWhenDue(*c, now);
    const std::vector<Variant> id = {Variant(ownerHash), Variant(key)};
    // twice at most: a second round follows an expired row removed, or a row given up meanwhile
    for (int round = 0; round < 2; ++round) {
        int32_t inserted = 0;
        c->Execute("INSERT INTO IDEMPOTENCYKEY (OWNERHASH, CLIENTKEY, REQUESTHASH, STATE, CREATED, EXPIRES) "
                   "VALUES (?, ?, ?, 'RUNNING', ?, ?) ON CONFLICT (OWNERHASH, CLIENTKEY) DO NOTHING",
                   &inserted, -1,
                   {Variant(ownerHash), Variant(key), Variant(fingerprint), Variant(now),
                    Variant(ole::Date{now.serial + kLifetimeDays})});
        if (inserted == 1) return {};
        auto rs = c->Execute("SELECT REQUESTHASH, STATE, CREATED, EXPIRES, STATUS, HEADERS, BODY FROM IDEMPOTENCYKEY "
                             "WHERE OWNERHASH = ? AND CLIENTKEY = ?",
                             nullptr, -1, id);
        if (rs->Eof()) continue;
        if (rs->Fields("EXPIRES").Value().ToDate().serial < now.serial) {
            c->Execute("DELETE FROM IDEMPOTENCYKEY WHERE OWNERHASH = ? AND CLIENTKEY = ? AND EXPIRES < ?", nullptr, -1,
                       {Variant(ownerHash), Variant(key), Variant(now)});
            continue;
        }
        Claim claim;
        if (rs->Fields("REQUESTHASH").Value().Text() != fingerprint) {
            claim.result = ClaimResult::OtherRequest;
        } else if (rs->Fields("STATE").Value().Text() != "DONE") {
            bool old = rs->Fields("CREATED").Value().ToDate().serial < now.serial - kAbandonedAfterDays;
            claim.result = old ? ClaimResult::Abandoned : ClaimResult::Running;
        } else {
            claim.result = ClaimResult::Replay;
            claim.answer.status = rs->Fields("STATUS").Value().ToLong();
            claim.answer.body = rs->Fields("BODY").Value().Text();
            auto headers = nlohmann::json::parse(rs->Fields("HEADERS").Value().Text(), nullptr, false);
            if (headers.is_object())
                for (const auto& [name, value] : headers.items())
                    if (value.is_string()) claim.answer.headers.emplace_back(name, value.get<std::string>());
        }
        return claim;
    }
    return {ClaimResult::Running, {}};  // the row came and went twice: another request is at it
}

void CompleteKey(const std::string& connectionString, const std::string& ownerHash, const std::string& key,
                 const StoredAnswer& answer) {
    nlohmann::json headers = nlohmann::json::object();
    for (const auto& [name, value] : answer.headers) headers[name] = value;
    auto c = ado::OpenConnection(connectionString);
    c->Execute("UPDATE IDEMPOTENCYKEY SET STATE = 'DONE', STATUS = ?, HEADERS = ?, BODY = ? "
               "WHERE OWNERHASH = ? AND CLIENTKEY = ?",
               nullptr, -1,
               {Variant(answer.status), Variant(headers.dump()), Variant(answer.body), Variant(ownerHash), Variant(key)});
}

void ReleaseKey(const std::string& connectionString, const std::string& ownerHash, const std::string& key) {
    auto c = ado::OpenConnection(connectionString);
    c->Execute("DELETE FROM IDEMPOTENCYKEY WHERE OWNERHASH = ? AND CLIENTKEY = ? AND STATE = 'RUNNING'", nullptr, -1,
               {Variant(ownerHash), Variant(key)});
}

}  // namespace backoffice::http
