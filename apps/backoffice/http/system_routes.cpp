// What the host says about itself: /health for load balancers and service
// managers, /metrics for Prometheus, and the API description.
#include <algorithm>
#include <array>
#include <ctime>
#include <iomanip>
#include <map>
#include <sstream>
#include <system_error>

#include "commands/use_installation.h"
#include "http/http_host.h"
#include "http/http_routes.h"
#include "installation/sql_scripts.h"
#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/reporting.h"
#include "platform/automation/text.h"
#include "platform/log/log.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

// A local date and time as seconds since the Unix epoch.
double UnixSeconds(ole::Date d) {
    auto [year, month, day, hour, minute, second, millisecond] = d.ToCalendar();
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return static_cast<double>(std::mktime(&parts)) + millisecond / 1000.0;
}

// The age of a local date and time, in seconds (0 for Null).
double AgeSeconds(const ole::Variant& date, ole::Date now) {
    if (date.IsNull()) return 0;
    return std::max(0.0, (now.serial - date.ToDate().serial) * 86400.0);
}

void Help(std::ostream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

std::string OrderAndBatchMetrics() {
    auto reporting = Sls_GetComponent<vendalo::IReporting>("Vendalo.Reporting");
    std::ostringstream out;
    // every status is present, 0 when it has no order: an alert sees a status that empties
    std::map<int32_t, std::string> counts;
    for (auto rs = reporting->OrderCountsByStatus(); !rs->Eof(); rs->MoveNext())
        counts[rs->Fields("ORDERSTATUS").Value().ToLong()] = rs->Fields("ORDERS").Value().Text();
    auto label = [](int32_t status) {
        return "status=\"" + std::to_string(status) + "\",name=\"" +
               vendalo::StatusName(static_cast<vendalo::OrderStatus>(status)) + "\"";
    };
    Help(out, "backoffice_orders", "gauge", "Orders in the database, by status.");
    for (int32_t status = 0; status <= 8; ++status)
        out << "backoffice_orders{" << label(status) << "} " << (counts.count(status) ? counts[status] : "0") << "\n";
    Help(out, "backoffice_oldest_order_age_seconds", "gauge",
         "Age of the oldest order in each status, from its order date (0 when the status has none).");
    auto oldest = reporting->OldestOrderDates();
    ole::Date now = ole::Date::Now();
    for (int32_t status = 0; status <= 8 && status < static_cast<int32_t>(oldest.size()); ++status)
        out << "backoffice_oldest_order_age_seconds{" << label(status) << "} " << std::fixed << std::setprecision(3)
            << AgeSeconds(oldest[status], now) << std::defaultfloat << "\n";

    auto totals = reporting->BatchTotals();
    Help(out, "backoffice_batches_total", "counter", "Batch runs recorded.");
    out << "backoffice_batches_total " << totals->Fields("BATCHES").Value().Text() << "\n";
    Help(out, "backoffice_batches_failed_total", "counter", "Batch runs that stopped early or failed.");
    out << "backoffice_batches_failed_total " << totals->Fields("FAILED").Value().Text() << "\n";
    auto last = reporting->LatestBatchRuns(1);
    if (!last->Eof()) {
        Help(out, "backoffice_last_batch_duration_seconds", "gauge", "How long the last batch ran.");
        out << "backoffice_last_batch_duration_seconds " << last->Fields("DURATIONMS").Value().ToDouble() / 1000.0 << "\n";
        Help(out, "backoffice_last_batch_timestamp_seconds", "gauge", "When the last batch started.");
        out << "backoffice_last_batch_timestamp_seconds " << std::fixed
            << UnixSeconds(last->Fields("STARTED").Value().ToDate()) << std::defaultfloat << "\n";
        Help(out, "backoffice_last_batch_outcome", "gauge", "Outcome of the last batch: 0 ran, 1 a part stopped, 2 failed.");
        out << "backoffice_last_batch_outcome " << last->Fields("OUTCOME").Value().Text() << "\n";
    }

    // per back-end instance, from the totals each batch adds to
    std::ostringstream exported, confirmations;
    for (auto rs = reporting->BatchInstanceTotals(); !rs->Eof(); rs->MoveNext()) {
        std::string instance = LabelValue(rs->Fields("BISID").Value().Text()), name = rs->Fields("COUNTNAME").Value().Text();
        std::string total = rs->Fields("TOTAL").Value().Text();
        if (name == "exported")
            exported << "backoffice_batch_orders_exported_total{instance=\"" << instance << "\"} " << total << "\n";
        else
            confirmations << "backoffice_batch_confirmations_total{instance=\"" << instance << "\",result=\""
                          << (name == "confirmed" ? "applied" : LabelValue(name)) << "\"} " << total << "\n";
    }
    Help(out, "backoffice_batch_orders_exported_total", "counter", "Orders the batches exported, by back-end instance.");
    out << exported.str();
    Help(out, "backoffice_batch_confirmations_total", "counter",
         "Confirmation entries the batches read, by back-end instance and result (applied, refused, unmatched).");
    out << confirmations.str();
    return out.str();
}

std::string GatewayMetrics(Metrics& metrics) {
    std::lock_guard lock(metrics.gatewayMutex);
    ordexa::GatewayTally& tally = metrics.gateway;
    tally.Update(Sls_ConnectionString());
    std::ostringstream out;
    Help(out, "backoffice_gateway_requests_total", "counter",
         "Card gateway requests whose outcome is known, by operation and result.");
    for (const auto& [key, n] : tally.Outcomes())
        out << "backoffice_gateway_requests_total{operation=\"" << LabelValue(key.first) << "\",result=\"" << key.second
            << "\"} " << n << "\n";
    Help(out, "backoffice_gateway_requests_open", "gauge", "Card gateway requests whose outcome is unknown (sent, no reply).");
    out << "backoffice_gateway_requests_open " << tally.Open() << "\n";
    Help(out, "backoffice_gateway_request_duration_seconds", "histogram",
         "Time from sending a card gateway request to its reply, by operation.");
    for (const auto& [operation, l] : tally.Latencies()) {
        std::string op = LabelValue(operation);
        for (size_t i = 0; i < ordexa::GatewayTally::kBuckets.size(); ++i)
            out << "backoffice_gateway_request_duration_seconds_bucket{operation=\"" << op << "\",le=\""
                << ordexa::GatewayTally::kBuckets[i] << "\"} " << l.buckets[i] << "\n";
        out << "backoffice_gateway_request_duration_seconds_bucket{operation=\"" << op << "\",le=\"+Inf\"} " << l.count << "\n"
            << "backoffice_gateway_request_duration_seconds_sum{operation=\"" << op << "\"} " << l.sum << "\n"
            << "backoffice_gateway_request_duration_seconds_count{operation=\"" << op << "\"} " << l.count << "\n";
    }
    return out.str();
}

// The calls to the outside systems as the EXCHANGE table keeps them: counts by
// outcome and a latency histogram per kind of call. The database sums the
// buckets (a few rows per kind, whatever the table holds); the counters fall
// back when old rows are pruned, which Prometheus reads as a reset.
std::string OutsideCallMetrics() {
    static const std::array<int32_t, 10> kBucketsMs = {50, 100, 250, 500, 1000, 2500, 5000, 10000, 30000, 60000};
    static const char* const kKinds[] = {"gateway request", "business object call", "broker post"};
    std::string sql = "SELECT KIND, OUTCOME, COUNT(*), COUNT(DURATIONMS), SUM(DURATIONMS)";
    for (size_t i = 0; i < kBucketsMs.size(); ++i) sql += ", SUM(CASE WHEN DURATIONMS <= ? THEN 1 ELSE 0 END)";
    sql += " FROM EXCHANGE WHERE KIND IN (?, ?, ?) GROUP BY KIND, OUTCOME ORDER BY KIND, OUTCOME";
    std::vector<ole::Variant> params(kBucketsMs.begin(), kBucketsMs.end());
    for (const char* kind : kKinds) params.emplace_back(kind);
    struct Latency {
        int64_t count = 0, sumMs = 0;
        std::array<int64_t, kBucketsMs.size()> buckets{};
    };
    std::map<std::string, Latency> latencies;
    for (const char* kind : kKinds) latencies[kind];  // every kind present, 0 without calls
    std::ostringstream out, calls;
    auto whole = [](const ole::Variant& v) { return v.IsNull() ? int64_t{0} : static_cast<int64_t>(v.ToDouble()); };
    auto c = Sls_GetOpenConnection(Sls_ConnectionString());
    for (auto rs = c->Execute(sql, nullptr, -1, params); !rs->Eof(); rs->MoveNext()) {
        std::string kind = rs->Fields(0).Value().Text();
        calls << "backoffice_outside_calls_total{call=\"" << LabelValue(kind) << "\",outcome=\""
              << LabelValue(rs->Fields(1).Value().Text()) << "\"} " << whole(rs->Fields(2).Value()) << "\n";
        Latency& l = latencies[kind];
        l.count += whole(rs->Fields(3).Value());
        l.sumMs += whole(rs->Fields(4).Value());
        for (size_t i = 0; i < kBucketsMs.size(); ++i) l.buckets[i] += whole(rs->Fields(static_cast<int>(5 + i)).Value());
    }
    Help(out, "backoffice_outside_calls_total", "counter",
         "Calls to the card gateway, the back end's business objects and the requisition broker, by outcome.");
    out << calls.str();
    Help(out, "backoffice_outside_call_duration_seconds", "histogram",
         "Time the card gateway, the back end's business objects and the requisition broker took to answer a call.");
    for (const auto& [kind, l] : latencies) {
        std::string call = "call=\"" + LabelValue(kind) + "\"";
        for (size_t i = 0; i < kBucketsMs.size(); ++i)
            out << "backoffice_outside_call_duration_seconds_bucket{" << call << ",le=\"" << kBucketsMs[i] / 1000.0
                << "\"} " << l.buckets[i] << "\n";
        out << "backoffice_outside_call_duration_seconds_bucket{" << call << ",le=\"+Inf\"} " << l.count << "\n"
            << "backoffice_outside_call_duration_seconds_sum{" << call << "} " << l.sumMs / 1000.0 << "\n"
            << "backoffice_outside_call_duration_seconds_count{" << call << "} " << l.count << "\n";
    }
    return out.str();
}

std::string BuildMetrics() {
    std::ostringstream out;
    Help(out, "backoffice_build_info", "gauge", "The version and commit of the running program.");
    out << "backoffice_build_info{version=\"" << LabelValue(BACKOFFICE_VERSION) << "\",commit=\""
        << LabelValue(BACKOFFICE_COMMIT) << "\"} 1\n";
    return out.str();
}

}  // namespace

