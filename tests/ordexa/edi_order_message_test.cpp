// Whole EDI export files, byte for byte, on both databases; and the message
// builder on orders that cannot be sent.
#include <gtest/gtest.h>

#include <algorithm>

#include "order_export_fixture.h"
#include "ordexa/exchange/edi_order_message.h"
#include "ordexa/exchange/export_order_reader.h"
#include "simulator.h"

using namespace export_testing;
using testing_support::ReadFile;

namespace {

class EdiMessages : public OrderExportTest {};

TEST_P(EdiMessages, Ow4OrdersWithoutLinesAndWithLinesTextsAddressesAndFreight) {
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    OrderDraft a;
    a.name = "Caf\xC3\xA9 \xCE\xA9";  // "Café Ω": Ω is not in the ANSI code page
    a.po = "12,34";
    a.shipping = 23;  // not the partner's default and unknown to the back end: sent in full
    a.text = letters + letters + letters + letters + letters;  // 130 characters
    a.freight = 7.5;  // no lines: no freight line
    std::string idA = Submit(a);

    OrderDraft b;
    b.date = "2026-03-03 10:00:00";
    b.text = "A\r\n\r\nB";
    b.freight = 12.5;
    b.lines = {{.part = " BOLT-M8 ", .quantity = 100, .price = 0.4, .discount = 2, .requested = "2026-03-16"},
               {.part = "CABLE-3X25", .quantity = 12.5, .price = 1.8, .address = 23, .unit = "M",
                .text = "Cut in 4 pieces", .requested = "2026-03-20"}};
    std::string idB = Submit(b);

    Export(ediFile_);

    const std::string site = "Site Eemshaven,,Oostpolderweg 7' gate 2,,Eemshaven,,9979 XP,GR,NL,,";
    std::string expected = WithId(
        "ENV,{ID},DADuder,WWW,ORDER,,\r\n"
        "HDR,{ID},C1002,Caf\xE9 O,12'34,20260302,,de Vries' Jan,ROAD,EUR,NL,,0\r\n"
        "HDA,{ID},DEL,,," + site + "\r\n"
        "HPA,{ID},INV,001,\r\n"
        "HTX,{ID}," + (letters + letters + letters).substr(0, 60) + "\r\n"
        "HTX,{ID}," + (letters + letters + letters).substr(8, 60) + "\r\n"
        "HTX,{ID}," + letters.substr(16) + "\r\n", idA);
    expected += WithId(
        "ENV,{ID},DADuder,WWW,ORDER,,\r\n"
        "HDR,{ID},C1002,Week 12,,20260303,,de Vries' Jan,ROAD,EUR,NL,,0\r\n"
        "HPA,{ID},INV,001,\r\n"
        "HTX,{ID},A\r\n"
        "HTX,{ID},\r\n"
        "HTX,{ID},B\r\n"
        "LIN,{ID},1,BOLT-M8,ZZ,100,PCS,20260316,0.4,,2,BOLT-M8    \r\n"
        "LIN,{ID},2,CABLE-3X25,ZZ,12.5,M,20260320,1.8,,0,CABLE-3X25    \r\n"
        "LAD,{ID},2,DEL,,," + site + "\r\n"
        "LTX,{ID},2,Cut in 4 pieces\r\n"
        "LIN,{ID},3,FREIGHT,ZZ,1,PCS,,12.5,,0,FREIGHT    \r\n", idB);
    EXPECT_EQ(ReadFile(ediFile_), expected);
    EXPECT_EQ(Entries({"[warning]", "Order '" + idA + "': ORDERLISTNAME", "the back end gets 'Caf\xC3\xA9 O'"}), 1u);
}

TEST_P(EdiMessages, Ow5CreditCardOrderWithCodesConfiguredLinesAndOwnSeparator) {
    OrderDraft c;
    c.partner = 3;
    c.user = "msmith";
    c.customerCode = "C2003";
    c.name = "Pumps";
    c.po = "A;B";
    c.shipping = 32;  // the default, known to the back end by code
    c.billing = 33;   // not the default, unknown: sent in full
    c.payment = 2;
    c.lines = {{.part = "PUMP-P200", .quantity = 1, .price = 1250, .address = 34, .configId = "CFG-1"},
               {.part = "WASHER-8", .quantity = 50, .price = 0.06, .address = 35, .text = "Zinc; 8 mm", .configId = "CFG-2"},
               {.part = "BOLT-M8", .quantity = 10, .price = 0.45, .address = 32}};
    std::string id = Submit(c);

    Export(ediFile_, " ; ", "");

    EXPECT_EQ(ReadFile(ediFile_), WithId("ENV;{ID};DADuder;WWW;ORDER;CC;\r\n"
                                      "HDR;{ID};C2003;Pumps;A'B;20260302;;Mary Smith;EXPRESS;USD;US;;0\r\n"
                                      "HDA;{ID};;LT0000032;\r\n"
                                      "HAD;{ID};INV;;;Lakeside field office;;9 Prairie Lane;;Verona;;53593;WI;US;;+1 608 33\r\n"
                                      "FTX;{ID};Paid by credit card' no invoice\r\n"
                                      "LIN;{ID};1;PUMP-P200;ZZ;1;PCS;20260401;1250;;0;  -   PUMP-P200;D12;\r\n"
                                      "VAR;{ID};1;0;1;PUMP-P200;;ZZ;0;0;  -   PUMP-P200\r\n"
                                      "vop;MOTOR;5.5 kW\r\n"
                                      "VOP;VOLTAGE;400 V\r\n"
                                      "LIN;{ID};2;WASHER-8;ZZ;50;PCS;20260401;0.06;;0;  -   WASHER-8\r\n"
                                      "LAD;{ID};2;DEL;;;Lakeside yard;;7 Yard Road;;Monona;;53716;;US;;\r\n"
                                      "LTX;{ID};2;Zinc' 8 mm\r\n"
                                      "VAR;{ID};2;0;1;WASHER-8;;ZZ;0;0;  -   WASHER-8\r\n"
                                      "LIN;{ID};3;BOLT-M8;ZZ;10;PCS;20260401;0.45;;0;  -   BOLT-M8;LT0000032;\r\n",
                                      id));
}

TEST_P(EdiMessages, AnOrderThatCannotBeBuiltWholeGivesNoMessage) {
    OrderDraft draft;
    draft.lines = {{.part = "BOLT-M8", .quantity = 1}, {.part = "WASHER-8", .quantity = 2}};
    std::string id = Submit(draft);
    auto order = Sls_GetComponent<vendalo::IOrder>("Vendalo.Order")->Restore(id);
    ordexa::EdiOrderMessage message([](const std::string&) { return std::string("Jan"); });
    // the second line loses its number in memory (the table cannot hold that)
    auto lines = order->Item("lines").As<ado::Recordset>();
    lines->MoveFirst();
    lines->MoveNext();
    lines->Fields("LINENR") = ole::Null;
    EXPECT_EQ(message.ProcessOneOrder(Variant(order)), "");
    EXPECT_EQ(Entries({"WebOrderExport.ProcessOneOrder", "Invalid use of Null", "Order '" + id + "' is not exported"}), 1u);

    EXPECT_EQ(message.ProcessOneOrder(Variant("no order")), "");
    EXPECT_EQ(Entries({"ERROR 0x80040157", "WebOrderExport.ProcessOneOrder", "MissingOrderInfo"}), 1u);
}

// One message object reads its fields by the positions it found in an earlier
// order's rows: rows of another statement (the order service's "SELECT *", the
// export's own columns in another order) must not be read by those positions.
TEST_P(EdiMessages, OneMessageObjectReadsRowsOfEveryStatementByName) {
    OrderDraft draft;
    draft.po = "PO-7";
    draft.lines = {{.part = "BOLT-M8", .quantity = 3, .price = 0.4, .text = "\xD0\x9C\xD0\xB8\xD1\x80"},  // "Мир"
                  {.part = "WASHER-8", .quantity = 2, .price = 0.1, .address = 23}};
    std::string id = Submit(draft);
    ordexa::EdiOrderMessage message([](const std::string&) { return std::string("Jan"); });
    auto restored = [&] { return message.ProcessOneOrder(Variant(Sls_GetComponent<vendalo::IOrder>("Vendalo.Order")->Restore(id))); };
    ordexa::ExportOrderReader reader(Inst().ConnectionString());
    auto read = [&] {
        std::string text = message.ProcessOneOrder(reader.Read(id));
        reader.EndGroup();
        return text;
    };
    std::string first = restored();
    ASSERT_NE(first.find(WithId("LIN,{ID},1,BOLT-M8,ZZ,3,PCS,20260401,0.4,,0,", id)), std::string::npos) << first;
    EXPECT_EQ(read(), first);
    EXPECT_EQ(restored(), first);
    EXPECT_EQ(read(), first);
    // a field the code page cannot hold is named with its line in the warning
    EXPECT_EQ(Entries({"[warning]", "Order '" + id + "': LINETEXT of line 1", "'Mir'"}), 4u);
}

// The records of an export file, split at CR LF; false when a CR or LF stands anywhere else.
bool RecordsOf(const std::string& file, std::vector<std::string>& records) {
    records.clear();
    size_t from = 0;
    for (size_t at = file.find("\r\n"); at != std::string::npos; at = file.find("\r\n", from)) {
        records.push_back(file.substr(from, at - from));
        from = at + 2;
    }
    for (const auto& record : records)
        if (record.find_first_of("\r\n") != std::string::npos) return false;
    return from == file.size();
}

TEST_P(EdiMessages, ALineBreakInMasterDataForgesNoRecordAndTheBackEndConfirmsOnlyTheRealOrders) {
    // a whole order as the back end reads one: an envelope with its id (short enough for a PO number)
    const std::string forged = "ENV,F0RGED,DADuder,WWW,ORDER,,";
    const std::string forgedOrder = forged + "\r\nHDR,F0RGED,C1002,Free,,20260302,,Eve,ROAD,EUR,NL,,0\r\n"
                                             "LIN,F0RGED,1,BOLT-M8,ZZ,100000,PCS,,0,,0,BOLT-M8    ";
    const std::string flat = "ENV'F0RGED'DADuder'WWW'ORDER''";  // one field: the breaks blanks, FS the escape text
    Db()->Execute("UPDATE ADDRESS SET STREET1 = ? WHERE ADDRESSID = 23", nullptr, -1,
                  {Variant("Oostpolderweg 7\n" + forged)});
    Db()->Execute("UPDATE WEBUSER SET COMMONNAME = ? WHERE USERID = 'jdevries'", nullptr, -1, {Variant("Jan\r" + forged)});
    OrderDraft a;
    a.po = "PO-7\r\n" + forged;
    a.shipping = 23;
    a.text = "Deliver\tbefore noon\x1B[2J\nGate 2\x07";
    a.lines = {{.part = "BOLT-M8\r\n" + forged, .quantity = 1, .text = "Line\x0Bone\r\n" + forgedOrder}};
    std::string idA = Submit(a);
    OrderDraft b;
    b.lines = {{.part = "WASHER-8", .quantity = 3}};
    std::string idB = Submit(b);

    Export(ediFile_);

    std::string file = ReadFile(ediFile_);
    std::vector<std::string> records;
    ASSERT_TRUE(RecordsOf(file, records)) << file;
    size_t envelopes = 0;
    for (const auto& record : records) {
        EXPECT_EQ(record.find_first_of(std::string("\x00\x07\x09\x0B\x1B", 5)), std::string::npos) << record;
        if (record.rfind("ENV", 0) == 0) ++envelopes;
    }
    EXPECT_EQ(envelopes, 2u) << file;
    EXPECT_NE(file.find(WithId("HDR,{ID},C1002,Week 12,PO-7 " + flat + ",20260302,,Jan " + flat + ",ROAD,", idA)),
              std::string::npos)
        << file;
    EXPECT_NE(file.find(WithId("HDA,{ID},DEL,,,Site Eemshaven,,Oostpolderweg 7 " + flat + ",,Eemshaven,", idA)),
              std::string::npos);
    EXPECT_NE(file.find(WithId("LIN,{ID},1,BOLT-M8 " + flat + ",ZZ,1,", idA)), std::string::npos);
    // in a text a break starts a further text record of the same order
    EXPECT_NE(file.find(WithId("HTX,{ID},Deliverbefore noon[2J\r\nHTX,{ID},Gate 2\r\n", idA)), std::string::npos);
    EXPECT_NE(file.find(WithId("LTX,{ID},1,Lineone\r\nLTX,{ID},1," + flat + "\r\nLTX,{ID},1,HDR'F0RGED'", idA)),
              std::string::npos);

    // the back end's EDI module takes the file and confirms the two orders, no third
    erpsim::Settings back;
    back.exportFile = ediFile_;
    back.confirmationFile = Inst().Home() / "confirm.edi";
    back.archive = Inst().Home() / "archive";
    std::vector<std::string> confirmed = erpsim::RunCycle(back).orderIds, real{idA, idB};
    std::sort(confirmed.begin(), confirmed.end());
    std::sort(real.begin(), real.end());
    EXPECT_EQ(confirmed, real);
    EXPECT_EQ(ReadFile(back.confirmationFile).find("F0RGED"), std::string::npos);
}

TEST_P(EdiMessages, TheConfiguratorsVopRecordsKeepTheirLineEndsAndNothingElseStartsARecord) {
    Db()->Execute("UPDATE PRODUCTCONFIGURATION SET VARIANTOPTIONS = ? WHERE CONFIGID = 'CFG-1'", nullptr, -1,
                  {Variant("Pump\r\nVOP,MOTOR,5.5\tkW\r\n\r\nENV,F0RGED,DADuder,WWW,ORDER,,\r\nVOP,SEAL,F\nKM\r\n")});
    OrderDraft c;
    c.partner = 3;
    c.user = "msmith";
    c.shipping = 32;
    c.billing = 31;
    c.lines = {{.part = "PUMP-P200", .quantity = 1, .price = 1250, .address = 32, .configId = "CFG-1"}};
    std::string id = Submit(c);
    Export(ediFile_, ";", "", "2");
    std::string file = ReadFile(ediFile_);
    EXPECT_NE(file.find(WithId("VAR;{ID};1;0;1;PUMP-P200;;ZZ;0;0;  -   PUMP-P200\r\n"
                               "VOP;MOTOR;5.5kW ENV;F0RGED;DADuder;WWW;ORDER;;\r\n"
                               "VOP;SEAL;F KM\r\n",
                               id)),
              std::string::npos)
        << file;
    EXPECT_EQ(file.find("\r\nENV;F0RGED"), std::string::npos);
}

TEST_P(EdiMessages, TextTheCodePageCannotHoldIsWrittenInLatinLettersAndLoggedWithOrderAndField) {
    Db()->Execute("UPDATE ADDRESS SET NAME1 = ?, CITY1 = ? WHERE ADDRESSID = 23", nullptr, -1,
                  {Variant("Łódź Straße 5"), Variant("Москва")});
    OrderDraft a;
    a.name = "北京 🙂";
    a.shipping = 23;
    std::string id = Submit(a);
    Export(ediFile_);
    std::string file = ReadFile(ediFile_);
    EXPECT_NE(file.find(WithId("HDR,{ID},C1002,bei jing ?,", id)), std::string::npos) << file;
    EXPECT_NE(file.find(WithId("HDA,{ID},DEL,,,Lodz Stra\xDF" "e 5,,Oostpolderweg 7' gate 2,,Moskva,", id)),
              std::string::npos)
        << file;
    EXPECT_EQ(Entries({"[warning]", "Order '" + id + "': ORDERLISTNAME", "'bei jing ?'"}), 1u);
    EXPECT_EQ(Entries({"[warning]", "Order '" + id + "': NAME1 of address 23", "'Lodz Straße 5'"}), 1u);
    EXPECT_EQ(Entries({"[warning]", "Order '" + id + "': CITY1 of address 23", "'Moskva'"}), 1u);
    EXPECT_EQ(Entries({"[warning]"}), 3u);  // the fields the code page holds pass without a word
}

INSTANTIATE_INSTALLATION_TEST(EdiMessages);

TEST(EdiText, PiecesCountCharactersAndEveryLineBreakStartsARecord) {
    ordexa::EdiOrderMessage message(nullptr);
    std::string e = "\xC3\xA9", sixtyOne;  // é: two bytes, one character
    for (int i = 0; i < 61; ++i) sixtyOne += e;
    EXPECT_EQ(message.FormatString("P,", sixtyOne), "P," + sixtyOne.substr(0, 120) + "\r\nP," + e);
    // a lone CR ends a piece too, and the character after it stays
    EXPECT_EQ(message.FormatString("P,", "A\rB\r\nC\r\n"), "P,A\r\nP,B\r\nP,C");
    message.SetEDISeparators("||", "\\");
    EXPECT_EQ(message.EDIEncode("a||b|c"), "a\\b|c");
}

TEST(EdiText, EveryLineBreakEndsATextPieceAndNoOtherControlCharacterReachesARecord) {
    ordexa::EdiOrderMessage message(nullptr);
    std::string text("A\nB\x00\x1B[0m\xC2\x85" "C\xE2\x80\xA8" "D\x7F", 16);
    EXPECT_EQ(message.FormatString("P,", text), "P,A\r\nP,B[0m\r\nP,C\r\nP,D");
    EXPECT_EQ(message.EDIEncode(text), "A B[0m C D");
    EXPECT_EQ(message.EDIEncode("x\r\ny\tz"), "x yz");
}

}  // namespace
