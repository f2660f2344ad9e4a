// The provider for several machines: PostgreSQL through libpq.
#include <libpq-fe.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/data/driver.h"

namespace ado::detail {
namespace {

// Type OIDs of the built-in types that the schema uses.
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kFloat4 = 700, kFloat8 = 701,
              kBpchar = 1042, kVarchar = 1043, kDate = 1082, kTimestamp = 1114, kTimestampTz = 1184, kNumeric = 1700;

Column ColumnOf(const PGresult* res, int i) {
    Column c;
    c.name = ole::UpperCase(PQfname(res, i));
    int mod = PQfmod(res, i);
    switch (PQftype(res, i)) {
        case kBool: c.type = adBoolean; break;
        case kInt2: c.type = adSmallInt; break;
        case kInt4: c.type = adInteger; break;
        case kInt8: c.type = adBigInt; break;
        case kFloat4: c.type = adSingle; break;
        case kFloat8: c.type = adDouble; break;
        case kNumeric: {
            int precision = mod >= 4 ? ((mod - 4) >> 16) & 0xFFFF : 0;
            int scale = mod >= 4 ? (mod - 4) & 0xFFFF : 0;
            c.type = (precision == 19 && scale == 4) ? adCurrency : adNumeric;
            break;
        }
        case kDate: c.type = adDate; break;
        case kTimestamp:
        case kTimestampTz: c.type = adDBTimeStamp; break;
        case kBpchar:
            c.type = adWChar;
            c.size = mod >= 4 ? mod - 4 : 0;
            break;
        case kVarchar:
            c.type = adVarWChar;
            c.size = mod >= 4 ? mod - 4 : 0;
            break;
        case kText: c.type = adLongVarWChar; break;
        default: c.type = adVarWChar; break;
    }
    return c;
}

Variant ValueOf(const PGresult* res, int row, int col, DataTypeEnum type) {
    if (PQgetisnull(res, row, col)) return ole::Null;
    std::string text(PQgetvalue(res, row, col), static_cast<size_t>(PQgetlength(res, row, col)));
    switch (type) {
        case adBoolean: return Variant(text == "t");
        case adSmallInt: return Variant(static_cast<int16_t>(std::atoi(text.c_str())));
        case adInteger: return Variant(static_cast<int32_t>(std::atol(text.c_str())));
        case adBigInt: {
            long long v = std::atoll(text.c_str());
            if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
            return Variant(static_cast<int64_t>(v));
        }
        case adSingle:
        case adDouble:
        case adNumeric: return Variant(std::strtod(text.c_str(), nullptr));
        case adCurrency: return Variant(ole::Currency::FromDouble(std::strtod(text.c_str(), nullptr)));
        case adDate:
        case adDBTimeStamp: {
            ole::Date d;
            // timestamptz carries an offset; the local wall-clock part is what the platform shows
            std::string plain = text.substr(0, text.find_first_of("+", 19) == std::string::npos
                                                   ? text.size()
                                                   : text.find_first_of("+", 19));
            if (ole::ParseDate(plain.size() > 23 ? plain.substr(0, 23) : plain, d)) return Variant(d);
            return Variant(text);
        }
        default: return Variant(std::move(text));
    }
}

// Parameters travel as text of unknown type, so that the server gives each the
// type its place in the statement asks for.
std::optional<std::string> TextOf(const Variant& v) {
    switch (v.Type()) {
        case ole::VarType::Empty:
        case ole::VarType::Null: return std::nullopt;
        case ole::VarType::Boolean: return std::string(v.ToBool() ? "1" : "0");
        case ole::VarType::Double: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", v.ToDouble());
            return std::string(buf);
        }
        case ole::VarType::Date: return v.ToDate().Iso();
        case ole::VarType::String: {
            std::string s = v.ToString();
            if (s.find('\0') != std::string::npos)
                throw DriverError({err::CommandFailure, "A text value holds a NUL character", "PostgreSQL", "22021", 0});
            return s;
        }
        default: return v.ToString();
    }
}

// "?" markers become $1, $2 ... outside quotes and comments.
std::string NumberMarkers(const std::string& sql) {
    std::string out;
    out.reserve(sql.size() + 8);
    int n = 0;
    for (size_t i = 0; i < sql.size(); ++i) {
        char c = sql[i];
        if (c == '\'' || c == '"') {
            size_t close = sql.find(c, i + 1);
            while (close != std::string::npos && close + 1 < sql.size() && sql[close + 1] == c)
                close = sql.find(c, close + 2);
            size_t end = close == std::string::npos ? sql.size() : close + 1;
            out.append(sql, i, end - i);
            i = end - 1;
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            size_t end = sql.find('\n', i);
            end = end == std::string::npos ? sql.size() : end;
            out.append(sql, i, end - i);
            i = end - 1;
        } else if (c == '?') {
            out += "$" + std::to_string(++n);
        } else {
            out += c;
        }
    }
    return out;
}

// A lock not granted in time or a deadlock is "busy"; a connection that cannot
// be made or was lost, a server shutting down or out of connection slots is
// "unreachable". connectionLost: the connection is broken whatever the state says.
ole::ErrorKind KindFor(const std::string& sqlstate, bool connectionLost) {
    if (connectionLost || sqlstate.rfind("08", 0) == 0 || sqlstate == "57P01" || sqlstate == "57P02" ||
        sqlstate == "57P03" || sqlstate == "53300")
        return ole::ErrorKind::DatabaseUnreachable;
    if (sqlstate == "55P03" || sqlstate == "40P01") return ole::ErrorKind::DatabaseBusy;
    return ole::ErrorKind::Other;
}

int32_t NumberFor(const std::string& sqlstate) {
    if (sqlstate.rfind("23", 0) == 0) return err::IntegrityViolation;
    if (sqlstate.rfind("08", 0) == 0 || sqlstate.rfind("28", 0) == 0 || sqlstate.rfind("3D", 0) == 0)
        return err::ProviderFailure;
    return err::CommandFailure;
}

class PostgresDriver : public Driver {
public:
    explicit PostgresDriver(const ConnectionOptions& options) {
        std::vector<std::pair<std::string, std::string>> params;
        auto add = [&](const char* keyword, const std::string& value) {
            if (!value.empty()) params.emplace_back(keyword, value);
        };
        add("host", options.Get("host", options.Get("server")));
        add("port", options.Get("port"));
        add("dbname", options.Get("database", options.Get("initial catalog")));
        add("user", options.Get("user id", options.Get("uid")));
        add("password", options.Get("password", options.Get("pwd")));
        add("connect_timeout", options.Get("connect timeout", "10"));
        add("client_encoding", "UTF8");
        add("application_name", "backoffice");
        std::string settings = "-c datestyle=ISO,MDY -c extra_float_digits=1";
        std::string schema = options.Get("schema");
        if (!schema.empty()) {
            for (char c : schema)
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
                    throw DriverError({err::ProviderFailure,
                                       "Invalid Schema in the connection string: letters, digits and '_' only",
                                       "PostgreSQL", "", 0});
            settings += " -c search_path=" + schema;
        }
        add("options", settings);
        std::vector<const char*> keys, values;
        for (auto& [k, v] : params) {
            keys.push_back(k.c_str());
            values.push_back(v.c_str());
        }
        keys.push_back(nullptr);
        values.push_back(nullptr);
        conn_ = PQconnectdbParams(keys.data(), values.data(), 0);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            std::string message = conn_ ? PQerrorMessage(conn_) : "out of memory";
            while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
            if (conn_) PQfinish(conn_);
            conn_ = nullptr;
            throw DriverError({err::ProviderFailure, message, "PostgreSQL", "08001", 0, ole::ErrorKind::DatabaseUnreachable});
        }
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    }

