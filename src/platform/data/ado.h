// Data access with the operations of the platform's data objects: Connection,
// client-side (disconnected) Recordset with pending changes, Command with
// typed parameters. Two providers stand behind it: SQLite (the embedded
// default) and PostgreSQL.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/automation/error.h"
#include "platform/automation/variant.h"

namespace ado {

using ole::Variant;

enum CursorLocationEnum { adUseServer = 2, adUseClient = 3 };
enum CursorTypeEnum { adOpenUnspecified = -1, adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum LockTypeEnum { adLockUnspecified = -1, adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3, adLockBatchOptimistic = 4 };
enum ObjectStateEnum { adStateClosed = 0, adStateOpen = 1 };
enum AffectEnum { adAffectCurrent = 1, adAffectGroup = 2, adAffectAll = 3 };
enum SearchDirectionEnum { adSearchBackward = -1, adSearchForward = 1 };
enum CommandTypeEnum { adCmdUnspecified = -1, adCmdText = 1, adCmdTable = 2, adCmdStoredProc = 4 };
enum ParameterDirectionEnum { adParamInput = 1, adParamOutput = 2, adParamInputOutput = 3, adParamReturnValue = 4 };
constexpr long adOptionUnspecified = -1;

// Field and parameter types, with the platform's numbers.
enum DataTypeEnum {
    adEmpty = 0,
    adSmallInt = 2,
    adInteger = 3,
    adSingle = 4,
    adDouble = 5,
    adCurrency = 6,
    adDate = 7,
    adBSTR = 8,
    adBoolean = 11,
    adVariant = 12,
    adDecimal = 14,
    adBigInt = 20,
    adChar = 129,
    adWChar = 130,
    adNumeric = 131,
    adDBTimeStamp = 135,
    adVarChar = 200,
    adLongVarChar = 201,
    adVarWChar = 202,
    adLongVarWChar = 203,
};

// Error numbers of the data objects and providers.
namespace err {
constexpr int32_t ProviderFailure = static_cast<int32_t>(0x80004005u);     // open failures and the like
constexpr int32_t CommandFailure = static_cast<int32_t>(0x80040E14u);      // a statement the provider refused
constexpr int32_t IntegrityViolation = static_cast<int32_t>(0x80040E2Fu);  // a key or constraint violated
constexpr int32_t RowNotLocated = static_cast<int32_t>(0x80040E38u);       // update/delete found no row
constexpr int32_t MultipleStep = static_cast<int32_t>(0x80040E21u);        // a value does not fit its field
constexpr int32_t NoCurrentRecord = static_cast<int32_t>(0x800A0BCDu);
constexpr int32_t ItemNotFound = static_cast<int32_t>(0x800A0CC1u);
constexpr int32_t NotUpdatable = static_cast<int32_t>(0x800A0CB3u);
constexpr int32_t ObjectClosed = static_cast<int32_t>(0x800A0E78u);
constexpr int32_t ObjectOpen = static_cast<int32_t>(0x800A0E79u);
constexpr int32_t WrongArguments = static_cast<int32_t>(0x800A0BB9u);
constexpr int32_t NoTransaction = static_cast<int32_t>(0x8004D00Eu);
constexpr int32_t InsufficientKeyInfo = static_cast<int32_t>(0x80004005u);
}  // namespace err

enum class Dialect { SQLite, PostgreSQL };

// One provider error of the connection's Errors collection.
struct Error {
    int32_t Number = 0;
    std::string Description;
    std::string Source;
    std::string SQLState;
    int32_t NativeError = 0;
    // busy or unreachable, as the provider's own code says; raised with the error
    ole::ErrorKind Kind = ole::ErrorKind::Other;
};

namespace detail {
class Driver;
struct Schema;
struct Row;
struct Result;
}  // namespace detail

class Recordset;
using RecordsetPtr = std::shared_ptr<Recordset>;

// One statement of Connection::ExecuteBatch: its text and the values of its "?" markers.
struct BatchStatement {
    std::string sql;
    std::vector<Variant> params;
};

// What one statement of a batch did: its rows (an empty recordset when it
// yields none) and the rows it changed (-1 when it yields rows).
struct BatchResult {
    RecordsetPtr rows;
    int32_t affected = -1;
};

// ---- Connection ----------------------------------------------------------

// Connection strings have the form "Provider=SQLite;Data Source=<file>" or
// "Provider=PostgreSQL;Host=..;Port=..;Database=..;User ID=..;Password=..",
// optionally with "Schema=<name>" (PostgreSQL search path), "Busy Timeout=<ms>"
// (SQLite), "Synchronous=<mode>" (SQLite) and "Pooling=False".
class Connection : public ole::Object {
public:
    Connection();
    ~Connection() override;

    std::string ConnectionString;

