// The record of every exchange with the outside (tables EXCHANGE and
// EXCHANGEORDER): each writer adds the statements of its rows to the batch of
// statements it already sends, so that a row is written in the transaction of
// the work it records and costs no round trip of its own. Never card data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/data/ado.h"

namespace ordexa {

// The kinds of exchange, as the table and the API name them.
namespace exchange_kind {
inline constexpr const char* kExportGroup = "export group";
inline constexpr const char* kFilePlaced = "file placed";
inline constexpr const char* kConfirmationFile = "confirmation file";
inline constexpr const char* kRefusedEntry = "refused entry";
inline constexpr const char* kGatewayRequest = "gateway request";
inline constexpr const char* kBusinessObjectCall = "business object call";
inline constexpr const char* kBrokerPost = "broker post";
}  // namespace exchange_kind

// The states of a refused confirmation entry (its OUTCOME).
namespace entry_state {
inline constexpr const char* kWaiting = "waiting";
inline constexpr const char* kApplied = "applied";
inline constexpr const char* kDismissed = "dismissed";
}  // namespace entry_state

struct ExchangeRecord {
    std::string id;  // "": a new one
    std::string kind, outcome;
    std::optional<int32_t> bisid;
    std::vector<std::string> orderIds;
    std::string file;
    std::optional<int64_t> offset, length;
    std::string reference;
    std::string sha256;   // of the bytes exchanged, when they are kept
    std::string archive;  // where a copy of them is kept
    std::optional<int64_t> durationMs;
    std::string detail;
    std::string entryText;  // a refused entry as its file held it
};

// The statements that insert the records, every value bound; texts longer than
// their columns are cut at a character boundary.
std::vector<ado::BatchStatement> ExchangeStatements(const std::vector<ExchangeRecord>& records);

// Inserts the records in one round trip, inside the caller's transaction when
// one is open, else in one of their own.
void RecordExchanges(const ado::ConnectionPtr& connection, const std::vector<ExchangeRecord>& records);

// Same, on a connection of its own; never raises (a record that cannot be
// written is logged: the exchange it records has happened all the same).
void RecordExchangesApart(const std::vector<ExchangeRecord>& records) noexcept;

// Removes rows older than the given days, at most `bound` of them; the number removed.
int32_t PruneExchanges(const ado::ConnectionPtr& connection, int32_t days, int32_t bound);

// A whole number of days from section "EDI_PARAMETERS" of
// VendaloConfiguration.xml; a missing or non-positive setting gives the default.
int32_t EdiDaysSetting(const char* name, int32_t defaultDays);
inline int32_t ExportArchiveDays() { return EdiDaysSetting("ExportArchiveDays", 30); }
inline int32_t ExchangeRetentionDays() { return EdiDaysSetting("ExchangeRetentionDays", 90); }

}  // namespace ordexa
