#include "interfaces/vendalo/reporting.h"

#include <algorithm>
#include <fstream>

#include "platform/automation/text.h"

#include "platform/log/log.h"
#include "shared/lib_sales.h"
#include "vendalo/register.h"

namespace vendalo {
namespace {

using ole::Variant;

// How much of the end of the log file is read for its latest entries.
constexpr std::streamoff kLogTail = 512 * 1024;

// Entries start at a line that opens with "[yyyy-mm-dd hh:mm:ss.fff]".
bool StartsEntry(const std::string& text, size_t at) {
    return at + 25 < text.size() && text[at] == '[' && text[at + 5] == '-' && text[at + 24] == ']';
}

const char* const kOrderColumns =
    "SELECT h.ORDERID, h.ORDERSTATUS, h.BUSINESSPARTNERID, p.NAME AS PARTNERNAME, h.BISID, h.SALESORDERNR, "
    "h.CUSTOMERPONR, h.ORDERDATE, h.CURRENCYCODE, h.TOTAL FROM ORDERHEADER h "
    "LEFT JOIN BUSINESSPARTNER p ON p.BUSINESSPARTNERID = h.BUSINESSPARTNERID";

bool IsHex(const std::string& text) {
    return !text.empty() && text.size() <= 32 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

bool IsWholeNumber(const std::string& text) {
    return !text.empty() && text.size() <= 9 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A text as a LIKE pattern that matches it anywhere, its wildcards taken literally (ESCAPE '!').
std::string ContainsPattern(const std::string& text) {
    std::string pattern = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '!') pattern += '!';
        pattern += c;
    }
    return pattern + "%";
}

// The search text's condition: each alternative can use an index of its own
// (the primary key's range for an id's beginning, ORDERHEADER_SALESORDER,
// ORDERHEADER_PONUMBER, ORDERHEADER_PARTNER).
std::string TextCondition(const std::string& text, std::vector<Variant>& params) {
    std::string upper = ole::UpperCase(text);
    std::vector<std::string> terms;
    if (IsHex(upper)) {
        // ids are upper-case hexadecimal: every id that begins with the text lies below text + "G"
        terms.push_back("(h.ORDERID >= ? AND h.ORDERID < ?)");
        params.insert(params.end(), {Variant(upper), Variant(upper + "G")});
    }
    terms.push_back("h.SALESORDERNR = ?");
    params.emplace_back(text);
    terms.push_back("h.CUSTOMERPONR = ?");
    params.emplace_back(text);
    if (IsWholeNumber(text)) {
        terms.push_back("h.BUSINESSPARTNERID = ?");
        params.emplace_back(static_cast<int32_t>(std::stol(text)));
    }
    terms.push_back("h.BUSINESSPARTNERID IN (SELECT BUSINESSPARTNERID FROM BUSINESSPARTNER WHERE UPPER(NAME) LIKE ? "
                    "ESCAPE '!')");
    params.emplace_back(ContainsPattern(upper));
    std::string condition;
    for (const auto& term : terms) condition += (condition.empty() ? "" : " OR ") + term;
    return " AND (" + condition + ")";
}

class Reporting : public IReporting {
public:
    ado::RecordsetPtr SearchOrders(const OrderSearch& search) override {
        try {
            std::string connection = Sls_ConnectionString();
            std::string sql = std::string(kOrderColumns) + " WHERE 1 = 1";
            std::vector<Variant> params;
            std::string text = ole::TrimBlanks(search.text);
            if (!text.empty()) sql += TextCondition(text, params);
            if (!search.statuses.empty()) {
                std::string markers;
                for (int32_t status : search.statuses) {
                    markers += markers.empty() ? "?" : ", ?";
                    params.emplace_back(static_cast<int16_t>(status));
                }
                sql += " AND h.ORDERSTATUS IN (" + markers + ")";
            }
            if (search.instance) {
                sql += " AND h.BISID = ?";
                params.emplace_back(*search.instance);
            }
            if (search.partner) {
                sql += " AND h.BUSINESSPARTNERID = ?";
                params.emplace_back(*search.partner);
            }
            if (search.from) {
                sql += " AND h.ORDERDATE >= ?";
                params.emplace_back(search.from->DateOnly());
            }
            if (search.to) {
                sql += " AND h.ORDERDATE < ?";
                params.emplace_back(ole::Date{search.to->DateOnly().serial + 1});
            }
            if (!search.after.empty()) {
                auto last = Sls_GetDisconnectedRecordset("SELECT ORDERDATE FROM ORDERHEADER WHERE ORDERID = ?", connection,
                                                         {Variant(search.after)});
                if (last->Eof())
                    ole::Raise(ole::err::InvalidProcedureCall, "The order " + search.after + " to list after does not exist",
                               "Vendalo.Reporting");
                Variant date = last->Fields("ORDERDATE").Value();
                sql += " AND (h.ORDERDATE < ? OR (h.ORDERDATE = ? AND h.ORDERID < ?))";
                params.insert(params.end(), {date, date, Variant(search.after)});
            }
            sql += " ORDER BY h.ORDERDATE DESC, h.ORDERID DESC LIMIT ?";
            params.emplace_back(std::max<int32_t>(search.limit, 0));
            return Sls_GetDisconnectedRecordset(sql, connection, params);
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.SearchOrders");
        }
    }

