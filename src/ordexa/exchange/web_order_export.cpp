#include "ordexa/exchange/web_order_export.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "interfaces/vendalo/order_status.h"
#include "interfaces/vendalo/vendalo_error.h"
#include "ordexa/batch_progress.h"
#include "ordexa/exchange/edi_order_message.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/exchange/exchange_folder_mode.h"
#include "ordexa/exchange/export_archive.h"
#include "ordexa/exchange/export_file_writer.h"
#include "ordexa/exchange/export_order_reader.h"
#include "ordexa/exchange/export_selection.h"
#include "ordexa/exchange/file_handling.h"
#include "ordexa/exchange/ftp.h"
#include "ordexa/exchange/membership_logon.h"
#include "ordexa/exchange/xml_export_file.h"
#include "ordexa/exchange/xml_order_export.h"
#include "platform/config/configuration.h"
#include "platform/data/transaction.h"
#include "platform/format/ansi_text.h"
#include "platform/log/log.h"
#include "platform/masterdata/membership.h"
#include "platform/os/durable_file.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

namespace fs = std::filesystem;
using ole::Variant;

// Orders written and marked together: one write, one fsync and one transaction
// per group, so that a crash sends at most one group a second time.
constexpr size_t kGroupSize = 200;

const std::string kProcessOrderFailed =
    "EDI export of orders failed. The export file is defined in the 'Order Export File' (Vendalo manager page)";

// Messages waiting to be written, and their orders.
struct Group {
    std::string bytes;  // ANSI
    std::vector<std::string> orderIds;
};

// The instance's outbox in the temporary EDI folder, for a file that goes to the host by FTP.
std::string OutboxOf(const std::string& bisid, bool xml) {
    return getTempEDIPath() + "/" + bisid + (xml ? ".xml" : ".edi");
}

// The writer's journal of an export file: in the installation's temporary EDI
// folder, not beside the file in the back end's folder.
std::string JournalOf(const std::string& path) {
    char name[40];
    std::snprintf(name, sizeof name, "export-%016zx.journal", std::hash<std::string>{}(path));
    return getTempEDIPath() + "/" + name;
}

// How the journal names a group sent again: by the exchange that records it.
const std::string kReplayJournalMark = "replayed in exchange ";

// Whether a group left behind by a stopped export was marked. Its orders are
// marked in one transaction: one marked order means all were. A group sent
// again counts as marked once its exchange is on record: its orders' events
// and that row claim it, so the file keeps it.
bool GroupMarked(const std::vector<std::string>& orderIds) {
    auto connection = Sls_GetOpenConnection(Sls_ConnectionString());
    if (orderIds.size() == 1 && orderIds.front().rfind(kReplayJournalMark, 0) == 0) {
        auto rs = connection->Execute("SELECT 1 FROM EXCHANGE WHERE EXCHANGEID = ?", nullptr, -1,
                                      {Variant(orderIds.front().substr(kReplayJournalMark.size()))});
        return !rs->Eof();
    }
    for (const auto& orderId : orderIds) {
        auto rs = connection->Execute("SELECT ORDERSTATUS FROM ORDERHEADER WHERE ORDERID = ?", nullptr, -1,
                                      {Variant(orderId)});
        if (!rs->Eof() && static_cast<vendalo::OrderStatus>(rs->Fields(0).Value().ToLong()) !=
                              vendalo::OrderStatus::ToBeProcessed)
            return true;
    }
    return false;
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
}

