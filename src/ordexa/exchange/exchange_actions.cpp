#include "ordexa/exchange/exchange_actions.h"

#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "interfaces/vendalo/order_export_file.h"
#include "interfaces/vendalo/order_status.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/exchange/file_handling.h"
#include "ordexa/exchange/web_order_confirmation.h"
#include "ordexa/exchange/web_order_export.h"
#include "platform/data/transaction.h"
#include "platform/os/durable_file.h"
#include "platform/os/sha256.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace ordexa {
namespace {

using ole::Variant;
using Outcome = ExchangeActionOutcome;

const std::string kColumns =
    "SELECT EXCHANGEID, EXCHANGETIME, KIND, OUTCOME, BISID, FILENAME, FILEOFFSET, FILELENGTH, REFERENCE, SHA256, "
    "ARCHIVE, DURATIONMS, DETAIL, ENTRYTEXT, HTTPSTATUS, ATTEMPT FROM EXCHANGE";

std::optional<int64_t> Number(const Variant& v) {
    if (v.IsNull()) return std::nullopt;
    return static_cast<int64_t>(v.ToDouble());
}

ExchangeRow RowOf(ado::Recordset& rs) {
    ExchangeRow row;
    row.id = rs.Fields("EXCHANGEID").Value().Text();
    row.time = rs.Fields("EXCHANGETIME").Value().ToDate();
    row.kind = rs.Fields("KIND").Value().Text();
    row.outcome = rs.Fields("OUTCOME").Value().Text();
    if (row.outcome == kSentOutcome) row.outcome = kOutcomeUnknown;
    if (auto bisid = Number(rs.Fields("BISID").Value())) row.bisid = static_cast<int32_t>(*bisid);
    row.file = rs.Fields("FILENAME").Value().Text();
    row.offset = Number(rs.Fields("FILEOFFSET").Value());
    row.length = Number(rs.Fields("FILELENGTH").Value());
    row.reference = rs.Fields("REFERENCE").Value().Text();
    row.sha256 = rs.Fields("SHA256").Value().Text();
    row.archive = rs.Fields("ARCHIVE").Value().Text();
    row.durationMs = Number(rs.Fields("DURATIONMS").Value());
    row.detail = rs.Fields("DETAIL").Value().Text();
    row.entryText = rs.Fields("ENTRYTEXT").Value().Text();
    if (auto status = Number(rs.Fields("HTTPSTATUS").Value())) row.httpStatus = static_cast<int32_t>(*status);
    if (auto attempt = Number(rs.Fields("ATTEMPT").Value())) row.attempt = static_cast<int32_t>(*attempt);
    return row;
}

// A list of bound placeholders "?, ?, ?".
std::string Placeholders(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += i ? ", ?" : "?";
    return text;
}

// Fills in the rows' orders and the actions that apply to each now.
void Complete(const ado::ConnectionPtr& c, std::vector<ExchangeRow>& rows) {
    if (rows.empty()) return;
    std::vector<Variant> ids;
    for (const auto& row : rows) ids.emplace_back(row.id);
    auto orders = c->Execute("SELECT EXCHANGEID, ORDERID FROM EXCHANGEORDER WHERE EXCHANGEID IN (" +
                                 Placeholders(ids.size()) + ") ORDER BY EXCHANGEID, ORDERID",
                             nullptr, -1, ids);
    std::map<std::string, std::vector<std::string>> byExchange;
    for (; !orders->Eof(); orders->MoveNext())
        byExchange[orders->Fields(0).Value().Text()].push_back(orders->Fields(1).Value().Text());
    // an export group goes again only while every one of its orders is still exported
    auto moved = c->Execute("SELECT DISTINCT e.EXCHANGEID FROM EXCHANGEORDER e JOIN ORDERHEADER h ON h.ORDERID = e.ORDERID "
                            "WHERE e.EXCHANGEID IN (" + Placeholders(ids.size()) + ") AND h.ORDERSTATUS <> 1",
                            nullptr, -1, ids);
    std::set<std::string> blocked;
    for (; !moved->Eof(); moved->MoveNext()) blocked.insert(moved->Fields(0).Value().Text());
    for (auto& row : rows) {
        row.orderIds = byExchange[row.id];
        if (row.kind == exchange_kind::kExportGroup && !row.archive.empty() && !blocked.count(row.id))
            row.actions = {"replay"};
        if (row.kind == exchange_kind::kRefusedEntry && row.outcome == entry_state::kWaiting)
            row.actions = {"apply", "dismiss"};
    }
}

// The cursor: the last row's time and id, in hexadecimal so that it reads as one opaque token.
std::string Hex(const std::string& text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char ch : text) out += {digits[ch >> 4], digits[ch & 15]};
    return out;
}

