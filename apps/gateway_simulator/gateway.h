// The card gateway, simulated: what it does with one request, apart from the
// transport. It is not part of the back office and links nothing of it.
//
// State is kept per merchant reference: authorisations (request id, amount,
// time), captures against an authorisation and credits against a capture.
// Outcomes are deterministic and chosen by the request (see docs/exchange-formats.md,
// "The simulated gateway"):
//   card 4000000000000002                  the authorisation is declined
//   amount ending in .13                    a capture is refused
//   amount ending in .66                    gateway error (ics_rcode -1), nothing done
//   amount ending in .77                    done, but the reply is garbled
//   amount ending in .88                    done, but the reply comes after the delay
//   amount ending in .44                    done, but the reply's texts repeat the card number
// The amount of a request is the sum of its offers (amount times quantity).
// A capture against an unknown authorisation, or above what the authorisation
// holds less earlier captures, is refused; so is a credit against an unknown
// capture or above what the capture took less earlier credits.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gatewaysim {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Amounts in ten-thousandths of the currency unit.
using Units = int64_t;
std::optional<Units> ParseAmount(const std::string& text);
std::string FormatAmount(Units amount);  // "114.95", "90"

enum class Delivery { Normal, Garbled, Delayed };

struct Reply {
    Fields fields;
    Delivery delivery = Delivery::Normal;
};

// One journal line per request: form-encoded pairs without card numbers.
struct JournalEntry {
    Fields fields;
};

class Gateway {
public:
    // Handles a decoded request; thread-safe. journal receives the request's line.
    Reply Handle(const Fields& request, JournalEntry& journal);

private:
    struct Authorization {
        std::string requestId;
        Units amount = 0, captured = 0;
        int64_t time = 0;
    };
    struct Capture {
        std::string requestId, authRequestId;
        Units amount = 0, credited = 0;
    };
    struct Account {  // one merchant reference
        std::vector<Authorization> authorizations;
        std::vector<Capture> captures;
    };
    struct Recorded {  // what happened to a request, for queries
        std::string applications;
        Fields reply;
    };

    std::string NextRequestId();
    void Authorize(const Fields& request, Units amount, Account& account, Fields& reply, bool& ok);
    void Capture(const std::string& authRequestId, Units amount, Account& account, Fields& reply, bool& ok);
    void Credit(const Fields& request, Units amount, Account& account, Fields& reply, bool& ok);
    void Query(const Fields& request, Fields& reply);

    std::mutex mutex_;
    std::map<std::string, Account> accounts_;              // by merchant reference
    std::map<std::string, Recorded> byClientRequestId_;
    int64_t counter_ = 0;
};

// Form bodies (application/x-www-form-urlencoded).
std::optional<Fields> DecodeForm(const std::string& body);
std::string EncodeForm(const Fields& fields);
std::string Value(const Fields& fields, const std::string& name);  // "" when absent; names without regard to case

}  // namespace gatewaysim
