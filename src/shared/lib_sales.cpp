#include "shared/lib_sales.h"

#include <cstdio>

#include "platform/automation/guid.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/data/sqlite_cache.h"
#include "platform/xml/xml_text.h"

namespace {

thread_local std::string tConnectionString;
thread_local std::shared_ptr<qx::IDataFunctions> tDataFunctions;


}  // namespace

void Sls_ResetThreadState() {
    tConnectionString.clear();
    tDataFunctions.reset();
}

std::string Sls_ConnectionString() {
    if (!tConnectionString.empty()) return tConnectionString;
    std::shared_ptr<qx::IConfiguration> config;
    try {
        config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
        auto installations = config->GetInstallations("Vendalo");
        if (installations.empty())
            ole::Raise(qx::config_err::NotLoaded, "No installation of Vendalo is set up (VENDALO_HOME is not set)",
                       "Qxcore.Configuration");
        config->LoadFile(installations.front().ConfigFolder + "/VendaloConfiguration.xml");
        tConnectionString = config->GetConnectionString("Vendalo");
        // the page cache of the SQLite connections opened from now on
        try {
            ole::Variant cache = config->GetValue(ado::kDatabaseSection, ado::kSQLiteCacheSetting);
            if (!cache.IsEmpty() && !cache.IsNull()) ado::SetSQLiteCacheMiB(cache.ToLong());
        } catch (...) {
            // not set (an installation of an earlier version), or no number: `backoffice check` says so
        }
        config.reset();
        return tConnectionString;
    } catch (...) {
        config.reset();
        Sls_RaiseError("Vendalo.Lib_Sales.Sls_ConnectionString");
    }
}

ole::ObjectPtr Sls_GetComponent(const std::string& progId) {
    try {
        // No object context exists here: components are created directly.
        return ole::CreateObject(progId);
    } catch (...) {
        Sls_RaiseError("Lib_Sales.Sls_GetComponent", "CreateObject(" + progId + ") failed");
    }
}

std::shared_ptr<qx::IDataFunctions> Sls_DataFunctions() {
    try {
        if (!tDataFunctions) tDataFunctions = Sls_GetComponent<qx::IDataFunctions>("QxLibrary.DataFunctions");
        return tDataFunctions;
    } catch (...) {
        Sls_RaiseError("Lib_Sales.Sls_DataFunctions");
    }
}

ado::ConnectionPtr Sls_GetOpenConnection(const std::string& connectionString) {
    try {
        return ado::OpenConnection(connectionString);
    } catch (...) {
        Sls_RaiseError("Lib_Sales.Sls_GetOpenConnection");
    }
}

ado::RecordsetPtr Sls_GetDisconnectedRecordset(const std::string& sql, const std::string& connectionString,
                                               const std::vector<ole::Variant>& params) {
    ado::ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(connectionString);
        auto rs = std::make_shared<ado::Recordset>();
        rs->CursorLocation = ado::adUseClient;
        rs->Open(sql, connection, ado::adOpenKeyset, ado::adLockReadOnly, -1, params);
        rs->SetActiveConnection(nullptr);
        return rs->Clone(ado::adLockUnspecified);
    } catch (...) {
        std::string info = Sls_ConnectionErrors(connection) + " executing: '" + sql + "'";
        Sls_RaiseError("Lib_Sales.Sls_GetDisconnectedRecordset", info);
    }
}

bool Sls_RecordExists(const std::string& sql, const std::string& connectionString,
                      const std::vector<ole::Variant>& params) {
    ado::ConnectionPtr connection;
    try {
        connection = Sls_GetOpenConnection(connectionString);
        auto rs = Sls_GetComponent<ado::Recordset>("ADODB.Recordset");
        rs->CursorLocation = ado::adUseClient;
        rs->Open(sql, connection, ado::adOpenKeyset, ado::adLockReadOnly, ado::adCmdText, params);
        rs->SetActiveConnection(nullptr);
        connection->Close();
        return !rs->Eof();
    } catch (...) {
        Sls_RaiseError("Lib_Sales.Sls_RecordExists");
    }
}

void Sls_CloseConnection(ado::ConnectionPtr& connection) {
    try {
        if (connection && connection->State() == ado::adStateOpen) connection->Close();
    } catch (...) {
    }
    connection.reset();
}

std::string Sls_CreateGUID() {
    ole::Guid guid;
    if (!ole::CreateGuid(guid)) return "00000000";
    char text[40];
    std::snprintf(text, sizeof text, "%08X%04X%04X", guid.Data1, guid.Data2, guid.Data3);
    std::string result(text);
    for (uint8_t byte : guid.Data4) {
        std::snprintf(text, sizeof text, "%02X", byte);
        result += text;
    }
    return result;
}

ole::Variant Sls_SQLQuote(const ole::Variant& text) {
    if (text.IsNull()) return text;
    return ole::Variant(Sls_SQLQuote(text.ToString()));
}

std::string Sls_SQLQuote(const std::string& text) { return ole::ReplaceAll(text, "'", "''"); }

std::string Sls_ReplaceForbiddenXMLTokens(const ole::Variant& value) {
    try {
        if (value.IsNull() || value.IsEmpty()) return "";
        // characters that XML 1.0 forbids are dropped, so that the document still parses
        return qx::XmlEscaped(value.ToString(), qx::XmlEscape::Text);
    } catch (...) {
        Sls_RaiseError("Lib_Sales.Sls_ReplaceForbiddenXMLTokens", "failed with '" + value.Text() + "'");
    }
}

std::string Sls_FormatDate(ole::Date date, int32_t locale) {
    try {
        auto functions = Sls_GetComponent<qx::IDataFunctions>("QxLibrary.DataFunctions");
        return functions->DateTime(date, locale);
    } catch (...) {
        std::string shown;
        try {
            shown = ole::Variant(date).ToString();
        } catch (...) {
        }
        Sls_RaiseError("Lib_Sales.Sls_FormatDate", "Failed to format " + shown + " for locale: " + std::to_string(locale));
    }
}

std::string Sls_FormatPrice(const ole::Variant& price, bool euro, int32_t locale,
                            const std::shared_ptr<qx::IDataFunctions>& dataFunctions, int32_t precision) {
    try {
        if (price.IsNull() || price.IsEmpty()) return "";
        if (!dataFunctions) ole::Raise(ole::err::ObjectNotSet);
        if (euro) return "Eur " + dataFunctions->FormatNumber(price.ToDouble(), locale);
        return dataFunctions->FormatNumberPrecision(price.ToDouble(), locale, precision) + " " +
               dataFunctions->CurrencyText(locale);
    } catch (...) {
        Sls_RaiseError("Sls_FormatPrice");
    }
}

std::string Sls_ConnectionErrors(const ado::ConnectionPtr& connection) {
    if (!connection || connection->Errors().empty()) return "";
    std::string text = "Error(s) from connection object: ";
    int i = 1;
    for (const auto& e : connection->Errors())
        text += " (" + std::to_string(i++) + ")" + e.Description + "[" + std::to_string(e.Number) + "]";
    return text;
}

ado::RecordsetPtr RecordsetOf(const ole::Dictionary& dictionary, const std::string& key) {
    auto rs = dictionary.Item(key).As<ado::Recordset>();
    if (!rs) ole::Raise(ole::err::ObjectRequired);
    return rs;
}
