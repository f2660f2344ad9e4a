#include "ordexa/exchange/cc_order_process.h"

#include <filesystem>
#include <fstream>
#include <optional>

#include "interfaces/vendalo/order_export_file.h"
#include "interfaces/vendalo/order_status.h"
#include "ordexa/batch_progress.h"
#include "ordexa/exchange/batch_stage.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/exchange/file_handling.h"
#include "ordexa/exchange/ftp.h"
#include "ordexa/exchange/web_order_confirmation.h"
#include "ordexa/exchange/web_order_export.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;

// The connection arguments of one registry row, in the order they always travel.
// ", i_sUseFtp = ..., i_sSystem = ... , i_sPassword  = ***" for the labels: the password never shows.
std::string ConnectionArguments(const FtpSettings& c) {
    return ", i_sUseFtp = " + c.useFtp + ", i_sSystem = " + c.system + ", i_sSystemPort = " + c.systemPort +
           ", i_sProxyServer = " + c.proxyServer + ", i_sProxyPort = " + c.proxyPort + ", i_sLogin = " + c.login +
           ", i_sPassword  = ***";
}

// A registry column as the batch reads it: Null as "", anything else as trimmed text.
std::string Column(const ado::RecordsetPtr& rs, const char* name) {
    Variant v = rs->Fields(name).Value();
    return v.IsNull() ? std::string() : TrimBlanks(v.ToString());
}

// Stops a part of the batch when the database does not answer: one entry for
// the part, however many of its orders are met afterwards. True when stopped.
bool StoppedWithoutDatabase(const std::string& part) {
    std::string why = DatabaseSilence();
    if (why.empty()) return false;
    if (StopBatchPart(part, "the database does not answer: " + why)) {
        try {
            ole::Raise(ado::err::ProviderFailure, "The database does not answer: " + why, "Ordexa.CCOrderProcess");
        } catch (...) {
            Sls_LogError("Ordexa.CCOrderProcess.Run", part + " stopped; what it has not done waits for the next batch");
        }
    }
    return true;
}

class CCOrderProcess : public ICCOrderProcess {
public:
    void Run() override {
        std::shared_ptr<IWebOrderExport> exporter;
        std::shared_ptr<IWebOrderConfirmation> confirmation;
        std::shared_ptr<vendalo::IOrderExportFile> registry;
        ado::RecordsetPtr rows;
        std::shared_ptr<IBatchStage> stage;
        ClearStoppedBatchParts();
        try {
            exporter = Sls_GetComponent<IWebOrderExport>("Ordexa.WebOrderExport");
            confirmation = Sls_GetComponent<IWebOrderConfirmation>("Ordexa.WebOrderConfirmation");
            registry = Sls_GetComponent<vendalo::IOrderExportFile>("Vendalo.OrderExportFile");
            rows = registry->GetAllInstances();
            for (; !rows->Eof(); rows->MoveNext()) {
                std::string file = Column(rows, "FILENAME"), exportType = Column(rows, "EXPORTMESSAGETYPE"),
                            confirmationFile = Column(rows, "CONFIRMATIONFILENAME"),
                            confirmationType = Column(rows, "CONFIRMATIONMESSAGETYPE"),
                            semaphore = Column(rows, "USEEDISEMAPHORE"), separator = Column(rows, "EDIFIELDSEPARATOR"),
                            escape = Column(rows, "EDIESCAPESEPARATOR");
                FtpSettings c{Column(rows, "USEFTP"),    Column(rows, "SYSTEM"), Column(rows, "SYSTEMPORT"),
                             Column(rows, "PROXYSERVER"), Column(rows, "PROXYPORT"), Column(rows, "LOGIN"),
                             Column(rows, "PASSWORD")};
                // A row without BISID cannot be exported or confirmed; it must not end the other rows' batch.
                std::string bisid;
                try {
                    bisid = rows->Fields("BISID").Value().ToString();
                } catch (...) {
                    Sls_LogError("Ordexa.CCOrderProcess.Run",
                                 "The export registry row of file '" + file + "' has no BISID; the row is skipped");
                    continue;
                }
                // without the database the instance stops once, not once for each of its orders
                std::string part = "BISID " + bisid;
                qx::LogContext instance(qx::LogField::Instance, bisid);
                if (StoppedWithoutDatabase(part)) continue;
                if (!AllowedToHandleEDI(file, semaphore, c)) continue;
                exporter->Run(bisid, file, exportType, separator, escape, c);
                bisid = rows->Fields("BISID").Value().ToString();
                if (!StoppedWithoutDatabase(part)) {
                    confirmation->Run(bisid, confirmationFile, confirmationType, separator, c);
                    StoppedWithoutDatabase(part);
                }
                // what the export wrote is whole: the folder goes back to the back end
                SetSignForVornEDIHandling(file, semaphore, c);
            }
            exporter.reset();
            confirmation.reset();
            registry.reset();
            rows.reset();
            const std::pair<const char*, const char*> stages[] = {{"Ordexa.Reqlink", "broker acknowledgements"},
                                                                  {"Ordexa.CCAllocation", "allocation"},
                                                                  {"Ordexa.CCOrderStatus", "line status"}};
            for (const auto& [progId, part] : stages) {
                stage = Sls_GetComponent<IBatchStage>(progId);
                if (!StoppedWithoutDatabase(part)) {
                    stage->Run();
                    StoppedWithoutDatabase(part);
                }
                stage.reset();
            }
            if (!StoppedWithoutDatabase("billing fulfilment")) FulfillBilling();
            PruneExchangeRecord();
        } catch (...) {
            exporter.reset();
            confirmation.reset();
            registry.reset();
            rows.reset();
            stage.reset();
            Sls_LogError("Ordexa.CCOrderProcess.Run", ole::CurrentDescription());
            if (auto progress = CurrentBatchProgress()) progress->BatchStopped(ole::ReasonOf(ole::CurrentError()));
        }
    }