// Sends a local file to the host unless the host still holds the previous
// export file; a sent file is removed locally. An empty file is only removed.
// A file sent, or refused by the host, is recorded.
void PlaceOnHost(const std::string& local, const std::string& exportFile, const FtpSettings& ftp, bool reportPresent,
                 const std::string& bisid) {
    std::error_code ec;
    if (!fs::exists(local, ec)) return;
    if (fs::file_size(local, ec) == 0 && !ec) {
        fs::remove(local, ec);
        return;
    }
    auto client = Sls_GetComponent<IFTP>("Ordexa.FTP");
    if (client->FilePresentViaFTP(exportFile, ftp)) {
        if (reportPresent)
            Sls_LogError("WebOrderExport.ProcessOrders",
                         "Order export file " + TrimBlanks(exportFile) + " is already present on system " +
                             TrimBlanks(ftp.system) + ". Exported orders stay saved in file " + TrimBlanks(local));
        return;
    }
    ExchangeRecord placed;
    placed.kind = exchange_kind::kFilePlaced;
    placed.outcome = "placed";
    placed.file = TrimBlanks(exportFile);
    placed.length = static_cast<int64_t>(fs::file_size(local, ec));
    placed.reference = "FTP " + TrimBlanks(ftp.system);
    if (!bisid.empty()) placed.bisid = Variant(bisid).ToLong();
    auto started = std::chrono::steady_clock::now();
    try {
        client->PutFileViaFTP(local, exportFile, ftp);
    } catch (...) {
        placed.outcome = "failed";
        placed.detail = ole::ReasonOf(ole::CurrentError());
        placed.durationMs = MillisecondsSince(started);
        RecordExchangesApart({placed});
        throw;
    }
    placed.durationMs = MillisecondsSince(started);
    RecordExchangesApart({placed});
    fs::remove(local, ec);
}

class WebOrderExport : public IWebOrderExport {
public:
    void Run(const std::string& i_sBisid, const std::string& i_sEDIExportFile,
             const std::string& i_sEDIExportMessageType, const std::string& i_sEDIFieldSeparator,
             const std::string& i_sEDIEscapeSeparator, const FtpSettings& ftp) override {
        try {
            commonNames_.clear();
            logonFailure_.reset();
            InitDB();
            int32_t n = ProcessOrders(i_sBisid, i_sEDIExportFile, i_sEDIExportMessageType, i_sEDIFieldSeparator,
                                      i_sEDIEscapeSeparator, ftp);
            if (n > 0) {
                auto log = Sls_GetComponent<qx::ILog>("Qxcore.Log");
                log->WriteEntry(
                    "WebOrderExport",
                    "WebOrderExport submitted " + std::to_string(n) + " orders to export file for BISID " + i_sBisid,
                    qx::LogNotice);
            }
        } catch (...) {
            Sls_LogError("WebOrderExport.Run", ole::CurrentDescription());
        }
    }

private:
    void InitDB() {
        try {
            connectionString_ = Sls_ConnectionString();
        } catch (...) {
            Sls_RaiseError("WebOrderExport.InitDB", ole::CurrentDescription());
        }
    }

    // The orders waiting for this instance: not exported yet, and assigned to it or to none.
    bool GetNewlySubmittedOrders(const ado::RecordsetPtr& orders, const std::string& bisid) {
        ado::ConnectionPtr connection;
        try {
            connection = Sls_GetOpenConnection(connectionString_);
            orders->CursorLocation = ado::adUseClient;
            orders->Open("SELECT ORDERID, BUSINESSPARTNERID FROM ORDERHEADER WHERE ORDERSTATUS = ? "
                         "And (BISID = ? Or BISID IS NULL) ORDER BY BUSINESSPARTNERID, ORDERDATE, ORDERID",
                         connection, ado::adOpenForwardOnly, ado::adLockReadOnly, ado::adCmdText,
                         {StatusValue(vendalo::OrderStatus::ToBeProcessed), Variant(Variant(bisid).ToLong())});
            orders->SetActiveConnection(nullptr);
            connection->Close();
            return true;
        } catch (...) {
            Sls_LogError("WebOrderExport.GetNewlySubmittedOrders", ole::CurrentDescription());
            StopBatchPart("BISID " + bisid, ole::ReasonOf(ole::CurrentError()));
            return false;
        }
    }

