#include "exchange/web_order_confirmation.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "automation/text.h"
#include "batch_progress.h"
#include "exchange/file_handling.h"
#include "exchange/ftp.h"
#include "format/ansi_text.h"
#include "lib_sales.h"
#include "xml/dom.h"

namespace ordexa {
namespace {

using ole::Variant;

// SALESORDERNR holds up to this many characters; a longer number is refused, never cut.
constexpr int32_t kSalesOrderNrSize = 20;
constexpr size_t kOrderIdSize = 32;

// The first occurrence of the separator, letters compared without regard to case.
size_t FindSeparator(const std::string& line, const std::string& separator) {
    if (separator.empty() || separator.size() > line.size()) return std::string::npos;
    bool letters = std::any_of(separator.begin(), separator.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
    if (!letters) return line.find(separator);  // the usual ";" or ","
    return ole::FindNoCase(line, separator);
}

// The whole file, read while other processes may not write it.
std::string ReadLocked(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ole::Raise(errno == EACCES ? ole::err::PermissionDenied : ole::err::FileNotFound,
                           "Cannot open the confirmation file " + path);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        ole::Raise(ole::err::PermissionDenied, "The confirmation file " + path + " is being written by another process");
    std::string content;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
    if (n < 0) ole::Raise(ole::err::PermissionDenied, "Cannot read the confirmation file " + path);
    return content;
}

class WebOrderConfirmation : public IWebOrderConfirmation {
public:
    void Run(const std::string& i_sBisid, const std::string& i_sOrderConfirmationFile,
             const std::string& i_sEDIConfirmationMessageType, const std::string& i_sEDIFieldSeparator,
             const FtpSettings& ftp) override {
        try {
            if (!isFilePresent(i_sOrderConfirmationFile, ftp)) return;
            std::string local;
            if (ftp.UseFtp()) {
                std::string directory, name;
                getDirectoryAndFileFromFilePath(i_sOrderConfirmationFile, directory, name);
                local = getTempEDIPath() + "/" + name;
                auto client = Sls_GetComponent<IFTP>("Ordexa.FTP");
                client->GetFileViaFTP(i_sOrderConfirmationFile, local, ftp);
            } else {
                local = TrimBlanks(i_sOrderConfirmationFile);
            }
            if (!std::filesystem::exists(local)) return;
            std::string content = ReadLocked(local);
            ole::DictionaryPtr entries = i_sEDIConfirmationMessageType == "1"
                                             ? ReadFromXmlFile(content, local)
                                             : ReadFromFile(content, local, i_sEDIFieldSeparator);
            int32_t count = entries->Count();
            int32_t applied = count > 0 ? UpdateDatabase(*entries) : 0;
            if (ftp.UseFtp()) {
                std::error_code ec;
                std::filesystem::remove(local, ec);
            }
            if (count > 0) {
                RemoveFile(i_sOrderConfirmationFile, ftp);
                Sls_LogNotice("Ordexa.WebOrderConfirmation",
                              std::to_string(count) + " order(s) confirmed and " + "0" +
                                  " acknowledged using the confirmation File '" + TrimBlanks(i_sOrderConfirmationFile) + "'");
                if (auto progress = CurrentBatchProgress()) progress->ConfirmationsApplied(i_sBisid, applied);
            }
        } catch (...) {
            Sls_LogError("Ordexa.WebOrderConfirmation.Run");
        }
    }

private:
    std::string ConnectionString() {
        try {
            if (connectionString_.empty()) connectionString_ = Sls_ConnectionString();
            return connectionString_;
        } catch (...) {
            Sls_RaiseError("WebOrderConfirmation.ConnectionString");
        }
    }

    static ole::DictionaryPtr ReadFromFile(const std::string& content, const std::string& path,
                                           const std::string& separator) {
        try {
            return ReadConfirmationText(qx::AnsiToUtf8(content), separator, path);
        } catch (...) {
            Sls_RaiseError("WebOrderConfirmation.ReadFromFile");
        }
    }

    static ole::DictionaryPtr ReadFromXmlFile(const std::string& content, const std::string& path) {
        try {
            qx::XmlDocument doc;
            if (!doc.LoadXml(content))
                ole::Raise(doc.ErrorCode(), "XMLDom parser failure: " + doc.Reason(), "WebOrderConfirmation");
            auto entries = std::make_shared<ole::Dictionary>();
            for (const auto& selected : doc.doc.select_nodes("BizTalk/Body/QxOrderConfirmation/SalesOrder")) {
                pugi::xml_node order = selected.node();
                pugi::xml_node id = order.child("WebOrderId"), number = order.child("SalesOrderNr");
                if (!id || !number)
                    ole::Raise(ole::err::ObjectNotSet,
                               std::string("A SalesOrder element has no ") + (!id ? "WebOrderId" : "SalesOrderNr"),
                               "WebOrderConfirmation");
                std::string key = qx::NodeText(id), value = qx::NodeText(number);
                if (entries->Exists(key)) {
                    Sls_LogError("ReadFromFile", "Sales Order '" + TrimBlanks(key) +
                                                     "' is already part of the order acknowledgement file: " + TrimBlanks(path) +
                                                     ". Backend order '" + TrimBlanks(value) + "' is omitted.");
                    continue;
                }
                entries->Add(key, value);
            }
            return entries;
        } catch (...) {
            Sls_RaiseError("WebOrderConfirmation.ReadFromXmlFile()");
        }
    }

    // All changes in one transaction: a failure part-way changes no order and the
    // file stays for the next run (the status condition makes a second import harmless).
    // Returns the number of orders that moved on.
    int32_t UpdateDatabase(const ole::Dictionary& entries) {
        ado::ConnectionPtr connection;
        try {
            connection = std::make_shared<ado::Connection>();
            connection->Open(ConnectionString(), "", "", -1);
            auto read = std::make_shared<ado::Command>();
            read->ActiveConnection = connection;
            read->CommandText = "SELECT WEBPAYMENTMETHOD, ACKNOWLEDGEMENTURL FROM ORDERHEADER WHERE ORDERID = ?";
            read->AppendParameter(read->CreateParameter("OrderID", ado::adChar, ado::adParamInput, kOrderIdSize));
            auto change = std::make_shared<ado::Command>();
            change->ActiveConnection = connection;
            change->CommandText =
                "UPDATE ORDERHEADER SET ORDERSTATUS = ?, SALESORDERNR = ? WHERE ORDERID = ? AND ORDERSTATUS = 1";
            change->AppendParameter(change->CreateParameter("OrderStatus", ado::adSmallInt, ado::adParamInput));
            change->AppendParameter(change->CreateParameter("SalesOrderNr", ado::adChar, ado::adParamInput, kSalesOrderNrSize));
            change->AppendParameter(change->CreateParameter("OrderID", ado::adChar, ado::adParamInput, kOrderIdSize));

            int32_t applied = 0;
            connection->BeginTrans();
            entries.ForEach([&](const Variant& key, const Variant& item) {
                std::string id = key.ToString();
                ado::RecordsetPtr order;
                if (id.size() <= kOrderIdSize) {
                    std::vector<Variant> values{Variant(id)};
                    order = read->Execute(nullptr, &values);
                }
                if (!order || order->Eof()) {
                    Sls_LogError("WebOrderConfirmation.UpdateDatabase: Order read from " + std::string("acknowledgement file with ID ") +
                                 id + " not found in Vendalo database");
                    return;
                }
                Variant method = order->Fields("WEBPAYMENTMETHOD").Value();
                Variant url = order->Fields("ACKNOWLEDGEMENTURL").Value();
                int16_t status = 6;
                if (!method.IsNull() && method.ToDouble() == 2)
                    status = 4;
                else if (!url.IsNull() && !url.Text().empty())
                    status = 2;
                std::vector<Variant> values{Variant(status), item, Variant(id)};
                try {
                    int32_t affected = 0;
                    change->Execute(&affected, &values);
                    applied += affected;
                } catch (const ole::AutomationError& e) {
                    if (e.Number() != ado::err::MultipleStep) throw;
                    // too long for the column: this order is left as it is, the others go on
                    Sls_LogError("WebOrderConfirmation.UpdateDatabase",
                                 "Sales order number '" + item.Text() + "' of order " + id + " is longer than " +
                                     std::to_string(kSalesOrderNrSize) + " characters; the order is left unchanged");
                }
            });
            connection->CommitTrans();
            connection->Close();
            return applied;
        } catch (...) {
            Sls_CloseConnection(connection);  // closing rolls the open transaction back
            Sls_RaiseError("WebOrderConfirmation.UpdateDatabase");
        }
    }

    std::string connectionString_;
};

}  // namespace

ole::DictionaryPtr ReadConfirmationText(const std::string& text, const std::string& separator, const std::string& path) {
    auto entries = std::make_shared<ole::Dictionary>();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (end == std::string::npos)
            pos = text.size();
        else
            pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
        size_t at = FindSeparator(line, separator);
        if (at == std::string::npos || at == 0) continue;  // no separator, or no key
        std::string key = line.substr(0, at), number = line.substr(at + separator.size());
        if (entries->Exists(key)) {
            Sls_LogError("ReadFromFile", "Sales Order '" + TrimBlanks(key) + "' has multiple occurences in the order " +
                                             "acknowledgement file: " + TrimBlanks(path) + ". Backend order '" + TrimBlanks(number) +
                                             "' is omitted.");
            continue;
        }
        entries->Add(key, number);
    }
    return entries;
}

void RegisterWebOrderConfirmation() { ole::RegisterClass<WebOrderConfirmation>("Ordexa.WebOrderConfirmation"); }

}  // namespace ordexa
