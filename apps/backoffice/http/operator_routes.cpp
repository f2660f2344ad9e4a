// The console's pages and its log-in. The pages are static files compiled
// into the binary (console_files.h): "/" is the console, "/console/<file>" its
// assets; they fetch what they show from the operator API (console_routes.cpp
// and its neighbours) and insert every outside text as text. The operator logs
// in with a personal key (`backoffice operator add`) or the shared operator
// key; a key never travels in a URL: a form posts it once and gets a session
// cookie, and the session names the person.
#include <sstream>
#include <string_view>

#include "http/console_files.h"
#include "http/http_host.h"
#include "http/http_routes.h"
#include "http/operators.h"
#include "platform/os/sha256.h"
#include "platform/xml/xml_text.h"
#include "shared/lib_sales.h"

namespace backoffice::http {

namespace {

// HTML text and attribute values: the XML escaper's output is valid HTML too.
std::string Escape(const std::string& text) { return qx::XmlEscaped(text, qx::XmlEscape::Attribute); }

// What every page and asset is answered with: its own scripts and styles only,
// nothing inline, never framed.
void PageHeaders(Call& call) {
    call.response.set_header("Content-Security-Policy",
                             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                             "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    call.response.set_header("X-Content-Type-Options", "nosniff");
    call.response.set_header("Referrer-Policy", "no-referrer");
}

std::string LoginForm(const std::string& message) {
    std::ostringstream out;
    out << "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Log in - order back office</title>"
           "<link rel=\"stylesheet\" href=\"/console/console.css\"></head><body class=\"login\"><main>"
           "<h1>Order back office</h1>";
    if (!message.empty()) out << "<p class=\"note\" id=\"message\" role=\"alert\">" << Escape(message) << "</p>";
    out << "<form method=\"post\" action=\"/login\"><label for=\"key\">Operator key</label> "
           "<input type=\"password\" name=\"key\" id=\"key\" autocomplete=\"current-password\" required> "
           "<button type=\"submit\" id=\"login\">Log in</button></form></main></body></html>";
    return out.str();
}

std::string SessionCookie(const HostState& host, const std::string& token, int maxAge) {
    return "session=" + token + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(maxAge) +
           (host.tls ? "; Secure" : "");
}

std::string RequestIdOf(const Call& call) { return call.response.get_header_value("X-Request-Id"); }

void Record(const Call& call, const std::string& who, const std::string& what, const std::string& detail) {
    RecordActivity(who, what, detail, RequestIdOf(call));
}

const embedded::File* ConsoleFile(std::string_view name) {
    for (size_t i = 0; i < embedded::kConsoleFileCount; ++i)
        if (embedded::kConsoleFiles[i].name == name) return &embedded::kConsoleFiles[i];
    return nullptr;
}

std::string ContentTypeOf(std::string_view name) {
    auto endsWith = [&](std::string_view end) { return name.size() >= end.size() && name.substr(name.size() - end.size()) == end; };
    if (endsWith(".html")) return "text/html; charset=utf-8";
    if (endsWith(".css")) return "text/css; charset=utf-8";
    if (endsWith(".js")) return "text/javascript; charset=utf-8";
    if (endsWith(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

// An asset answered with its ETag (the SHA-256 of its bytes): a browser asks
// again each time and gets 304 while the binary is the same.
void ServeFile(Call& call, const embedded::File& file) {
    PageHeaders(call);
    std::string etag = "\"" + os::Sha256Hex(file.bytes).substr(0, 32) + "\"";
    call.response.set_header("ETag", etag);
    call.response.set_header("Cache-Control", "no-cache");
    if (call.request.get_header_value("If-None-Match") == etag) {
        call.response.status = 304;
        return;
    }
    call.response.status = 200;
    call.response.set_content(std::string(file.bytes), ContentTypeOf(file.name));
}

}  // namespace

void AddOperatorRoutes(Router& router) {
    router.Add("GET", "/login", Access::Public, [](Call& call) {
        PageHeaders(call);
        call.Html(200, LoginForm(""));
    });

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
        std::string who = key.empty() ? "" : call.host.OperatorOf(asBearer);
        if (who.empty()) {
            // never the key tried: only where it came from
            Record(call, "", "failed login", "from " + call.request.remote_addr);
            PageHeaders(call);
            call.Html(401, LoginForm("That is not an operator key."));
            return;
        }
        int minutes = call.host.settings.sessionMinutes;
        call.response.set_header("Set-Cookie",
                                 SessionCookie(call.host, call.host.sessions.Open(std::chrono::minutes(minutes), who), minutes * 60));
        Record(call, who, "login", "from " + call.request.remote_addr);
        call.Redirect("/");
    });

    router.Add("POST", "/logout", Access::Public, [](Call& call) {
        std::string token = HostState::SessionOf(call.request);
        std::string who = call.host.sessions.OperatorOf(token);
        call.host.sessions.Close(token);
        if (!who.empty()) Record(call, who, "logout", "");
        call.response.set_header("Set-Cookie", SessionCookie(call.host, "", 0));
        call.Redirect("/login");
    });

    router.Add("GET", "/", Access::Operator, [](Call& call) {
        ServeFile(call, *ConsoleFile("index.html"));
        call.response.set_header("Cache-Control", "no-store");
    });

    // a deep link to an order: the console's page, whose script opens that order
    router.Add("GET", "/order/{id}", Access::Operator, [](Call& call) {
        call.Id();
        ServeFile(call, *ConsoleFile("index.html"));
        call.response.set_header("Cache-Control", "no-store");
    });

    router.Add("GET", "/console/{file}", Access::Public, [](Call& call) {
        const embedded::File* file = ConsoleFile(call.Param("file"));
        if (!file) throw RequestError(404, "There is no such file of the console");
        ServeFile(call, *file);
    });
}

}  // namespace backoffice::http