std::vector<std::string> ReadinessProblems(const HostState& host) {
    std::vector<std::string> problems;
    try {
        ReadHostSettings(host.home);
        Sls_ConnectionString();
    } catch (const std::exception& e) {
        problems.push_back("the configuration cannot be used: " + ole::EscapeControls(Reason(e)));
    }
    if (std::string why = qx::LogSettingsProblem(); !why.empty()) problems.push_back("the log settings cannot be used: " + why);
    try {
        Sls_GetComponent<vendalo::IOrder>("Vendalo.Order")->OrdersExist();
    } catch (const ole::AutomationError&) {
        problems.push_back("the database cannot be reached");
    }
    try {
        qx::CheckLogWritable();
    } catch (const std::system_error& e) {
        problems.push_back("the log cannot be written: " + e.code().message());
    }
    return problems;
}

void AddSystemRoutes(Router& router) {
    router.Add("GET", "/health", Access::Public, [](Call& call) {
        try {
            Sls_GetComponent<vendalo::IOrder>("Vendalo.Order")->OrdersExist();
            call.Json(200, {{"status", "ok"}});
        } catch (const ole::AutomationError&) {
            call.response.set_header("Retry-After", "5");
            call.Json(503, {{"status", "the database cannot be reached"}});
        }
    });

    router.Add("GET", "/ready", Access::Public, [](Call& call) {
        auto problems = ReadinessProblems(call.host);
        if (problems.empty()) return call.Json(200, {{"status", "ready"}});
        call.response.set_header("Retry-After", "5");
        call.Json(503, {{"status", "not ready"}, {"reasons", problems}});
    });

    router.Add("GET", "/metrics", Access::Operator, [](Call& call) {
        std::ostringstream ready;
        Help(ready, "backoffice_ready", "gauge", "1 when the host is ready (as GET /ready answers), else 0.");
        ready << "backoffice_ready " << (ReadinessProblems(call.host).empty() ? 1 : 0) << "\n";
        std::string text = BuildMetrics() + ready.str() + OrderAndBatchMetrics() + GatewayMetrics(call.host.metrics) +
                           OutsideCallMetrics() +
                           call.host.metrics.Text() + ProcessMetrics();
        call.response.status = 200;
        call.response.set_content(text, "text/plain; version=0.0.4");
    });

    router.Add("GET", "/api/v1/openapi.json", Access::Public, [](Call& call) {
        static const std::string description = ReadShippedFile("api/openapi.json");
        call.response.status = 200;
        call.response.set_content(description, "application/json");
    });
}

}  // namespace backoffice::http
