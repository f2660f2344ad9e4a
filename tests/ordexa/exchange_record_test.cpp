// The record of exchanges: every export group on record matches the copy kept
// of it and the bytes in the file, a group goes again byte for byte only while
// its orders are exported, and a refused confirmation entry waits for an
// operator to apply or dismiss it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <set>

#include <pugixml.hpp>

#include "order_export_fixture.h"
#include "ordexa/exchange/exchange_actions.h"
#include "ordexa/exchange/exchange_record.h"
#include "ordexa/exchange/web_order_confirmation.h"
#include "ordexa/exchange/web_order_export.h"
#include "platform/os/sha256.h"

using namespace export_testing;
using testing_support::ReadFile;
using testing_support::WriteFile;
using ordexa::ExchangeActionOutcome;
namespace fs = std::filesystem;

namespace {

class ExchangeRecord : public OrderExportTest {
protected:
    std::vector<ordexa::ExchangeRow> Rows(const std::string& kind) {
        ordexa::ExchangeQuery query;
        query.kind = kind;
        query.limit = 200;
        return ordexa::ListExchanges(query).rows;
    }
    int32_t EventsOf(const std::string& orderId, const std::string& what) {
        auto rs = Db()->Execute("SELECT COUNT(*) FROM ORDEREVENT WHERE ORDERID = ? AND WHAT = ? AND ACTOR = ? AND DETAIL = ?",
                                nullptr, -1, {Variant(orderId), Variant(what), Variant("operator ann"), Variant("lost")});
        return rs->Fields(0).Value().ToLong();
    }
};

TEST_P(ExchangeRecord, EveryGroupMatchesItsCopyAndTheFileAndGoesAgainByteForByte) {
    Inst().Exec("INSERT INTO ORDEREXPORTFILE (BISID, FILENAME, EXPORTMESSAGETYPE, USEFTP) VALUES (1, '" + ediFile_ +
                "', '', 'false')");
    WriteFile(ediFile_, "ENV,EARLIER,DADuder,WWW,ORDER,,\r\n");  // a group does not begin at 0
    std::string a = Submit(Simple()), b = Submit(Simple());
    Export(ediFile_);
    std::string c = Submit(Simple(2, "2026-03-03 09:00:00"));
    Export(ediFile_);
    std::string file = ReadFile(ediFile_);

    auto groups = Rows(ordexa::exchange_kind::kExportGroup);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].orderIds, std::vector<std::string>{c});  // newest first
    for (const auto& g : groups) {
        ASSERT_TRUE(g.offset && g.length);
        std::string archived = ReadFile(g.archive);
        EXPECT_EQ(os::Sha256Hex(archived), g.sha256);
        EXPECT_EQ(file.substr(static_cast<size_t>(*g.offset), static_cast<size_t>(*g.length)), archived);
        EXPECT_EQ(g.actions, std::vector<std::string>{"replay"});
    }

    // sent again: appended whole, each order's timeline names the operator and the note
    std::string first = groups[1].id;
    ASSERT_EQ(ordexa::ReplayExportGroup(first, "ann", "lost").outcome, ExchangeActionOutcome::Done);
    std::string again = ReadFile(ediFile_);
    EXPECT_EQ(again, file + ReadFile(groups[1].archive));
    EXPECT_EQ(EventsOf(a, "export sent again") + EventsOf(b, "export sent again"), 2);
    EXPECT_EQ(StatusOf(a).first, 1);
    auto replayed = Rows(ordexa::exchange_kind::kExportGroup).front();
    EXPECT_EQ(replayed.outcome, "replayed");
    EXPECT_EQ(*replayed.offset, static_cast<int64_t>(file.size()));

    // refused, and nothing sent: an order moved on, a copy that no longer matches, no such row
    Inst().Exec("UPDATE ORDERHEADER SET ORDERSTATUS = 6 WHERE ORDERID = '" + b + "'");
    auto moved = ordexa::ReplayExportGroup(first, "ann", "lost");
    EXPECT_EQ(moved.outcome, ExchangeActionOutcome::NoLongerApplies);
    EXPECT_NE(moved.why.find(b), std::string::npos) << moved.why;
    EXPECT_TRUE(ordexa::FindExchange(first)->actions.empty());
    WriteFile(groups[0].archive, ReadFile(groups[0].archive) + " ");
    auto tampered = ordexa::ReplayExportGroup(groups[0].id, "ann", "lost");
    EXPECT_EQ(tampered.outcome, ExchangeActionOutcome::NoLongerApplies);
    EXPECT_NE(tampered.why.find("SHA-256"), std::string::npos) << tampered.why;
    EXPECT_EQ(ordexa::ReplayExportGroup(std::string(32, 'F'), "ann", "lost").outcome, ExchangeActionOutcome::NotFound);
    EXPECT_EQ(ReadFile(ediFile_), again);
}

