// Safe retries: the answers to requests sent with an Idempotency-Key, kept in
// the database (table IDEMPOTENCYKEY) so that a retry reaching any host of the
// database is answered as the first request was, and does nothing again.
//
// A key belongs to the API key that sent it (the store sees only its SHA-256)
// and lives 24 hours. Claim() inserts the key's row; that INSERT is the claim,
// atomic across hosts: exactly one request owns a key. Its owner runs the
// request and then Complete()s the row with the answer, or Release()s it when
// the answer was a 5xx, so that the client may try again with the same key.
// The store holds the SHA-256 of the request, never its body, and the answer
// the host gave (the routes' answers hold no card number).
//
// Expired rows are removed by the host: a claim that meets an expired row of
// its key removes it, and once an hour a claim removes every expired row.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace backoffice::http {

struct StoredAnswer {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // those worth repeating (Location, ETag, ...)
    std::string body;
};

enum class ClaimResult {
    Mine,          // this request owns the key: run it
    Replay,        // the key's first request was answered: `answer` holds what it got
    Running,       // the key's first request is still running
    Abandoned,     // the key's first request never finished (its host stopped): outcome unknown
    OtherRequest,  // the key was used for another request (method, target or body)
};

struct Claim {
    ClaimResult result = ClaimResult::Mine;
    StoredAnswer answer;
};

// The SHA-256 of what makes a request the same request: method, target and body.
std::string RequestFingerprint(const std::string& method, const std::string& target, const std::string& body);

// Database errors raise (ole::AutomationError) and claim nothing.
Claim ClaimKey(const std::string& connectionString, const std::string& ownerHash, const std::string& key,
               const std::string& fingerprint);
void CompleteKey(const std::string& connectionString, const std::string& ownerHash, const std::string& key,
                 const StoredAnswer& answer);
void ReleaseKey(const std::string& connectionString, const std::string& ownerHash, const std::string& key);

}  // namespace backoffice::http
