#include <unordered_map>

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/data/ado.h"
#include "platform/data/driver.h"
#include "platform/data/script.h"

namespace ado {
namespace {

// Provider connections are pooled per thread, as the platform's session pooling
// does: Close hands the provider connection back and the next Open with the same
// connection string takes it again. No lock is needed: each thread has its own.
// A string is parsed when a provider connection is made from it, not at each Open
// and Close: a pooled connection was made from the same string.
struct Pooled {
    bool pooling = false;  // the string asks for pooling
    std::vector<std::unique_ptr<detail::Driver>> idle;
};
// Set once the thread's pool is being destroyed: a connection closed by another
// thread-local object after that (a held lock session) is dropped, not pooled.
thread_local bool tPoolGone = false;  // trivially destructible: readable to the thread's end
struct Pool {
    std::unordered_map<std::string, Pooled> idle;
    ~Pool() { tPoolGone = true; }
};
thread_local Pool tPool;
constexpr size_t kIdlePerString = 8;

bool PoolingWanted(const detail::ConnectionOptions& options) {
    std::string v = ole::UpperCase(options.Get("pooling", "true"));
    return v != "FALSE" && v != "NO" && v != "0";
}

// A healthy idle provider connection made from the string, or nullptr.
std::unique_ptr<detail::Driver> TakeIdle(const std::string& connectionString) {
    if (tPoolGone) return nullptr;
    auto pooled = tPool.idle.find(connectionString);
    if (pooled == tPool.idle.end()) return nullptr;
    auto& idle = pooled->second.idle;
    while (!idle.empty()) {
        std::unique_ptr<detail::Driver> candidate = std::move(idle.back());
        idle.pop_back();
        if (candidate->Healthy()) return candidate;
    }
    return nullptr;
}

}  // namespace

void ClearConnectionPool() { tPool.idle.clear(); }

Connection::Connection() = default;

Connection::~Connection() {
    try {
        Close();
    } catch (...) {
    }
}

void Connection::Fail(const Error& error) {
    errors_.push_back(error);
    ole::SlsErrorInfo raised(error.Number, error.Source, error.Description);
    raised.Kind = error.Kind;
    throw ole::AutomationError(std::move(raised));
}

void Connection::Open(const std::string& connectionString, const std::string&, const std::string&, long) {
    if (driver_) ole::Raise(err::ObjectOpen, "Operation is not allowed when the object is open.", "ADODB.Connection");
    ClearErrors();
    if (!connectionString.empty()) ConnectionString = connectionString;
    try {
        driver_ = TakeIdle(ConnectionString);
        if (!driver_) {
            detail::ConnectionOptions options = detail::ParseConnectionString(ConnectionString);
            if (!tPoolGone) tPool.idle[ConnectionString].pooling = PoolingWanted(options);
            if (options.provider == "sqlite")
                driver_ = detail::OpenSQLite(options);
            else if (options.provider == "postgresql" || options.provider == "postgres" || options.provider == "pgsql")
                driver_ = detail::OpenPostgres(options);
            else
                // the value is not shown: a password holding ";" may have run into it
                throw detail::DriverError({err::ProviderFailure,
                                           "Provider cannot be found. It may not be properly installed. (The "
                                           "connection string's Provider is neither SQLite nor PostgreSQL)",
                                           "ADODB.Connection", "", 0});
        }
        openedWith_ = ConnectionString;
    } catch (const detail::DriverError& e) {
        Fail(e.error);
    }
}

void Connection::Close() {
    if (!driver_) return;
    std::unique_ptr<detail::Driver> driver = std::move(driver_);
    try {
        driver->Rollback();  // a transaction left open is never committed by closing
    } catch (...) {
        return;  // a broken provider connection is dropped, not pooled
    }
    if (tPoolGone) return;
    auto pooled = tPool.idle.find(openedWith_);
    if (pooled == tPool.idle.end()) {
        // opened on another thread, or before the pool was cleared
        try {
            bool pooling = PoolingWanted(detail::ParseConnectionString(openedWith_));
            pooled = tPool.idle.emplace(openedWith_, Pooled{pooling, {}}).first;
        } catch (...) {
            return;
        }
    }
    if (!pooled->second.pooling || !driver->Healthy()) return;
    auto& idle = pooled->second.idle;
    if (idle.size() < kIdlePerString) idle.push_back(std::move(driver));
}

ConnectionPtr OpenConnection(const std::string& connectionString, Pooling pooling) {
    auto connection = std::make_shared<Connection>();
    connection->Open(pooling == Pooling::Unpooled ? connectionString + ";Pooling=False" : connectionString);
    connection->ConnectionString = connectionString;  // what it was opened with stays apart, for the pool
    return connection;
}

int Connection::State() const { return driver_ ? adStateOpen : adStateClosed; }

detail::Driver& Connection::Driver() {
    if (!driver_) ole::Raise(err::ObjectClosed, "Operation is not allowed when the object is closed.", "ADODB.Connection");
    return *driver_;
}

Dialect Connection::GetDialect() const {
    return driver_ ? driver_->GetDialect() : DialectOf(ConnectionString);
}

Dialect DialectOf(const std::string& connectionString) {
    return detail::ParseConnectionString(connectionString).provider == "sqlite" ? Dialect::SQLite : Dialect::PostgreSQL;
}

std::string SQLiteFileOf(const std::string& connectionString) {
    auto options = detail::ParseConnectionString(connectionString);
    return options.provider == "sqlite" ? options.Get("data source") : std::string();
}

RecordsetPtr Connection::RowsOf(const std::string& sql, detail::Result& result) {
    auto rs = std::make_shared<Recordset>();
    if (!result.columns.empty()) {
        auto schema = detail::SchemaOf(sql, std::move(result.columns), false);
        std::vector<detail::Row> rows;
        rows.reserve(result.rows.size());
        for (auto& values : result.rows) rows.push_back({std::move(values), {}, detail::Row::Unchanged});
        rs->CursorLocation = adUseClient;
        rs->AssignFrom(std::move(schema), std::move(rows));
    }
    return rs;
}

RecordsetPtr Connection::Execute(const std::string& sql, int32_t* recordsAffected, long,
                                 const std::vector<Variant>& params) {
    auto& driver = Driver();
    ClearErrors();
    detail::Result result;
    try {
        result = driver.Run(sql, params);
    } catch (const detail::DriverError& e) {
        Fail(e.error);
    }
    if (recordsAffected) *recordsAffected = static_cast<int32_t>(result.affected < 0 ? -1 : result.affected);
    return RowsOf(sql, result);
}

std::vector<BatchResult> Connection::ExecuteBatch(const std::vector<BatchStatement>& statements, size_t* failedAt) {
    auto& driver = Driver();
    ClearErrors();
    std::vector<detail::Result> results;
    results.reserve(statements.size());
    try {
        driver.RunBatch(statements, results);
    } catch (const detail::DriverError& e) {
        if (failedAt) *failedAt = results.size();
        Fail(e.error);
    }
    std::vector<BatchResult> out;
    out.reserve(results.size());
    for (size_t i = 0; i < results.size(); ++i) {
        int32_t affected = static_cast<int32_t>(results[i].affected < 0 ? -1 : results[i].affected);
        out.push_back({RowsOf(statements[i].sql, results[i]), affected});
    }
    return out;
}

void Connection::ExecuteScript(const std::string& sql) {
    auto& driver = Driver();
    ClearErrors();
    try {
        for (const std::string& statement : ScriptStatements(sql, driver.GetDialect())) driver.RunScript(statement);
    } catch (const detail::DriverError& e) {
        Fail(e.error);
    }
}

int Connection::BeginTrans() {
    auto& driver = Driver();
    ClearErrors();
    try {
        driver.Begin();
    } catch (const detail::DriverError& e) {
        Fail(e.error);
    }
    return 1;
}

void Connection::CommitTrans() {
    auto& driver = Driver();
    ClearErrors();
    if (!driver.InTransaction()) Fail({err::NoTransaction, "No transaction is active.", "ADODB.Connection", "", 0});
    try {
        driver.Commit();
    } catch (const detail::DriverError& e) {
        try {
            driver.Rollback();
        } catch (...) {
        }
        Fail(e.error);
    }
}

void Connection::RollbackTrans() {
    auto& driver = Driver();
    ClearErrors();
    if (!driver.InTransaction()) Fail({err::NoTransaction, "No transaction is active.", "ADODB.Connection", "", 0});
    try {
        driver.Rollback();
    } catch (const detail::DriverError& e) {
        Fail(e.error);
    }
}

bool Connection::InTransaction() const { return driver_ && driver_->InTransaction(); }

void RegisterComponents() {
    ole::RegisterClass<Connection>("ADODB.Connection");
    ole::RegisterClass<Recordset>("ADODB.Recordset");
    ole::RegisterClass<Command>("ADODB.Command");
}

}  // namespace ado
