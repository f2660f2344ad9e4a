#include "ordexa/exchange/web_order_confirmation.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "interfaces/vendalo/order_status.h"
#include "ordexa/batch_progress.h"
#include "ordexa/exchange/confirmation_inbox.h"
#include "ordexa/exchange/confirmation_reader.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/exchange/file_handling.h"
#include "ordexa/exchange/ftp.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/data/transaction.h"
#include "platform/format/text_encoding.h"
#include "platform/os/durable_file.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

// SALESORDERNR holds up to this many characters; a longer number is refused, never cut.
constexpr int32_t kSalesOrderNrSize = 20;
constexpr size_t kOrderIdSize = 32;
constexpr int32_t kDefaultArchiveDays = 30;
// An EDI file whose last line has no line end may still be being written by a
// back end that does not lock it: the batch looks at its size again after this.
constexpr auto kSecondLook = std::chrono::milliseconds(250);
// Unknown order ids named in the one log entry of a file.
constexpr size_t kUnknownShown = 5;

const char* kEdiLabel = "WebOrderConfirmation.ReadFromFile";
const char* kXmlLabel = "WebOrderConfirmation.ReadFromXmlFile()";

// What the import did with a file's entries.
struct Applied {
    int32_t changed = 0;  // orders that moved on
    int32_t found = 0;    // entries whose order is in the database
    std::vector<RefusedEntry> refused;
    size_t unknown = 0;                   // entries whose order is not
    std::vector<std::string> unknownIds;  // the first few of them
    std::vector<ConfirmationEntry> unmatched;  // all of them, kept as refused entries
};

// A confirmation file as the record of the exchange names it.
struct TakenFile {
    std::string bisid, work, archived, sha256;
    bool xml = false;
};

// Who applies the entries, for the orders' events: "" and the sales order
// number for the import, an operator and the note for an entry applied again.
struct Applier {
    std::string actor, note;
};

std::optional<int32_t> BisidOf(const std::string& bisid) {
    try {
        return Variant(bisid).ToLong();
    } catch (...) {
        return std::nullopt;
    }
}

// The record of a confirmation file applied.
ExchangeRecord FileRecord(const TakenFile& file, size_t applied, size_t refused, size_t unmatched) {
    ExchangeRecord taken;
    taken.kind = exchange_kind::kConfirmationFile;
    taken.outcome = "applied";
    taken.bisid = BisidOf(file.bisid);
    taken.file = file.work;
    taken.reference = file.archived;
    taken.sha256 = file.sha256;
    taken.detail = std::to_string(applied) + " applied, " + std::to_string(refused) + " refused, " +
                   std::to_string(unmatched) + " unmatched" + (file.xml ? ", XML" : ", EDI");
    return taken;
}

// An entry refused or without order, as a refused entry waiting for an operator.
ExchangeRecord EntryRecord(const TakenFile& file, const ConfirmationEntry& e, const std::string& why) {
    ExchangeRecord r;
    r.kind = exchange_kind::kRefusedEntry;
    r.outcome = entry_state::kWaiting;
    r.bisid = BisidOf(file.bisid);
    r.file = file.archived;
    r.reference = file.archived + " line " + std::to_string(e.line);
    r.detail = why;
    r.entryText = e.source;
    if (!e.orderId.empty()) r.orderIds.push_back(e.orderId);
    return r;
}

const char* const kUnmatched = "no order of the database has this id";

// The refused entries in the form of the file they came from, so that they can be sent again.
std::string RejectedText(const std::vector<RefusedEntry>& refused, bool xml) {
    std::string text;
    if (xml)
        text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
               "<BizTalk xmlns=\"urn:schemas-biztalk-org:BizTalk/biztalk-0.81.xml\"><Body>"
               "<QxOrderConfirmation xmlns=\"urn:schemas-biztalk-org:vorn-com/QxOrderConfirmation\">\r\n";
    for (const auto& r : refused) text += r.entry.source + "\r\n";
    if (xml) text += "</QxOrderConfirmation></Body></BizTalk>\r\n";
    return text;
}