    ~PostgresDriver() override {
        if (conn_) PQfinish(conn_);
    }

    Dialect GetDialect() const override { return Dialect::PostgreSQL; }

    // A text with markers is the same for every call with other values: it is
    // prepared once per connection, so the server parses and plans it once, as
    // a careful client does. A text without markers goes as it is.
    Result Run(const std::string& sql, const std::vector<Variant>& params) override {
        Settle();
        if (beginPending_ && !params.empty()) {  // the transaction's BEGIN goes with its first statement
            std::vector<Result> results;
            RunBatch({{sql, params}}, results);
            return std::move(results.front());
        }
        SendBegin();
        Bound bound(params);
        if (params.empty()) {
            PGresult* res = PQexecParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
            ResultHolder holder(res, &PQclear);
            Check(res);
            return ResultOf(res);
        }
        for (int attempt = 0;; ++attempt) {
            auto known = prepared_.find(sql);
            if (known == prepared_.end()) {
                MakeRoom();
                std::string name = NewStatementName();
                PGresult* made = PQprepare(conn_, name.c_str(), NumberMarkers(sql).c_str(), 0, nullptr);
                ResultHolder holder(made, &PQclear);
                Check(made);
                known = prepared_.emplace(sql, name).first;
            }
            PGresult* res = PQexecPrepared(conn_, known->second.c_str(), bound.Count(), bound.Values(), nullptr, nullptr, 0);
            ResultHolder holder(res, &PQclear);
            // a table changed under a kept statement ("SELECT *" after an upgrade added a column):
            // the statement is prepared again, and run again when no transaction was aborted by it
            if (attempt == 0 && PQresultStatus(res) == PGRES_FATAL_ERROR && SqlStateOf(res) == "0A000") {
                Forget(known);
                if (!InTransaction()) continue;
            }
            Check(res);
            return ResultOf(res);
        }
    }

