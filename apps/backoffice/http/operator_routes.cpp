// The operator page at "/": one server-rendered page without outside assets
// (it works without internet). It shows the orders by status, the latest
// orders, the export registry, the latest log entries and the batch, and runs
// a batch on request. The operator logs in with the operator key, which never
// travels in a URL: a form posts it once and gets a session cookie.
#include <sstream>

#include "http/http_host.h"
#include "http/http_routes.h"
#include "interfaces/vendalo/order_export_file.h"
#include "interfaces/vendalo/reporting.h"
#include "platform/automation/text.h"
#include "platform/xml/xml_text.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

// HTML text and attribute values: the XML escaper's output is valid HTML too.
std::string Escape(const std::string& text) { return qx::XmlEscaped(text, qx::XmlEscape::Attribute); }

const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #bbb;padding:.25em .6em;text-align:left;font-size:.9em}th{background:#eee}"
    "pre{background:#f6f6f6;padding:.5em;white-space:pre-wrap;font-size:.8em}"
    ".note{padding:.5em;background:#fff3cd;border:1px solid #e0c36c}button{font-size:1em;padding:.3em 1em}";

std::string Page(const std::string& title, const std::string& body, bool refresh = false) {
    std::ostringstream out;
    out << "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>" << Escape(title) << "</title>";
    if (refresh) out << "<meta http-equiv=\"refresh\" content=\"2\">";
    out << "<style>" << kStyle << "</style></head><body>" << body << "</body></html>";
    return out.str();
}

std::string LoginForm(const std::string& message) {
    std::string body = "<h1>Order back office</h1>";
    if (!message.empty()) body += "<p class=\"note\" id=\"message\">" + Escape(message) + "</p>";
    body +=
        "<form method=\"post\" action=\"/login\"><label>Operator key <input type=\"password\" name=\"key\" id=\"key\" "
        "autocomplete=\"current-password\"></label> <button type=\"submit\" id=\"login\">Log in</button></form>";
    return Page("Log in - order back office", body);
}

std::string Cell(const ole::Variant& v) { return "<td>" + Escape(v.Text()) + "</td>"; }

std::string BatchSection(const BatchRunner::Status& s) {
    std::ostringstream out;
    out << "<h2>Batch</h2><div id=\"batch\">";
    switch (s.state) {
        case BatchRunner::State::Idle: out << "<p>No batch was started from this page.</p>"; break;
        case BatchRunner::State::Running: out << "<p class=\"note\" id=\"batch-state\">The batch is running.</p>"; break;
        case BatchRunner::State::AlreadyRunning:
            out << "<p class=\"note\" id=\"batch-state\">a batch is already running</p>";
            break;
        case BatchRunner::State::Finished:
            out << "<p id=\"batch-state\">The batch has ended.</p><pre id=\"batch-summary\">" << Escape(s.output) << "</pre>";
            break;
        case BatchRunner::State::Failed:
            out << "<p class=\"note\" id=\"batch-state\">The batch failed (exit code " << s.exitCode << ").</p><pre>"
                << Escape(s.output) << "</pre>";
            break;
    }
    out << "<form method=\"post\" action=\"/batch\"><button type=\"submit\" id=\"run-batch\">Run batch now</button></form>"
        << "</div>";
    return out.str();
}

