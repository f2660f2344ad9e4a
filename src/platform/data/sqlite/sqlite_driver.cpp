// The embedded provider: SQLite with a WAL journal and a busy time-out.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/data/driver.h"
#include "platform/data/sqlite_cache.h"
#include "platform/os/scope_guard.h"
#include "platform/os/thread_slice.h"

namespace ado {
namespace {
std::atomic<int32_t> gCacheMiB{kSQLiteCacheMiBDefault};
}  // namespace

void SetSQLiteCacheMiB(int32_t mebibytes) {
    gCacheMiB = std::clamp(mebibytes, kSQLiteCacheMiBMin, kSQLiteCacheMiBMax);
}

int32_t SQLiteCacheMiB() { return gCacheMiB; }

}  // namespace ado

namespace ado::detail {
namespace {

std::mutex gProcedureMutex;
std::unordered_map<std::string, std::string>& Procedures() {
    static std::unordered_map<std::string, std::string> procedures;
    return procedures;
}

// A lock another connection held past the busy time-out is "busy"; a file
// that cannot be opened is "unreachable".
ole::ErrorKind KindFor(int code) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return ole::ErrorKind::DatabaseBusy;
        case SQLITE_CANTOPEN: return ole::ErrorKind::DatabaseUnreachable;
        default: return ole::ErrorKind::Other;
    }
}

int32_t NumberFor(int code) {
    switch (code & 0xFF) {
        case SQLITE_CONSTRAINT: return err::IntegrityViolation;
        case SQLITE_CANTOPEN:
        case SQLITE_NOTADB:
        case SQLITE_PERM:
        case SQLITE_AUTH: return err::ProviderFailure;
        default: return err::CommandFailure;
    }
}

// Dates are stored as text in the sortable form of Date::Iso, "yyyy-mm-dd
// hh:mm:ss[.fff]". Every date read and written passes here, so the digits are
// put and taken by hand: scanf and printf cost more than the statement.
// Writes the digits of value, right-aligned in width characters, followed by separator (if any).
void PutDigits(std::string& text, int value, int width, char separator) {
    size_t end = text.size() + static_cast<size_t>(width);
    text.resize(end);
    for (size_t i = end; i-- > end - static_cast<size_t>(width); value /= 10) text[i] = static_cast<char>('0' + value % 10);
    if (separator) text += separator;
}

std::string StoredDate(ole::Date date) {
    auto [y, m, d, h, mi, s, ms] = date.ToCalendar();
    std::string text;
    text.reserve(23);
    PutDigits(text, y, 4, '-');
    PutDigits(text, m, 2, '-');
    PutDigits(text, d, 2, ' ');
    PutDigits(text, h, 2, ':');
    PutDigits(text, mi, 2, ':');
    PutDigits(text, s, 2, ms ? '.' : '\0');
    if (ms) PutDigits(text, ms, 3, '\0');
    return text;
}

