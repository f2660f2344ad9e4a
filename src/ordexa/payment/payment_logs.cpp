#include "ordexa/payment/payment_logs.h"

#include "platform/automation/text.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace {

using ole::Variant;

// A text cut to a column of `width` characters, never inside a UTF-8 sequence.
Variant Fit(const std::string& text, size_t width) {
    if (text.size() <= width) return Variant(text);
    size_t end = width;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return Variant(text.substr(0, end));
}

// A text column: the value as it came, cut to fit.
Variant Text(const std::string& text, size_t width) { return Fit(text, width); }
// A column whose absence matters (a request id, the sealed number): Null when empty.
Variant TextOrNull(const std::string& text, size_t width) { return text.empty() ? ole::Null : Fit(text, width); }

// AUTH_RCODE is a number: a reply that is none (or none at all) is kept as Null.
Variant WholeNumber(const std::string& text) {
    double value = 0;
    if (!ole::ParseNumber(text, value) || value != static_cast<double>(static_cast<int32_t>(value))) return ole::Null;
    return Variant(static_cast<int32_t>(value));
}

// ICS_RCODE as the gateway gave it; Null marks an exchange whose outcome is unknown.
Variant IcsCode(const GatewayExchange& e) { return e.replied ? Fit(e.Reply("ics_rcode"), 10) : ole::Null; }

void Insert(const ado::ConnectionPtr& connection, const std::string& table, const std::vector<std::string>& columns,
            const std::vector<Variant>& values) {
    std::string sql = "INSERT INTO " + table + " (";
    std::string markers;
    for (size_t i = 0; i < columns.size(); ++i) {
        sql += (i ? ", " : "") + columns[i];
        markers += i ? ", ?" : "?";
    }
    connection->Execute(sql + ") VALUES (" + markers + ")", nullptr, -1, values);
}

}  // namespace

std::string GatewayExchange::Reply(const std::string& name) const {
    if (replied) return client.GetReplyValue(name);
    return ole::EqualsNoCase(name, "ics_rmsg") ? unknownReason : std::string();
}

Variant LoggedRequestId(const std::string& requestId) {
    std::string id = ole::TrimBlanks(requestId);
    if (id.empty()) return ole::Null;
    double value = 0;
    if (ole::ParseNumber(id, value) && value == 0) return Variant(ole::Date::Now().Iso());
    return Fit(id, 50);
}

std::string PrepareOfferForLog(const std::vector<std::string>& requestLines) {
    try {
        std::string text;
        for (const auto& line : requestLines)
            if (line.size() >= 5 && ole::EqualsNoCase(std::string_view(line).substr(0, 5), "OFFER")) text += line.substr(5) + "|";
        if (!text.empty()) text.pop_back();
        return text;
    } catch (...) {
        Sls_RaiseError("CCPayment.PrepareOfferForLog");
    }
}

int64_t NextSequenceValue(const ado::ConnectionPtr& connection, const std::string& name) {
    auto rs = connection->Execute(
        "UPDATE PAYMENTLOGSEQUENCE SET LASTVALUE = LASTVALUE + 1 WHERE NAME = ? RETURNING LASTVALUE", nullptr, -1,
        {Variant(name)});
    if (rs && !rs->Eof()) return rs->Fields(0).Value().ToLongLong();
    connection->Execute("INSERT INTO PAYMENTLOGSEQUENCE (NAME, LASTVALUE) VALUES (?, 1)", nullptr, -1, {Variant(name)});
    return 1;
}

int64_t NextPaymentLogSequence(const ado::ConnectionPtr& connection) { return NextSequenceValue(connection, "PAYMENTLOG"); }

void writeAuthLog(const std::string& offers, const ado::ConnectionPtr& connection, const GatewayExchange& e,
                  const std::string& sealedCardNumber) {
    try {
        int64_t sequence = NextPaymentLogSequence(connection);
        Insert(connection, "AUTHORIZATIONLOG",
               {"MERCHANT_REF_NUMBER", "CUSTOMER_CC_NUMBER", "CUSTOMER_CC_EXPMO", "CUSTOMER_CC_EXPYR", "AUTH_AUTH_AVS",
                "ICS_RMSG", "ICS_RFLAG", "AUTH_AUTH_AMOUNT", "AUTH_RCODE", "AUTH_RMSG", "AUTH_AUTH_CODE",
                "AUTH_AUTH_TIME", "ICS_RCODE", "AUTH_RFLAG", "AUTH_REQUEST_ID", "BILL_CITY", "BILL_STATE", "BILL_ZIP",
                "BILL_COUNTRY", "CUSTOMER_FIRSTNAME", "CUSTOMER_LASTNAME", "CUSTOMER_EMAIL", "CUSTOMER_PHONE",
                "BILL_ADDRESS1", "CURRENCY", "OFFERS", "ICS_APPLICATIONS", "CLIENT_LIB_VERSION", "REQUEST_DATETIME",
                "ORDERLEVELDISCOUNT", "TAX_TOTAL", "SHIPPING_TOTAL", "FREIGHTTAX", "CUSTOMER_CC_TYPE",
                "CUSTOMER_CC_SEALED", "LOGSEQ", "CLIENT_REQUEST_ID"},
               {Text(e.Request("Merchant_ref_number"), 32),
                Text(qx::MaskCardNumber(e.Request("customer_cc_number")), 30),
                Text(e.Request("customer_cc_expmo"), 10),
                Text(e.Request("customer_cc_expyr"), 10),
                Text(e.Reply("auth_auth_avs"), 20),
                Text(e.Reply("ics_rmsg"), 255),
                Text(e.Reply("ics_rflag"), 50),
                Text(e.Reply("auth_auth_amount"), 30),
                WholeNumber(e.Reply("auth_rcode")),
                Text(e.Reply("auth_rmsg"), 255),
                Text(e.Reply("auth_auth_code"), 50),
                Text(e.Reply("auth_auth_time"), 30),
                IcsCode(e),
                Text(e.Reply("auth_rflag"), 50),
                e.replied ? LoggedRequestId(e.Reply("request_id")) : ole::Null,
                Text(e.Request("bill_city"), 100),
                Text(e.Request("bill_state"), 50),
                Text(e.Request("bill_zip"), 20),
                Text(e.Request("bill_country"), 50),
                Text(e.Request("customer_firstname"), 100),
                Text(e.Request("customer_lastname"), 100),
                Text(e.Request("customer_email"), 200),
                Text(e.Request("customer_phone"), 50),
                Text(e.Request("bill_address1"), 200),
                Text(e.Request("currency"), 3),
                Variant(offers),
                Text(e.Request("ics_applications"), 200),
                Text(e.Request("client_lib_version"), 50),
                Variant(ole::Date::Now()),
                Text(e.Request("LineOrderDiscount"), 30),
                Text(e.Request("tax_total"), 30),
                Text(e.Request("shipping_total"), 30),
                Text(e.Request("freighttax"), 30),
                Text(e.Request("customer_cc_type"), 10),
                TextOrNull(sealedCardNumber, 1000),
                Variant(sequence),
                TextOrNull(e.Request("client_request_id"), 64)});
    } catch (...) {
        Sls_RaiseError("CCPayment.writeAuthLog");
    }
}