// The folder where copies fetched from an instance's FTP host wait until they are applied.
std::string LocalFolderFor(const std::string& bisid) {
    std::string temp = getTempEDIPath();
    if (temp.empty()) ole::Raise(ole::err::PathNotFound, "The temporary EDI folder is not available", "Ordexa.WebOrderConfirmation");
    std::string safe;
    for (char c : TrimBlanks(bisid)) safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
    std::string folder = temp + "/confirmation-" + safe;
    std::filesystem::create_directories(folder);
    return folder;
}

class WebOrderConfirmation : public IWebOrderConfirmation {
public:
    void Run(const std::string& i_sBisid, const std::string& i_sOrderConfirmationFile,
             const std::string& i_sEDIConfirmationMessageType, const std::string& i_sEDIFieldSeparator,
             const FtpSettings& ftp) override {
        try {
            const std::string path = TrimBlanks(i_sOrderConfirmationFile);
            if (path.empty()) return;
            std::unique_ptr<ConfirmationInbox> inbox;
            if (ftp.UseFtp()) {
                std::string directory, name;
                getDirectoryAndFileFromFilePath(path, directory, name);
                inbox = std::make_unique<ConfirmationInbox>(LocalFolderFor(i_sBisid) + "/" + name);
                FetchFromHost(path, name, ftp, *inbox);
            } else {
                inbox = std::make_unique<ConfirmationInbox>(path);
                try {
                    inbox->Take();
                } catch (...) {
                    Sls_LogError("Ordexa.WebOrderConfirmation.Run");  // the file stays for the next batch
                }
            }
            for (const auto& work : inbox->WorkFiles())
                Apply(*inbox, work, path, i_sEDIConfirmationMessageType == "1", i_sEDIFieldSeparator, i_sBisid);
            inbox->PruneArchive(ConfirmationArchiveDays());
        } catch (...) {
            Sls_LogError("Ordexa.WebOrderConfirmation.Run");
        }
    }

    // Applies entries as the import does, inside the caller's transaction.
    static Applied ApplyInTransaction(const ado::ConnectionPtr& connection, const std::vector<ConfirmationEntry>& entries,
                                      const std::string& reference, const Applier& applier) {
        Statements statements(connection);
        Applied applied;
        UpdateChunk(statements, *connection, entries, 0, entries.size(), reference, reference, applier, applied);
        return applied;
    }

private:
    // Moves the file from the host into the local folder: renamed on the host to
    // "<name>.work", fetched (on disk), deleted on the host, and given a work
    // name locally. A batch that died on the way left the host's work file or
    // the fetched copy; both are finished first. Failures are logged; what was
    // fetched is applied all the same.
    static void FetchFromHost(const std::string& remote, const std::string& name, const FtpSettings& ftp,
                              const ConfirmationInbox& inbox) {
        try {
            auto client = Sls_GetComponent<IFTP>("Ordexa.FTP");
            const std::string remoteWork = remote + ".work", fetched = inbox.Path() + ".fetched";
            auto fetch = [&] {
                client->GetFileViaFTP(remoteWork, fetched, ftp);
                client->DeleteFileViaFTP(remoteWork, ftp);
                inbox.Adopt(fetched);
            };
            if (client->FilePresentViaFTP(remoteWork, ftp))
                fetch();  // the copy fetched before, if any, is the same file
            else if (std::filesystem::exists(fetched))
                inbox.Adopt(fetched);
            if (!client->FilePresentViaFTP(remote, ftp)) return;
            client->RenameFileViaFTP(remote, name + ".work", ftp);
            fetch();
        } catch (...) {
            Sls_LogError("Ordexa.WebOrderConfirmation.Run");
        }
    }