TEST_P(ExchangeRecord, ARefusedEntryWaitsUntilItIsAppliedOrDismissed) {
    fs::path folder = Inst().Home() / "in";
    fs::create_directories(folder);
    std::string path = (folder / "confirm.edi").string();
    Inst().Exec("INSERT INTO ORDEREXPORTFILE (BISID, FILENAME, CONFIRMATIONFILENAME, EDIFIELDSEPARATOR) VALUES (1, 'x.edi', '" +
                path + "', ';')");
    // the order of the first line is not in the database yet
    WriteFile(path, "NOT-YET;SO-1\r\nBAD;\r\nEMPTY;SO-2\r\n");
    auto importer = Sls_GetComponent<ordexa::IWebOrderConfirmation>("Ordexa.WebOrderConfirmation");
    importer->Run("1", path, "", ";", {"false", "", "", "", "", "", ""});

    auto files = Rows(ordexa::exchange_kind::kConfirmationFile);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].sha256, os::Sha256Hex("NOT-YET;SO-1\r\nBAD;\r\nEMPTY;SO-2\r\n"));
    EXPECT_EQ(files[0].sha256, os::Sha256Hex(ReadFile(files[0].reference)));  // the archived file
    auto entries = ordexa::WaitingRefusedEntries(10);
    ASSERT_EQ(entries.size(), 3u);  // the empty number refused, two orders not found
    std::map<std::string, std::string> byText;
    for (const auto& e : entries) byText[e.entryText] = e.id;
    ASSERT_TRUE(byText.count("NOT-YET;SO-1") && byText.count("EMPTY;SO-2"));

    // applied once its order exists: the order moves on, the entry is closed
    EXPECT_EQ(ordexa::ApplyRefusedEntry(byText["NOT-YET;SO-1"], "ann", "lost").outcome,
              ExchangeActionOutcome::NoLongerApplies);
    Inst().Exec("INSERT INTO ORDERHEADER (ORDERID, ORDERSTATUS, WEBPAYMENTMETHOD, SALESORDERNR) VALUES ('NOT-YET', 1, 1, '');"
                "INSERT INTO ORDEREVENT (ORDERID, SEQ, EVENTTIME, STATUSBEFORE, STATUSAFTER, WHAT) VALUES "
                "('NOT-YET', 1, '2026-03-02 10:00:00', 0, 1, 'exported')");
    EXPECT_EQ(ordexa::ApplyRefusedEntry(byText["NOT-YET;SO-1"], "ann", "lost").outcome, ExchangeActionOutcome::Done);
    EXPECT_EQ(StatusOf("NOT-YET").first, 6);
    EXPECT_EQ(EventsOf("NOT-YET", "confirmed"), 1);
    EXPECT_EQ(ordexa::ApplyRefusedEntry(byText["NOT-YET;SO-1"], "ann", "lost").outcome,
              ExchangeActionOutcome::NoLongerApplies);  // applied once

    EXPECT_EQ(ordexa::DismissRefusedEntry(byText["EMPTY;SO-2"], "ann", "lost").outcome, ExchangeActionOutcome::Done);
    auto dismissed = ordexa::FindExchange(byText["EMPTY;SO-2"]);
    EXPECT_EQ(dismissed->outcome, "dismissed");
    EXPECT_NE(dismissed->detail.find("operator ann: lost"), std::string::npos) << dismissed->detail;
    EXPECT_EQ(ordexa::WaitingRefusedEntries(10).size(), 1u);
}