std::string Unhex(const std::string& text) {
    auto value = [](char ch) -> int {
        if (ch >= '0' && ch <= '9') return ch - '0';
        if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
        return -1;
    };
    std::string out;
    if (text.size() % 2 != 0 || text.size() > 200) return "";
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = value(text[i]), lo = value(text[i + 1]);
        if (hi < 0 || lo < 0) return "";
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

// The instance's row of the export registry, if it has one.
ado::RecordsetPtr RegistryRow(int32_t bisid) {
    auto rows = Sls_GetComponent<vendalo::IOrderExportFile>("Vendalo.OrderExportFile")->GetAllInstances();
    for (; !rows->Eof(); rows->MoveNext()) {
        Variant id = rows->Fields("BISID").Value();
        if (!id.IsNull() && id.ToLong() == bisid) return rows;
    }
    return nullptr;
}

std::string Column(const ado::RecordsetPtr& rs, const char* name) {
    Variant v = rs->Fields(name).Value();
    return v.IsNull() ? std::string() : TrimBlanks(v.ToString());
}

ExchangeActionResult NoLonger(std::string why) { return {Outcome::NoLongerApplies, std::move(why)}; }

std::string Cut(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
    return text.substr(0, limit);
}

// A refused entry's detail once closed: why it was refused, then what the operator did.
std::string ClosedDetail(const ExchangeRow& row, const std::string& what, const std::string& operatorName,
                         const std::string& note) {
    return Cut(row.detail + "; " + what + " by " + Sls_OperatorActor(operatorName) + ": " + note, 2000);
}

// Raised inside the replay's transaction when an order moved on meanwhile.
struct OrderMovedOn {
    std::string why;
};

}  // namespace

ExchangePage ListExchanges(const ExchangeQuery& query) {
    try {
        std::string sql = kColumns + " WHERE 1 = 1";
        std::vector<Variant> params;
        if (!query.kind.empty()) sql += " AND KIND = ?", params.emplace_back(query.kind);
        if (!query.outcome.empty())
            sql += " AND OUTCOME = ?",
                params.emplace_back(query.outcome == kOutcomeUnknown ? std::string(kSentOutcome) : query.outcome);
        if (query.bisid) sql += " AND BISID = ?", params.emplace_back(*query.bisid);
        if (!query.orderId.empty())
            sql += " AND EXCHANGEID IN (SELECT EXCHANGEID FROM EXCHANGEORDER WHERE ORDERID = ?)",
                params.emplace_back(query.orderId);
        if (query.since) sql += " AND EXCHANGETIME >= ?", params.emplace_back(*query.since);
        if (!query.cursor.empty()) {
            std::string after = Unhex(query.cursor);
            size_t bar = after.find('|');
            ole::Date time;
            if (bar == std::string::npos || !ole::ParseDate(after.substr(0, bar), time))
                ole::Raise(ole::err::InvalidProcedureCall, "The cursor is not one this list gave", "Ordexa.Exchanges");
            sql += " AND (EXCHANGETIME < ? OR (EXCHANGETIME = ? AND EXCHANGEID < ?))";
            params.emplace_back(time);
            params.emplace_back(time);
            params.emplace_back(after.substr(bar + 1));
        }
        int32_t limit = std::clamp(query.limit, 1, 200);
        sql += " ORDER BY EXCHANGETIME DESC, EXCHANGEID DESC LIMIT " + std::to_string(limit + 1);
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        auto rs = c->Execute(sql, nullptr, -1, params);
        ExchangePage page;
        for (; !rs->Eof(); rs->MoveNext()) page.rows.push_back(RowOf(*rs));
        if (page.rows.size() > static_cast<size_t>(limit)) {
            page.rows.resize(static_cast<size_t>(limit));
            page.next = Hex(page.rows.back().time.Iso() + "|" + page.rows.back().id);
        }
        Complete(c, page.rows);
        return page;
    } catch (...) {
        Sls_RaiseError("Ordexa.Exchanges.List");
    }
}

std::optional<ExchangeRow> FindExchange(const std::string& id) {
    try {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        auto rs = c->Execute(kColumns + " WHERE EXCHANGEID = ?", nullptr, -1, {Variant(id)});
        if (rs->Eof()) return std::nullopt;
        std::vector<ExchangeRow> rows{RowOf(*rs)};
        Complete(c, rows);
        return rows.front();
    } catch (...) {
        Sls_RaiseError("Ordexa.Exchanges.Find");
    }
}