    // Applies one work file and archives it. An EDI file is read as a stream and
    // its entries applied in chunks as they come, all in one transaction with
    // the records of the exchange and the copy of the refused entries: a file
    // that yields no entry, cannot be read, may still be being written, or whose
    // entries cannot be applied, changes nothing and stays for the next batch,
    // which says so again. A file whose entries were committed before (its
    // archiving failed) is archived, never applied twice.
    void Apply(const ConfirmationInbox& inbox, const std::string& work, const std::string& path, bool xml,
               const std::string& separator, const std::string& bisid) {
        try {
            ado::ConnectionPtr connection = ado::OpenConnection(ConnectionString());
            if (AppliedBefore(*connection, work)) {
                connection->Close();
                inbox.Archive(work);
                Sls_LogNotice("Ordexa.WebOrderConfirmation", "The confirmation File '" + path + "' kept as '" + work +
                                                                 "' was applied before; it is archived now");
                return;
            }
            const std::string rejected = inbox.RejectedPath(work);
            TakenFile taken{bisid, work, inbox.ArchivedPath(work), "", xml};
            std::optional<Outcome> outcome;
            bool unreadable = false;
            try {
                outcome = ApplyFile(inbox, connection, taken, path, rejected, separator, unreadable);
            } catch (...) {
                if (!unreadable) throw;
                // the file is no longer where the back end wrote it: say where it is
                Sls_LogError("Ordexa.WebOrderConfirmation.Run", "The confirmation File '" + path +
                                                                    "' cannot be read. It is kept as '" + work + "'");
                return;
            }
            connection->Close();
            if (!outcome) return;
            inbox.Archive(work);
            const Applied& applied = outcome->applied;
            if (auto progress = CurrentBatchProgress())
                progress->ConfirmationsNotApplied(bisid, static_cast<int32_t>(outcome->refused),
                                                  static_cast<int32_t>(applied.unknown));
            if (outcome->entries == 0) return;
            Sls_LogNotice("Ordexa.WebOrderConfirmation", std::to_string(applied.changed) + " order(s) confirmed and " +
                                                             "0" + " acknowledged using the confirmation File '" + path + "'");
            if (applied.found == 0)
                Sls_LogWarning("Ordexa.WebOrderConfirmation",
                               "None of the " + std::to_string(outcome->entries) + " entries of the confirmation File '" +
                                   path + "' matches an order of the database");
            if (auto progress = CurrentBatchProgress()) progress->ConfirmationsApplied(bisid, applied.changed);
        } catch (...) {
            Sls_LogError("Ordexa.WebOrderConfirmation.Run");
        }
    }

    // Whether the work file's entries are committed already: its record names it.
    static bool AppliedBefore(ado::Connection& connection, const std::string& work) {
        auto rs = connection.Execute("SELECT 1 FROM EXCHANGE WHERE KIND = ? AND OUTCOME = 'applied' AND FILENAME = ?", nullptr,
                                     -1, {Variant(exchange_kind::kConfirmationFile), Variant(work)});
        return !rs->Eof();
    }

    struct Outcome {
        Applied applied;
        size_t entries = 0;  // read and taken
        size_t refused = 0;  // by the reader and by the database
    };