bool TakeDigits(const char* p, int width, int& value) {
    value = 0;
    for (int i = 0; i < width; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

// The stored form only ("yyyy-mm-dd", optionally with " hh:mm:ss" and ".fff"); false for anything else.
bool ParseStoredDate(const char* p, size_t n, ole::Date& out) {
    if (n != 10 && n != 19 && n != 23) return false;
    int y, mo, d, h = 0, mi = 0, s = 0, ms = 0;
    if (!TakeDigits(p, 4, y) || p[4] != '-' || !TakeDigits(p + 5, 2, mo) || p[7] != '-' || !TakeDigits(p + 8, 2, d))
        return false;
    if (n >= 19 && (p[10] != ' ' || !TakeDigits(p + 11, 2, h) || p[13] != ':' || !TakeDigits(p + 14, 2, mi) ||
                    p[16] != ':' || !TakeDigits(p + 17, 2, s)))
        return false;
    if (n == 23 && (p[19] != '.' || !TakeDigits(p + 20, 3, ms))) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 100 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 || s > 59)
        return false;
    out = ole::Date::FromParts(y, mo, d, h, mi, s + ms / 1000.0);
    return true;
}

// Values that SQLite stores: dates as text (above), Booleans as 1 and 0,
// currency as a number.
void Bind(sqlite3_stmt* stmt, int index, const Variant& v) {
    switch (v.Type()) {
        case ole::VarType::Empty:
        case ole::VarType::Null: sqlite3_bind_null(stmt, index); break;
        case ole::VarType::Boolean: sqlite3_bind_int(stmt, index, v.ToBool() ? 1 : 0); break;
        case ole::VarType::Integer:
        case ole::VarType::Long:
        case ole::VarType::LongLong: sqlite3_bind_int64(stmt, index, v.ToLongLong()); break;
        case ole::VarType::Double:
        case ole::VarType::Currency: sqlite3_bind_double(stmt, index, v.ToDouble()); break;
        case ole::VarType::Date: {
            std::string text = StoredDate(v.ToDate());
            sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            break;
        }
        case ole::VarType::String: {
            std::string text = v.ToString();
            sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            break;
        }
        default: ole::Raise(ole::err::TypeMismatch);
    }
}

Variant ReadValue(sqlite3_stmt* stmt, int i, DataTypeEnum type) {
    int storage = sqlite3_column_type(stmt, i);
    if (storage == SQLITE_NULL) return ole::Null;
    switch (type) {
        case adBoolean: return Variant(sqlite3_column_int64(stmt, i) != 0);
        case adSmallInt: {
            int64_t v = sqlite3_column_int64(stmt, i);
            if (v >= SHRT_MIN && v <= SHRT_MAX) return Variant(static_cast<int16_t>(v));
            return Variant(v);
        }
        case adCurrency: return Variant(ole::Currency::FromDouble(sqlite3_column_double(stmt, i)));
        case adNumeric:
        case adDouble:
        case adSingle: return Variant(sqlite3_column_double(stmt, i));
        case adDate:
        case adDBTimeStamp: {
            if (storage == SQLITE_TEXT) {
                const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
                size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, i));
                ole::Date d;
                if (ParseStoredDate(text, size, d) || ole::ParseDate(std::string_view(text, size), d)) return Variant(d);
                return Variant(std::string(text, size));
            }
            return Variant(ole::Date{sqlite3_column_double(stmt, i)});
        }
        default: break;
    }
    switch (storage) {
        case SQLITE_INTEGER: {
            int64_t v = sqlite3_column_int64(stmt, i);
            if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
            return Variant(v);
        }
        case SQLITE_FLOAT: return Variant(sqlite3_column_double(stmt, i));
        default:
            return Variant(std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                                       static_cast<size_t>(sqlite3_column_bytes(stmt, i))));
    }
}

// "Busy Timeout": how long a statement waits for a lock another connection
// holds, in milliseconds (default 10000). A value that is no whole number is
// refused: read as 0, it would make every busy moment an error.
int BusyTimeout(const ConnectionOptions& options) {
    std::string text = options.Get("busy timeout", "10000");
    long long value = 0;
    bool valid = !text.empty() && text.size() <= 10;
    for (char c : text) {
        if (c < '0' || c > '9') valid = false;
        if (valid) value = value * 10 + (c - '0');
    }
    if (!valid || value > INT_MAX)
        throw DriverError({err::ProviderFailure,
                           "Busy Timeout in the connection string is not a number of milliseconds (0 to " +
                               std::to_string(INT_MAX) + ")",
                           "SQLite", "", 0});
    return static_cast<int>(value);
}

[[noreturn]] void Fail(int rc, const std::string& message) {
    throw DriverError({NumberFor(rc), message, "SQLite", "", rc, KindFor(rc)});
}

void ExecOn(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        Fail(rc, text);
    }
}

struct KnownColumns {
    std::vector<const char*> names, declarations;
    std::vector<Column> columns;
};

// One SQLite connection and the statements prepared on it.
struct Handle {
    sqlite3* db = nullptr;
    // temporary objects, attached files or settings made on this connection: they are its
    // own, so its transactions stay on it, and a shared writer is not handed on with them
    bool ownState = false;
    std::unordered_map<std::string, sqlite3_stmt*> cache;
    std::list<std::string> order;
    std::unordered_map<sqlite3_stmt*, KnownColumns> columns;

    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        for (auto& [sql, stmt] : cache) sqlite3_finalize(stmt);
        if (db) sqlite3_close_v2(db);  // rolls back what is open
    }
};

bool IsQueryPragma(const char* name) {
    static const char* const kQueries[] = {"table_info", "table_xinfo", "index_list", "index_info", "index_xinfo",
                                           "foreign_key_list", "foreign_key_check", "integrity_check", "quick_check"};
    for (const char* query : kQueries)
        if (name && sqlite3_stricmp(name, query) == 0) return true;
    return false;
}