std::vector<ExchangeRow> WaitingRefusedEntries(int32_t limit) {
    try {
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        auto rs = c->Execute(kColumns + " WHERE KIND = ? AND OUTCOME = ? ORDER BY EXCHANGETIME, EXCHANGEID LIMIT " +
                                 std::to_string(std::max(limit, 1)),
                             nullptr, -1, {Variant(exchange_kind::kRefusedEntry), Variant(entry_state::kWaiting)});
        std::vector<ExchangeRow> rows;
        for (; !rs->Eof(); rs->MoveNext()) rows.push_back(RowOf(*rs));
        Complete(c, rows);
        return rows;
    } catch (...) {
        Sls_RaiseError("Ordexa.Exchanges.Waiting");
    }
}

ExchangeActionResult ReplayExportGroup(const std::string& id, const std::string& operatorName,
                                       const std::string& note) {
    try {
        auto row = FindExchange(id);
        if (!row) return {Outcome::NotFound, "no exchange " + id};
        if (row->kind != exchange_kind::kExportGroup) return NoLonger("only an export group can be sent again");
        if (row->archive.empty() || !row->bisid) return NoLonger("no copy of this export group is kept");
        std::string bytes;
        try {
            bytes = os::ReadRegularFile(row->archive);
        } catch (const std::system_error&) {
            return NoLonger("the copy of this export group is no longer kept (" + row->archive + ")");
        }
        if (os::Sha256Hex(bytes) != row->sha256)
            return NoLonger("the copy of this export group (" + row->archive +
                            ") does not match the SHA-256 on record; nothing was sent");
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        std::vector<Variant> ids(row->orderIds.begin(), row->orderIds.end());
        auto statuses = c->Execute("SELECT ORDERID, ORDERSTATUS FROM ORDERHEADER WHERE ORDERID IN (" +
                                       Placeholders(ids.size()) + ") AND ORDERSTATUS <> 1 ORDER BY ORDERID",
                                   nullptr, -1, ids);
        if (!statuses->Eof()) {
            auto status = static_cast<vendalo::OrderStatus>(statuses->Fields(1).Value().ToLong());
            return NoLonger("order " + statuses->Fields(0).Value().Text() + " has moved on to status " +
                            std::to_string(static_cast<int32_t>(status)) + " (" + vendalo::StatusName(status) +
                            "); the group is sent again only while all of its orders are exported");
        }
        auto registry = RegistryRow(*row->bisid);
        if (!registry) return NoLonger("the export registry has no row for BISID " + std::to_string(*row->bisid));
        // a group goes again only into the kind of file it was written for
        bool xml = row->archive.size() > 4 && row->archive.compare(row->archive.size() - 4, 4, ".xml") == 0;
        if ((Column(registry, "EXPORTMESSAGETYPE") == "1") != xml)
            return NoLonger(xml ? "the instance now exports EDI, not XML" : "the instance now exports XML, not EDI");
        FtpSettings ftp{Column(registry, "USEFTP"),    Column(registry, "SYSTEM"), Column(registry, "SYSTEMPORT"),
                        Column(registry, "PROXYSERVER"), Column(registry, "PROXYPORT"), Column(registry, "LOGIN"),
                        Column(registry, "PASSWORD")};
        std::string actor = Sls_OperatorActor(operatorName);
        const std::string sentId = Sls_CreateGUID();
        try {
            auto record = [&](const std::string& file, int64_t offset) {
                ado::Transaction tx(*c);
                // the orders' rows are held until the copy is on record: none moves on meanwhile
                std::vector<ado::BatchStatement> statements;
                std::vector<OrderEvent> events;
                for (const auto& orderId : row->orderIds) {
                    statements.push_back({"UPDATE ORDERHEADER SET ORDERSTATUS = ORDERSTATUS WHERE ORDERID = ? AND " +
                                              vendalo::StatusGuard(vendalo::OrderStatus::Processed),
                                          {Variant(orderId)}});
                    events.push_back({orderId, std::nullopt, 1, 1, "export sent again", actor,
                                      file + " group from " + row->orderIds.front(), note});
                }
                auto results = c->ExecuteBatch(statements);
                for (size_t k = 0; k < results.size(); ++k)
                    if (results[k].affected < 1) throw OrderMovedOn{"order " + row->orderIds[k] + " has moved on"};
                statements = OrderEventStatements(events);
                ExchangeRecord sent;
                sent.id = sentId;
                sent.kind = exchange_kind::kExportGroup;
                sent.outcome = "replayed";
                sent.bisid = row->bisid;
                sent.orderIds = row->orderIds;
                sent.file = file;
                sent.offset = offset;
                sent.length = static_cast<int64_t>(bytes.size());
                sent.reference = "sent again from exchange " + row->id;
                sent.sha256 = row->sha256;
                sent.archive = row->archive;
                sent.detail = Cut(actor + ": " + note, 2000);
                std::vector<ExchangeRecord> sentRecords{sent};
                if (!ftp.UseFtp())
                    sentRecords.push_back(LocalPlacement(row->bisid, file, offset, static_cast<int64_t>(bytes.size())));
                auto records = ExchangeStatements(sentRecords);
                statements.insert(statements.end(), records.begin(), records.end());
                c->ExecuteBatch(statements);
                tx.Commit();
            };
            if (xml)
                PlaceXmlGroupAgain(std::to_string(*row->bisid), Column(registry, "FILENAME"), ftp, bytes, record);
            else
                PlaceExportGroupAgain(std::to_string(*row->bisid), Column(registry, "FILENAME"), ftp, bytes, sentId,
                                      record);
        } catch (const OrderMovedOn& moved) {
            return NoLonger(moved.why + "; nothing was sent");
        }
        return {};
    } catch (...) {
        Sls_RaiseError("Ordexa.Exchanges.Replay");
    }
}