    // Reads and applies the work file in one transaction; nothing when the file
    // yields no entry or is still being written (logged). A file that cannot be
    // read as a confirmation raises with `unreadable` set.
    std::optional<Outcome> ApplyFile(const ConfirmationInbox& inbox, const ado::ConnectionPtr& connection, TakenFile& taken, const std::string& path,
                                     const std::string& rejected, const std::string& separator, bool& unreadable) {
        Outcome outcome;
        Applied& applied = outcome.applied;
        std::vector<RefusedEntry> refused;
        size_t size = 0;
        ConfirmationRead read;  // what the reader gave that is not applied yet
        try {
            Statements statements(connection);
            ado::Transaction tx(*connection);
            size_t unmatchedRecorded = 0;
            auto applyRead = [&](bool all) {
                for (const auto& d : read.duplicates) LogDuplicate(d, path, taken.xml);
                read.duplicates.clear();
                std::move(read.refused.begin(), read.refused.end(), std::back_inserter(refused));
                read.refused.clear();
                if (read.entries.empty() || (read.entries.size() < kChunk && !all)) return;
                for (size_t from = 0; from < read.entries.size(); from += kChunk)
                    UpdateChunk(statements, *connection, read.entries, from, std::min(read.entries.size(), from + kChunk),
                                path, rejected, {}, applied);
                outcome.entries += read.entries.size();
                read.entries.clear();
                // the entries without order are recorded as they come, not kept
                std::vector<ExchangeRecord> records;
                for (const auto& e : applied.unmatched) records.push_back(EntryRecord(taken, e, kUnmatched));
                RecordExchanges(connection, records);
                unmatchedRecorded += applied.unmatched.size();
                applied.unmatched.clear();
            };
            auto reading = [&](const std::function<void()>& step) {
                try {
                    step();
                } catch (...) {
                    unreadable = true;
                    Sls_RaiseError(taken.xml ? kXmlLabel : kEdiLabel);
                }
            };
            if (taken.xml) {
                std::string bytes = os::ReadRegularFile(taken.work);
                size = bytes.size();
                taken.sha256 = os::Sha256Hex(bytes);
                reading([&] { read = ReadXmlConfirmation(bytes); });
                std::string().swap(bytes);
                applyRead(true);
            } else {
                EdiConfirmationReader reader(separator);
                os::Sha256 sha;
                size = os::ReadRegularFileInPieces(taken.work, [&](std::string_view piece) {
                    sha.Add(piece);
                    reading([&] { reader.Feed(piece, read); });
                    applyRead(false);
                });
                reading([&] { reader.Finish(read); });
                applyRead(true);
                taken.sha256 = sha.Hex();
            }
            if (outcome.entries == 0 && refused.empty()) {
                Sls_LogWarning("Ordexa.WebOrderConfirmation", "The confirmation File '" + path + "' yields no entry: " +
                                                                  read.whyNone + ". It is kept as '" + taken.work + "'");
                return std::nullopt;
            }
            if (read.lastLineOpen && StillGrowing(taken.work, size)) {
                Sls_LogNotice("Ordexa.WebOrderConfirmation",
                              "The confirmation File '" + path + "' is still being written (its last line has no line end "
                              "and it grew). It is kept as '" + taken.work + "' for the next batch");
                return std::nullopt;
            }
            for (const auto& r : refused) LogRefused(taken.xml ? kXmlLabel : kEdiLabel, r, path, rejected);
            refused.insert(refused.end(), applied.refused.begin(), applied.refused.end());
            outcome.refused = refused.size();
            std::vector<ExchangeRecord> records{FileRecord(taken, static_cast<size_t>(applied.changed), refused.size(),
                                                           unmatchedRecorded)};
            for (const auto& r : refused) records.push_back(EntryRecord(taken, r.entry, r.reason));
            RecordExchanges(connection, records);
            // before the commit: once the entries count as applied, their copy is there
            if (!refused.empty()) inbox.WriteRejected(taken.work, RejectedText(refused, taken.xml));
            tx.Commit();
        } catch (...) {
            if (unreadable) throw;
            Sls_RaiseError("WebOrderConfirmation.UpdateDatabase");
        }
        if (applied.unknown > 0) LogUnknown(applied, path);
        return outcome;
    }

    static void LogDuplicate(const ConfirmationEntry& d, const std::string& path, bool xml) {
        if (xml)
            Sls_LogError("ReadFromFile", "Sales Order '" + TrimBlanks(d.orderId) +
                                             "' is already part of the order acknowledgement file: " + path +
                                             ". Backend order '" + TrimBlanks(d.salesOrderNr) + "' is omitted.");
        else
            Sls_LogError("ReadFromFile", "Sales Order '" + TrimBlanks(d.orderId) + "' has multiple occurences in the order " +
                                             "acknowledgement file: " + path + ". Backend order '" +
                                             TrimBlanks(d.salesOrderNr) + "' is omitted.");
    }

    // Whether the file grows beyond the size read, looked at again a moment later.
    static bool StillGrowing(const std::string& file, size_t sizeRead) {
        std::this_thread::sleep_for(kSecondLook);
        struct stat now {};
        return ::stat(file.c_str(), &now) != 0 || static_cast<size_t>(now.st_size) != sizeRead;
    }

    static void LogRefused(const char* label, const RefusedEntry& r, const std::string& path, const std::string& rejected) {
        Sls_LogError(label, "Order '" + qx::ShowBytes(r.entry.orderId) + "' on line " + std::to_string(r.entry.line) +
                                " of the confirmation File '" + path + "' is refused: " + r.reason +
                                ". The entry is kept in '" + rejected + "'");
    }

    std::string ConnectionString() {
        try {
            if (connectionString_.empty()) connectionString_ = Sls_ConnectionString();
            return connectionString_;
        } catch (...) {
            Sls_RaiseError("WebOrderConfirmation.ConnectionString");
        }
    }

