// The basket store on both databases, called through its ProgID and interface.
#include <gtest/gtest.h>

#include "interfaces/vendalo/basket.h"
#include "platform/masterdata/business_partner.h"
#include "shared/lib_sales.h"
#include "test_installation.h"

using namespace testing_support;
using ado::RecordsetPtr;
using ole::DictionaryPtr;
using ole::Variant;

namespace {

const int32_t kPartner = 10;
const ole::Date kMonday = ole::Date::FromParts(2026, 3, 2);

class BasketStore : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        if (IsSkipped()) return;
        Inst().Exec(
            "INSERT INTO BUSINESSPARTNER (BUSINESSPARTNERID, NAME, CURRENCYCODE, CARRIERCODE, POSTALADDRESSID, "
            "SHIPPINGADDRESSID) VALUES (10, 'Acme', 'EUR', 'DHL', 100, 101);"
            "INSERT INTO PRODUCTCONFIGURATION (CONFIGID, PRODUCTID, LANGUAGE, COUNTRYCODE, VARIANTOPTIONS) "
            "VALUES ('CFG-1', 77, 'en', 'US', 'VOP colour=red')");
        basket = Sls_GetComponent<vendalo::IBasket>("Vendalo.Basket");
    }

    static RecordsetPtr Header(const DictionaryPtr& b) { return b->Item("header").As<ado::Recordset>(); }
    static RecordsetPtr Lines(const DictionaryPtr& b) { return b->Item("lines").As<ado::Recordset>(); }
    static std::string IdOf(const DictionaryPtr& b) { return Header(b)->Fields("BASKETID").Value().ToString(); }

    Variant Query(const std::string& sql, const std::vector<Variant>& params = {}) {
        auto c = std::make_shared<ado::Connection>();
        c->Open(Inst().ConnectionString());
        auto rs = c->Execute(sql, nullptr, -1, params);
        return rs->Eof() ? Variant() : rs->Fields(0).Value();
    }
    int Count(const std::string& table, const std::string& basketId) {
        return Query("SELECT COUNT(*) FROM " + table + " WHERE BASKETID = ?", {basketId}).ToLong();
    }
    // The stored line numbers of a basket, ascending, as "1,2,5".
    std::string StoredLines(const std::string& basketId) {
        auto c = std::make_shared<ado::Connection>();
        c->Open(Inst().ConnectionString());
        auto rs = c->Execute("SELECT BASKETLINENR FROM BASKETLINE WHERE BASKETID = ? ORDER BY BASKETLINENR", nullptr, -1,
                             {basketId});
        std::string text;
        for (; !rs->Eof(); rs->MoveNext()) text += (text.empty() ? "" : ",") + rs->Fields(0).Value().ToString();
        return text;
    }
    // A stored basket with the given lines (SKU 500 + line number).
    Variant BasketWithLines(int count) {
        Variant b = basket->Create("jdoe", kPartner);
        for (int i = 1; i <= count; ++i) basket->AddLine(b, 500 + i, i, kMonday, false, "");
        return b;
    }
    std::string ErrorOf(const std::function<void()>& call, int32_t* number = nullptr) {
        try {
            call();
        } catch (const ole::AutomationError& e) {
            if (number) *number = e.Number();
            return e.Description();
        }
        return "<no error>";
    }
    static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

    std::shared_ptr<vendalo::IBasket> basket;
};

