// The XML order export: the document the back end receives, how it grows,
// and what stays when something fails or the exporter dies on the way.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <pugixml.hpp>
#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "ftp_server.h"
#include "order_export_fixture.h"
#include "ordexa/exchange/xml_export_file.h"
#include "platform/data/ado.h"

using namespace export_testing;
using testing_support::ReadFile;
using testing_support::WriteFile;
namespace fs = std::filesystem;

namespace {

const char* kCatalogue =
    "INSERT INTO PRODUCT (PRODUCTID, NUMBER, PARTNUMBER, PRODUCTDESCRIPTION, UNITCODE) VALUES"
    " (101, '101', 'BOLT-M8', 'Hexagon bolt M8 & nut', 'PCS'), (102, '102', 'WASHER-8', 'Flat washer 8 mm', 'PCS'),"
    " (103, '103', 'CABLE-3X25', NULL, 'M');"
    "UPDATE ADDRESS SET SHORTDESCRIPTION = 'Invoices' WHERE ADDRESSID = 21;"
    "UPDATE ADDRESS SET SHORTDESCRIPTION = 'Warehouse' WHERE ADDRESSID = 22;"
    "UPDATE ADDRESS SET SHORTDESCRIPTION = 'Building site' WHERE ADDRESSID = 23";

class XmlExport : public OrderExportTest {
protected:
    fs::path file_;
    void SetUp() override {
        OrderExportTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(kCatalogue);
        file_ = Inst().Home() / "xml" / "out" / "orders.xml";
        fs::create_directories(file_.parent_path());
    }
    void TearDown() override {
        ordexa::SetXmlExportStepHook({});
        OrderExportTest::TearDown();
    }

    void ExportXml() { Export(file_.string(), "", "", "1", "1"); }

    // The order ids of a document, in document order; fails the test when it does not parse.
    static std::vector<std::string> OrdersIn(const std::string& text) {
        pugi::xml_document doc;
        auto parsed = doc.load_string(text.c_str());
        EXPECT_TRUE(parsed) << parsed.description() << "\n" << text;
        std::vector<std::string> ids;
        for (auto& node : doc.select_nodes("BizTalk/Body/QxSalesOrders/Order/OrderHeader/order_id"))
            ids.push_back(node.node().text().get());
        return ids;
    }

    std::set<std::string> Marked() {
        std::set<std::string> ids;
        auto rs = Db()->Execute("SELECT ORDERID FROM ORDERHEADER WHERE ORDERSTATUS = 1");
        for (; !rs->Eof(); rs->MoveNext()) ids.insert(rs->Fields(0).Value().ToString());
        return ids;
    }