    // Returns the number of orders written to the export file.
    int32_t ProcessOrders(const std::string& i_sBisid, const std::string& i_sEDIExportFile,
                          const std::string& i_sEDIExportMessageType, const std::string& i_sEDIFieldSeparator,
                          const std::string& i_sEDIEscapeSeparator, const FtpSettings& ftp) {
        int32_t handed = 0, total = 0, written = 0;
        std::string lastOrderId;
        ado::RecordsetPtr selected;
        try {
            const std::string journals = getTempEDIPath();
            MarkStoppedXmlExports(journals);
            bool overFtp = ftp.UseFtp();
            bool xml = i_sEDIExportMessageType == "1";
            // the XML document is built from every order at once; the EDI file takes them a page at a time
            ExportSelection selection(connectionString_);
            if (xml) {
                selected = std::make_shared<ado::Recordset>();
                if (!GetNewlySubmittedOrders(selected, i_sBisid)) return 0;
                total = selected->Bof() && selected->Eof() ? 0 : selected->RecordCount();
            } else if (!SelectWaitingOrders(selection, i_sBisid, total)) {
                return 0;
            }
            if (total == 0) {
                if (selected) selected->Close();
                // an outbox that an earlier run could not deliver goes now
                if (overFtp) {
                    std::string outbox = OutboxOf(i_sBisid, xml);
                    if (fs::exists(outbox)) PlaceOnHost(outbox, i_sEDIExportFile, ftp, false, i_sBisid);
                }
                return 0;
            }
            if (auto progress = CurrentBatchProgress()) progress->ExportStarted(i_sBisid, total);
            if (xml) {
                ExportXml(*selected, i_sBisid, i_sEDIExportFile, journals, ftp, written);
                return written;
            }

            overFtp_ = overFtp;
            auto file = OpenTarget(i_sBisid, i_sEDIExportFile, overFtp);
            if (!file) {
                StopBatchPart("BISID " + i_sBisid, "the export file " + TrimBlanks(i_sEDIExportFile) + " cannot be created");
                return 0;
            }
            int32_t bisid = Variant(i_sBisid).ToLong();
            EdiOrderMessage message([this](const std::string& userId) { return GetUserCommonName(userId); });
            ExportOrderReader reader(connectionString_);
            Group group;
            bool going = true;
            for (auto page = selection.NextPage(); going && !page.empty(); page = selection.NextPage())
                for (const std::string& orderId : page) {
                    lastOrderId = orderId;
                    message.SetEDISeparators(i_sEDIFieldSeparator, i_sEDIEscapeSeparator);
                    ++handed;
                    std::string text = ProcessOrder(lastOrderId, reader, message);
                    if (text.empty()) continue;
                    group.bytes += text;
                    group.orderIds.push_back(lastOrderId);
                    if (group.orderIds.size() < kGroupSize) continue;
                    reader.EndGroup();
                    going = WriteGroup(*file, group, bisid, i_sBisid, written, total, reader.Connection());
                    if (!going) break;
                }
            reader.EndGroup();
            if (going) going = WriteGroup(*file, group, bisid, i_sBisid, written, total, reader.Connection());
            if (!going)
                StopBatchPart("BISID " + i_sBisid, "the export stopped after " + std::to_string(written) + " of " +
                                                       std::to_string(total) + " orders (see the log)");
            file->Close();
            PruneExportArchive(file->Path(), i_sBisid, ExportArchiveDays());
            if (overFtp) PlaceOnHost(file->Path(), i_sEDIExportFile, ftp, true, i_sBisid);
            return written;
        } catch (...) {
            if (selected && selected->State() == ado::adStateOpen) selected->Close();
            Sls_LogError("WebOrderExport.ProcessOrders", "After processing " + std::to_string(handed) + " of " +
                                                             std::to_string(total) + " orders, processing order '" +
                                                             lastOrderId + "'");
            StopBatchPart("BISID " + i_sBisid, ole::ReasonOf(ole::CurrentError()));
            return written;
        }
    }

    // The orders of an XML document that a stopped export put in place may be
    // with the back end already: they are marked before anything is selected,
    // by whichever instance runs first (an order without BISID waits for any).
    void MarkStoppedXmlExports(const std::string& journals) {
        XmlOrderExport finisher(connectionString_, nullptr);
        finisher.SetJournalFolder(journals);
        finisher.FinishStoppedExports();
    }