TEST_P(BasketStore, CreateStoresTheHeaderAtOnceWithTheCustomersDefaults) {
    DictionaryPtr created = basket->Create("jdoe", kPartner);
    std::string id = IdOf(created);
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(Count("BASKETHEADER", id), 1);

    DictionaryPtr restored = basket->Restore(id);
    ASSERT_NE(restored, nullptr);
    auto header = Header(restored);
    EXPECT_EQ(header->ActiveConnection(), nullptr);
    EXPECT_EQ(header->Fields("USERID").Value().ToString(), "jdoe");
    EXPECT_EQ(header->Fields("BUSINESSPARTNERID").Value().ToLong(), kPartner);
    EXPECT_EQ(header->Fields("BILLINGADDRESSID").Value().ToLong(), 100);
    EXPECT_EQ(header->Fields("SHIPPINGADDRESSID").Value().ToLong(), 101);
    EXPECT_EQ(header->Fields("CURRENCYCODE").Value().ToString(), "EUR");
    EXPECT_EQ(header->Fields("CARRIERCODE").Value().ToString(), "DHL");
    EXPECT_LT(ole::Date::Now().serial - header->Fields("BASKETDATE").Value().ToDate().serial, 1.0);
    EXPECT_EQ(Lines(restored)->RecordCount(), 0);
    EXPECT_EQ(Lines(restored)->ActiveConnection(), nullptr);
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(BasketStore, LinesAreNumberedOneMoreThanTheLastRow) {
    Variant b = basket->Create("jdoe", kPartner);
    EXPECT_EQ(basket->AddLine(b, 501, 2.5, kMonday, false, ""), 1);
    EXPECT_EQ(basket->AddLine(b, 502, 1, kMonday, true, "CFG-1"), 2);
    auto lines = Lines(b.As<ole::Dictionary>());
    lines->AddNew();
    lines->Fields("BASKETID") = IdOf(b.As<ole::Dictionary>());
    lines->Fields("BASKETLINENR") = 5;
    lines->Fields("SKU") = 505;
    basket->Save(b);
    EXPECT_EQ(basket->AddLine(b, 506, 1, kMonday, false, ""), 6);
    std::string id = IdOf(b.As<ole::Dictionary>());
    EXPECT_EQ(StoredLines(id), "1,2,5,6");

    // a changed line may be stored behind the others (PostgreSQL moves a row whose indexed product
    // changes), so rows may come back in any order; the numbering does not depend on it
    Variant restored = basket->Restore(id);
    Lines(restored.As<ole::Dictionary>())->Fields("SKU") = 601;
    Lines(restored.As<ole::Dictionary>())->Fields("QUANTITY") = 4.0;
    basket->Save(restored);
    restored = basket->Restore(id);
    EXPECT_EQ(basket->AddLine(restored, 507, 1, kMonday, false, ""), 7);

    DictionaryPtr stored = basket->Restore(id);
    auto back = Lines(stored);
    back->Find("BASKETLINENR = 2");
    EXPECT_EQ(back->Fields("SKU").Value().ToLong(), 502);
    EXPECT_TRUE(back->Fields("PRODUCTCONFIGURABLE").Value().ToBool());
    EXPECT_EQ(back->Fields("PRODUCTCONFIGID").Value().ToString(), "CFG-1");
    EXPECT_EQ(back->Fields("REQUESTDATE").Value().ToDate(), kMonday);
    back->MoveFirst();
    EXPECT_DOUBLE_EQ(back->Fields("QUANTITY").Value().ToDouble(), 4.0);
    EXPECT_TRUE(back->Fields("ADDRESSID").Value().IsNull());
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(BasketStore, DeleteLinesSearchesForwardAndStartsOverAfterEachDeletion) {
    std::string id = IdOf(BasketWithLines(5).As<ole::Dictionary>());

    Variant b = basket->Restore(id);
    EXPECT_TRUE(basket->DeleteLines(b, Variant(ole::VariantArray{Variant(4), Variant(2)})));
    EXPECT_EQ(StoredLines(id), "1,3,5");

    // 9 is not found: the recordset stays at EOF, so 3 is not found either
    b = basket->Restore(id);
    EXPECT_TRUE(basket->DeleteLines(b, Variant(ole::VariantArray{Variant(9), Variant(3)})));
    EXPECT_EQ(StoredLines(id), "1,3,5");
    // nothing left to find from EOF in a later call either
    EXPECT_TRUE(basket->DeleteLines(b, Variant(ole::VariantArray{Variant(1)})));
    EXPECT_EQ(StoredLines(id), "1,3,5");

    // an empty array saves the basket's pending changes and deletes nothing
    b = basket->Restore(id);
    Header(b.As<ole::Dictionary>())->Fields("BASKETNAME") = "weekly";
    EXPECT_TRUE(basket->DeleteLines(b, Variant(ole::VariantArray{})));
    EXPECT_EQ(Query("SELECT BASKETNAME FROM BASKETHEADER WHERE BASKETID = ?", {id}).ToString(), "weekly");
    EXPECT_EQ(StoredLines(id), "1,3,5");

    // after AddLine the search starts at the new line
    EXPECT_EQ(basket->AddLine(b, 506, 1, kMonday, false, ""), 6);
    EXPECT_TRUE(basket->DeleteLines(b, Variant(ole::VariantArray{Variant(3)})));
    EXPECT_EQ(StoredLines(id), "1,3,5,6");
    b = basket->Restore(id);
    EXPECT_TRUE(basket->DeleteLines(b, Variant(ole::VariantArray{Variant(6), Variant(3)})));
    EXPECT_EQ(StoredLines(id), "1,5");
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(BasketStore, CopyTakesTheSourceAddressesTextAndLinesAndCopiesConfigurations) {
    Variant source = BasketWithLines(1);
    DictionaryPtr src = source.As<ole::Dictionary>();
    basket->AddLine(source, 77, 3, kMonday, true, "CFG-1");
    auto srcHeader = Header(src);
    srcHeader->Fields("SHIPPINGADDRESSID") = 201;
    srcHeader->Fields("BILLINGADDRESSID") = 200;
    srcHeader->Fields("BASKETTEXT") = "deliver to gate 4";
    srcHeader->Fields("BASKETNAME") = "original";
    auto srcLines = Lines(src);
    srcLines->MoveFirst();
    srcLines->Fields("ADDRESSID") = 300;
    srcLines->Fields("LINETEXT") = "fragile";
    basket->Save(source);
    src->Add("_language", "nl");
    src->Add("_countrycode", "NL");
    srcLines->MoveLast();
    srcLines->MoveNext();  // the caller left the lines at EOF: every line is copied all the same

    DictionaryPtr copy = basket->Copy(source, "copy of original");
    std::string id = IdOf(copy);
    ASSERT_NE(id, IdOf(src));
    DictionaryPtr stored = basket->Restore(id);
    auto header = Header(stored);
    EXPECT_EQ(header->Fields("BASKETNAME").Value().ToString(), "copy of original");
    EXPECT_EQ(header->Fields("SHIPPINGADDRESSID").Value().ToLong(), 201);
    EXPECT_EQ(header->Fields("BILLINGADDRESSID").Value().ToLong(), 200);
    EXPECT_EQ(header->Fields("BASKETTEXT").Value().ToString(), "deliver to gate 4");
    EXPECT_EQ(header->Fields("CURRENCYCODE").Value().ToString(), "EUR");
    EXPECT_LT(ole::Date::Now().serial - header->Fields("BASKETDATE").Value().ToDate().serial, 1.0);

    auto lines = Lines(stored);
    ASSERT_EQ(lines->RecordCount(), 2);
    EXPECT_EQ(lines->Fields("BASKETLINENR").Value().ToLong(), 1);
    EXPECT_EQ(lines->Fields("SKU").Value().ToLong(), 501);
    EXPECT_EQ(lines->Fields("ADDRESSID").Value().ToLong(), 300);
    EXPECT_EQ(lines->Fields("LINETEXT").Value().ToString(), "fragile");
    EXPECT_EQ(lines->Fields("REQUESTDATE").Value().ToDate(), kMonday);
    EXPECT_TRUE(lines->Fields("PRODUCTCONFIGID").Value().IsNull());
    lines->MoveNext();
    EXPECT_EQ(lines->Fields("BASKETLINENR").Value().ToLong(), 2);
    EXPECT_DOUBLE_EQ(lines->Fields("QUANTITY").Value().ToDouble(), 3.0);
    EXPECT_TRUE(lines->Fields("PRODUCTCONFIGURABLE").Value().ToBool());
    std::string configId = lines->Fields("PRODUCTCONFIGID").Value().ToString();
    EXPECT_NE(configId, "CFG-1");
    auto c = std::make_shared<ado::Connection>();
    c->Open(Inst().ConnectionString());
    auto config = c->Execute("SELECT * FROM PRODUCTCONFIGURATION WHERE CONFIGID = ?", nullptr, -1, {configId});
    ASSERT_FALSE(config->Eof());
    EXPECT_EQ(config->Fields("PRODUCTID").Value().ToLong(), 77);
    EXPECT_EQ(config->Fields("LANGUAGE").Value().ToString(), "nl");
    EXPECT_EQ(config->Fields("COUNTRYCODE").Value().ToString(), "NL");
    EXPECT_EQ(config->Fields("VARIANTOPTIONS").Value().ToString(), "VOP colour=red");
    c->Close();

    // the source is untouched; a basket without lines copies to one without lines
    EXPECT_EQ(StoredLines(IdOf(src)), "1,2");
    DictionaryPtr empty = basket->Copy(basket->Create("jdoe", kPartner), "empty");
    EXPECT_EQ(Count("BASKETLINE", IdOf(empty)), 0);
    EXPECT_EQ(Query("SELECT BASKETNAME FROM BASKETHEADER WHERE BASKETID = ?", {IdOf(empty)}).ToString(), "empty");
    EXPECT_EQ(Inst().LogText(), "");
}

TEST_P(BasketStore, CopyIgnoresFailuresUnlessOneCameBeforeTheConfigurationServiceWasMade) {
    Variant plain = BasketWithLines(2);
    Variant configured = BasketWithLines(1);
    basket->AddLine(configured, 77, 1, kMonday, true, "CFG-1");
    int headersBefore = Query("SELECT COUNT(*) FROM BASKETHEADER").ToLong();
    {
        ole::ComponentOverride noService("Qxcore.ProductConfigurationService", nullptr);
        // without configured lines nothing fails after the service: the copy is complete and nothing is logged
        DictionaryPtr copy = basket->Copy(plain, "plain copy");
        EXPECT_EQ(StoredLines(IdOf(copy)), "1,2");
        EXPECT_EQ(Inst().LogText(), "");

        // the configured line's copy is the next failure: it ends the copy with the report
        int32_t number = 0;
        std::string text = ErrorOf([&] { basket->Copy(configured, "configured copy"); }, &number);
        EXPECT_EQ(number, ole::err::ObjectNotSet);
        EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.Copy()\r\n")) << text;
        auto entries = Inst().LogEntries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(Has(entries[0], "Vendalo.Basket.Copy()"));
        // the new header was stored by Create; its lines were not
        EXPECT_EQ(Query("SELECT COUNT(*) FROM BASKETHEADER").ToLong(), headersBefore + 2);
    }

    // with the service, a failing configuration copy is ignored: the line comes without a configuration
    Lines(configured.As<ole::Dictionary>())->MoveLast();
    Lines(configured.As<ole::Dictionary>())->Fields("PRODUCTCONFIGID") = "NO-SUCH-CONFIG";
    basket->Save(configured);
    DictionaryPtr copy = basket->Copy(configured, "still copied");
    EXPECT_EQ(StoredLines(IdOf(copy)), "1,2");
    auto lines = Lines(basket->Restore(IdOf(copy)));
    lines->MoveLast();
    EXPECT_TRUE(lines->Fields("PRODUCTCONFIGID").Value().IsNull());
    EXPECT_EQ(Inst().LogEntries().size(), 1u);

    // a failing header step (a name too long for its column) makes that same failure the report
    std::string text = ErrorOf([&] { basket->Copy(configured, std::string(101, 'n')); });
    EXPECT_TRUE(Has(text, "Product configuration 'NO-SUCH-CONFIG' not found")) << text;
    EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.Copy()\r\n"));
    EXPECT_EQ(Inst().LogEntries().size(), 2u);
}

TEST_P(BasketStore, AFailedSaveRollsBackAndKeepsTheChangesPending) {
    Variant b = BasketWithLines(2);
    DictionaryPtr d = b.As<ole::Dictionary>();
    std::string id = IdOf(d);
    Header(d)->Fields("BASKETNAME") = "renamed";
    auto lines = Lines(d);
    lines->MoveFirst();
    lines->Fields("QUANTITY") = 9.0;
    lines->AddNew();  // a second line 2 violates the key
    lines->Fields("BASKETID") = id;
    lines->Fields("BASKETLINENR") = 2;
    lines->Fields("SKU") = 999;

    int32_t number = 0;
    std::string text = ErrorOf([&] { basket->Save(b); }, &number);
    EXPECT_EQ(number, ado::err::IntegrityViolation);
    EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.SaveBasket\r\n")) << text;
    EXPECT_TRUE(Has(text, " INFO: Error(s) from connection object:  (1)")) << text;
    EXPECT_LT(text.find("Vendalo.Basket.Save()"), text.find("Vendalo.Basket.SaveBasket"));
    EXPECT_EQ(Inst().LogEntries().size(), 2u);
    // the database is as it was
    EXPECT_TRUE(Query("SELECT BASKETNAME FROM BASKETHEADER WHERE BASKETID = ?", {id}).IsNull());
    EXPECT_DOUBLE_EQ(Query("SELECT QUANTITY FROM BASKETLINE WHERE BASKETID = ? AND BASKETLINENR = 1", {id}).ToDouble(), 1.0);
    EXPECT_EQ(StoredLines(id), "1,2");

    // the changes stay pending: once the line is mended, one Save stores all of them
    EXPECT_EQ(Header(d)->PendingCount(), 1);
    lines->MoveLast();
    lines->Fields("BASKETLINENR") = 3;
    basket->Save(b);
    EXPECT_EQ(Query("SELECT BASKETNAME FROM BASKETHEADER WHERE BASKETID = ?", {id}).ToString(), "renamed");
    EXPECT_DOUBLE_EQ(Query("SELECT QUANTITY FROM BASKETLINE WHERE BASKETID = ? AND BASKETLINENR = 1", {id}).ToDouble(), 9.0);
    EXPECT_EQ(StoredLines(id), "1,2,3");
}

TEST_P(BasketStore, AFailedAddLineLeavesTheCallersLinesAsTheyWere) {
    Variant b = BasketWithLines(1);
    DictionaryPtr d = b.As<ole::Dictionary>();
    auto lines = Lines(d);
    // a configuration id too long for its column fails after the row was begun
    std::string text = ErrorOf([&] { basket->AddLine(b, 502, 1, kMonday, true, std::string(51, 'c')); });
    EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.AddLineToBasket\r\n")) << text;
    EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.AddLine()\r\n"));
    EXPECT_EQ(lines->RecordCount(), 1);
    EXPECT_EQ(lines->PendingCount(), 0);

    // a save that fails (another session stored line 2 meanwhile) does not leave the new line pending
    Inst().Exec("INSERT INTO BASKETLINE (BASKETID, BASKETLINENR, SKU) VALUES ('" + IdOf(d) + "', 2, 900)");
    ErrorOf([&] { basket->AddLine(b, 502, 1, kMonday, false, ""); });
    EXPECT_EQ(lines->RecordCount(), 1);
    EXPECT_EQ(lines->PendingCount(), 0);
    basket->Save(b);
    EXPECT_EQ(StoredLines(IdOf(d)), "1,2");
    // AddLine and AddLineToBasket, then Save, SaveBasket and AddLine
    EXPECT_EQ(Inst().LogEntries().size(), 5u);
}

TEST_P(BasketStore, UnknownAndOddIdentifiersFindNothingAndHarmNothing) {
    std::string id = IdOf(BasketWithLines(2).As<ole::Dictionary>());
    for (std::string odd : {std::string("0123456789ABCDEF0123456789ABCDEF"), std::string("' OR '1'='1"),
                            std::string("x'; DELETE FROM BASKETLINE; --")}) {
        EXPECT_EQ(basket->Restore(odd), nullptr) << odd;
        basket->Delete(odd);
    }
    EXPECT_EQ(Count("BASKETHEADER", id), 1);
    EXPECT_EQ(StoredLines(id), "1,2");
    EXPECT_EQ(Inst().LogText(), "");

    basket->Delete(id);
    EXPECT_EQ(Count("BASKETHEADER", id), 0);
    EXPECT_EQ(Count("BASKETLINE", id), 0);
    EXPECT_EQ(basket->Restore(id), nullptr);
}

TEST_P(BasketStore, FailuresAreReportedWithOneFramePerMethodAndLogged) {
    int32_t number = 0;
    std::string text = ErrorOf([&] { basket->Create("jdoe", 4711); }, &number);
    EXPECT_EQ(number, qx::kBusinessPartnerNotFound);
    EXPECT_LT(text.find(" METHOD: Vendalo.Basket.Create()"), text.find(" METHOD: Vendalo.Basket.CreateBasket"));
    EXPECT_EQ(Inst().LogEntries().size(), 2u);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM BASKETHEADER").ToLong(), 0);

    text = ErrorOf([&] { basket->Save(Variant("not a basket")); }, &number);
    EXPECT_EQ(number, ole::err::ObjectRequired);
    EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.Save()\r\n"));
    Variant b = BasketWithLines(1);
    text = ErrorOf([&] { basket->DeleteLines(b, Variant(1)); }, &number);
    EXPECT_EQ(number, ole::err::TypeMismatch);
    EXPECT_LT(text.find("Vendalo.Basket.DeleteLines()"), text.find("Vendalo.Basket.DeleteLinesFromBasket"));
    EXPECT_EQ(Inst().LogEntries().size(), 5u);

    // a database that cannot be reached fails every method under its own label
    qx::WriteConfigurationFile((Inst().Home() / "config" / "VendaloConfiguration.xml").string(), "Vendalo",
                               "Provider=SQLite;Data Source=" + (Inst().Home() / "missing" / "x.db").string(), {});
    Sls_ResetThreadState();
    text = ErrorOf([&] { basket->Restore(IdOf(b.As<ole::Dictionary>())); });
    EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.Restore()\r\n")) << text;
    text = ErrorOf([&] { basket->Delete("X"); });
    EXPECT_TRUE(Has(text, " METHOD: Vendalo.Basket.Delete()\r\n")) << text;
}

INSTANTIATE_INSTALLATION_TEST(BasketStore);

}  // namespace
