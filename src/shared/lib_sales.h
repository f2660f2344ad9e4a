// The procedures that every business class shares: the connection string,
// components by ProgID, connections and disconnected recordsets, escaping,
// identifiers and formatting.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation/component.h"
#include "platform/automation/dictionary.h"
#include "platform/automation/variant.h"
#include "platform/data/ado.h"
#include "platform/format/data_functions.h"
#include "shared/lib_sales_error_handling.h"

// The database connection string of the installation; read once per thread.
std::string Sls_ConnectionString();

// A new instance of a component; failures are reported under "Lib_Sales.Sls_GetComponent".
ole::ObjectPtr Sls_GetComponent(const std::string& progId);

// The same, asked for one of its interfaces (an object without it fails as the
// late-bound call would: "Object doesn't support this property or method").
template <class T>
std::shared_ptr<T> Sls_GetComponent(const std::string& progId) {
    ole::ObjectPtr object = Sls_GetComponent(progId);
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) {
        try {
            ole::Raise(ole::err::NotSupported);
        } catch (...) {
            Sls_RaiseError("Lib_Sales.Sls_GetComponent", "CreateObject(" + progId + ") failed");
        }
    }
    return typed;
}

// The per-thread data-functions object.
std::shared_ptr<qx::IDataFunctions> Sls_DataFunctions();

ado::ConnectionPtr Sls_GetOpenConnection(const std::string& connectionString);

// The rows of a query as a recordset that holds no connection. Values for "?"
// markers may be given; they are bound, never spliced into the text.
ado::RecordsetPtr Sls_GetDisconnectedRecordset(const std::string& sql, const std::string& connectionString,
                                               const std::vector<ole::Variant>& params = {});

// True when the query yields at least one row.
bool Sls_RecordExists(const std::string& sql, const std::string& connectionString,
                      const std::vector<ole::Variant>& params = {});

// Closes an open connection (rolling back a transaction left open) and clears the
// reference; never reports.
void Sls_CloseConnection(ado::ConnectionPtr& connection);

// 32 uppercase hexadecimal digits from a new random GUID ("00000000" if none can be made).
std::string Sls_CreateGUID();

// The text with every apostrophe doubled; Null comes back unchanged.
ole::Variant Sls_SQLQuote(const ole::Variant& text);
std::string Sls_SQLQuote(const std::string& text);

// "&", "<" and ">" as entities (apostrophes and quotation marks stay), characters
// that XML 1.0 forbids dropped; Null and Empty give "".
std::string Sls_ReplaceForbiddenXMLTokens(const ole::Variant& value);

std::string Sls_FormatDate(ole::Date date, int32_t locale);
std::string Sls_FormatPrice(const ole::Variant& price, bool euro, int32_t locale,
                            const std::shared_ptr<qx::IDataFunctions>& dataFunctions, int32_t precision);

// "Error(s) from connection object:  (1)<description>[<number>] ..." or "".
std::string Sls_ConnectionErrors(const ado::ConnectionPtr& connection);

// The recordset a basket or order dictionary holds under a key ("header", "lines");
// anything else raises "Object required".
ado::RecordsetPtr RecordsetOf(const ole::Dictionary& dictionary, const std::string& key);

// Forgets this thread's cached connection string and data-functions object
// (a host that switches installations, and the tests, call it).
void Sls_ResetThreadState();