    void FulfillBilling() override {
        ado::ConnectionPtr connection;
        try {
            connection = Sls_GetOpenConnection(Sls_ConnectionString());
            auto rs = std::make_shared<ado::Recordset>();
            rs->CursorLocation = ado::adUseClient;
            rs->Open("SELECT ORDERID FROM ORDERHEADER as a WHERE ORDERSTATUS = ? AND "
                     "NOT EXISTS (SELECT ORDERID FROM ORDERLINE as b WHERE a.ORDERID = b.ORDERID AND b.LINESTATUS < ?)",
                     connection, ado::adOpenForwardOnly, ado::adLockReadOnly, ado::adCmdText,
                     {StatusValue(vendalo::OrderStatus::CCPaymentToBeFulfilled),
                      StatusValue(vendalo::OrderLineStatus::BackendBilled)});
            int32_t closed = 0;
            for (; !rs->Eof(); rs->MoveNext())
                if (UpdateOrderStatus(rs->Fields("ORDERID").Value().ToString(), connection)) ++closed;
            rs->Close();
            if (auto progress = CurrentBatchProgress()) progress->OrdersClosed(closed);
        } catch (...) {
            Sls_LogError("CCOrderProcess.FulfillBilling", ole::CurrentDescription());
            StopBatchPart("billing fulfilment", ole::ReasonOf(ole::CurrentError()));
        }
    }

private:
    // The record of exchanges keeps its rows the days set; each batch removes a
    // bounded number of older ones, so that a long backlog goes over several runs.
    static void PruneExchangeRecord() {
        try {
            PruneExchanges(Sls_GetOpenConnection(Sls_ConnectionString()), ExchangeRetentionDays(), kPruneBound);
        } catch (...) {
            Sls_LogWarning("CCOrderProcess.PruneExchangeRecord", ole::CurrentDescription());
        }
    }
    static constexpr int32_t kPruneBound = 20000;

    // Only an order still in status 4 is closed: a status that changed meanwhile
    // (a billing issue, say) is never overwritten with Paid.
    static bool UpdateOrderStatus(const std::string& orderId, const ado::ConnectionPtr& connection) {
        try {
            static const std::string sql = "UPDATE ORDERHEADER SET ORDERSTATUS = ? WHERE ORDERID = ? AND " +
                                           StatusGuard(vendalo::OrderStatus::CCPaymentToBeFulfilled);
            auto changed = Sls_ExecuteWithOrderEvents(
                connection, {{sql, {StatusValue(vendalo::OrderStatus::Paid), Variant(orderId)}}},
                {{orderId, std::nullopt, static_cast<int32_t>(vendalo::OrderStatus::CCPaymentToBeFulfilled),
                  static_cast<int32_t>(vendalo::OrderStatus::Paid), "paid", "", "", "every line billed"}});
            return changed.front().affected > 0;
        } catch (...) {
            if (!ConnectionSilence(connection).empty()) throw;  // the run's connection is lost: it stops once
            Sls_LogError("CCOrderProcess.UpdateOrderStatus", ole::CurrentDescription());
            return false;
        }
    }

    static bool AllowedToHandleEDI(const std::string& file, const std::string& semaphore, const FtpSettings& c) {
        try {
            if (!IsFlagOn(semaphore)) return true;
            PlaceCommYesFile(file, c);
            if (!CommandDotFilFilePresent(file, c)) {
                Sls_LogNotice("CCOrderProcess.AllowedToHandleEDI",
                              std::string("commmand.fil file is not present on Vorn system, ") +
                                  "so EDI order export file " + TrimBlanks(file) +
                                  " is not written nor is the order confirmation file read." +
                                  "Probaly Vorn system is busy with EDI transactions.");
                return false;
            }
            if (CommDotEndFilePresent(file, c)) {
                Sls_LogNotice("CCOrderProcess.AllowedToHandleEDI",
                              std::string("comm.end file is present on Vorn system, ") + "so EDI order export file " +
                                  TrimBlanks(file) + " is not written nor is the order confirmation file read." +
                                  "Probaly EDI transactions are stopped by Vorn EDI.");
                return false;
            }
            return true;
        } catch (...) {
            Sls_LogError("CCOrderProcess.AllowedToHandleEDI(i_sEDIExportFile = " + file +
                             ", i_sUseEdiSemaphore = " + semaphore + ConnectionArguments(c) + ")",
                         ole::CurrentDescription());
            return false;
        }
    }