    // What lies beside the export file but the export's own copies (archive/).
    std::vector<std::string> FilesBeside() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(file_.parent_path()))
            if (entry.path().filename() != "archive") names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Runs f in a child process and returns its wait status. The pooled
// connections are closed first, so that the child shares none with this process.
int InChild(const std::function<void()>& f) {
    ado::ClearConnectionPool();
    pid_t pid = ::fork();
    if (pid == 0) {
        try {
            f();
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// No byte that XML 1.0 forbids (a control character other than tab, LF and CR).
bool OnlyXmlCharacters(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        auto b = static_cast<unsigned char>(c);
        return b < 0x20 && b != '\t' && b != '\n' && b != '\r';
    });
}

TEST_P(XmlExport, ANewFileHoldsTheEnvelopeAndEachOrderElementByElement) {
    OrderDraft draft = Simple();
    draft.name = "Week\x01 12\x1f";  // control characters XML does not allow
    draft.lines.push_back({.part = "WASHER-8", .quantity = 10, .price = 0.05, .address = 23});
    draft.lines.push_back({.part = "CABLE-3X25", .quantity = 5, .price = 1.8, .address = 22, .unit = "M"});
    std::string id = Submit(draft);

    ExportXml();

    std::string expected = ReadFile(fs::path(BACKOFFICE_SOURCE_DIR) / "tests" / "ordexa" / "data" / "xml_order.xml");
    std::string text = ReadFile(file_);
    EXPECT_EQ(text, WithId(expected, id));
    EXPECT_TRUE(OnlyXmlCharacters(text));
    EXPECT_EQ(StatusOf(id), std::make_pair(1, std::string("")));  // its BISID stays as it was
    EXPECT_EQ(Entries({"WebOrderExport submitted 1 orders to export file for BISID 1"}), 1u);
    EXPECT_EQ(FilesBeside(), std::vector<std::string>{"orders.xml"});
}

TEST_P(XmlExport, LaterRunsAppendUnderTheSameRootAndLeaveTheEarlierOrdersAsTheyWere) {
    std::string first = Submit(Simple());
    Db()->Execute("UPDATE ORDERHEADER SET BISID = 1 WHERE ORDERID = ?", nullptr, -1, {Variant(first)});
    ExportXml();
    std::string before = ReadFile(file_);
    std::string second = Submit(Simple(2, "2026-03-03 10:00:00")), third = Submit(Simple(3, "2026-03-01 08:00:00"));

    ExportXml();

    std::string after = ReadFile(file_);
    EXPECT_EQ(OrdersIn(after), (std::vector<std::string>{first, second, third}));
    // the earlier document is the start of the new one, up to where the new orders begin
    size_t firstEnds = before.find("</Order>") + std::string("</Order>").size();
    EXPECT_EQ(after.substr(0, firstEnds), before.substr(0, firstEnds));
    pugi::xml_document doc;
    doc.load_string(after.c_str());
    EXPECT_EQ(doc.select_nodes("BizTalk/Body/QxSalesOrders").size(), 1u);
    EXPECT_EQ(FilesBeside(), std::vector<std::string>{"orders.xml"});  // no timestamp-named or temporary file
    EXPECT_EQ(StatusOf(first), std::make_pair(1, std::string("1")));
    EXPECT_EQ(StatusOf(third), std::make_pair(1, std::string("")));
    EXPECT_EQ(Entries({"WebOrderExport submitted 2 orders to export file for BISID 1"}), 1u);
}

TEST_P(XmlExport, OrdersAreGroupedByBusinessPartnerAndTheFileIsWrittenOncePerRun) {
    std::string a = Submit(Simple(2, "2026-03-01 08:00:00"));
    std::string b = Submit(Simple(3, "2026-03-02 08:00:00"));
    std::string c = Submit(Simple(2, "2026-03-03 08:00:00"));
    int saves = 0;
    ordexa::SetXmlExportStepHook([&](std::string_view step) { saves += step == "renamed"; });

    ExportXml();

    // a partner's first order closes its group
    EXPECT_EQ(OrdersIn(ReadFile(file_)), (std::vector<std::string>{c, a, b}));
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(Marked(), (std::set<std::string>{a, b, c}));
}

TEST_P(XmlExport, CardOrdersWithLinesCarryAFreightLineOthersNone) {
    OrderDraft card = Simple();  // no freight: the line says 0
    card.payment = 2;
    card.lines.push_back({.part = "WASHER-8", .quantity = 5, .price = 0.05});
    std::string free = Submit(card);
    card.freight = 12.5;
    card.date = "2026-03-02 09:31:00";
    std::string charged = Submit(card);
    OrderDraft invoice = Simple(2, "2026-03-02 09:32:00");
    invoice.freight = 7.5;
    std::string onInvoice = Submit(invoice);
    OrderDraft empty = Simple(2, "2026-03-02 09:33:00");
    empty.payment = 2;
    empty.freight = 3;
    empty.lines.clear();
    std::string noLines = Submit(empty);

    ExportXml();

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file_.c_str()));
    auto linesOf = [&](const std::string& id) {
        return doc.select_nodes(("//Order[OrderHeader/order_id='" + id + "']/OrderLines/Orderline").c_str());
    };
    for (const auto& [id, price] : {std::pair{free, "0"}, std::pair{charged, "12.5"}}) {
        auto lines = linesOf(id);
        ASSERT_EQ(lines.size(), 3u) << id;
        pugi::xml_node freight = lines[2].node();
        EXPECT_STREQ(freight.child_value("partnumber"), "FREIGHT");
        EXPECT_STREQ(freight.child_value("unit_code"), "PCS");
        EXPECT_STREQ(freight.child_value("Quantity"), "1");
        EXPECT_STREQ(freight.child_value("list_price"), price);
        EXPECT_STREQ(freight.child_value("discount"), "0");
        for (const char* empty : {"address_description", "product_description", "line_total", "line_tax", "tax_code",
                                  "tax_percentage"})
            EXPECT_STREQ(freight.child_value(empty), "") << empty;
    }
    EXPECT_EQ(linesOf(onInvoice).size(), 1u);
    EXPECT_EQ(linesOf(noLines).size(), 0u);
    EXPECT_EQ(Marked().size(), 4u);
    // the freight line lives in the document only
    auto rs = Db()->Execute("SELECT COUNT(*) FROM ORDERLINE WHERE PARTNUMBER = 'FREIGHT'");
    EXPECT_EQ(rs->Fields(0).Value().ToLong(), 0);
}