    // The statements go in pipelines of at most kPipelineDepth: one round trip
    // each, while every statement keeps its own plan as if sent alone.
    void RunBatch(const std::vector<BatchStatement>& statements, std::vector<Result>& results) override {
        Settle();
        if (statements.empty()) return;
        for (size_t from = 0; from < statements.size(); from += kPipelineDepth)
            RunPipeline(statements, from, std::min(statements.size(), from + kPipelineDepth), results,
                        std::exchange(beginPending_, false));
    }

    // A text's first sending runs it as Run does (and prepares it); later ones go
    // prepared, unawaited. libpq flushes the message before returning.
    void Send(const std::string& sql, const std::vector<Variant>& params) override {
        Settle();
        SendBegin();
        auto known = prepared_.find(sql);
        if (known == prepared_.end()) {
            Run(sql, params);
            return;
        }
        Bound bound(params);
        if (PQsendQueryPrepared(conn_, known->second.c_str(), bound.Count(), bound.Values(), nullptr, nullptr, 0) != 1)
            Check(nullptr);
        unread_ = true;
    }

    void RunScript(const std::string& sql) override {
        Settle();
        SendBegin();
        PGresult* res = PQexec(conn_, sql.c_str());
        ResultHolder holder(res, &PQclear);
        Check(res);
    }

    // BEGIN waits for the transaction's first statement and goes with it, in one round
    // trip; a transaction in which nothing ran ends without a word to the server.
    void Begin() override {
        Settle();
        SendBegin();  // a BEGIN inside a transaction: the server's warning, as before
        beginPending_ = true;
    }
    void BeginWith(const BatchStatement& opening) override {
        Begin();
        opening_ = opening;
    }
    void Commit() override {
        if (DropPendingBegin()) return;
        Settle();
        // the server answers the COMMIT of a transaction a failed statement aborted with a
        // rollback, not a failure: a caller that went on past that failure learns it here
        if (PQtransactionStatus(conn_) == PQTRANS_INERROR) {
            RunScript("ROLLBACK");
            throw DriverError({err::CommandFailure, "The transaction was rolled back: a statement in it had failed",
                               "PostgreSQL", "25P02", 0});
        }
        RunScript("COMMIT");
    }
    void Rollback() override {
        if (DropPendingBegin()) return;
        if (InTransaction()) RunScript("ROLLBACK");
    }
    void EndUnawaited() override {
        if (DropPendingBegin()) return;
        if (!InTransaction()) return;
        if (PQsendQueryParams(conn_, "ROLLBACK", 0, nullptr, nullptr, nullptr, nullptr, 0) != 1) Check(nullptr);
        unread_ = true;
    }
    bool InTransaction() const override {
        Settle();
        if (beginPending_) return true;
        auto s = PQtransactionStatus(conn_);
        return s == PQTRANS_INTRANS || s == PQTRANS_INERROR || s == PQTRANS_ACTIVE;
    }

    std::vector<std::string> PrimaryKey(const std::string& table) override {
        auto found = keys_.find(table);
        if (found != keys_.end()) return found->second;
        Result r = Run(
            "SELECT a.attname FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey) "
            "WHERE i.indisprimary AND i.indrelid = to_regclass(lower(?)) ORDER BY array_position(i.indkey, a.attnum)",
            {Variant(table)});
        std::vector<std::string> keys;
        for (auto& row : r.rows) keys.push_back(ole::UpperCase(row[0].ToString()));
        keys_[table] = keys;
        return keys;
    }

    std::string ProcedureCall(const std::string& name, size_t parameterCount) override {
        std::string sql = "SELECT * FROM " + name + "(";
        for (size_t i = 0; i < parameterCount; ++i) sql += i ? ", ?" : "?";
        return sql + ")";
    }