    // One entry per file however many ids are unknown, naming the first few.
    static void LogUnknown(const Applied& applied, const std::string& path) {
        std::string ids;
        for (const auto& id : applied.unknownIds) {
            size_t cut = id.size() > 40 ? 40 : id.size();
            while (cut < id.size() && (static_cast<unsigned char>(id[cut]) & 0xC0) == 0x80) --cut;  // whole characters
            ids += (ids.empty() ? "" : ", ") + id.substr(0, cut) + (cut < id.size() ? "..." : "");
        }
        size_t more = applied.unknown - applied.unknownIds.size();
        std::string what = applied.unknown == 1
                               ? "Order read from acknowledgement file with ID " + ids
                               : std::to_string(applied.unknown) + " orders read from acknowledgement file with IDs " + ids +
                                     (more > 0 ? " and " + std::to_string(more) + " more" : "");
        Sls_LogError("WebOrderConfirmation.UpdateDatabase: " + what + " not found in Vendalo database",
                     "confirmation File '" + path + "'");
    }

    static constexpr size_t kChunk = 1000;

    // The import's statements, with typed parameters that refuse a value too long.
    struct Statements {
        explicit Statements(const ado::ConnectionPtr& connection) {
            read->ActiveConnection = connection;
            read->CommandText = "SELECT ORDERID, WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID = ?";
            read->AppendParameter(read->CreateParameter("OrderID", ado::adChar, ado::adParamInput, kOrderIdSize));
            // an id written in another case than stored: in upper or lower case, each an indexed lookup
            readAnyCase->ActiveConnection = connection;
            readAnyCase->CommandText =
                "SELECT ORDERID, WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID IN (?, ?)";
            for (const char* name : {"OrderIDUpper", "OrderIDLower"})
                readAnyCase->AppendParameter(readAnyCase->CreateParameter(name, ado::adChar, ado::adParamInput, kOrderIdSize));
            change->ActiveConnection = connection;
            change->CommandText = kConfirmOrderStatement;
            change->AppendParameter(change->CreateParameter("OrderStatus", ado::adSmallInt, ado::adParamInput));
            change->AppendParameter(change->CreateParameter("SalesOrderNr", ado::adChar, ado::adParamInput, kSalesOrderNrSize));
            change->AppendParameter(change->CreateParameter("OrderID", ado::adChar, ado::adParamInput, kOrderIdSize));
        }
        ado::CommandPtr read = std::make_shared<ado::Command>();
        ado::CommandPtr readAnyCase = std::make_shared<ado::Command>();
        ado::CommandPtr change = std::make_shared<ado::Command>();
    };