TEST_P(XmlExport, AnOrderThatCannotBeRenderedStaysWaitingAndTheOthersGo) {
    Inst().Exec("INSERT INTO ADDRESS (ADDRESSID, BUSINESSPARTNERID, NAME1, COUNTRYCODE) VALUES (36, 2, 'Gone', 'NL')");
    OrderDraft gone = Simple();
    gone.billing = 36;
    std::string broken = Submit(gone);
    OrderDraft unknownProduct = Simple(2, "2026-03-03 09:30:00");
    for (const char* part : {"WASHER-8", "CABLE-3X25", "PUMP-P200"}) unknownProduct.lines.push_back({.part = part});
    std::string good = Submit(unknownProduct);
    Inst().Exec("DELETE FROM ADDRESS WHERE ADDRESSID = 36");

    ExportXml();

    EXPECT_EQ(OrdersIn(ReadFile(file_)), std::vector<std::string>{good});
    EXPECT_EQ(Marked(), std::set<std::string>{good});
    // a product the catalogue does not know goes without its description
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file_.c_str()));
    auto lines = doc.select_nodes("//Orderline");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_STREQ(lines[3].node().child_value("partnumber"), "PUMP-P200");
    EXPECT_STREQ(lines[3].node().child_value("product_description"), "");
    EXPECT_EQ(Entries({"[warning]", "Product 104 is not in the catalogue"}), 1u);
    EXPECT_EQ(Entries({"Ordexa.WebOrderExport.XmlOrderFormToDOMDoc()", "OrderId = " + broken, "MissingHeaderAddress"}),
              2u);  // its own entry, and the caller's with it inside
    EXPECT_EQ(Entries({"Ordexa.WebOrderExport.XmlExportOrdersToFile()", "Order export failed for OrderID: " + broken}),
              1u);
}

TEST_P(XmlExport, AFileThatIsNoExportDocumentIsLeftAsItWasAndTheOrdersWait) {
    std::string a = Submit(Simple());
    for (const std::string& content : {std::string("<BizTalk><Body><QxSalesOrders><Order>"),  // cut short
                                       std::string("<?xml version=\"1.0\"?>\n<Inventory/>\n")}) {
        WriteFile(file_, content);
        ExportXml();
        EXPECT_EQ(ReadFile(file_), content);
        EXPECT_EQ(StatusOf(a).first, 0);
        EXPECT_EQ(FilesBeside(), std::vector<std::string>{"orders.xml"});
    }
    EXPECT_EQ(Entries({"Ordexa.WebOrderExport.XmlExportOrdersToFile()", "cannot be read as XML",
                       "XML export of orders using file '" + file_.string() + "' failed."}),
              1u);
    EXPECT_EQ(Entries({"Ordexa.WebOrderExport.XmlExportOrdersToFile()", "holds no BizTalk/Body/QxSalesOrders",
                       "XML export of orders using file '" + file_.string() + "' failed."}),
              1u);
    EXPECT_EQ(Entries({"WebOrderExport submitted"}), 0u);
}

