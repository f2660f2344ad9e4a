// The console's own endpoints under /api/v1/operator: who is logged in (and
// the session's CSRF token), the batch history with each stage's counts, the
// last days in figures, the installation's log, "Run batch now" and the
// operators' activity. Every list is newest first and paged by an opaque
// cursor ("next"; null on the last page).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "http/http_host.h"
#include "http/http_routes.h"
#include "http/json_codec.h"
#include "http/operators.h"
#include "platform/log/log.h"
#include "platform/os/unique_fd.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

using ole::Variant;

// The log is read backwards in pieces of this size, and one request reads at
// most kLogScanLimit bytes of it: a huge log is never loaded whole. A page
// that found fewer entries than asked names where to go on ("next").
constexpr size_t kLogChunk = 64 * 1024;
constexpr size_t kLogScanLimit = 4 * 1024 * 1024;
constexpr size_t kLongestEntry = 1024 * 1024;  // a longer piece without an entry's head is skipped
constexpr size_t kEntryTextLimit = 4000;

// The page size of a list: `limit`, 50 without it, 1 to 200.
int32_t LimitOf(const httplib::Request& request) {
    if (!request.has_param("limit") || request.get_param_value("limit").empty()) return 50;
    std::string text = request.get_param_value("limit");
    if (text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        throw RequestError(400, "limit: a whole number from 1 to 200 expected");
    int32_t limit = std::stoi(text);
    if (limit < 1 || limit > 200) throw RequestError(400, "limit: a whole number from 1 to 200 expected");
    return limit;
}

std::string CursorOf(const httplib::Request& request) {
    return request.has_param("cursor") ? request.get_param_value("cursor") : "";
}

// The rows after a cursor (the id of the previous page's last row) in an order of
// (time, id) descending: the condition and its values. An unknown cursor is 400.
std::string AfterCursor(const std::string& table, const std::string& timeColumn, const std::string& idColumn,
                        const std::string& cursor, std::vector<Variant>& params) {
    if (cursor.empty()) return "";
    if (cursor.size() > 64) throw RequestError(400, "cursor: not a cursor this list gave");
    auto last = Sls_GetDisconnectedRecordset(
        "SELECT " + timeColumn + " FROM " + table + " WHERE " + idColumn + " = ?", Sls_ConnectionString(), {Variant(cursor)});
    if (last->Eof()) throw RequestError(400, "cursor: not a cursor this list gave");
    Variant time = last->Fields(timeColumn).Value();
    params.insert(params.end(), {time, time, Variant(cursor)});
    return " WHERE (" + timeColumn + " < ? OR (" + timeColumn + " = ? AND " + idColumn + " < ?))";
}

json TextOrNull(const Variant& v) { return v.IsNull() || v.IsEmpty() ? json(nullptr) : json(v.Text()); }

const char* OutcomeName(int32_t outcome) {
    switch (outcome) {
        case 0: return "ran";
        case 1: return "stopped early";
        default: return "failed";
    }
}

json BatchJson(ado::Recordset& rs) {
    json stages = json::parse(rs.Fields("STAGES").Value().IsNull() ? "[]" : rs.Fields("STAGES").Value().Text(), nullptr,
                              false);
    if (!stages.is_array()) stages = json::array();
    Variant finished = rs.Fields("FINISHED").Value(), duration = rs.Fields("DURATIONMS").Value();
    Variant trigger = rs.Fields("RUNTRIGGER").Value();
    return {{"id", rs.Fields("BATCHID").Value().Text()},
            {"started", LocalAsUtcText(rs.Fields("STARTED").Value().ToDate())},
            {"ended", finished.IsNull() ? json(nullptr) : json(LocalAsUtcText(finished.ToDate()))},
            {"outcome", OutcomeName(rs.Fields("OUTCOME").Value().ToLong())},
            {"trigger", trigger.IsNull() ? "schedule" : trigger.Text()},
            {"operator", TextOrNull(rs.Fields("OPERATORNAME").Value())},
            {"seconds", duration.IsNull() ? json(nullptr) : json(duration.ToLong() / 1000.0)},
            {"stages", stages},
            {"summary", TextOrNull(rs.Fields("SUMMARY").Value())}};
}

// ---- The log -----------------------------------------------------------------

// An entry begins a line with "[yyyy-mm-dd hh:mm:ss.fff] [".
bool StartsEntry(const std::string& text, size_t at) {
    return at + 27 < text.size() && text[at] == '[' && text[at + 5] == '-' && text[at + 8] == '-' &&
           text[at + 24] == ']' && text[at + 26] == '[';
}

struct LogFilter {
    bool all = false, errorsOnly = false;
    std::string order;  // upper case, "" for any
};

// One entry as JSON, or null when the filter does not take it.
json EntryJson(const std::string& entry, const LogFilter& filter) {
    size_t levelEnd = entry.find(']', 26);
    if (levelEnd == std::string::npos) return nullptr;
    std::string level = entry.substr(27, levelEnd - 27);
    if (level == "info" && !filter.all) return nullptr;
    if (filter.errorsOnly && level != "error") return nullptr;
    if (!filter.order.empty()) {
        std::string lower = filter.order;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (entry.find(filter.order) == std::string::npos && entry.find(lower) == std::string::npos) return nullptr;
    }
    ole::Date local{};
    std::string time;
    if (ole::ParseDate(entry.substr(1, 23), local)) time = LocalAsUtcText(local);
    size_t at = levelEnd + 2;
    if (entry.compare(at, 9, "[request ") == 0) {
        size_t end = entry.find("] ", at);
        at = end == std::string::npos ? entry.size() : end + 2;
    }
    std::string label;
    if (at < entry.size() && entry[at] == '[') {
        size_t end = entry.find("] ", at);
        if (end != std::string::npos) {
            label = entry.substr(at + 1, end - at - 1);
            at = end + 2;
        }
    }
    std::string text = at < entry.size() ? entry.substr(at) : "";
    json number = nullptr;
    if (size_t error = text.find("ERROR 0x"); error != std::string::npos && error < 4) {
        size_t end = text.find_first_not_of("0123456789ABCDEFabcdef", error + 8);
        number = "0x" + text.substr(error + 8, end - error - 8);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    while (!text.empty() && (text.front() == '\n' || text.front() == '\r')) text.erase(0, 1);
    if (text.size() > kEntryTextLimit) text = text.substr(0, kEntryTextLimit) + "...";
    return {{"time", time}, {"level", level}, {"label", label}, {"number", number}, {"text", text}};
}

// A page of the log's entries, newest first, from the byte offset `before`
// (the end of the file for the first page) backwards.
json LogPage(const LogFilter& filter, int32_t limit, const std::string& cursor) {
    json entries = json::array();
    std::string path = qx::LogFilePath();
    os::UniqueFd fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT || path.empty()) return {{"entries", entries}, {"next", nullptr}};  // nothing logged yet
        throw RequestError(500, std::string("The log cannot be read: ") + std::strerror(errno));
    }
    off_t size = ::lseek(fd.Get(), 0, SEEK_END);
    if (size < 0) throw RequestError(500, std::string("The log cannot be read: ") + std::strerror(errno));
    off_t end = size;
    if (!cursor.empty()) {
        if (cursor.size() > 18 || cursor.find_first_not_of("0123456789") != std::string::npos)
            throw RequestError(400, "cursor: not a cursor this list gave");
        end = std::min<off_t>(std::stoll(cursor), size);
    }
    off_t pos = end;
    std::string tail;  // [pos, pos + tail.size()): not yet taken; begins inside an entry unless pos is 0
    size_t scanned = 0;
    while (pos > 0 && scanned < kLogScanLimit) {
        size_t n = static_cast<size_t>(std::min<off_t>(pos, kLogChunk));
        std::string chunk(n + 1, '\0');  // with the byte before it: is the chunk's first byte a line's?
        off_t from = pos - static_cast<off_t>(n);
        off_t readFrom = from > 0 ? from - 1 : 0;
        size_t want = from > 0 ? n + 1 : n;
        ssize_t got = ::pread(fd.Get(), chunk.data(), want, readFrom);
        if (got != static_cast<ssize_t>(want)) throw RequestError(500, "The log cannot be read (it shrank?)");
        chunk.resize(want);
        bool lineBefore = from == 0 || chunk[0] == '\n';
        if (from > 0) chunk.erase(0, 1);
        tail = chunk + tail;
        pos = from;
        scanned += n;
        std::vector<size_t> starts;
        for (size_t at = 0; at < tail.size(); at = tail.find('\n', at), at = at == std::string::npos ? at : at + 1) {
            if ((at == 0 ? lineBefore : true) && StartsEntry(tail, at)) starts.push_back(at);
            if (at == std::string::npos) break;
        }
        for (size_t k = starts.size(); k-- > 0;) {
            size_t stop = k + 1 < starts.size() ? starts[k + 1] : tail.size();
            json entry = EntryJson(tail.substr(starts[k], stop - starts[k]), filter);
            if (entry.is_null()) continue;
            entries.push_back(std::move(entry));
            if (static_cast<int32_t>(entries.size()) == limit) {
                off_t next = pos + static_cast<off_t>(starts[k]);
                return {{"entries", entries}, {"next", next > 0 ? json(std::to_string(next)) : json(nullptr)}};
            }
        }
        tail.resize(starts.empty() ? tail.size() : starts.front());
        if (tail.size() > kLongestEntry) tail.clear();  // no head in a megabyte: no entry of ours
    }
    return {{"entries", entries}, {"next", pos > 0 ? json(std::to_string(pos + static_cast<off_t>(tail.size()))) : json(nullptr)}};
}