    // Notes the orders waiting for the instance (total: how many); false when
    // they cannot be selected (logged, and the batch part stopped).
    bool SelectWaitingOrders(ExportSelection& selection, const std::string& bisid, int32_t& total) {
        try {
            total = selection.Select(Variant(bisid).ToLong());
            return true;
        } catch (...) {
            Sls_LogError("WebOrderExport.GetNewlySubmittedOrders", ole::CurrentDescription());
            StopBatchPart("BISID " + bisid, ole::ReasonOf(ole::CurrentError()));
            return false;
        }
    }

    // The selected orders as one XML document (to the instance's outbox when it
    // goes to the host by FTP); written: how many it holds once written.
    void ExportXml(ado::Recordset& selected, const std::string& bisid, const std::string& exportFile,
                   const std::string& journals, const FtpSettings& ftp, int32_t& written) {
        ole::Dictionary orders;
        for (; !selected.Eof(); selected.MoveNext())
            orders.Add(selected.Fields("ORDERID").Value(), selected.Fields("BUSINESSPARTNERID").Value());
        selected.Close();
        bool overFtp = ftp.UseFtp();
        std::string path = overFtp ? OutboxOf(bisid, true) : TrimBlanks(exportFile);
        XmlOrderExport exporter(connectionString_, [this](const std::string& userId) { return GetUserCommonName(userId); });
        exporter.SetNewFileMode(overFtp ? 0600 : ExchangeFileMode(ExchangeFolderMode()));
        if (journals.empty())
            ole::Raise(ole::err::PathNotFound,
                       "The temporary EDI folder, where the XML export keeps its journal, is not available",
                       "Ordexa.WebOrderExport");
        exporter.SetJournalFolder(journals);
        exporter.SetExchangeRecord(!overFtp);
        written = exporter.XmlExportOrders(orders, bisid, path);
        PruneExportArchive(path, bisid, ExportArchiveDays());
        if (overFtp) PlaceOnHost(path, exportFile, ftp, true, bisid);
    }

    // The local file the messages go to: the export file itself, or the instance's
    // outbox in the temporary EDI folder when the file goes to the host by FTP.
    static std::unique_ptr<ExportFileWriter> OpenTarget(const std::string& bisid, const std::string& exportFile,
                                                        bool overFtp) {
        std::string path = TrimBlanks(exportFile);
        if (overFtp) {
            auto stream = createTempEDIExportFileName(bisid, path);  // appends to an outbox left by an earlier run
            if (!stream) path = OutboxOf(bisid, false);
        }
        try {
            // the outbox is the installation's own; the export file is the back end's to read and take
            mode_t mode = overFtp ? 0600 : ExchangeFileMode(ExchangeFolderMode());
            return std::make_unique<ExportFileWriter>(path, JournalOf(path), GroupMarked, mode);
        } catch (...) {
            Sls_LogError("Order Export", "EDI export file '" + path + "' cannot be created.");
            return nullptr;
        }
    }

    // The order's message as the file holds it (ANSI), or "" when it cannot be
    // sent (logged; the order stays to be exported).
    std::string ProcessOrder(const std::string& orderId, ExportOrderReader& reader, EdiOrderMessage& message) {
        std::string failure;  // the message's own, which says more than that it could not be built
        try {
            OrderRows order = reader.Read(orderId);
            if (order.header->Eof()) ole::Raise(vendalo::OrderNotFound, "OrderNotFound");
            if (IsCreditCardOrder(order.header->Fields("WEBPAYMENTMETHOD").Value())) {
                order.footerText = message.SalesParameter("InvoiceText");
                order.creditCardOrderType = message.SalesParameter("Creditcard Ordertype for Backend");
            }
            std::string text = message.ProcessOneOrder(order);
            if (text.empty()) {
                failure = message.LastFailure();
                ole::Raise(vendalo::MissingOrderInfo, "The EDI message of order '" + orderId + "' could not be built",
                           "Ordexa.WebOrderExport");
            }
            return qx::Utf8ToAnsi(text);
        } catch (...) {
            // a database that does not answer fails every order after this one: the run stops with one entry
            if (std::string why = DatabaseSilence(); !why.empty())
                ole::Raise(ado::err::ProviderFailure, "The database does not answer: " + why,
                           "Ordexa.WebOrderExport");
            if (auto progress = CurrentBatchProgress())
                progress->OrderNotExported(orderId, failure.empty() ? ole::ReasonOf(ole::CurrentError()) : failure);
            Sls_LogError("WebOrderExport.ProcessOrder",
                         kProcessOrderFailed + " Order '" + orderId + "' stays to be exported.");
            return "";
        }
    }