    ole::DictionaryPtr OrderDetail(const std::string& orderId) override {
        try {
            std::string connection = Sls_ConnectionString();
            std::vector<Variant> id{Variant(orderId)};
            auto header = Sls_GetDisconnectedRecordset(std::string(kOrderColumns) + " WHERE h.ORDERID = ?", connection, id);
            if (header->Eof()) return nullptr;
            auto detail = std::make_shared<ole::Dictionary>();
            detail->Add(Variant("header"), Variant(header));
            const std::string address =
                " AS ROLE, a.ADDRESSID, a.NAME1, a.NAME2, a.STREET1, a.STREET2, a.CITY1, a.ZIPCODE, a.STATEPROVINCE, "
                "a.COUNTRYCODE, a.SHORTDESCRIPTION FROM ORDERHEADER h JOIN ADDRESSHISTORY a ON a.ORDERID = h.ORDERID AND "
                "a.ADDRESSID = h.";
            detail->Add(Variant("addresses"),
                        Variant(Sls_GetDisconnectedRecordset("SELECT 'billing'" + address + "BILLINGADDRESSID WHERE h.ORDERID = ? "
                                                             "UNION ALL SELECT 'shipping'" + address +
                                                             "SHIPPINGADDRESSID WHERE h.ORDERID = ?",
                                                             connection, {id[0], id[0]})));
            detail->Add(Variant("lines"),
                        Variant(Sls_GetDisconnectedRecordset(
                            "SELECT LINENR, PRODUCTID, PARTNUMBER, LINETEXT, QUANTITY, PRICE, AMOUNT, LINESTATUS FROM ORDERLINE "
                            "WHERE ORDERID = ? ORDER BY LINENR",
                            connection, id)));
            detail->Add(Variant("payments"),
                        Variant(Sls_GetDisconnectedRecordset(
                            "SELECT 'authorisation' AS KIND, REQUEST_DATETIME AS REQUESTTIME, AUTH_AUTH_AMOUNT AS AMOUNT, "
                            "CURRENCY, CUSTOMER_CC_NUMBER AS CARD, AUTH_REQUEST_ID AS REQUESTID, CLIENT_REQUEST_ID AS "
                            "CLIENTREQUESTID, ICS_RCODE AS ICSRCODE, LOGSEQ FROM AUTHORIZATIONLOG WHERE MERCHANT_REF_NUMBER = ? "
                            "UNION ALL SELECT 'capture', REQUEST_DATETIME, BILL_BILL_AMOUNT, CURRENCY, NULL, BILL_REQUEST_ID, "
                            "CLIENT_REQUEST_ID, ICS_RCODE, LOGSEQ FROM BILLINGLOG WHERE MERCHANT_REF_NUMBER = ? "
                            "UNION ALL SELECT 'refund', REQUEST_DATETIME, Credit_Credit_AMOUNT, CURRENCY, NULL, REQUEST_ID, "
                            "CLIENT_REQUEST_ID, ICS_RCODE, LOGSEQ FROM REFUNDLOG WHERE MERCHANT_REF_NUMBER = ? "
                            "ORDER BY LOGSEQ",
                            connection, {id[0], id[0], id[0]})));
            detail->Add(Variant("events"),
                        Variant(Sls_GetDisconnectedRecordset(
                            "SELECT SEQ, EVENTTIME, LINENR, STATUSBEFORE, STATUSAFTER, WHAT, ACTOR, REFERENCE, DETAIL "
                            "FROM ORDEREVENT WHERE ORDERID = ? ORDER BY SEQ",
                            connection, id)));
            return detail;
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.OrderDetail", "OrderID: " + orderId);
        }
    }

    ado::RecordsetPtr ListOrders(const Variant& partner, const Variant& status, int32_t limit,
                                 const std::string& after) override {
        try {
            std::string connection = Sls_ConnectionString();
            std::string sql =
                "SELECT ORDERID, BUSINESSPARTNERID, USERID, BISID, ORDERSTATUS, SALESORDERNR, ORDERDATE, ORDERLISTNAME, "
                "CURRENCYCODE, TOTAL FROM ORDERHEADER WHERE 1 = 1";
            std::vector<Variant> params;
            if (!partner.IsNull() && !partner.IsEmpty()) {
                sql += " AND BUSINESSPARTNERID = ?";
                params.emplace_back(partner.ToLong());
            }
            if (!status.IsNull() && !status.IsEmpty()) {
                sql += " AND ORDERSTATUS = ?";
                params.emplace_back(status.ToLong());
            }
            if (!after.empty()) {
                auto last = Sls_GetDisconnectedRecordset("SELECT ORDERDATE FROM ORDERHEADER WHERE ORDERID = ?", connection,
                                                         {Variant(after)});
                if (last->Eof())
                    ole::Raise(ole::err::InvalidProcedureCall, "The order " + after + " to list after does not exist",
                               "Vendalo.Reporting");
                Variant date = last->Fields("ORDERDATE").Value();
                sql += " AND (ORDERDATE < ? OR (ORDERDATE = ? AND ORDERID < ?))";
                params.insert(params.end(), {date, date, Variant(after)});
            }
            sql += " ORDER BY ORDERDATE DESC, ORDERID DESC LIMIT ?";
            params.emplace_back(std::max<int32_t>(limit, 0));
            return Sls_GetDisconnectedRecordset(sql, connection, params);
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.ListOrders");
        }
    }