TEST_P(XmlExport, ASaveThatFailsMarksNoOrderAndLeavesTheFileAsItWas) {
    std::string earlier = Submit(Simple());
    ExportXml();
    std::string before = ReadFile(file_);
    std::string a = Submit(Simple()), b = Submit(Simple(3));
    std::string folder = file_.parent_path().string();
    // A read-only folder: root writes anywhere else, so it gets a read-only mount of its own.
    int status = InChild([&] {
        if (::geteuid() != 0) {
            fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        } else if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                   ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                   ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            ::_exit(7);
        }
        ExportXml();
    });
    fs::permissions(folder, fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) != 7) {
        ASSERT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(ReadFile(file_), before);
        EXPECT_EQ(Marked(), std::set<std::string>{earlier});
        EXPECT_EQ(Entries({"Ordexa.WebOrderExport.XmlExportOrdersToFile()", "Permission denied",
                           "XML export of orders using file '" + file_.string() + "' failed."}),
                  1u);
    }
    // A full disk: the new document does not fit.
    status = InChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = before.size() + 100;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ExportXml();
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(ReadFile(file_), before);
    EXPECT_EQ(Marked(), std::set<std::string>{earlier});
    EXPECT_EQ(FilesBeside(), std::vector<std::string>{"orders.xml"});
    ExportXml();  // room again: both go
    EXPECT_EQ(OrdersIn(ReadFile(file_)), (std::vector<std::string>{earlier, a, b}));
}

// The exporter fails, or is killed, at every step in turn; a kill may also
// come while a failed export puts the old document back. Whatever happened,
// the path names the old document or the new one, every order marked exported
// is in it, and the next run leaves every order exported exactly once.
TEST_P(XmlExport, AnExporterThatFailsOrIsKilledAtAnyStepLosesNoOrderAndSendsNoneTwice) {
    std::string earlier = Submit(Simple());
    ExportXml();
    const std::string before = ReadFile(file_);
    const std::vector<std::string> fresh = {Submit(Simple(2, "2026-03-03 09:30:00")),
                                            Submit(Simple(3, "2026-03-04 09:30:00"))};
    auto reset = [&] {
        for (const auto& id : fresh)
            Db()->Execute("UPDATE ORDERHEADER SET ORDERSTATUS = 0 WHERE ORDERID = ?", nullptr, -1, {Variant(id)});
        WriteFile(file_, before);
    };
    ExportXml();
    const std::string after = ReadFile(file_);
    ASSERT_EQ(OrdersIn(after).size(), 3u);

    int cases = 0;
    for (int failAt = 0; failAt <= 7; ++failAt) {
        for (int killAt = failAt + 1;; ++killAt) {
            reset();
            int status = InChild([&] {
                int step = 0;
                ordexa::SetXmlExportStepHook([&](std::string_view name) {
                    ++step;
                    if (step == failAt) ole::Raise(ole::err::DeviceIOError, "failed at " + std::string(name));
                    if (step == killAt) ::_exit(9);
                });
                ExportXml();
            });
            ASSERT_TRUE(WIFEXITED(status));
            bool killed = WEXITSTATUS(status) == 9;
            ++cases;
            std::string left = ReadFile(file_);
            SCOPED_TRACE("failed at step " + std::to_string(failAt) + ", killed at step " + std::to_string(killAt));
            ASSERT_TRUE(left == before || left == after) << left;
            std::vector<std::string> held = OrdersIn(left);
            for (const auto& id : Marked())
                EXPECT_NE(std::find(held.begin(), held.end(), id), held.end()) << id << " is marked but not in the file";
            ExportXml();
            EXPECT_EQ(ReadFile(file_), after);
            EXPECT_EQ(Marked().size(), 3u);
            EXPECT_EQ(FilesBeside(), std::vector<std::string>{"orders.xml"});
            if (!killed) break;  // the export ran to its end: no step left to kill at
        }
    }
    EXPECT_GT(cases, 20);
}