int NoteOwnState(void* self, int action, const char* name, const char* value, const char*, const char*) {
    switch (action) {
        case SQLITE_CREATE_TEMP_INDEX:
        case SQLITE_CREATE_TEMP_TABLE:
        case SQLITE_CREATE_TEMP_TRIGGER:
        case SQLITE_CREATE_TEMP_VIEW:
        case SQLITE_ATTACH: static_cast<Handle*>(self)->ownState = true; break;
        case SQLITE_PRAGMA:
            // a pragma given a value changes a setting, unless it asks about the table or index named
            if (value && !IsQueryPragma(name)) static_cast<Handle*>(self)->ownState = true;
            break;
        default: break;
    }
    return SQLITE_OK;
}

// A connection to the Data Source in WAL mode with the connection string's settings.
std::unique_ptr<Handle> OpenHandle(const ConnectionOptions& options) {
    std::string file = options.Get("data source");
    if (file.empty()) Fail(SQLITE_CANTOPEN, "Data Source is missing from the connection string");
    int timeout = BusyTimeout(options);  // refused before the file is touched
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (ole::UpperCase(options.Get("mode")) == "CREATE") flags |= SQLITE_OPEN_CREATE;
    auto handle = std::make_unique<Handle>();
    int rc = sqlite3_open_v2(file.c_str(), &handle->db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = handle->db ? sqlite3_errmsg(handle->db) : "out of memory";
        // the file is named unless a password could have run into the Data Source at a ";"
        bool holdsPassword = options.values.count("password") || options.values.count("pwd");
        throw DriverError({NumberFor(rc),
                           (holdsPassword ? "Cannot open the database of the Data Source: "
                                          : "Cannot open database '" + file + "': ") + message,
                           "SQLite", "", rc, ole::ErrorKind::DatabaseUnreachable});
    }
    sqlite3_extended_result_codes(handle->db, 1);
    sqlite3_busy_timeout(handle->db, timeout);
    std::string sync = ole::UpperCase(options.Get("synchronous", "FULL"));
    if (sync != "OFF" && sync != "NORMAL" && sync != "FULL" && sync != "EXTRA") sync = "FULL";
    ExecOn(handle->db, "PRAGMA journal_mode=WAL");
    ExecOn(handle->db, "PRAGMA synchronous=" + sync);
    ExecOn(handle->db, "PRAGMA foreign_keys=ON");
    ExecOn(handle->db, "PRAGMA cache_size=-" + std::to_string(int64_t{SQLiteCacheMiB()} * 1024));  // negative: KiB
    sqlite3_set_authorizer(handle->db, &NoteOwnState, handle.get());
    return handle;
}

// The file the Data Source names now (device and inode; none when it names none).
using FileId = std::pair<dev_t, ino_t>;
FileId FileOf(const ConnectionOptions& options) {
    struct stat status {};
    if (::stat(options.Get("data source").c_str(), &status) != 0) return {};
    return {status.st_dev, status.st_ino};
}

// The connections of this process to one database file take turns to write.
// SQLite lets one connection write at a time and has the others sleep in steps
// of up to 100 ms and try again, long after the lock was let go; a turn passes
// to a waiting connection as soon as the writer ends. Writers in other
// processes are still waited for by SQLite's busy time-out.
//
// A thread waiting for the turn or holding it runs with the shortest slice
// (os/thread_slice.h): a holder that wakes from its commit's fdatasync is run
// at once rather than behind the threads working on other requests, which
// under load made up about half the time a commit held the turn.
//
// The transactions themselves run on one connection of the process (per
// connection settings), which the turn hands on: a connection's page cache
// is dropped whenever another connection has written since its last read, so
// each writer on a connection of its own read every page it touched again.
class WriteTurns {
public:
    static std::shared_ptr<WriteTurns> Of(const std::string& file) {
        static std::mutex mutex;
        static std::unordered_map<std::string, std::weak_ptr<WriteTurns>> files;
        std::lock_guard lock(mutex);
        std::shared_ptr<WriteTurns> turns = files[file].lock();
        if (!turns) {
            turns = std::make_shared<WriteTurns>();
            files[file] = turns;
        }
        return turns;
    }

    // False if another connection still writes after `longest`.
    bool Take(std::chrono::milliseconds longest) {
        std::unique_lock lock(mutex_);
        if (!free_.wait_for(lock, longest, [&] { return !taken_; })) return false;
        taken_ = true;
        return true;
    }

    void Give() {
        {
            std::lock_guard lock(mutex_);
            taken_ = false;
        }
        free_.notify_one();
    }