    ado::RecordsetPtr OrderCountsByStatus() override {
        try {
            return Sls_GetDisconnectedRecordset(
                "SELECT ORDERSTATUS, COUNT(*) AS ORDERS FROM ORDERHEADER GROUP BY ORDERSTATUS ORDER BY ORDERSTATUS",
                Sls_ConnectionString());
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.OrderCountsByStatus");
        }
    }

    ado::RecordsetPtr LatestBatchRuns(int32_t limit) override {
        try {
            return Sls_GetDisconnectedRecordset(
                "SELECT BATCHID, STARTED, FINISHED, DURATIONMS, OUTCOME, SUMMARY FROM BATCHRUN "
                "ORDER BY STARTED DESC, BATCHID DESC LIMIT ?",
                Sls_ConnectionString(), {Variant(std::max<int32_t>(limit, 0))});
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.LatestBatchRuns");
        }
    }

    ado::RecordsetPtr BatchTotals() override {
        try {
            return Sls_GetDisconnectedRecordset(
                "SELECT COUNT(*) AS BATCHES, COALESCE(SUM(CASE WHEN OUTCOME <> 0 THEN 1 ELSE 0 END), 0) AS FAILED "
                "FROM BATCHRUN",
                Sls_ConnectionString());
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.BatchTotals");
        }
    }

    std::vector<ole::Variant> OldestOrderDates() override {
        try {
            auto c = Sls_GetOpenConnection(Sls_ConnectionString());
            std::vector<ole::Variant> oldest;
            for (int32_t status = 0; status <= 8; ++status) {
                auto rs = c->Execute(
                    "SELECT ORDERDATE FROM ORDERHEADER WHERE ORDERSTATUS = ? AND ORDERDATE IS NOT NULL "
                    "ORDER BY ORDERDATE LIMIT 1",
                    nullptr, -1, {Variant(status)});
                oldest.push_back(rs->Eof() ? ole::Variant(ole::Null) : rs->Fields(0).Value());
            }
            c->Close();
            return oldest;
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.OldestOrderDates");
        }
    }

    ado::RecordsetPtr BatchInstanceTotals() override {
        try {
            return Sls_GetDisconnectedRecordset("SELECT BISID, COUNTNAME, TOTAL FROM BATCHTOTAL ORDER BY BISID, COUNTNAME",
                                                Sls_ConnectionString());
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.BatchInstanceTotals");
        }
    }

    std::vector<std::string> LatestLogEntries(int32_t count) override {
        try {
            std::string path = qx::LogFilePath();
            std::vector<std::string> entries;
            if (path.empty() || count <= 0) return entries;
            std::ifstream in(path, std::ios::binary | std::ios::ate);
            if (!in) return entries;  // nothing logged yet
            std::streamoff size = in.tellg();
            std::streamoff from = std::max<std::streamoff>(0, size - kLogTail);
            in.seekg(from);
            std::string text(static_cast<size_t>(size - from), '\0');
            in.read(text.data(), static_cast<std::streamsize>(text.size()));
            text.resize(static_cast<size_t>(in.gcount()));
            // a tail that starts inside an entry drops that piece
            size_t start = from == 0 ? 0 : text.find("\n[");
            if (start == std::string::npos) return entries;
            if (from != 0) ++start;
            std::vector<size_t> starts;
            for (size_t at = start; at != std::string::npos && at < text.size();) {
                if (StartsEntry(text, at)) starts.push_back(at);
                size_t next = text.find("\n[", at);
                at = next == std::string::npos ? next : next + 1;
            }
            size_t first = starts.size() > static_cast<size_t>(count) ? starts.size() - static_cast<size_t>(count) : 0;
            for (size_t i = first; i < starts.size(); ++i) {
                size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
                entries.push_back(text.substr(starts[i], end - starts[i]));
            }
            return entries;
        } catch (...) {
            Sls_RaiseError("Vendalo.Reporting.LatestLogEntries");
        }
    }
};

}  // namespace

void RegisterReporting() { ole::RegisterClass<Reporting>("Vendalo.Reporting"); }

}  // namespace vendalo
