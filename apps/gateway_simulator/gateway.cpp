#include "gateway.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

namespace gatewaysim {
namespace {

constexpr const char* kDeclinedCard = "4000000000000002";

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return text.substr(b, text.find_last_not_of(" \t") - b + 1);
}

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string UtcTime(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool LuhnValid(const std::string& number) {
    if (number.size() < 12 || number.size() > 19) return false;
    int sum = 0;
    bool twice = false;
    for (auto it = number.rbegin(); it != number.rend(); ++it) {
        if (*it < '0' || *it > '9') return false;
        int d = *it - '0';
        if (twice && (d *= 2) > 9) d -= 9;
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

std::string LastFour(const std::string& number) {
    if (number.empty()) return "";
    return number.size() <= 4 ? std::string(number.size(), '*') : "****" + number.substr(number.size() - 4);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> Decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) return std::nullopt;
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The sum of the offers: "offerN=quantity:2^amount:10.50" counts 21.00.
std::optional<Units> OfferSum(const Fields& request, bool& any) {
    Units sum = 0;
    any = false;
    for (const auto& [name, value] : request) {
        std::string n = Lower(name);
        if (n.rfind("offer", 0) != 0 || n.size() == 5 ||
            !std::all_of(n.begin() + 5, n.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
            continue;
        any = true;
        Units amount = 0;
        int64_t quantity = 1;
        size_t start = 0;
        while (start <= value.size()) {
            size_t end = value.find('^', start);
            std::string part = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
            size_t colon = part.find(':');
            if (colon != std::string::npos) {
                std::string key = Lower(part.substr(0, colon)), text = part.substr(colon + 1);
                if (key == "amount") {
                    auto parsed = ParseAmount(text);
                    if (!parsed) return std::nullopt;
                    amount = *parsed;
                } else if (key == "quantity") {
                    try {
                        quantity = std::stoll(text);
                    } catch (...) {
                        return std::nullopt;
                    }
                }
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
        sum += amount * quantity;
    }
    return sum;
}

// The cents of an amount (0..99), or -1 when it has parts of a cent.
int Cents(Units amount) {
    Units a = amount < 0 ? -amount : amount;
    if (a % 100 != 0) return -1;
    return static_cast<int>((a / 100) % 100);
}

void Refuse(Fields& reply, const std::string& prefix, const std::string& flag, const std::string& message) {
    reply.emplace_back(prefix + "_rcode", "0");
    reply.emplace_back(prefix + "_rflag", flag);
    reply.emplace_back(prefix + "_rmsg", message);
}

}  // namespace

std::optional<Units> ParseAmount(const std::string& text) {
    std::string t = Trim(text);
    if (t.empty()) return std::nullopt;
    bool negative = t[0] == '-';
    size_t i = negative ? 1 : 0;
    Units whole = 0, fraction = 0;
    int fractionDigits = 0;
    bool digits = false;
    for (; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i, digits = true) {
        whole = whole * 10 + (t[i] - '0');
        if (whole > 100000000000000LL) return std::nullopt;
    }
    if (i < t.size() && t[i] == '.') {
        for (++i; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i, digits = true) {
            if (++fractionDigits > 4) return std::nullopt;
            fraction = fraction * 10 + (t[i] - '0');
        }
    }
    if (i != t.size() || !digits) return std::nullopt;
    for (int k = fractionDigits; k < 4; ++k) fraction *= 10;
    Units value = whole * 10000 + fraction;
    return negative ? -value : value;
}

std::string FormatAmount(Units amount) {
    bool negative = amount < 0;
    Units a = negative ? -amount : amount;
    std::string text = std::to_string(a / 10000);
    Units fraction = a % 10000;
    if (fraction) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, 4 - digits.size(), '0');
        while (digits.back() == '0') digits.pop_back();
        text += "." + digits;
    }
    return negative ? "-" + text : text;
}

std::string Value(const Fields& fields, const std::string& name) {
    std::string key = Lower(name);
    for (const auto& [n, v] : fields)
        if (Lower(n) == key) return v;
    return "";
}

std::optional<Fields> DecodeForm(const std::string& body) {
    Fields fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        std::string pair = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!pair.empty()) {
            size_t eq = pair.find('=');
            auto name = Decode(pair.substr(0, eq));
            auto value = Decode(eq == std::string::npos ? "" : pair.substr(eq + 1));
            if (!name || !value) return std::nullopt;
            fields.emplace_back(*name, *value);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return fields;
}

std::string EncodeForm(const Fields& fields) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty()) out += '&';
        for (const std::string* part : {&name, &value}) {
            for (unsigned char c : *part) {
                if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '*') {
                    out += static_cast<char>(c);
                } else {
                    out += '%';
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                }
            }
            if (part == &name) out += '=';
        }
    }
    return out;
}

std::string Gateway::NextRequestId() {
    // numeric, unique within a run and across restarts of the simulator. An id
    // that passes a card number's check digit is skipped: the system masks such
    // digit runs in the gateway's texts, and the tests tell the ids from cards.
    static const int64_t base = NowSeconds() * 1000000;
    std::string id;
    do id = std::to_string(base + ++counter_);
    while (LuhnValid(id));
    return id;
}

void Gateway::Authorize(const Fields& request, Units amount, Account& account, Fields& reply, bool& ok) {
    std::string card = Value(request, "customer_cc_number");
    if (!LuhnValid(card)) {
        Refuse(reply, "auth", "DINVALIDCARD", "The card number is invalid");
        ok = false;
        return;
    }
    if (card == kDeclinedCard) {
        Refuse(reply, "auth", "DCARDREFUSED", "The card was declined by the issuer");
        ok = false;
        return;
    }
    if (amount <= 0) {
        Refuse(reply, "auth", "DINVALIDAMOUNT", "The amount must be positive");
        ok = false;
        return;
    }
    int64_t now = NowSeconds();
    std::string id = Value(reply, "request_id");
    account.authorizations.push_back({id, amount, 0, now});
    reply.emplace_back("auth_rcode", "1");
    reply.emplace_back("auth_rflag", "SOK");
    reply.emplace_back("auth_rmsg", "Request was processed successfully.");
    reply.emplace_back("auth_auth_code", std::to_string(100000 + counter_ % 900000));
    reply.emplace_back("auth_auth_time", UtcTime(now));
    reply.emplace_back("auth_auth_amount", FormatAmount(amount));
    reply.emplace_back("auth_auth_avs", "Y");
}

void Gateway::Capture(const std::string& authRequestId, Units amount, Account& account, Fields& reply, bool& ok) {
    auto auth = std::find_if(account.authorizations.begin(), account.authorizations.end(),
                             [&](const Authorization& a) { return a.requestId == authRequestId; });
    if (auth == account.authorizations.end()) {
        Refuse(reply, "bill", "DNOAUTH", "No authorisation " + authRequestId + " for this merchant reference");
        ok = false;
        return;
    }
    if (amount <= 0 || amount > auth->amount - auth->captured) {
        Refuse(reply, "bill", "DINVALIDAMOUNT", "The amount exceeds what the authorisation holds");
        ok = false;
        return;
    }
    if (Cents(amount) == 13) {
        Refuse(reply, "bill", "DPAYMENTREFUSED", "The capture was refused by the processor");
        ok = false;
        return;
    }
    auth->captured += amount;
    std::string id = Value(reply, "request_id");
    account.captures.push_back({id, authRequestId, amount, 0});
    reply.emplace_back("bill_rcode", "1");
    reply.emplace_back("bill_rflag", "SOK");
    reply.emplace_back("bill_rmsg", "Request was processed successfully.");
    reply.emplace_back("bill_bill_amount", FormatAmount(amount));
    reply.emplace_back("bill_bill_request_time", UtcTime(NowSeconds()));
}

void Gateway::Credit(const Fields& request, Units amount, Account& account, Fields& reply, bool& ok) {
    std::string billId = Value(request, "bill_request_id");
    reply.emplace_back("bill_request_id", billId);
    auto capture = std::find_if(account.captures.begin(), account.captures.end(),
                                [&](const struct Capture& c) { return c.requestId == billId; });
    if (capture == account.captures.end()) {
        Refuse(reply, "credit", "DNOCAPTURE", "No capture " + billId + " for this merchant reference");
        ok = false;
        return;
    }
    if (amount <= 0 || amount > capture->amount - capture->credited) {
        Refuse(reply, "credit", "DINVALIDAMOUNT", "The amount exceeds what the capture took less earlier credits");
        ok = false;
        return;
    }
    capture->credited += amount;
    reply.emplace_back("credit_rcode", "1");
    reply.emplace_back("credit_rflag", "SOK");
    reply.emplace_back("credit_rmsg", "Request was processed successfully.");
    reply.emplace_back("credit_credit_amount", FormatAmount(amount));
    reply.emplace_back("credit_credit_request_time", UtcTime(NowSeconds()));
}

void Gateway::Query(const Fields& request, Fields& reply) {
    auto found = byClientRequestId_.find(Value(request, "query_client_request_id"));
    if (found == byClientRequestId_.end()) {
        reply.emplace_back("query_rcode", "0");
        reply.emplace_back("query_rmsg", "No request with that client request id");
        return;
    }
    reply.emplace_back("query_rcode", "1");
    reply.emplace_back("query_applications", found->second.applications);
    for (const auto& [name, value] : found->second.reply) reply.emplace_back("original_" + name, value);
}

Reply Gateway::Handle(const Fields& request, JournalEntry& journal) {
    std::lock_guard lock(mutex_);
    Reply result;
    Fields& reply = result.fields;
    std::string requestId = NextRequestId();
    std::string applications = Lower(Value(request, "ics_applications"));
    std::vector<std::string> apps;
    for (size_t start = 0; start <= applications.size();) {
        size_t comma = applications.find(',', start);
        std::string app = Trim(applications.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!app.empty()) apps.push_back(app);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    auto has = [&](const char* app) { return std::find(apps.begin(), apps.end(), app) != apps.end(); };
    bool anyOffer = false;
    std::optional<Units> amount = OfferSum(request, anyOffer);
    std::string reference = Value(request, "merchant_ref_number");
    std::string outcome;

    reply.emplace_back("request_id", requestId);
    reply.emplace_back("merchant_ref_number", reference);
    reply.emplace_back("ics_version", "sim-1");
    bool ok = true;
    std::string missing;
    if (Value(request, "merchant_id").empty()) missing = "merchant_id";
    else if (apps.empty()) missing = "ics_applications";
    else if (!has("ics_query") && reference.empty()) missing = "merchant_ref_number";
    else if (!has("ics_query") && (!amount || !anyOffer)) missing = "offer0";
    int cents = amount ? Cents(*amount) : -1;
    if (!missing.empty()) {
        ok = false;
        outcome = "invalid";
        reply.emplace_back("ics_rcode", "0");
        reply.emplace_back("ics_rflag", "DMISSINGFIELD");
        reply.emplace_back("ics_rmsg", "The request lacks a valid " + missing);
    } else if (has("ics_query")) {
        Query(request, reply);
        reply.emplace_back("ics_rcode", "1");
        reply.emplace_back("ics_rflag", "SOK");
        outcome = "query";
    } else if (cents == 66) {
        ok = false;
        outcome = "error";
        reply.emplace_back("ics_rcode", "-1");
        reply.emplace_back("ics_rflag", "ESYSTEM");
        reply.emplace_back("ics_rmsg", "General system failure");
    } else {
        Account& account = accounts_[reference];
        std::string authRequestId = Value(request, "auth_request_id");
        if (has("ics_auth")) {
            Authorize(request, *amount, account, reply, ok);
            authRequestId = requestId;
        }
        if (ok && has("ics_bill")) Capture(authRequestId, *amount, account, reply, ok);
        if (has("ics_credit")) Credit(request, *amount, account, reply, ok);
        if (!has("ics_auth") && !has("ics_bill") && !has("ics_credit")) {
            ok = false;
            reply.emplace_back("ics_rflag", "DINVALIDAPPLICATION");
        }
        reply.emplace_back("ics_rcode", ok ? "1" : "0");
        if (ok && cents == 44) {
            // a careless gateway (or whoever sits between) repeating the card number in its texts
            std::string card = Value(request, "customer_cc_number");
            reply.emplace_back("ics_rflag", "SOK");
            reply.emplace_back("ics_rmsg", "Card " + card + " processed, request " + requestId);
            for (auto& [name, value] : reply)
                if (name == "auth_rmsg") value = "Approved for card " + card;
        } else if (ok) {
            reply.emplace_back("ics_rflag", "SOK");
            reply.emplace_back("ics_rmsg", "Request was processed successfully.");
        } else {
            std::string flag = "DREFUSED";
            for (const auto& [n, v] : reply)
                if (n.size() > 6 && n.substr(n.size() - 6) == "_rflag") flag = v;
            if (Value(reply, "ics_rflag").empty()) reply.emplace_back("ics_rflag", flag);
            reply.emplace_back("ics_rmsg", "The request was refused: " + flag);
        }
        outcome = ok ? "ok" : "refused";
        if (cents == 77) result.delivery = Delivery::Garbled;
        if (cents == 88) result.delivery = Delivery::Delayed;
    }
    std::string clientRequestId = Value(request, "client_request_id");
    if (!clientRequestId.empty() && !has("ics_query")) byClientRequestId_[clientRequestId] = {applications, reply};

    journal.fields = {{"time", UtcTime(NowSeconds())},
                      {"request_id", requestId},
                      {"client_request_id", clientRequestId},
                      {"merchant_id", Value(request, "merchant_id")},
                      {"merchant_ref_number", reference},
                      {"applications", applications},
                      {"amount", amount ? FormatAmount(*amount) : ""},
                      {"card", LastFour(Value(request, "customer_cc_number"))},
                      {"total_amount", Value(request, "total_amount")},
                      {"auth_request_id", Value(request, "auth_request_id")},
                      {"bill_request_id", Value(request, "bill_request_id")},
                      {"ics_rcode", Value(reply, "ics_rcode")},
                      {"outcome", outcome},
                      {"delivery", result.delivery == Delivery::Garbled ? "garbled"
                                   : result.delivery == Delivery::Delayed ? "delayed"
                                                                          : "normal"}};
    return result;
}

}  // namespace gatewaysim