    // Entries [from, to): each order read (exactly, then in any case for those
    // not found), then the changes of the orders found, in the entries' order.
    static void UpdateChunk(const Statements& statements, ado::Connection& connection,
                            const std::vector<ConfirmationEntry>& entries, size_t from, size_t to,
                            const std::string& path, const std::string& rejected, const Applier& applier,
                            Applied& applied) {
        std::vector<ado::RecordsetPtr> orders(to - from);
        std::vector<ado::BatchStatement> reads;
        std::vector<size_t> readFor;
        for (size_t i = from; i < to; ++i)
            if (entries[i].orderId.size() <= kOrderIdSize) {
                reads.push_back(statements.read->Bind({Variant(entries[i].orderId)}));
                readFor.push_back(i - from);
            }
        auto found = connection.ExecuteBatch(reads);
        reads.clear();
        std::vector<size_t> anyCaseFor;
        for (size_t k = 0; k < found.size(); ++k) {
            if (!found[k].rows->Eof()) {
                orders[readFor[k]] = found[k].rows;
                continue;
            }
            const std::string& id = entries[from + readFor[k]].orderId;
            reads.push_back(statements.readAnyCase->Bind({Variant(ole::UpperCase(id)), Variant(ole::LowerCase(id))}));
            anyCaseFor.push_back(readFor[k]);
        }
        if (!reads.empty()) {
            found = connection.ExecuteBatch(reads);
            for (size_t k = 0; k < found.size(); ++k) orders[anyCaseFor[k]] = found[k].rows;
        }

        std::vector<ado::BatchStatement> changes;
        std::vector<OrderEvent> events;
        for (size_t i = from; i < to; ++i) {
            const ConfirmationEntry& entry = entries[i];
            const ado::RecordsetPtr& order = orders[i - from];
            if (!order || order->Eof()) {
                if (applied.unknownIds.size() < kUnknownShown) applied.unknownIds.push_back(entry.orderId);
                ++applied.unknown;
                applied.unmatched.push_back(entry);
                continue;
            }
            ++applied.found;
            std::string storedId = order->Fields("ORDERID").Value().Text();
            Variant method = order->Fields("WEBPAYMENTMETHOD").Value();
            Variant url = order->Fields("ACKNOWLEDGEMENTURL").Value();
            auto status = vendalo::OrderStatus::Acknowledged;
            if (!method.IsNull() && method.ToDouble() == 2)
                status = vendalo::OrderStatus::CCPaymentToBeFulfilled;
            else if (!url.IsNull() && !url.Text().empty())
                status = vendalo::OrderStatus::ReqlinkToBeAcknowledged;
            try {
                changes.push_back(
                    statements.change->Bind({StatusValue(status), Variant(entry.salesOrderNr), Variant(storedId)}));
                events.push_back({storedId, std::nullopt, static_cast<int32_t>(vendalo::OrderStatus::Processed),
                                  static_cast<int32_t>(status), "confirmed", applier.actor,
                                  path + " line " + std::to_string(entry.line),
                                  applier.note.empty() ? "sales order " + entry.salesOrderNr : applier.note});
            } catch (const ole::AutomationError& e) {
                if (e.Number() != ado::err::MultipleStep) throw;
                // too long for the column: this order is left as it is, the others go on
                Sls_LogError("WebOrderConfirmation.UpdateDatabase",
                             "Sales order number '" + entry.salesOrderNr + "' of order " + entry.orderId + " is longer than " +
                                 std::to_string(kSalesOrderNrSize) + " characters; the order is left unchanged. " +
                                 "The entry (line " + std::to_string(entry.line) + " of '" + path + "') is kept in '" +
                                 rejected + "'");
                applied.refused.push_back({entry, "the sales order number is too long"});
            }
        }
        size_t changeCount = changes.size();
        auto eventStatements = OrderEventStatements(events);
        changes.insert(changes.end(), eventStatements.begin(), eventStatements.end());
        auto results = connection.ExecuteBatch(changes);
        for (size_t k = 0; k < changeCount; ++k) applied.changed += std::max(results[k].affected, 0);
    }

    std::string connectionString_;
};

}  // namespace

const std::string kConfirmOrderStatement = "UPDATE ORDERHEADER SET ORDERSTATUS = ?, SALESORDERNR = ? WHERE ORDERID = ? AND " +
                                          vendalo::StatusGuard(vendalo::OrderStatus::Processed);

namespace {
RefusedEntry EntryOfText(const std::string& text) {
    RefusedEntry r;
    r.entry.source = text;
    return r;
}
}  // namespace

EntryAppliedAgain ApplyEntryAgain(const ado::ConnectionPtr& connection, const std::string& entryText, bool xml,
                                  const std::string& separator, const std::string& reference, const std::string& actor,
                                  const std::string& note) {
    ConfirmationRead read = xml ? ReadXmlConfirmation(RejectedText({EntryOfText(entryText)}, true))
                                : ReadEdiConfirmation(entryText + "\r\n", separator);
    EntryAppliedAgain result;
    if (read.entries.empty()) {
        result.refusedWhy = read.refused.empty() ? read.whyNone : read.refused.front().reason;
        if (result.refusedWhy.empty()) result.refusedWhy = "the entry holds no order id and sales order number";
        return result;
    }
    Applied applied = WebOrderConfirmation::ApplyInTransaction(connection, {read.entries.front()}, reference,
                                                                {actor, note});
    if (!applied.refused.empty()) result.refusedWhy = applied.refused.front().reason;
    result.orderFound = applied.found > 0;
    result.changed = applied.changed;
    return result;
}

int32_t ConfirmationArchiveDays() { return EdiDaysSetting("ConfirmationArchiveDays", kDefaultArchiveDays); }

void RegisterWebOrderConfirmation() { ole::RegisterClass<WebOrderConfirmation>("Ordexa.WebOrderConfirmation"); }

}  // namespace ordexa