ExchangeActionResult ApplyRefusedEntry(const std::string& id, const std::string& operatorName, const std::string& note) {
    try {
        auto row = FindExchange(id);
        if (!row) return {Outcome::NotFound, "no exchange " + id};
        if (row->kind != exchange_kind::kRefusedEntry || row->outcome != entry_state::kWaiting)
            return NoLonger("only a refused confirmation entry still waiting can be applied");
        bool xml = false;
        std::string separator;
        if (row->bisid) {
            if (auto registry = RegistryRow(*row->bisid)) {
                xml = Column(registry, "CONFIRMATIONMESSAGETYPE") == "1";
                separator = Column(registry, "EDIFIELDSEPARATOR");
            }
        }
        // an XML entry is an element, an EDI entry a line
        xml = xml || row->entryText.rfind("<", 0) == 0;
        auto c = ado::OpenConnection(Sls_ConnectionString());
        ado::Transaction tx(*c);
        EntryAppliedAgain applied = ApplyEntryAgain(c, row->entryText, xml, separator, row->reference,
                                                    Sls_OperatorActor(operatorName), note);
        if (!applied.refusedWhy.empty()) return NoLonger("the entry cannot be applied: " + applied.refusedWhy);
        if (!applied.orderFound) return NoLonger("its order is not in the database yet");
        if (applied.changed == 0) return NoLonger("its order no longer waits for its confirmation (status 1)");
        auto closed = c->ExecuteBatch({{"UPDATE EXCHANGE SET OUTCOME = ?, DETAIL = ? WHERE EXCHANGEID = ? AND OUTCOME = ?",
                                        {Variant(entry_state::kApplied),
                                         Variant(ClosedDetail(*row, "applied", operatorName, note)), Variant(id),
                                         Variant(entry_state::kWaiting)}}});
        if (closed.front().affected < 1) return NoLonger("the entry was closed meanwhile");
        tx.Commit();
        c->Close();
        return {};
    } catch (...) {
        Sls_RaiseError("Ordexa.Exchanges.Apply");
    }
}

ExchangeActionResult DismissRefusedEntry(const std::string& id, const std::string& operatorName,
                                         const std::string& note) {
    try {
        auto row = FindExchange(id);
        if (!row) return {Outcome::NotFound, "no exchange " + id};
        if (row->kind != exchange_kind::kRefusedEntry || row->outcome != entry_state::kWaiting)
            return NoLonger("only a refused confirmation entry still waiting can be dismissed");
        auto c = Sls_GetOpenConnection(Sls_ConnectionString());
        int32_t closed = 0;
        c->Execute("UPDATE EXCHANGE SET OUTCOME = ?, DETAIL = ? WHERE EXCHANGEID = ? AND OUTCOME = ?", &closed, -1,
                                 {Variant(entry_state::kDismissed),
                                  Variant(ClosedDetail(*row, "dismissed", operatorName, note)), Variant(id),
                                  Variant(entry_state::kWaiting)});
        if (closed < 1) return NoLonger("the entry was closed meanwhile");
        return {};
    } catch (...) {
        Sls_RaiseError("Ordexa.Exchanges.Dismiss");
    }
}

}  // namespace ordexa