// The XML export keeps each partner's group as the exact bytes the document
// holds, and puts a group back at the document's end byte for byte; a file
// written straight into the back end's folder is on record as placed.
TEST_P(ExchangeRecord, XmlGroupsMatchTheirCopiesAndTheDocumentAndGoAgainByteForByte) {
    std::string xmlFile = (Inst().Home() / "orders.xml").string();
    Inst().Exec("INSERT INTO ORDEREXPORTFILE (BISID, FILENAME, EXPORTMESSAGETYPE, USEFTP) VALUES (1, '" + xmlFile +
                "', '1', 'false')");
    std::string a = Submit(Simple()), b = Submit(Simple(3)), c = Submit(Simple());
    Export(xmlFile, "", "", "1", "1");
    std::string document = ReadFile(xmlFile);

    auto groups = Rows(ordexa::exchange_kind::kExportGroup);
    ASSERT_EQ(groups.size(), 2u);  // one per business partner
    std::set<std::set<std::string>> orders;  // orders of one date keep the order of their ids
    for (const auto& g : groups) {
        ASSERT_TRUE(g.offset && g.length);
        std::string archived = ReadFile(g.archive);
        EXPECT_EQ(os::Sha256Hex(archived), g.sha256);
        EXPECT_EQ(document.substr(static_cast<size_t>(*g.offset), static_cast<size_t>(*g.length)), archived);
        EXPECT_EQ(fs::status(g.archive).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
        orders.insert({g.orderIds.begin(), g.orderIds.end()});
    }
    EXPECT_EQ(orders, (std::set<std::set<std::string>>{{a, c}, {b}}));
    auto placed = Rows(ordexa::exchange_kind::kFilePlaced);
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(placed[0].reference, "local");
    EXPECT_EQ(placed[0].length, static_cast<int64_t>(document.size()));

    const auto& group = groups[0];
    ASSERT_EQ(ordexa::ReplayExportGroup(group.id, "ann", "lost").outcome, ExchangeActionOutcome::Done);
    auto replayed = Rows(ordexa::exchange_kind::kExportGroup).front();
    EXPECT_EQ(replayed.outcome, "replayed");
    std::string again = ReadFile(xmlFile);
    EXPECT_EQ(again.substr(static_cast<size_t>(*replayed.offset), static_cast<size_t>(*replayed.length)),
              ReadFile(group.archive));
    EXPECT_EQ(EventsOf(group.orderIds.front(), "export sent again"), 1);
    pugi::xml_document parsed;
    EXPECT_TRUE(parsed.load_string(again.c_str()));
    EXPECT_EQ(parsed.select_nodes("BizTalk/Body/QxSalesOrders/Order").size(), 3u + group.orderIds.size());
}

// A process that stops while a group sent again is in the EDI file, between the
// record and the file's release: the next writer keeps the bytes when the
// replay is on record, and cuts them off when it is not.
TEST_P(ExchangeRecord, AReplayCutShortLeavesTheFileAsTheRecordSaysIt) {
    const std::string group = "ENV,REPLAYED,DADuder,WWW,ORDER,,\r\n";
    for (bool recorded : {true, false}) {
        SCOPED_TRACE(recorded ? "recorded" : "not recorded");
        WriteFile(ediFile_, "ENV,EARLIER,DADuder,WWW,ORDER,,\r\n");
        std::string before = ReadFile(ediFile_);
        std::string id = Sls_CreateGUID();
        ado::ClearConnectionPool();
        pid_t child = ::fork();
        if (child == 0) {
            ordexa::PlaceExportGroupAgain("1", ediFile_, {"false", "", "", "", "", "", ""}, group, id,
                                          [&](const std::string& file, int64_t offset) {
                                              if (recorded) {
                                                  ordexa::ExchangeRecord sent;
                                                  sent.id = id;
                                                  sent.kind = ordexa::exchange_kind::kExportGroup;
                                                  sent.outcome = "replayed";
                                                  ordexa::RecordExchanges(Sls_GetOpenConnection(Sls_ConnectionString()),
                                                                          {sent});
                                              }
                                              ::_exit(9);  // stopped before the file is released
                                          });
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
        ASSERT_EQ(ReadFile(ediFile_), before + group);
        std::string order = Submit(Simple());
        Export(ediFile_);  // the file's next writer
        std::string after = ReadFile(ediFile_);
        EXPECT_EQ(after.compare(0, before.size() + group.size(), before + group) == 0, recorded) << after;
        EXPECT_NE(after.find(order), std::string::npos);
    }
}

INSTANTIATE_INSTALLATION_TEST(ExchangeRecord);

}  // namespace