void writeBillLog(const std::string& offers, const ado::ConnectionPtr& connection, const GatewayExchange& e,
                  const std::string& authRequestId) {
    try {
        int64_t sequence = NextPaymentLogSequence(connection);
        Insert(connection, "BILLINGLOG",
               {"ICS_RMSG", "BILL_BILL_AMOUNT", "ICS_RFLAG", "BILL_RFLAG", "BILL_RMSG", "ICS_RCODE", "BILL_RCODE",
                "BILL_BILL_REQUEST_TIME", "BILL_REQUEST_ID", "MERCHANT_REF_NUMBER", "CURRENCY", "OFFERS",
                "AUTH_REQUEST_ID", "ICS_APPLICATIONS", "CLIENT_LIB_VERSION", "REQUEST_DATETIME", "LOGSEQ",
                "CLIENT_REQUEST_ID"},
               {Text(e.Reply("ics_rmsg"), 255),
                Text(e.Reply("bill_bill_amount"), 30),
                Text(e.Reply("ics_rflag"), 50),
                Text(e.Reply("bill_rflag"), 50),
                Text(e.Reply("bill_rmsg"), 255),
                IcsCode(e),
                Text(e.Reply("bill_rcode"), 10),
                Text(e.Reply("bill_bill_request_time"), 30),
                e.replied ? LoggedRequestId(e.Reply("request_id")) : ole::Null,
                Text(e.Request("merchant_ref_number"), 32),
                Text(e.Request("currency"), 3),
                Variant(offers),
                TextOrNull(authRequestId, 50),
                Text(e.Request("ics_applications"), 200),
                Text(e.Request("client_lib_version"), 50),
                Variant(ole::Date::Now()),
                Variant(sequence),
                TextOrNull(e.Request("client_request_id"), 64)});
    } catch (...) {
        Sls_RaiseError("CCPayment.writeBillLog");
    }
}

void writeRefundLog(const std::string& offers, const ado::ConnectionPtr& connection, const GatewayExchange& e) {
    try {
        int64_t sequence = NextPaymentLogSequence(connection);
        Insert(connection, "REFUNDLOG",
               {"ICS_RMSG", "Credit_Credit_AMOUNT", "ICS_RFLAG", "Credit_RFLAG", "Credit_RMSG", "ICS_RCODE",
                "Credit_RCODE", "Credit_Credit_REQUEST_TIME", "BILL_REQUEST_ID", "MERCHANT_REF_NUMBER", "CURRENCY",
                "OFFERS", "REQUEST_ID", "ICS_APPLICATIONS", "CLIENT_LIB_VERSION", "ICS_VERSION", "REQUEST_DATETIME",
                "LOGSEQ", "CLIENT_REQUEST_ID"},
               {Text(e.Reply("ics_rmsg"), 255),
                Text(e.Reply("credit_credit_amount"), 30),
                Text(e.Reply("ics_rflag"), 50),
                Text(e.Reply("credit_rflag"), 50),
                Text(e.Reply("credit_rmsg"), 255),
                IcsCode(e),
                Text(e.Reply("credit_rcode"), 10),
                Text(e.Reply("credit_credit_request_time"), 30),
                // the capture credited: the reply echoes it; an unknown outcome keeps the request's
                Text(e.replied ? e.Reply("bill_request_id") : e.Request("bill_request_id"), 50),
                Text(e.Request("merchant_ref_number"), 32),
                Text(e.Request("currency"), 3),
                Variant(offers),
                e.replied ? TextOrNull(e.Reply("request_id"), 50) : ole::Null,
                Text(e.Request("ics_applications"), 200),
                Text(e.Request("client_lib_version"), 50),
                Text(e.Reply("ics_version"), 50),
                Variant(ole::Date::Now()),
                Variant(sequence),
                TextOrNull(e.Request("client_request_id"), 64)});
    } catch (...) {
        Sls_RaiseError("CCPayment.writeRefundLog");
    }
}

}  // namespace ordexa
