#include "interfaces/vendalo/reporting.h"

#include <algorithm>
#include <fstream>

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

class Reporting : public IReporting {
public:
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