// ---- The last days -------------------------------------------------------------

json Daily(int32_t days) {
    ole::Date today = ole::Date::Today();
    std::string connection = Sls_ConnectionString();
    ole::Date first{today.serial - (days - 1)};
    std::map<int64_t, double> seconds;  // by day serial
    for (auto rs = Sls_GetDisconnectedRecordset(
             "SELECT STARTED, DURATIONMS FROM BATCHRUN WHERE STARTED >= ? AND DURATIONMS IS NOT NULL", connection,
             {Variant(first)});
         !rs->Eof(); rs->MoveNext())
        seconds[static_cast<int64_t>(rs->Fields("STARTED").Value().ToDate().DateOnly().serial)] +=
            rs->Fields("DURATIONMS").Value().ToLong() / 1000.0;
    json list = json::array();
    for (int32_t i = 0; i < days; ++i) {
        ole::Date day{first.serial + i};
        json byStatus = json::object();
        for (auto rs = Sls_GetDisconnectedRecordset(
                 "SELECT ORDERSTATUS, COUNT(*) AS ORDERS FROM ORDERHEADER WHERE ORDERDATE >= ? AND ORDERDATE < ? "
                 "GROUP BY ORDERSTATUS ORDER BY ORDERSTATUS",
                 connection, {Variant(day), Variant(ole::Date{day.serial + 1})});
             !rs->Eof(); rs->MoveNext())
            byStatus[rs->Fields("ORDERSTATUS").Value().Text()] = rs->Fields("ORDERS").Value().ToLong();
        auto found = seconds.find(static_cast<int64_t>(day.serial));
        list.push_back({{"date", day.Iso().substr(0, 10)},
                        {"ordersByStatus", byStatus},
                        {"batchSeconds", found == seconds.end() ? 0.0 : found->second}});
    }
    return {{"days", list}};
}

}  // namespace