    // The connection for the transactions of connections with these settings to
    // the file `file` (which the path may no longer name: a connection to a file
    // put in its place gets a writer of its own), or nullptr when the path names
    // another file by now. Only the holder of the turn calls it or uses it.
    Handle* Writer(const ConnectionOptions& options, FileId file) {
        std::string settings;
        for (const auto& [key, value] : options.values)
            if (key != "pooling") settings += key + "=" + value + ";";
        auto& [writer, writersFile] = writers_[settings];
        // a writer left with state of a connection's own is not handed on with it
        if (writer && writersFile == file && !writer->ownState) return writer.get();
        writer.reset();
        auto opened = OpenHandle(options);
        if (FileOf(options) != file) return nullptr;
        writer = std::move(opened);
        writersFile = file;
        return writer.get();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool taken_ = false;
    std::map<std::string, std::pair<std::unique_ptr<Handle>, FileId>> writers_;
};

class SQLiteDriver : public Driver {
public:
    explicit SQLiteDriver(const ConnectionOptions& options) : options_(options), own_(OpenHandle(options)) {
        h_ = own_.get();
        file_ = FileOf(options);
        busyTimeout_ = std::chrono::milliseconds(BusyTimeout(options));
        const char* path = sqlite3_db_filename(own_->db, "main");
        turns_ = WriteTurns::Of(path && *path ? path : options.Get("data source"));
    }

    ~SQLiteDriver() override {
        if (h_ != own_.get()) {
            // the shared writer is left with no transaction open before the turn passes on
            sqlite3_exec(h_->db, "ROLLBACK", nullptr, nullptr, nullptr);
            h_ = own_.get();
        }
        own_.reset();
        if (turn_) {
            turns_->Give();
            os::RestoreSlice();
        }
    }

    Dialect GetDialect() const override { return Dialect::SQLite; }

    Result Run(const std::string& sql, const std::vector<Variant>& params) override {
        sqlite3_stmt* stmt = Prepare(sql);
        auto reset = os::ScopeGuard([this, stmt] {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
            GiveTurnIfDone();  // a write outside a transaction, or one whose error rolled it back
        });
        int expected = sqlite3_bind_parameter_count(stmt);
        if (expected != static_cast<int>(params.size()))
            throw DriverError({err::CommandFailure,
                               "The statement expects " + std::to_string(expected) + " parameter value(s) but " +
                                   std::to_string(params.size()) + " were given",
                               "SQLite", "", 0});
        for (size_t i = 0; i < params.size(); ++i) Bind(stmt, static_cast<int>(i) + 1, params[i]);

        if (sqlite3_get_autocommit(h_->db) && !sqlite3_stmt_readonly(stmt)) TakeTurn();
        // The columns are read after the first step: a kept statement that SQLite
        // prepares again for a changed schema ("SELECT *" after a new column)
        // reports its new columns only then.
        int rc = sqlite3_step(stmt);
        Result result;
        int n = sqlite3_column_count(stmt);
        result.columns = ColumnsOf(stmt, n);
        for (; rc == SQLITE_ROW; rc = sqlite3_step(stmt)) {
            std::vector<Variant> row;
            row.reserve(static_cast<size_t>(n));
            for (int i = 0; i < n; ++i) row.push_back(ReadValue(stmt, i, result.columns[static_cast<size_t>(i)].type));
            // expressions have no declared type: report the type of what they hold
            if (result.rows.empty())
                for (int i = 0; i < n; ++i) {
                    auto& c = result.columns[static_cast<size_t>(i)];
                    if (c.type != adVariant) continue;
                    switch (sqlite3_column_type(stmt, i)) {
                        case SQLITE_INTEGER: c.type = adInteger; break;
                        case SQLITE_FLOAT: c.type = adDouble; break;
                        case SQLITE_TEXT: c.type = adVarWChar; break;
                        default: break;
                    }
                }
            result.rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) Fail(rc, sqlite3_errmsg(h_->db));
        if (n == 0) result.affected = sqlite3_changes(h_->db);
        else
            for (auto& c : result.columns)
                if (c.type == adVariant) c.type = adVarWChar;
        return result;
    }

    void RunScript(const std::string& sql) override { ExecOn(h_->db, sql); }

    void Begin() override {
        TakeTurn();
        if (!own_->ownState && file_ != FileId{}) {
            try {
                if (Handle* writer = turns_->Writer(options_, file_)) h_ = writer;
            } catch (...) {
                GiveTurnIfDone();
                throw;
            }
        }
        Exec("BEGIN IMMEDIATE");
    }
    void Commit() override { Exec("COMMIT"); }
    void Rollback() override {
        if (!sqlite3_get_autocommit(h_->db)) Exec("ROLLBACK");
    }
    bool InTransaction() const override { return !sqlite3_get_autocommit(h_->db); }