    static void PlaceCommYesFile(const std::string& file, const FtpSettings& c) {
        std::optional<ExchangeRecord> written;
        try {
            std::string remote = setCommandFileFromEDIExportFile(file, "comm.yes");
            if (isFilePresent(remote, c)) return;
            bool ftp = c.UseFtp();
            std::string local = ftp ? getTempEDIPath() + "/comm.yes" : remote;
            written = SemaphoreRecord(remote, c, "written");
            if (!std::filesystem::exists(local)) {
                std::ofstream out(local, std::ios::binary | std::ios::trunc);
                if (!out) ole::Raise(ole::err::PathNotFound, "Path not found: " + local);
            }
            if (ftp) {
                remote = setCommandFileFromEDIExportFile(file, "comm.yes");
                auto client = Sls_GetComponent<IFTP>("Ordexa.FTP");
                client->PutFileViaFTP(local, remote, c);
            }
            RecordExchangesApart({*written});
        } catch (...) {
            if (written) {
                written->outcome = "failed";
                written->detail = ole::ReasonOf(ole::CurrentError());
                RecordExchangesApart({*written});
            }
            Sls_LogError("CCOrderProcess.PlaceCommYesFile(i_sEDIExportFile = " + file + ConnectionArguments(c) + ")",
                         ole::CurrentDescription());
        }
    }

    // A semaphore file written or removed, locally or on the FTP host.
    static ExchangeRecord SemaphoreRecord(const std::string& path, const FtpSettings& c, const char* outcome) {
        ExchangeRecord record;
        record.kind = exchange_kind::kSemaphoreFile;
        record.outcome = outcome;
        record.file = path;
        record.reference = c.UseFtp() ? "FTP " + TrimBlanks(c.system) : "local";
        return record;
    }

    static bool CommandDotFilFilePresent(const std::string& file, const FtpSettings& c) {
        try {
            return isFilePresent(setCommandFileFromEDIExportFile(file, "command.fil"), c);
        } catch (...) {
            Sls_LogError("CCOrderProcess.CommandDotFilFilePresent(i_sEDIExportFile = " + file + ConnectionArguments(c) + ")",
                         ole::CurrentDescription());
            return false;
        }
    }

    static bool CommDotEndFilePresent(const std::string& file, const FtpSettings& c) {
        try {
            return isFilePresent(setCommandFileFromEDIExportFile(file, "command.end"), c);
        } catch (...) {
            Sls_LogError("CCOrderProcess.CommDotEndFilePresent(i_sEDIExportFile = " + file + ConnectionArguments(c) + ")",
                         ole::CurrentDescription());
            return false;
        }
    }

    // Removing command.fil hands the EDI folder back to the back end.
    static void SetSignForVornEDIHandling(const std::string& file, const std::string& semaphore, const FtpSettings& c) {
        try {
            if (!IsFlagOn(semaphore)) return;
            std::string command = setCommandFileFromEDIExportFile(file, "command.fil");
            ExchangeRecord removed = SemaphoreRecord(command, c, "removed");
            if (!RemoveFile(command, c)) {
                removed.outcome = "failed";
                removed.detail = "not removed (see the log)";
            }
            RecordExchangesApart({removed});
        } catch (...) {
            Sls_LogError("CCOrderProcess.SetSignForVornEDIHandling(i_sEDIExportFile = " + file +
                             ", i_sUseEdiSemaphore = " + semaphore + ConnectionArguments(c) + ")",
                         ole::CurrentDescription());
        }
    }
};

}  // namespace

std::string setCommandFileFromEDIExportFile(const std::string& exportFile, const std::string& name) {
    try {
        std::string path = TrimBlanks(exportFile);
        std::string slash = getSlashInPath(path);
        return GetParentDir(GetParentDir(path)) + slash + "command" + slash + name;
    } catch (...) {
        Sls_LogError("CCOrderProcess.setCommandFileFromEDIExportFile('" + TrimBlanks(exportFile) + "', '" +
                         TrimBlanks(name) + "')",
                     ole::CurrentDescription());
        return "";
    }
}

void RegisterCCOrderProcess() { ole::RegisterClass<CCOrderProcess>("Ordexa.CCOrderProcess"); }

}  // namespace ordexa