    // Writes a group and marks its orders; false ends the run (the orders not
    // marked stay to be exported, and their messages are not in the file).
    bool WriteGroup(ExportFileWriter& file, Group& group, int32_t bisid, const std::string& i_sBisid, int32_t& written,
                    int32_t total, const ado::ConnectionPtr& runConnection) {
        if (group.orderIds.empty()) return true;
        ExchangeRecord record;
        record.id = Sls_CreateGUID();
        record.kind = exchange_kind::kExportGroup;
        record.outcome = "written";
        record.bisid = bisid;
        record.orderIds = group.orderIds;
        record.file = file.Path();
        record.length = static_cast<int64_t>(group.bytes.size());
        record.sha256 = os::Sha256Hex(group.bytes);
        record.detail = "EDI";
        try {
            record.archive = ArchiveExportGroup(file.Path(), i_sBisid, record.id, "edi", group.bytes);
            file.Append(group.bytes, group.orderIds);
            record.offset = static_cast<int64_t>(file.GroupOffset());
        } catch (...) {
            if (!record.archive.empty()) ::unlink(record.archive.c_str());
            Sls_LogError("WebOrderExport.ProcessOrder",
                         kProcessOrderFailed + " " + std::to_string(group.orderIds.size()) + " order(s) from order '" +
                             group.orderIds.front() + "' on stay to be exported.");
            return false;
        }
        std::vector<ExchangeRecord> records{record};
        if (!overFtp_) records.push_back(LocalPlacement(bisid, file.Path(), *record.offset, *record.length));
        if (!UpdateOrderStatus(group.orderIds, bisid, file.Path(), records, runConnection)) {
            ::unlink(record.archive.c_str());
            try {
                file.Withdraw();
            } catch (...) {
                Sls_LogError("WebOrderExport.ProcessOrders",
                             "The messages of " + std::to_string(group.orderIds.size()) + " order(s) from order '" +
                                 group.orderIds.front() + "' on stay in " + file.Path() +
                                 " although the orders stay to be exported: they will be sent again");
            }
            return false;
        }
        file.Keep();
        written += static_cast<int32_t>(group.orderIds.size());
        if (auto progress = CurrentBatchProgress()) progress->OrdersExported(i_sBisid, written, total);
        group = Group();
        return true;
    }

    // Marks the orders exported by this instance, all or none, and records the group. Only orders still
    // waiting are changed: a status moves from 0 to 1 and never back. The run's
    // connection, when it has one, marks too: one connection keeps its cache of
    // the tables, where a second one would find it stale after every group.
    bool UpdateOrderStatus(const std::vector<std::string>& orderIds, int32_t bisid, const std::string& file,
                           const std::vector<ExchangeRecord>& records, ado::ConnectionPtr connection) {
        bool own = !connection;
        try {
            if (own) connection = Sls_GetOpenConnection(connectionString_);
            std::vector<ado::BatchStatement> marks;
            marks.reserve(orderIds.size());
            std::vector<OrderEvent> events;
            events.reserve(orderIds.size());
            // the group is named by its first order: the file holds it with the orders that follow
            std::string group = file + " group from " + orderIds.front();
            for (const auto& orderId : orderIds) {
                marks.push_back({kMarkExportedStatement,
                                 {StatusValue(vendalo::OrderStatus::Processed), Variant(bisid), Variant(orderId)}});
                events.push_back({orderId, std::nullopt, static_cast<int32_t>(vendalo::OrderStatus::ToBeProcessed),
                                  static_cast<int32_t>(vendalo::OrderStatus::Processed), "exported", "", group,
                                  "EDI, BISID " + std::to_string(bisid)});
            }
            auto eventStatements = OrderEventStatements(events);
            marks.insert(marks.end(), eventStatements.begin(), eventStatements.end());
            auto recordStatements = ExchangeStatements(records);
            marks.insert(marks.end(), recordStatements.begin(), recordStatements.end());
            ado::Transaction tx(*connection);  // rolled back unless committed
            connection->ExecuteBatch(marks);  // on PostgreSQL one round trip for the group
            tx.Commit();
            if (own) connection->Close();
            return true;
        } catch (...) {
            Sls_LogError("WebOrderExport.UpdateOrderStatus");
            return false;
        }
    }