    bool Healthy() const override {
        Settle();
        return PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_UNKNOWN &&
               PQpipelineStatus(conn_) == PQ_PIPELINE_OFF;
    }

private:
    using ResultHolder = std::unique_ptr<PGresult, decltype(&PQclear)>;
    static constexpr size_t kPipelineDepth = 1000;
    static constexpr const char* kBeginStep = "BEGIN";  // never a statement's name ("s1", "s2"...)
    static constexpr const char* kOpeningStep = "OPENING";  // the execution of the transaction's opening statement

    // The values of a statement's markers as libpq takes them.
    class Bound {
    public:
        explicit Bound(const std::vector<Variant>& params) {
            texts_.reserve(params.size());
            for (auto& p : params) texts_.push_back(TextOf(p));
            values_.reserve(params.size());
            for (auto& t : texts_) values_.push_back(t ? t->c_str() : nullptr);
        }
        int Count() const { return static_cast<int>(values_.size()); }
        const char* const* Values() const { return values_.empty() ? nullptr : values_.data(); }

    private:
        std::vector<std::optional<std::string>> texts_;
        std::vector<const char*> values_;
    };

    static Result ResultOf(PGresult* res) {
        Result result;
        if (PQresultStatus(res) == PGRES_TUPLES_OK) {
            int n = PQnfields(res);
            for (int i = 0; i < n; ++i) result.columns.push_back(ColumnOf(res, i));
            int rows = PQntuples(res);
            result.rows.reserve(static_cast<size_t>(rows));
            for (int r = 0; r < rows; ++r) {
                std::vector<Variant> row;
                row.reserve(static_cast<size_t>(n));
                for (int i = 0; i < n; ++i) row.push_back(ValueOf(res, r, i, result.columns[static_cast<size_t>(i)].type));
                result.rows.push_back(std::move(row));
            }
        } else {
            const char* count = PQcmdTuples(res);
            result.affected = count && *count ? std::atoll(count) : 0;
        }
        return result;
    }

    // Sends statements [from, to) with one synchronisation point and reads their
    // results. Each text is prepared once per connection (in the pipeline that
    // first sends it), so that the server parses it once, as a careful client
    // does. After a failure the server skips the rest up to the sync; the first
    // failure is thrown once the pipeline is drained.
    void RunPipeline(const std::vector<BatchStatement>& statements, size_t from, size_t to, std::vector<Result>& results,
                     bool begin) {
        MakeRoom();
        if (PQenterPipelineMode(conn_) != 1) Check(nullptr);
        // what this pipeline sends, in order: a statement's preparation (its name), an
        // execution (""), the BEGIN that opens the transaction (kBeginStep)
        std::vector<std::string> preparing;
        bool sendFailed = false;
        std::vector<const BatchStatement*> sent;  // the executions, in order
        if (begin) {
            if (PQsendQueryParams(conn_, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) != 1)
                sendFailed = true;
            else
                preparing.emplace_back(kBeginStep);
            if (opening_) sent.push_back(&*opening_);
        }
        for (size_t i = from; i < to; ++i) sent.push_back(&statements[i]);
        for (size_t i = 0; i < sent.size() && !sendFailed; ++i) {
            const BatchStatement& s = *sent[i];
            auto known = prepared_.find(s.sql);
            if (known == prepared_.end()) {
                std::string name = NewStatementName();
                known = prepared_.emplace(s.sql, name).first;
                if (PQsendPrepare(conn_, name.c_str(), NumberMarkers(s.sql).c_str(), 0, nullptr) != 1) {
                    prepared_.erase(known);
                    sendFailed = true;
                    break;
                }
                preparing.push_back(name);
            }
            Bound bound(s.params);
            if (PQsendQueryPrepared(conn_, known->second.c_str(), bound.Count(), bound.Values(), nullptr, nullptr, 0) != 1)
                sendFailed = true;
            else
                preparing.emplace_back(opening_ && &s == &*opening_ ? kOpeningStep : "");
        }
        if (begin) opening_.reset();
        bool synced = PQpipelineSync(conn_) == 1;
        std::optional<DriverError> failure;
        auto fail = [&](PGresult* res) {
            if (failure) return;
            try {
                Check(res);
            } catch (const DriverError& e) {
                failure = e;
            }
        };
        if (sendFailed || !synced) fail(nullptr);
        for (const std::string& prepared : preparing) {
            if (PQstatus(conn_) != CONNECTION_OK) break;
            while (PGresult* res = PQgetResult(conn_)) {
                ResultHolder holder(res, &PQclear);
                auto status = PQresultStatus(res);
                bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY;
                if (prepared == kBeginStep || prepared == kOpeningStep) {
                    if (status != PGRES_PIPELINE_ABORTED && !ok) fail(res);
                    continue;
                }
                if (!prepared.empty()) {  // a statement not prepared is prepared again when next sent
                    if (!ok)
                        for (auto it = prepared_.begin(); it != prepared_.end(); ++it)
                            if (it->second == prepared) {
                                prepared_.erase(it);
                                break;
                            }
                    if (status != PGRES_PIPELINE_ABORTED && !ok) fail(res);
                    continue;
                }
                if (status == PGRES_PIPELINE_ABORTED) continue;
                if (!ok)
                    fail(res);
                else if (!failure)
                    results.push_back(ResultOf(res));
            }
        }
        if (synced)
            while (PGresult* res = PQgetResult(conn_)) {  // up to the sync point
                bool reached = PQresultStatus(res) == PGRES_PIPELINE_SYNC;
                PQclear(res);
                if (reached) break;
            }
        if (PQexitPipelineMode(conn_) != 1) fail(nullptr);
        if (failure) throw *failure;
    }

