#include "commands/use_installation.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "platform/automation/text.h"
#include "platform/data/ado.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"

namespace backoffice {

namespace fs = std::filesystem;

namespace {

// A reason longer than this is cut, with a note of how much: a key of megabytes must not fill a terminal.
constexpr size_t kTerminalTextLimit = 1024;

// The database file as a message may name it: not when the connection string
// holds a password that could have run into the Data Source.
std::string Shown(const std::string& connectionString, const std::string& file) {
    return ado::ConnectionStringForDisplay(connectionString) == connectionString ? file : "of the connection string";
}

// A warning when others than the owner may use the database file; it holds the FTP passwords.
void WarnIfShared(const std::string& command, const std::string& connectionString, const std::string& file) {
    struct stat st {};
    if (file.empty() || ::stat(file.c_str(), &st) != 0 || (st.st_mode & 077) == 0) return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string shown = Shown(connectionString, file);
    std::cerr << "backoffice " << command << ": warning: the database " << ole::EscapeControls(shown) << " has mode "
              << mode << ": other users may read it and the FTP passwords it holds; run `backoffice upgrade` or "
              << "`chmod 600 " << ole::EscapeControls(shown) << "`\n";
}

// Why the database cannot serve the command: "" when its catalogue holds the
// sales tables, and when it cannot be reached (the command says why itself).
// An empty SQLite file is not opened: opening would make it a database.
std::string MissingSchema(const std::string& connectionString, const std::string& file) {
    if (!file.empty()) {
        std::error_code ec;
        auto size = fs::file_size(file, ec);
        if (ec) return "";
        if (size == 0) return "the database " + Shown(connectionString, file) + " is an empty file";
    }
    // not pooled: a command such as serve would keep the session idle for its whole life
    try {
        auto c = ado::OpenConnection(connectionString, ado::Pooling::Unpooled);
        bool sqlite = c->GetDialect() == ado::Dialect::SQLite;
        auto rs = c->Execute(sqlite ? "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND UPPER(name) = ?"
                                    : "SELECT COUNT(*) FROM information_schema.tables "
                                      "WHERE table_schema = current_schema() AND UPPER(table_name) = ?",
                             nullptr, -1, {ole::Variant("ORDERHEADER")});
        return rs->Fields(0).Value().ToLong() > 0 ? "" : "the database holds no sales tables";
    } catch (...) {
        return "";  // the command says why it cannot use the database
    }
}

}  // namespace

std::optional<std::string> UseInstallation(const std::string& command, const std::optional<std::string>& given,
                                           int& exitCode, DatabaseUse use) {
    std::string folder = HomeFolder(given);
    if (folder.empty()) {
        std::cerr << "backoffice " << command << ": no installation given: use --home DIR or set VENDALO_HOME\n";
        exitCode = 2;
        return std::nullopt;
    }
    std::string home = fs::absolute(folder).lexically_normal().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (!fs::exists(fs::path(home) / "config" / "VendaloConfiguration.xml")) {
        std::cerr << "backoffice " << command << ": " << home
                  << " is no installation (config/VendaloConfiguration.xml is missing); make one with `backoffice init`\n";
        exitCode = 1;
        return std::nullopt;
    }
    setenv("VENDALO_HOME", home.c_str(), 1);
    Sls_ResetThreadState();
    qx::ResetLogs();
    if (use == DatabaseUse::Sales) {
        std::string connectionString;
        try {
            connectionString = Sls_ConnectionString();
        } catch (...) {
            return home;  // the command reports a configuration it cannot read
        }
        std::string file = ado::SQLiteFileOf(connectionString);
        WarnIfShared(command, connectionString, file);
        if (std::string missing = MissingSchema(connectionString, file); !missing.empty()) {
            std::cerr << "backoffice " << command << ": " << ole::EscapeControls(missing)
                      << "; run `backoffice init` or `upgrade`\n";
            exitCode = 1;
            return std::nullopt;
        }
    }
    return home;
}

std::string TerminalText(std::string_view text) {
    // a reason of several lines (libpq's: the error, then DETAIL and HINT) keeps them, indented under the first
    std::string cut = ole::Shorten(text, kTerminalTextLimit), shown;
    while (!cut.empty() && (cut.back() == '\n' || cut.back() == '\r')) cut.pop_back();
    size_t start = 0;
    while (true) {
        size_t end = cut.find('\n', start);
        std::string line = cut.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        shown += (start ? "\n    " : "") + ole::EscapeControls(line);
        if (end == std::string::npos) return shown;
        start = end + 1;
    }
}

std::string Reason(const ole::SlsErrorInfo& error) { return TerminalText(ole::ReasonOf(error)); }

std::string Reason(const std::exception& error) {
    if (auto automation = dynamic_cast<const ole::AutomationError*>(&error)) return Reason(automation->Info());
    return TerminalText(error.what());
}

}  // namespace backoffice