    // The common name of a shop user. The membership directory is logged on to
    // once per object; a failed logon is not tried again within the same run.
    std::string GetUserCommonName(const std::string& userId) {
        try {
            auto known = commonNames_.find(userId);
            if (known != commonNames_.end()) return known->second;
            if (!members_) LogOnToMembership();
            std::string name = members_->GetUser(userId)->CommonName();
            commonNames_.emplace(userId, name);
            return name;
        } catch (...) {
            Sls_RaiseError("Ordexa.WebOrderExport" + std::string(".GetUserCommonName()"), "ShopperId= " + userId);
        }
    }

    void LogOnToMembership() {
        if (logonFailure_) Sls_RaiseSaved(*logonFailure_);  // as first raised, fields and all
        try {
            auto members = ordexa::LogOnToMembership();
            members_ = members;
        } catch (...) {
            logonFailure_ = ole::CurrentError();
            throw;
        }
    }

    std::string connectionString_;
    bool overFtp_ = false;  // the run writes the outbox, not the export file
    std::shared_ptr<qx::IMembership> members_;        // logged on; kept for the object's life
    std::optional<ole::SlsErrorInfo> logonFailure_;   // of this run
    std::map<std::string, std::string> commonNames_;  // of this run
};

}  // namespace

const std::string kMarkExportedStatement = "UPDATE ORDERHEADER SET ORDERSTATUS = ?, BISID = ? WHERE ORDERID = ? AND " +
                                          vendalo::StatusGuard(vendalo::OrderStatus::ToBeProcessed);

void PlaceExportGroupAgain(const std::string& bisid, const std::string& exportFile, const FtpSettings& ftp,
                           const std::string& bytes, const std::string& exchangeId,
                           const std::function<void(const std::string& file, int64_t offset)>& record) {
    bool overFtp = ftp.UseFtp();
    std::string path = overFtp ? OutboxOf(bisid, false) : TrimBlanks(exportFile);
    mode_t mode = overFtp ? 0600 : ExchangeFileMode(ExchangeFolderMode());
    {
        ExportFileWriter writer(path, JournalOf(path), GroupMarked, mode);
        // journalled by its exchange: a copy that a crash leaves behind is cut
        // off again unless that exchange was recorded
        writer.Append(bytes, {kReplayJournalMark + exchangeId});
        try {
            record(writer.Path(), static_cast<int64_t>(writer.GroupOffset()));
        } catch (...) {
            writer.Withdraw();
            throw;
        }
        writer.Keep();
    }
    if (overFtp) PlaceOnHost(path, exportFile, ftp, true, bisid);
}

void PlaceXmlGroupAgain(const std::string& bisid, const std::string& exportFile, const FtpSettings& ftp,
                        const std::string& bytes,
                        const std::function<void(const std::string& file, int64_t offset)>& record) {
    bool overFtp = ftp.UseFtp();
    std::string path = overFtp ? OutboxOf(bisid, true) : TrimBlanks(exportFile);
    mode_t mode = overFtp ? 0600 : ExchangeFileMode(ExchangeFolderMode());
    const std::string journals = getTempEDIPath();
    if (journals.empty())
        ole::Raise(ole::err::PathNotFound,
                   "The temporary EDI folder, where the XML export keeps its journal, is not available",
                   "Ordexa.WebOrderExport");
    AppendXmlGroupAgain(path, XmlExportJournalOf(journals, path), mode, bytes, record);
    if (overFtp) PlaceOnHost(path, exportFile, ftp, true, bisid);
}

void RegisterWebOrderExport() { ole::RegisterClass<WebOrderExport>("Ordexa.WebOrderExport"); }

}  // namespace ordexa
