#include "use_installation.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "automation/text.h"
#include "data/ado.h"
#include "lib_sales.h"
#include "log/log.h"

namespace backoffice {

namespace fs = std::filesystem;

namespace {

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
    auto c = std::make_shared<ado::Connection>();
    try {
        c->Open(connectionString + ";Pooling=False");
        bool sqlite = c->GetDialect() == ado::Dialect::SQLite;
        auto rs = c->Execute(sqlite ? "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND UPPER(name) = ?"
                                    : "SELECT COUNT(*) FROM information_schema.tables "
                                      "WHERE table_schema = current_schema() AND UPPER(table_name) = ?",
                             nullptr, -1, {ole::Variant("ORDERHEADER")});
        bool present = rs->Fields(0).Value().ToLong() > 0;
        rs.reset();
        c->Close();
        return present ? "" : "the database holds no sales tables";
    } catch (...) {
        return "";  // the connection closes with its object
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

std::string Reason(const std::string& description) {
    size_t at = description.rfind(" DESC: ");
    if (at == std::string::npos) return ole::EscapeControls(description);
    auto part = [&](size_t from, size_t skip) {
        size_t end = description.find("\r\n", from);
        std::string text = description.substr(from + skip, end == std::string::npos ? std::string::npos : end - from - skip);
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    };
    std::string text = part(at, 7);
    size_t info = description.find("\r\n INFO: ", at);
    if (info != std::string::npos && description.find(" METHOD: ", at) > info) text += " (" + part(info + 2, 7) + ")";
    return ole::EscapeControls(text);
}

}  // namespace backoffice