// The exporter is killed at every step in turn, and the back end takes what
// the path names before the next run, as it may once the killed exporter's
// locks are gone: every order reaches the back end exactly once, and is marked.
TEST_P(XmlExport, AKilledExportWhoseDocumentTheBackEndTakesSendsEveryOrderOnce) {
    std::string earlier = Submit(Simple());
    ExportXml();
    const std::string before = ReadFile(file_);
    const std::vector<std::string> fresh = {Submit(Simple(2, "2026-03-03 09:30:00")),
                                            Submit(Simple(3, "2026-03-04 09:30:00"))};
    const fs::path backEnd = file_.parent_path().parent_path() / "taken";
    int taken = 0;
    auto take = [&] {  // unlocked: the exporter that locked it is dead or done
        fs::create_directories(backEnd);
        if (fs::exists(file_)) fs::rename(file_, backEnd / std::to_string(++taken));
    };
    for (int killAt = 1;; ++killAt) {
        SCOPED_TRACE("killed at step " + std::to_string(killAt));
        for (const auto& id : fresh)
            Db()->Execute("UPDATE ORDERHEADER SET ORDERSTATUS = 0 WHERE ORDERID = ?", nullptr, -1, {Variant(id)});
        WriteFile(file_, before);
        fs::remove_all(backEnd);
        int status = InChild([&] {
            int step = 0;
            ordexa::SetXmlExportStepHook([&](std::string_view) {
                if (++step == killAt) ::_exit(9);
            });
            ExportXml();
        });
        ASSERT_TRUE(WIFEXITED(status));
        take();
        ExportXml();
        take();
        std::map<std::string, int> sent;
        for (const auto& document : fs::directory_iterator(backEnd))
            for (const auto& id : OrdersIn(ReadFile(document.path()))) ++sent[id];
        EXPECT_EQ(sent, (std::map<std::string, int>{{earlier, 1}, {fresh[0], 1}, {fresh[1], 1}}));
        EXPECT_EQ(Marked(), (std::set<std::string>{earlier, fresh[0], fresh[1]}));
        if (WEXITSTATUS(status) != 9) break;  // the export ran to its end: no step left to kill at
    }
}

INSTANTIATE_INSTALLATION_TEST(XmlExport);

// Over FTP the document collects in the instance's outbox until the host no
// longer holds the previous one.
class FtpXmlExport : public XmlExport {
protected:
    void Run(testing_support::FtpServer& server) {
        auto exporter = Sls_GetComponent<ordexa::IWebOrderExport>("Ordexa.WebOrderExport");
        exporter->Run("1", "out/orders.xml", "1", "", "",
                      {"true", server.Host(), server.Port(), "", "", server.User(), server.Password()});
    }
    fs::path Outbox() { return Inst().Home() / "Vendalo" / "TempEdiFtp" / "1.xml"; }
};

TEST_P(FtpXmlExport, TheOutboxCollectsWhileTheHostIsBusyAndGoesWhenItIsFree) {
    testing_support::FtpServer server;
    fs::create_directories(server.Home() / "out");
    fs::path remote = server.Home() / "out" / "orders.xml";
    WriteFile(remote, "NOT TAKEN YET");
    std::string a = Submit(Simple());
    Run(server);
    EXPECT_EQ(Entries({"WebOrderExport.ProcessOrders", "Order export file out/orders.xml is already present on system " +
                                                          server.Host() + ". Exported orders stay saved in file " +
                                                          Outbox().string()}),
              1u);
    std::string b = Submit(Simple(3));
    Run(server);
    EXPECT_EQ(OrdersIn(ReadFile(Outbox())), (std::vector<std::string>{a, b}));
    EXPECT_EQ(Marked(), (std::set<std::string>{a, b}));
    EXPECT_EQ(ReadFile(remote), "NOT TAKEN YET");

    fs::remove(remote);  // the back end took it
    Run(server);         // nothing new waits: the outbox goes
    EXPECT_FALSE(fs::exists(Outbox()));
    EXPECT_EQ(OrdersIn(ReadFile(remote)), (std::vector<std::string>{a, b}));
}

INSTANTIATE_INSTALLATION_TEST(FtpXmlExport);


}  // namespace
