// The provider interface behind Connection, Recordset and Command.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/data/ado.h"

namespace ado::detail {

struct Column {
    std::string name;
    DataTypeEnum type = adVariant;
    int32_t size = 0;  // characters of a text column, 0 when unlimited or not text
};

struct Schema {
    std::vector<Column> columns;
    std::unordered_map<std::string, int> byName;  // upper-cased name -> index
    std::string table;                            // base table of a single-table SELECT, else ""
};

struct Row {
    enum Status : uint8_t { Unchanged, Modified, New, Deleted };
    std::vector<Variant> values;
    std::vector<Variant> original;  // filled on the first change of a stored row
    Status status = Unchanged;
};

struct Result {
    std::vector<Column> columns;
    std::vector<std::vector<Variant>> rows;
    int64_t affected = -1;
};

// A provider failure, turned into the connection's Errors and an automation error.
struct DriverError : std::exception {
    explicit DriverError(Error e) : error(std::move(e)) {}
    const char* what() const noexcept override { return error.Description.c_str(); }
    Error error;
};

struct ConnectionOptions {
    std::string provider;                      // lower case: "sqlite" or "postgresql"
    std::map<std::string, std::string> values; // keys in lower case
    std::string Get(const std::string& key, const std::string& fallback = "") const;
};

// The schema of a statement's result: its columns, their upper-cased names and,
// when updatable is set, the base table. Schemas are kept per thread by
// statement text and handed out again while the provider reports the same
// columns, so reading the same statement again builds nothing.
std::shared_ptr<const Schema> SchemaOf(const std::string& sql, std::vector<Column>&& columns, bool updatable);

// Parses "Key=Value;Key=Value"; a value may be enclosed in double quotes to hold ";".
ConnectionOptions ParseConnectionString(const std::string& text);

class Driver {
public:
    virtual ~Driver() = default;
    virtual Dialect GetDialect() const = 0;
    // Runs one statement with "?" markers bound to params.
    virtual Result Run(const std::string& sql, const std::vector<Variant>& params) = 0;
    // Runs statements in order, their results appended to results; the first
    // failure throws and ends the batch (results then ends before it).
    virtual void RunBatch(const std::vector<BatchStatement>& statements, std::vector<Result>& results) {
        for (const auto& s : statements) results.push_back(Run(s.sql, s.params));
    }
    // Sends a statement and goes on without its answer: on PostgreSQL it leaves at
    // once, and its result is read (and dropped, a failure too) before the
    // connection's next statement; elsewhere it runs as Run does. For a statement
    // whose effect alone counts and whose failure ends the session anyway, such as
    // the release of an advisory lock. A failure to send throws DriverError.
    virtual void Send(const std::string& sql, const std::vector<Variant>& params) { Run(sql, params); }
    virtual void RunScript(const std::string& sql) = 0;
    virtual void Begin() = 0;
    // Begins a transaction whose first statement is `opening` (a lock it takes, say): on
    // PostgreSQL it goes to the server with BEGIN and the transaction's next statement or
    // batch, in the same round trip, its rows dropped and its failure that batch's failure.
    virtual void BeginWith(const BatchStatement& opening) {
        Begin();
        Run(opening.sql, opening.params);
    }
    // Rolls back a transaction that wrote nothing and whose end matters only for the locks it
    // releases: on PostgreSQL without waiting for the answer (read before the next statement).
    virtual void EndUnawaited() { Rollback(); }
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    virtual bool InTransaction() const = 0;
    // Primary-key column names of a table, upper case; empty when it has none.
    virtual std::vector<std::string> PrimaryKey(const std::string& table) = 0;
    // The statement that calls a stored procedure with n parameters.
    virtual std::string ProcedureCall(const std::string& name, size_t parameterCount) = 0;
    // False when the provider connection is broken and must not be pooled.
    virtual bool Healthy() const { return true; }
};

std::unique_ptr<Driver> OpenSQLite(const ConnectionOptions& options);
std::unique_ptr<Driver> OpenPostgres(const ConnectionOptions& options);

// The type of a column from its declaration ("VARCHAR(32)", "NUMERIC(19,4)", "TIMESTAMP"...);
// both providers' schemas use the same declarations, so both report the same types.
DataTypeEnum TypeFromDeclaration(const std::string& declaration, int32_t& size);

// The base table of "SELECT ... FROM <table> [WHERE|ORDER BY|GROUP BY ...]", else "".
std::string BaseTableOf(const std::string& sql);

// Number of UTF-8 characters in a text.
size_t Utf8Length(const std::string& text);

// Why a value does not go into a column or parameter of its type: text over
// the size, or a value that does not convert (with the conversion's description).
struct Misfit : std::exception {
    Misfit(bool tooLong, std::string description) : tooLong(tooLong), description(std::move(description)) {}
    const char* what() const noexcept override { return description.c_str(); }
    bool tooLong;
    std::string description;
};

// How adSingle, adDouble, adNumeric and adDecimal values are kept: as a double
// (a field's value), or as the exact decimal's text (a bound parameter:
// PostgreSQL's NUMERIC keeps every digit, SQLite's NUMERIC columns take it as
// the number it spells).
enum class Numbers { AsDouble, AsDecimalText };

// A value converted to a type as the platform converts on assignment; Empty
// and Null come back as they are. Throws Misfit for text longer than `size`
// characters (when size > 0) and for a value that does not convert.
Variant CoerceToType(DataTypeEnum type, int32_t size, const Variant& value, Numbers numbers);

}  // namespace ado::detail
