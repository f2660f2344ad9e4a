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
inline constexpr const char* kSemaphoreFile = "semaphore file";
}  // namespace exchange_kind

// A call recorded before it is sent carries this OUTCOME until its answer
// completes it: left so by a crash, the outcome is unknown (the list says so).
inline constexpr const char* kSentOutcome = "sent";
inline constexpr const char* kOutcomeUnknown = "outcome unknown";

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
    std::optional<int32_t> httpStatus;  // the HTTP status a post got
    std::optional<int32_t> attempt;     // the how-manyth post of the same orders
};

// A file or group put straight into the back end's folder (no FTP): the
// local counterpart of an outbox sent to the host, KIND "file placed".
ExchangeRecord LocalPlacement(std::optional<int32_t> bisid, const std::string& file, int64_t offset, int64_t length);

// The statements that insert the records, every value bound; texts longer than
// their columns are cut at a character boundary.
std::vector<ado::BatchStatement> ExchangeStatements(const std::vector<ExchangeRecord>& records);

// The statement that completes a record written "sent" before its call: its
// OUTCOME, HTTPSTATUS, DURATIONMS and DETAIL; changes it only while "sent".
ado::BatchStatement CompleteExchangeStatement(const ExchangeRecord& record);

// One more than the highest ATTEMPT of the earlier rows of the kind that name
// any of the orders (1 for the first).
int32_t NextAttempt(const ado::ConnectionPtr& connection, const std::string& kind,
                    const std::vector<std::string>& orderIds);

// Inserts the records in one round trip, inside the caller's transaction when
// one is open, else in one of their own.
void RecordExchanges(const ado::ConnectionPtr& connection, const std::vector<ExchangeRecord>& records);

// Same, on a connection of its own; never raises (a record that cannot be
// written is logged: the exchange it records has happened all the same).
void RecordExchangesApart(const std::vector<ExchangeRecord>& records) noexcept;

// Completes the record apart, as RecordExchangesApart inserts.
void CompleteExchangeApart(const ExchangeRecord& record) noexcept;

// Removes rows older than the given days, at most `bound` of them; the number removed.
int32_t PruneExchanges(const ado::ConnectionPtr& connection, int32_t days, int32_t bound);

// A whole number of days from section "EDI_PARAMETERS" of
// VendaloConfiguration.xml; a missing or non-positive setting gives the default.
int32_t EdiDaysSetting(const char* name, int32_t defaultDays);
inline int32_t ExportArchiveDays() { return EdiDaysSetting("ExportArchiveDays", 30); }
inline int32_t ExchangeRetentionDays() { return EdiDaysSetting("ExchangeRetentionDays", 90); }

}  // namespace ordexa