std::string OperatorPage(HostState& host) {
    auto reporting = Sls_GetComponent<vendalo::IReporting>("Vendalo.Reporting");
    BatchRunner::Status batch = host.batches.Current();
    std::ostringstream out;
    out << "<h1>Order back office</h1><p>Installation " << Escape(host.home.string())
        << " <form method=\"post\" action=\"/logout\" style=\"display:inline\"><button type=\"submit\">Log out</button>"
           "</form></p>";
    if (batch.state == BatchRunner::State::AlreadyRunning || (batch.state == BatchRunner::State::Running && !batch.output.empty()))
        out << "<p class=\"note\">a batch is already running</p>";
    out << BatchSection(batch);

    out << "<h2>Orders by status</h2><table id=\"status-counts\"><tr><th>status</th><th>name</th><th>orders</th></tr>";
    for (auto rs = reporting->OrderCountsByStatus(); !rs->Eof(); rs->MoveNext()) {
        int32_t status = rs->Fields("ORDERSTATUS").Value().ToLong();
        out << "<tr>" << Cell(status) << Cell(vendalo::StatusName(static_cast<vendalo::OrderStatus>(status))) << Cell(rs->Fields("ORDERS").Value())
            << "</tr>";
    }
    out << "</table>";

    out << "<h2>Latest orders</h2><table id=\"orders\"><tr><th>order</th><th>partner</th><th>instance</th><th>status</th>"
           "<th>sales order</th><th>date</th></tr>";
    for (auto rs = reporting->ListOrders(ole::Null, ole::Null, 25, ""); !rs->Eof(); rs->MoveNext()) {
        int32_t status = rs->Fields("ORDERSTATUS").Value().ToLong();
        out << "<tr class=\"order\" data-status=\"" << status << "\">" << Cell(rs->Fields("ORDERID").Value())
            << Cell(rs->Fields("BUSINESSPARTNERID").Value()) << Cell(rs->Fields("BISID").Value())
            << Cell(std::to_string(status) + " " + vendalo::StatusName(static_cast<vendalo::OrderStatus>(status)))
            << Cell(rs->Fields("SALESORDERNR").Value()) << Cell(rs->Fields("ORDERDATE").Value()) << "</tr>";
    }
    out << "</table>";

    out << "<h2>Export registry</h2><table id=\"registry\"><tr>";
    auto registry = Sls_GetComponent<vendalo::IOrderExportFile>("Vendalo.OrderExportFile")->GetAllInstances();
    for (int i = 0; i < registry->FieldCount(); ++i) out << "<th>" << Escape(registry->Fields(i).Name()) << "</th>";
    out << "</tr>";
    for (; !registry->Eof(); registry->MoveNext()) {
        out << "<tr>";
        for (int i = 0; i < registry->FieldCount(); ++i) {
            auto field = registry->Fields(i);
            bool secret = ole::UpperCase(field.Name()) == "PASSWORD" && !field.Value().Text().empty();
            out << (secret ? "<td>***</td>" : Cell(field.Value()));
        }
        out << "</tr>";
    }
    out << "</table>";

    out << "<h2>Log (last 50 entries)</h2><pre id=\"log\">";
    for (const auto& entry : reporting->LatestLogEntries(50)) out << Escape(entry);
    out << "</pre>";
    return Page("Order back office", out.str(), batch.state == BatchRunner::State::Running);
}

std::string SessionCookie(const HostState& host, const std::string& token, int maxAge) {
    return "session=" + token + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(maxAge) +
           (host.tls ? "; Secure" : "");
}

}  // namespace

void AddOperatorRoutes(Router& router) {
    router.Add("GET", "/login", Access::Public, [](Call& call) { call.Html(200, LoginForm("")); });

    router.Add("POST", "/login", Access::Public, [](Call& call) {
        // the key comes in the form's body only: a URL ends up in logs and histories
        if (call.request.target.find('?') != std::string::npos)
            throw RequestError(400, "The operator key is taken from the form's body only, never from the URL");
        std::string type = call.request.get_header_value("Content-Type");
        if (!call.request.body.empty() && type.substr(0, type.find(';')) != "application/x-www-form-urlencoded")
            throw RequestError(415, "The log-in is a form post (Content-Type: application/x-www-form-urlencoded)");
        std::string key = call.request.get_param_value("key");
        httplib::Request asBearer;
        asBearer.set_header("Authorization", "Bearer " + key);
        if (key.empty() || !call.host.Allowed(Access::Operator, asBearer)) {
            call.Html(401, LoginForm("That is not the operator key."));
            return;
        }
        int minutes = call.host.settings.sessionMinutes;
        call.response.set_header("Set-Cookie",
                                 SessionCookie(call.host, call.host.sessions.Open(std::chrono::minutes(minutes), "operator key"), minutes * 60));
        call.Redirect("/");
    });

    router.Add("POST", "/logout", Access::Public, [](Call& call) {
        call.host.sessions.Close(HostState::SessionOf(call.request));
        call.response.set_header("Set-Cookie", SessionCookie(call.host, "", 0));
        call.Redirect("/login");
    });

    router.Add("GET", "/", Access::Operator, [](Call& call) { call.Html(200, OperatorPage(call.host)); });

    router.Add("POST", "/batch", Access::Operator, [](Call& call) {
        bool started = call.host.batches.Start();
        if (call.request.get_header_value("Accept").find("application/json") != std::string::npos) {
            call.Json(started ? 202 : 409, {{"started", started}});
            return;
        }
        call.Redirect("/");
    });
}

}  // namespace backoffice::http
