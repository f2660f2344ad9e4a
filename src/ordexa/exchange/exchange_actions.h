// What the operator reads of the record of exchanges (exchange_record.h), and
// what an operator does with a row: send an export group again, apply a refused
// confirmation entry again once its order exists, or dismiss it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace ordexa {

struct ExchangeRow {
    std::string id;
    ole::Date time;  // UTC
    std::string kind, outcome;
    std::optional<int32_t> bisid;
    std::vector<std::string> orderIds;
    std::string file, reference, sha256, archive, detail, entryText;
    std::optional<int64_t> offset, length, durationMs;
    std::optional<int32_t> httpStatus, attempt;  // of a broker post
    std::vector<std::string> actions;  // "replay", "apply", "dismiss": what applies to the row now
};

// A call recorded "sent" before it went and never completed (a crash between
// the two) reads OUTCOME "outcome unknown"; that outcome also finds them.
struct ExchangeQuery {
    std::string kind, outcome, orderId;
    std::optional<int32_t> bisid;
    std::optional<ole::Date> since;  // rows at or after this moment (UTC)
    std::string cursor;              // the `next` of the page before
    int32_t limit = 50;
};

struct ExchangePage {
    std::vector<ExchangeRow> rows;  // newest first
    std::string next;               // "" on the last page
};

// Raises InvalidProcedureCall for a cursor it did not make.
ExchangePage ListExchanges(const ExchangeQuery& query);
std::optional<ExchangeRow> FindExchange(const std::string& id);

// The refused confirmation entries still waiting, oldest first.
std::vector<ExchangeRow> WaitingRefusedEntries(int32_t limit);

enum class ExchangeActionOutcome { Done, NotFound, NoLongerApplies };
struct ExchangeActionResult {
    ExchangeActionOutcome outcome = ExchangeActionOutcome::Done;
    std::string why;  // when it did not apply
};

// Sends an export group again byte for byte, through the placement the export
// uses, after the copy kept of it matches the SHA-256 on record, and only while
// every order of the group is still exported (status 1); each order gets an
// event naming the operator and the note, and the sending is recorded.
ExchangeActionResult ReplayExportGroup(const std::string& id, const std::string& operatorName,
                                       const std::string& note);
// Applies a waiting refused entry again through the confirmation import.
ExchangeActionResult ApplyRefusedEntry(const std::string& id, const std::string& operatorName, const std::string& note);
// Closes a waiting refused entry with the note.
ExchangeActionResult DismissRefusedEntry(const std::string& id, const std::string& operatorName,
                                         const std::string& note);

}  // namespace ordexa
