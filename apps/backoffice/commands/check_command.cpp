// `backoffice check [--connect]`: tests an installation without changing it.
// Always: the settings (type and range, from the one list of settings), the
// modes of the installation's files, and on SQLite the schema. With --connect
// it also reaches, once each, the database, the exchange folders, the FTP
// hosts, the gateway, the business objects and the brokers: no order is read
// or changed, and nothing secret (passwords, keys, URL queries) is printed.
#include <curl/curl.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "installation/installation_files.h"
#include "installation/schema_upgrade.h"
#include "installation/setting_check.h"
#include "installation/sql_scripts.h"
#include "ordexa/exchange/ftp.h"
#include "ordexa/stage_settings.h"
#include "platform/automation/error.h"
#include "platform/data/ado.h"
#include "platform/data/transaction.h"
#include "platform/gateway/gateway_wire.h"
#include "platform/net/ftp_client.h"
#include "shared/lib_sales.h"

namespace backoffice {
namespace {

namespace fs = std::filesystem;

constexpr int kExitFindings = 1;
constexpr int kExitNotChecked = 2;

class Findings {
public:
    void Add(const std::string& what, const std::string& why) { Line(what + ": " + why); }
    void Line(const std::string& finding) {
        std::cout << TerminalText(finding) << "\n";
        ++count_;
    }
    int Count() const { return count_; }

private:
    int count_ = 0;
};

// A URL as it may be shown: without user, password, query and fragment.
std::string ShownUrl(const std::string& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    if (curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return "(a URL that is none)";
    curl_url_set(u.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(u.get(), CURLUPART_PASSWORD, nullptr, 0);
    curl_url_set(u.get(), CURLUPART_QUERY, nullptr, 0);
    curl_url_set(u.get(), CURLUPART_FRAGMENT, nullptr, 0);
    char* text = nullptr;
    if (curl_url_get(u.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return "(a URL that is none)";
    std::string shown = text;
    curl_free(text);
    return shown;
}

// Why the URL cannot be reached over HTTP(S), or "": one HEAD request, no
// redirects, the peer verified; any HTTP answer counts as reached.
std::string Unreachable(const std::string& url) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
    CURLcode code = curl_easy_perform(curl.get());
    if (code == CURLE_OK) return "";
    return *error ? error : curl_easy_strerror(code);
}

std::string Text(const ado::RecordsetPtr& rows, const char* column) { return rows->Fields(column).Value().Text(); }

void CheckSchema(const std::string& connectionString, Findings& findings) {
    auto c = ado::OpenConnection(connectionString, ado::Pooling::Unpooled);
    // what an upgrade would add, added and rolled back
    ado::Transaction tx(*c);
    for (const auto& missing : AddMissingSchema(*c, ReadSqlScript("schema.sql")))
        findings.Add("schema", missing + " is missing: run `backoffice upgrade`");
}

// A folder the batch writes into: there, a folder, and writable by this user.
void CheckFolder(const std::string& what, const std::string& file, Findings& findings) {
    if (file.empty()) return;
    fs::path folder = fs::path(file).parent_path();
    if (!fs::is_directory(folder))
        findings.Add(what, folder.string() + " is no folder");
    else if (::access(folder.c_str(), W_OK | X_OK) != 0)
        findings.Add(what, folder.string() + " cannot be written by this user");
}

// Reaches what the installation talks to, once each; returns how many were tried.
int CheckOutside(const std::string& connectionString, Findings& findings) {
    int reached = 0;
    auto rows = Sls_GetDisconnectedRecordset("SELECT * FROM ORDEREXPORTFILE ORDER BY BISID", connectionString);
    auto ftp = Sls_GetComponent<ordexa::IFTP>("Ordexa.FTP");
    for (; !rows->Eof(); rows->MoveNext(), ++reached) {
        std::string what = "exchange BISID " + Text(rows, "BISID");
        ordexa::FtpSettings settings{Text(rows, "USEFTP"),    Text(rows, "SYSTEM"), Text(rows, "SYSTEMPORT"),
                                     Text(rows, "PROXYSERVER"), Text(rows, "PROXYPORT"), Text(rows, "LOGIN"),
                                     Text(rows, "PASSWORD")};
        if (!settings.UseFtp()) {
            CheckFolder(what, Text(rows, "FILENAME"), findings);
            CheckFolder(what, Text(rows, "CONFIRMATIONFILENAME"), findings);
        } else if (!ftp->CheckFTPconnectionToDirectory(Text(rows, "FILENAME"), settings)) {
            const auto& error = net::LastFtpError();
            findings.Add(what, "the FTP host " + settings.system + " cannot be reached or entered (code " +
                                   std::to_string(error.code) + ") " + error.response);
        }
    }
    try {
        std::string gateway = qx::gateway_wire::GatewayUrl(ordexa::SalesParameter("CyberSource Serverhost", "backoffice check"));
        ++reached;
        if (auto why = Unreachable(gateway); !why.empty()) findings.Add("gateway " + ShownUrl(gateway), why);
    } catch (const std::exception& e) {
        findings.Add("gateway", "CyberSource Serverhost: " + Reason(e));
    }
    auto objects = Sls_GetDisconnectedRecordset(
        "SELECT BISID, VALUE FROM BISPROPERTY WHERE NAME = 'boiurl' ORDER BY BISID", connectionString);
    for (; !objects->Eof(); objects->MoveNext(), ++reached)
        if (auto why = Unreachable(Text(objects, "VALUE")); !why.empty())
            findings.Add("business objects BISID " + Text(objects, "BISID") + " " + ShownUrl(Text(objects, "VALUE")),
                         why);
    auto brokers = Sls_GetDisconnectedRecordset(
        "SELECT BUSINESSPARTNERID, ORDERREQUESTURL FROM BUSINESSPARTNER WHERE ORDERREQUESTURL IS NOT NULL AND "
        "ORDERREQUESTURL <> '' ORDER BY BUSINESSPARTNERID",
        connectionString);
    for (; !brokers->Eof(); brokers->MoveNext(), ++reached)
        if (auto why = Unreachable(Text(brokers, "ORDERREQUESTURL")); !why.empty())
            findings.Add("broker of partner " + Text(brokers, "BUSINESSPARTNERID") + " " +
                             ShownUrl(Text(brokers, "ORDERREQUESTURL")),
                         why);
    return reached;
}

int RunCheck(const std::optional<std::string>& given, bool connect) {
    int exitCode = 0;
    auto home = UseInstallation("check", given, exitCode, DatabaseUse::Upgrading);
    if (!home) return kExitNotChecked;
    Findings findings;
    try {
        for (const auto& finding : SettingFindings(*home)) findings.Line(finding);
    } catch (const ole::AutomationError& e) {
        if (e.Number() != qx::config_err::NotWellFormed) {
            std::cerr << "backoffice check: cannot read the settings: " << Reason(e) << "\n";
            return kExitNotChecked;
        }
        findings.Add("settings", Reason(e));
    }
    std::string connectionString;
    try {
        connectionString = Sls_ConnectionString();
    } catch (const std::exception& e) {
        findings.Add("connection string", Reason(e));
    }
    for (const auto& mode : RestrictInstallationToOwner(*home, connectionString, ModeAction::Report))
        findings.Add("mode", mode + ": others may read it; run `backoffice upgrade`");
    for (const char* file : {"config/SiteConfiguration.xml", "config/card.key"})
        if (!fs::exists(fs::path(*home) / file)) findings.Add("file", std::string(file) + " is missing");
    std::string checked = "settings, files";
    bool sqlite = !ado::SQLiteFileOf(connectionString).empty();
    if (!connectionString.empty() && (sqlite || connect)) {
        try {
            CheckSchema(connectionString, findings);
            checked += ", database and schema";
            if (connect) checked += ", " + std::to_string(CheckOutside(connectionString, findings)) + " outside systems";
        } catch (const std::exception& e) {
            findings.Add("database", Reason(e));
        }
    }
    if (findings.Count() == 0) {
        std::cout << "checked " << checked << ": no findings\n";
        return 0;
    }
    std::cout << findings.Count() << " finding(s)\n";
    return kExitFindings;
}

}  // namespace

void AddCheckCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("check", "test an installation's settings, files and schema, changing nothing");
    command->footer(
        "Tests each setting of config/VendaloConfiguration.xml against its type and range, the modes of the\n"
        "installation's files (its owner's alone) and, on SQLite, the schema. --connect also reaches, once\n"
        "each, the database, the exchange folders and FTP hosts, the gateway, the business objects and the\n"
        "brokers; no order is touched and nothing secret is printed. One line per finding. Exits 0 when\n"
        "nothing was found, 1 with findings, 2 when the installation could not be checked.");
    auto home = std::make_shared<std::optional<std::string>>();
    auto connect = std::make_shared<bool>(false);
    AddHomeOption(*command, *home);
    command->add_flag("--connect", *connect, "also reach the database and the outside systems");
    command->callback([home, connect, &selected] { selected = [home, connect] { return RunCheck(*home, *connect); }; });
}

}  // namespace backoffice