void AddConsoleRoutes(Router& router) {
    router.Add("GET", "/api/v1/operator/me", Access::Operator, [](Call& call) {
        // a bearer call needs no token; a session's page reads it here
        std::string csrf = call.request.has_header("Authorization")
                               ? ""
                               : call.host.sessions.CsrfOf(HostState::SessionOf(call.request));
        call.Json(200, {{"operator", call.host.OperatorOf(call.request)}, {"csrfToken", csrf.empty() ? json(nullptr) : json(csrf)}});
    });

    router.Add("GET", "/api/v1/operator/batches", Access::Operator, [](Call& call) {
        int32_t limit = LimitOf(call.request);
        std::vector<Variant> params;
        std::string sql = "SELECT BATCHID, STARTED, FINISHED, DURATIONMS, OUTCOME, SUMMARY, RUNTRIGGER, OPERATORNAME, "
                          "STAGES FROM BATCHRUN" +
                          AfterCursor("BATCHRUN", "STARTED", "BATCHID", CursorOf(call.request), params) +
                          " ORDER BY STARTED DESC, BATCHID DESC LIMIT ?";
        params.emplace_back(limit + 1);
        json batches = json::array();
        json next = nullptr;
        for (auto rs = Sls_GetDisconnectedRecordset(sql, Sls_ConnectionString(), params); !rs->Eof(); rs->MoveNext()) {
            if (static_cast<int32_t>(batches.size()) == limit) {
                next = batches.back()["id"];
                break;
            }
            batches.push_back(BatchJson(*rs));
        }
        call.Json(200, {{"batches", batches}, {"next", next}});
    });

    router.Add("GET", "/api/v1/operator/daily", Access::Operator, [](Call& call) {
        Variant days = QueryValue(call.request, "days", ado::adInteger, false);
        int32_t count = days.IsNull() ? 30 : days.ToLong();
        if (count < 1 || count > 90) throw RequestError(400, "days: a whole number from 1 to 90 expected");
        call.Json(200, Daily(count));
    });

    router.Add("GET", "/api/v1/operator/log", Access::Operator, [](Call& call) {
        LogFilter filter;
        std::string level = call.request.get_param_value("level");
        if (level == "all") filter.all = true;
        else if (level == "error") filter.errorsOnly = true;
        else if (!level.empty() && level != "warning")
            throw RequestError(400, "level: \"warning\" (warnings and errors), \"error\" or \"all\" expected");
        if (std::string order = call.request.get_param_value("order"); !order.empty()) {
            if (order.size() != 32 || order.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw RequestError(400, "order: an order id of 32 hexadecimal characters expected");
            for (char& c : order) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            filter.order = order;
        }
        call.Json(200, LogPage(filter, LimitOf(call.request), CursorOf(call.request)));
    });

    router.Add("POST", "/api/v1/operator/batch", Access::Operator, [](Call& call) {
        std::string who = call.host.OperatorOf(call.request);
        bool started = call.host.batches.Start(who);
        RecordActivity(who, "Run batch now", started ? "started" : "a batch is already running",
                       call.response.get_header_value("X-Request-Id"));
        call.Json(started ? 202 : 409, {{"started", started}});
    });

    router.Add("GET", "/api/v1/operator/activity", Access::Operator, [](Call& call) {
        int32_t limit = LimitOf(call.request);
        std::vector<Variant> params;
        std::string sql = "SELECT ACTIVITYID, ACTIVITYTIME, OPERATORNAME, WHAT, DETAIL, REQUESTID FROM OPERATORACTIVITY" +
                          AfterCursor("OPERATORACTIVITY", "ACTIVITYTIME", "ACTIVITYID", CursorOf(call.request), params) +
                          " ORDER BY ACTIVITYTIME DESC, ACTIVITYID DESC LIMIT ?";
        params.emplace_back(limit + 1);
        json items = json::array();
        json next = nullptr;
        std::string lastId;
        for (auto rs = Sls_GetDisconnectedRecordset(sql, Sls_ConnectionString(), params); !rs->Eof(); rs->MoveNext()) {
            if (static_cast<int32_t>(items.size()) == limit) {
                next = lastId;
                break;
            }
            lastId = rs->Fields("ACTIVITYID").Value().Text();
            items.push_back({{"time", UtcText(rs->Fields("ACTIVITYTIME").Value().ToDate())},
                             {"operator", rs->Fields("OPERATORNAME").Value().Text()},
                             {"what", rs->Fields("WHAT").Value().Text()},
                             {"detail", rs->Fields("DETAIL").Value().Text()},
                             {"requestId", rs->Fields("REQUESTID").Value().Text()}});
        }
        call.Json(200, {{"activity", items}, {"next", next}});
    });
}

}  // namespace backoffice::http