    // Statement names are never used twice on a connection.
    std::string NewStatementName() { return "s" + std::to_string(++statementSerial_); }

    // Past kMaxPrepared texts (a caller that splices values into its texts) every
    // statement is dropped, outside a transaction, and the count starts again. Called
    // before a pipeline begins: a pipeline takes no statement that waits for its answer.
    void MakeRoom() {
        if (prepared_.size() < kMaxPrepared || PQtransactionStatus(conn_) != PQTRANS_IDLE) return;
        PGresult* res = PQexec(conn_, "DEALLOCATE ALL");
        ResultHolder holder(res, &PQclear);
        Check(res);
        prepared_.clear();
    }

    // Reads the result of a statement sent without waiting (it has arrived by now, or
    // arrives after one trip), so that the connection takes the next one.
    void Settle() const {
        if (!unread_) return;
        unread_ = false;
        while (PGresult* res = PQgetResult(conn_)) PQclear(res);
    }

    // A BEGIN still waiting for its transaction's first statement goes alone, before
    // a statement that cannot take it along.
    void SendBegin() {
        if (!beginPending_) return;
        if (opening_) {  // with the opening statement, in one round trip
            std::vector<Result> none;
            RunPipeline({}, 0, 0, none, std::exchange(beginPending_, false));
            return;
        }
        beginPending_ = false;
        PGresult* res = PQexec(conn_, "BEGIN");
        ResultHolder holder(res, &PQclear);
        Check(res);
    }

    // A transaction begun but not yet sent ends without a word to the server.
    bool DropPendingBegin() {
        opening_.reset();
        return std::exchange(beginPending_, false);
    }

    void Forget(std::unordered_map<std::string, std::string>::iterator known) {
        // dropped on the server at the next DEALLOCATE ALL, or with the connection
        prepared_.erase(known);
    }

    static std::string SqlStateOf(const PGresult* res) {
        const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
        return state ? state : "";
    }

    void Check(PGresult* res) {
        auto status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) return;
        std::string state, message;
        if (res) {
            const char* s = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            const char* m = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
            const char* d = PQresultErrorField(res, PG_DIAG_MESSAGE_DETAIL);
            state = s ? s : "";
            message = m ? m : "";
            if (d) message += " (" + std::string(d) + ")";
        }
        if (message.empty()) {
            message = PQerrorMessage(conn_);
            while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
        }
        throw DriverError({NumberFor(state), message, "PostgreSQL", state, 0,
                           KindFor(state, PQstatus(conn_) != CONNECTION_OK)});
    }

    PGconn* conn_ = nullptr;
    std::unordered_map<std::string, std::vector<std::string>> keys_;
    static constexpr size_t kMaxPrepared = 512;
    std::unordered_map<std::string, std::string> prepared_;  // text -> name of the prepared statement
    uint64_t statementSerial_ = 0;
    mutable bool unread_ = false;  // a sent statement's result is still to be read
    bool beginPending_ = false;    // Begin() was called; the BEGIN goes with the next statement
    std::optional<BatchStatement> opening_;  // BeginWith's statement, sent right after BEGIN
};

}  // namespace

std::unique_ptr<Driver> OpenPostgres(const ConnectionOptions& options) {
    return std::make_unique<PostgresDriver>(options);
}

}  // namespace ado::detail