    void Open(const std::string& connectionString = "", const std::string& user = "", const std::string& password = "",
              long options = adOptionUnspecified);
    void Close();
    int State() const;

    // Runs a statement; "?" markers take the values of params in order.
    // Returns the rows when the statement yields any columns.
    RecordsetPtr Execute(const std::string& sql, int32_t* recordsAffected = nullptr, long options = adOptionUnspecified,
                         const std::vector<Variant>& params = {});
    // Runs several statements separated by ";" (schema scripts), those of the
    // other provider left out (data/script.h).
    void ExecuteScript(const std::string& sql);
    // Runs statements in order as Execute does, on PostgreSQL together (a
    // pipeline: one round trip for many). The first failure raises as Execute
    // does (the failing statement's index to *failedAt); the statements after it
    // are not run. Meant for a transaction: outside one, PostgreSQL commits (or
    // rolls back) a pipeline's statements together.
    std::vector<BatchResult> ExecuteBatch(const std::vector<BatchStatement>& statements, size_t* failedAt = nullptr);

    int BeginTrans();
    void CommitTrans();
    void RollbackTrans();
    bool InTransaction() const;

    const std::vector<Error>& Errors() const { return errors_; }
    Dialect GetDialect() const;

    // Provider internals for the recordset and command of this library.
    detail::Driver& Driver();

private:
    friend class Recordset;
    friend class Command;
    friend class Transaction;
    [[noreturn]] void Fail(const Error& error);
    void ClearErrors() { errors_.clear(); }
    // The rows of a statement's result as a read-only client-side recordset.
    static RecordsetPtr RowsOf(const std::string& sql, detail::Result& result);

    std::unique_ptr<detail::Driver> driver_;
    std::string openedWith_;
    std::vector<Error> errors_;
};
using ConnectionPtr = std::shared_ptr<Connection>;

// Whether a connection goes back to this thread's pool when it is closed.
enum class Pooling { Pooled, Unpooled };

// The one way to open a connection: a new Connection, opened with the
// connection string; a failure raises as Open does. Closing it, or dropping its
// last reference, hands a pooled one back to the thread's pool, while an
// unpooled one ends its session: for the holder of a lock that lasts as long
// as its session, and for a look that must not leave a session idle. Its
// ConnectionString reads as given either way.
ConnectionPtr OpenConnection(const std::string& connectionString, Pooling pooling = Pooling::Pooled);

// The dialect of the provider that a connection string names.
Dialect DialectOf(const std::string& connectionString);

// The database file an SQLite connection string names; "" for another provider.
std::string SQLiteFileOf(const std::string& connectionString);

// The connection string as it may be shown or logged: password values read "***".
std::string ConnectionStringForDisplay(const std::string& connectionString);

// Empties this thread's pool of idle provider connections.
void ClearConnectionPool();

// Registers the SQL text that answers a stored procedure call by name on
// SQLite, which has no procedures ("?" markers take the call's parameters).
// PostgreSQL calls the function of that name.
void RegisterSQLiteProcedure(const std::string& name, const std::string& sql);

// ---- Recordset -------------------------------------------------------------

class Recordset;

// A field of the current row: reads and assigns the value.
class Field {
public:
    Field(Recordset* rs, int index) : rs_(rs), index_(index) {}
    const std::string& Name() const;
    DataTypeEnum Type() const;
    int32_t DefinedSize() const;
    Variant Value() const;
    // The value in the row itself, not a copy: valid until the recordset moves or changes.
    const Variant& ValueRef() const;
    Variant OriginalValue() const;
    void SetValue(const Variant& v);
    Field& operator=(const Variant& v) {
        SetValue(v);
        return *this;
    }
    operator Variant() const { return Value(); }

private:
    Recordset* rs_;
    int index_;
};

class Recordset : public ole::Object {
public:
    Recordset();
    ~Recordset() override;
    // A copy keeps the rows with their pending changes, the position and the
    // connection; assigning it back undoes what happened to the recordset since
    // (a writer whose transaction rolled back keeps its changes pending).
    Recordset(const Recordset& other);
    Recordset& operator=(const Recordset& other);

    int CursorLocation = adUseServer;
    int CursorType = adOpenForwardOnly;
    int LockType = adLockReadOnly;

    void Open(const std::string& source, const ConnectionPtr& connection, int cursorType = adOpenUnspecified,
              int lockType = adLockUnspecified, long options = adOptionUnspecified,
              const std::vector<Variant>& params = {});
    // The rows of several statements, each opened as Open opens them client-side
    // with `lockType`, read in one batch (on PostgreSQL: one round trip).
    static std::vector<RecordsetPtr> OpenAll(const std::vector<BatchStatement>& statements,
                                             const ConnectionPtr& connection, int lockType);
    void Close();
    int State() const;

