// What the host says about itself: /health for load balancers and service
// managers, /metrics for Prometheus, and the API description.
#include <ctime>
#include <sstream>

#include "http/http_host.h"
#include "http/http_routes.h"
#include "installation/sql_scripts.h"
#include "interfaces/vendalo/order.h"
#include "interfaces/vendalo/reporting.h"
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

std::string OrderAndBatchMetrics() {
    auto reporting = Sls_GetComponent<vendalo::IReporting>("Vendalo.Reporting");
    std::ostringstream out;
    out << "# HELP backoffice_orders Orders in the database, by status.\n# TYPE backoffice_orders gauge\n";
    for (auto rs = reporting->OrderCountsByStatus(); !rs->Eof(); rs->MoveNext()) {
        int32_t status = rs->Fields("ORDERSTATUS").Value().ToLong();
        out << "backoffice_orders{status=\"" << status << "\",name=\"" << vendalo::StatusName(static_cast<vendalo::OrderStatus>(status)) << "\"} "
            << rs->Fields("ORDERS").Value().Text() << "\n";
    }
    auto totals = reporting->BatchTotals();
    out << "# HELP backoffice_batches_total Batch runs recorded.\n# TYPE backoffice_batches_total counter\n"
        << "backoffice_batches_total " << totals->Fields("BATCHES").Value().Text() << "\n"
        << "# HELP backoffice_batches_failed_total Batch runs that stopped early or failed.\n"
        << "# TYPE backoffice_batches_failed_total counter\n"
        << "backoffice_batches_failed_total " << totals->Fields("FAILED").Value().Text() << "\n";
    auto last = reporting->LatestBatchRuns(1);
    if (!last->Eof()) {
        out << "# HELP backoffice_last_batch_duration_seconds How long the last batch ran.\n"
            << "# TYPE backoffice_last_batch_duration_seconds gauge\n"
            << "backoffice_last_batch_duration_seconds " << last->Fields("DURATIONMS").Value().ToDouble() / 1000.0 << "\n"
            << "# HELP backoffice_last_batch_timestamp_seconds When the last batch started.\n"
            << "# TYPE backoffice_last_batch_timestamp_seconds gauge\n"
            << "backoffice_last_batch_timestamp_seconds " << std::fixed
            << UnixSeconds(last->Fields("STARTED").Value().ToDate()) << std::defaultfloat << "\n";
    }
    return out.str();
}

}  // namespace

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

    router.Add("GET", "/metrics", Access::Operator, [](Call& call) {
        std::string text = OrderAndBatchMetrics() + call.host.metrics.Text();
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