    std::vector<std::string> PrimaryKey(const std::string& table) override {
        auto found = keys_.find(table);
        if (found != keys_.end()) return found->second;
        Result r = Run("SELECT name, pk FROM pragma_table_info(?) WHERE pk > 0 ORDER BY pk", {Variant(table)});
        std::vector<std::string> keys;
        for (auto& row : r.rows) keys.push_back(ole::UpperCase(row[0].ToString()));
        keys_[table] = keys;
        return keys;
    }

    std::string ProcedureCall(const std::string& name, size_t) override {
        std::lock_guard lock(gProcedureMutex);
        auto it = Procedures().find(ole::UpperCase(name));
        if (it == Procedures().end())
            throw DriverError({err::CommandFailure, "Could not find stored procedure '" + name + "'", "SQLite", "", 0});
        return it->second;
    }

private:
    void Exec(const std::string& sql) {
        try {
            ExecOn(h_->db, sql);
        } catch (...) {
            GiveTurnIfDone();  // a BEGIN that failed, or a failed commit that ended the transaction
            throw;
        }
        GiveTurnIfDone();  // a commit or a rollback
    }

    // Waits for this connection's turn to write, at most the busy time-out.
    void TakeTurn() {
        if (turn_) return;
        os::ShortenSlice();
        if (!turns_->Take(busyTimeout_)) {
            os::RestoreSlice();
            Fail(SQLITE_BUSY, "database is locked");
        }
        turn_ = true;
    }

    void GiveTurnIfDone() {
        if (!turn_ || !sqlite3_get_autocommit(h_->db)) return;
        h_ = own_.get();
        turn_ = false;
        turns_->Give();
        os::RestoreSlice();
    }

    // The columns of a kept statement are worked out once; SQLite keeps the name and
    // declaration texts of a statement until it prepares it again, so unchanged
    // pointers mean unchanged columns.
    std::vector<Column> ColumnsOf(sqlite3_stmt* stmt, int n) {
        auto& known = h_->columns[stmt];
        bool same = known.names.size() == static_cast<size_t>(n);
        for (int i = 0; same && i < n; ++i)
            same = known.names[static_cast<size_t>(i)] == sqlite3_column_name(stmt, i) &&
                   known.declarations[static_cast<size_t>(i)] == sqlite3_column_decltype(stmt, i);
        if (!same) {
            known = {};
            for (int i = 0; i < n; ++i) {
                Column c;
                known.names.push_back(sqlite3_column_name(stmt, i));
                known.declarations.push_back(sqlite3_column_decltype(stmt, i));
                c.name = known.names.back();
                c.type = known.declarations.back() ? TypeFromDeclaration(known.declarations.back(), c.size) : adVariant;
                known.columns.push_back(std::move(c));
            }
        }
        return known.columns;
    }

    // Prepared statements are kept per connection, the most recent 64 of them.
    sqlite3_stmt* Prepare(const std::string& sql) {
        auto& cache = h_->cache;
        auto it = cache.find(sql);
        if (it != cache.end()) return it->second;
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        int rc = sqlite3_prepare_v2(h_->db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
        if (rc != SQLITE_OK) Fail(rc, sqlite3_errmsg(h_->db));
        if (!stmt) Fail(SQLITE_MISUSE, "The statement text is empty");
        if (tail && std::string(tail).find_first_not_of(" \t\r\n;") != std::string::npos) {
            sqlite3_finalize(stmt);
            Fail(SQLITE_MISUSE, "Only one statement may be executed at a time");
        }
        if (cache.size() >= 64) {
            const std::string& oldest = h_->order.front();
            h_->columns.erase(cache[oldest]);
            sqlite3_finalize(cache[oldest]);
            cache.erase(oldest);
            h_->order.pop_front();
        }
        h_->order.push_back(sql);
        cache.emplace(sql, stmt);
        return stmt;
    }

    ConnectionOptions options_;
    std::unique_ptr<Handle> own_;
    Handle* h_ = nullptr;  // own_, or the process's writer while this connection's transaction runs
    FileId file_;            // the file own_ opened
    std::shared_ptr<WriteTurns> turns_;
    bool turn_ = false;  // this connection writes: the others of the process wait
    std::chrono::milliseconds busyTimeout_{0};
    std::unordered_map<std::string, std::vector<std::string>> keys_;
};

}  // namespace

std::unique_ptr<Driver> OpenSQLite(const ConnectionOptions& options) { return std::make_unique<SQLiteDriver>(options); }

}  // namespace ado::detail

void ado::RegisterSQLiteProcedure(const std::string& name, const std::string& sql) {
    std::lock_guard lock(detail::gProcedureMutex);
    detail::Procedures()[ole::UpperCase(name)] = sql;
}