    // The connection that UpdateBatch and immediate updates write through;
    // setting it to nullptr disconnects the recordset.
    ConnectionPtr ActiveConnection() const { return connection_; }
    void SetActiveConnection(ConnectionPtr connection);

    bool Bof() const;
    bool Eof() const;
    void MoveFirst();
    void MoveNext();
    void MovePrevious();
    void MoveLast();
    int32_t RecordCount() const;

    void AddNew();
    // Ends the edit of the current row; on a connected recordset with an
    // optimistic or pessimistic lock it also writes the row at once.
    void Update();
    void Delete(int affect = adAffectCurrent);
    // Searches for "<field> <op> <value>" (op one of = <> < > <= >= LIKE) from
    // the current row, after skipping skipRows rows; not found leaves the
    // recordset at EOF (forward) or BOF (backward).
    void Find(const std::string& criteria, int32_t skipRows = 0, int direction = adSearchForward);
    // An independent copy of the rows, pending changes included, positioned on the first row.
    RecordsetPtr Clone(int lockType = adLockUnspecified) const;
    // Writes the pending inserts, updates and deletes to the base table by
    // its primary key, inside the connection's transaction (or one of its own).
    void UpdateBatch(int affect = adAffectAll);
    // UpdateBatch of several recordsets inside the connection's transaction, their statements
    // in one batch (on PostgreSQL one round trip). With `commit` the transaction ends with
    // them: on PostgreSQL its COMMIT goes in the same batch where every write is an insert
    // (whose failure fails the batch), else once the updates and deletes found their rows.
    static void UpdateAll(const std::vector<RecordsetPtr>& recordsets, Connection& connection, bool commit);

    int FieldCount() const;
    // True when no two fields have the same name.
    bool FieldNamesUnique() const;
    Field Fields(int index);
    Field Fields(const std::string& name);
    Field operator[](const std::string& name) { return Fields(name); }
    Field operator[](int index) { return Fields(index); }

    // Number of rows with pending changes (inserted, changed or deleted).
    int32_t PendingCount() const;

private:
    friend class Field;
    friend class Connection;
    friend class Command;

    void Load(detail::Driver& driver, const std::string& sql, const std::vector<Variant>& params);
    void RequireOpen() const;
    detail::Row& CurrentRow();
    const detail::Row& CurrentRow() const;
    int FieldIndex(const std::string& name) const;
    void SetFieldValue(int index, const Variant& v);
    // The rows with an insert, update or delete not yet written.
    std::vector<size_t> PendingRows() const;
    void WriteRows(const std::vector<size_t>& rows);
    void Settle(const std::vector<size_t>& rows);
    size_t NextVisible(size_t from) const;
    bool Visible(size_t i) const;
    void AssignFrom(std::shared_ptr<const detail::Schema> schema, std::vector<detail::Row> rows);

    std::shared_ptr<const detail::Schema> schema_;
    std::vector<detail::Row> rows_;
    size_t live_ = 0;  // rows not deleted
    // position: -1 before the first row (BOF), rows_.size() after the last (EOF)
    long pos_ = -1;
    bool open_ = false;
    ConnectionPtr connection_;
};

// ---- Command ---------------------------------------------------------------

class Parameter : public ole::Object {
public:
    std::string Name;
    DataTypeEnum Type = adVariant;
    int Direction = adParamInput;
    int32_t Size = 0;
    Variant Value;
};
using ParameterPtr = std::shared_ptr<Parameter>;

class Command : public ole::Object {
public:
    ConnectionPtr ActiveConnection;
    std::string CommandText;
    int CommandType = adCmdText;

    ParameterPtr CreateParameter(const std::string& name, DataTypeEnum type, int direction = adParamInput,
                                 int32_t size = 0, const Variant& value = Variant()) const;
    void AppendParameter(const ParameterPtr& parameter) { parameters_.push_back(parameter); }
    ParameterPtr Parameter(int index) const;
    ParameterPtr Parameter(const std::string& name) const;
    int ParameterCount() const { return static_cast<int>(parameters_.size()); }

    // Runs the command with the parameters' values (or the values given).
    RecordsetPtr Execute(int32_t* recordsAffected = nullptr, const std::vector<Variant>* values = nullptr,
                         long options = adOptionUnspecified);
    // The statement with the values given, converted to the parameters' types, for
    // Connection::ExecuteBatch; a value that does not fit raises as Execute does.
    BatchStatement Bind(const std::vector<Variant>& values) const;

private:
    std::vector<Variant> Converted(const std::vector<Variant>* values) const;

    std::vector<ParameterPtr> parameters_;
};
using CommandPtr = std::shared_ptr<Command>;

// Registers "ADODB.Connection", "ADODB.Recordset" and "ADODB.Command".
void RegisterComponents();

}  // namespace ado
