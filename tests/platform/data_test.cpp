// The data layer on both providers: the same tests run on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/automation/error.h"
#include "platform/data/ado.h"
#include "platform/data/keyed_lock.h"
#include "platform/data/script.h"
#include "platform/os/thread_slice.h"
#include "test_db.h"

using namespace ado;
using ole::AutomationError;
using ole::Variant;
using testing_support::DbTest;
using testing_support::ErrorOf;

namespace {

const char* kItems =
    "CREATE TABLE ITEMS (ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(40), QTY DOUBLE PRECISION, "
    "PRICE NUMERIC(19,4), AMOUNT NUMERIC(18,8), DAY DATE, STAMP TIMESTAMP, FLAG BOOLEAN, SMALL SMALLINT, "
    "CODE VARCHAR(3), NOTE VARCHAR(200) DEFAULT 'default note');"
    "INSERT INTO ITEMS (ID, NAME, QTY) VALUES (1, 'one', 1.5);"
    "INSERT INTO ITEMS (ID, NAME, QTY) VALUES (2, 'two', 2);"
    "INSERT INTO ITEMS (ID, NAME, QTY) VALUES (5, 'five', 5);";

class DataLayer : public DbTest {
protected:
    bool WithSchema() const override { return false; }
    void SetUp() override {
        DbTest::SetUp();
        if (IsSkipped()) return;
        Db().Exec(kItems);
    }
    ConnectionPtr Open() {
        auto c = std::make_shared<Connection>();
        c->Open(Db().ConnectionString());
        return c;
    }
    RecordsetPtr Query(const std::string& sql, const ConnectionPtr& c, int lock = adLockBatchOptimistic) {
        auto rs = std::make_shared<Recordset>();
        rs->CursorLocation = adUseClient;
        rs->Open(sql, c, adOpenStatic, lock);
        return rs;
    }
    int Count(const std::string& where = "") {
        auto c = Open();
        auto rs = c->Execute("SELECT COUNT(*) AS N FROM ITEMS" + where);
        return rs->Fields("N").Value().ToLong();
    }
    std::string NameOf(int id) {
        auto c = Open();
        auto rs = c->Execute("SELECT NAME FROM ITEMS WHERE ID = ?", nullptr, -1, {Variant(id)});
        return rs->Eof() ? "<none>" : rs->Fields("NAME").Value().Text();
    }
};

TEST_P(DataLayer, ConnectionOpensClosesAndReportsState) {
    auto c = std::make_shared<Connection>();
    EXPECT_EQ(c->State(), adStateClosed);
    c->Open(Db().ConnectionString(), "", "", -1);
    EXPECT_EQ(c->State(), adStateOpen);
    int32_t affected = 0;
    c->Execute("UPDATE ITEMS SET QTY = QTY + 1 WHERE ID < 3", &affected);
    EXPECT_EQ(affected, 2);
    c->Close();
    EXPECT_EQ(c->State(), adStateClosed);
}

TEST_P(DataLayer, BadConnectionStringsAndMissingDatabasesRaiseTheProviderMessage) {
    auto c = std::make_shared<Connection>();
    std::string text;
    EXPECT_NE(ErrorOf([&] { c->Open("Provider=Nonsense;Data Source=x"); }, &text), 0);
    EXPECT_NE(text.find("Provider cannot be found"), std::string::npos);
    ASSERT_EQ(c->Errors().size(), 1u);
    EXPECT_EQ(c->State(), adStateClosed);

    std::string missing = Db().IsPostgres() ? Db().ConnectionString() + ";Database=no_such_database"
                                            : "Provider=SQLite;Data Source=/nonexistent/folder/x.db";
    EXPECT_EQ(ErrorOf([&] { c->Open(missing); }, &text), err::ProviderFailure);
    EXPECT_FALSE(text.empty());
    ASSERT_EQ(c->Errors().size(), 1u);
    EXPECT_EQ(c->Errors()[0].Description, text);
}

TEST_P(DataLayer, FailingStatementFillsErrorsWithDescriptionAndNumber) {
    auto c = Open();
    std::string text;
    int32_t number = ErrorOf([&] { c->Execute("INSERT INTO ITEMS (ID, NAME) VALUES (1, 'dup')"); }, &text);
    EXPECT_EQ(number, err::IntegrityViolation);
    ASSERT_EQ(c->Errors().size(), 1u);
    EXPECT_EQ(c->Errors()[0].Number, number);
    EXPECT_EQ(c->Errors()[0].Description, text);
    EXPECT_EQ(ErrorOf([&] { c->Execute("SELEKT nothing"); }), err::CommandFailure);
    // the next successful call starts a fresh collection
    c->Execute("SELECT 1 AS X");
    EXPECT_TRUE(c->Errors().empty());
}

TEST_P(DataLayer, TransactionFailingHalfWayRollsBackEverything) {
    auto c = Open();
    c->BeginTrans();
    c->Execute("UPDATE ITEMS SET NAME = 'changed' WHERE ID = 1");
    c->Execute("INSERT INTO ITEMS (ID, NAME) VALUES (7, 'seven')");
    EXPECT_NE(ErrorOf([&] { c->Execute("INSERT INTO ITEMS (ID, NAME) VALUES (2, 'dup')"); }), 0);
    c->RollbackTrans();
    EXPECT_EQ(NameOf(1), "one");
    EXPECT_EQ(Count(), 3);
    // closing a connection with an open transaction never commits it
    c->BeginTrans();
    c->Execute("DELETE FROM ITEMS");
    c->Close();
    EXPECT_EQ(Count(), 3);
}

TEST_P(DataLayer, UpdateBatchWritesInsertsUpdatesAndDeletesTogether) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS ORDER BY ID", c);
    rs->SetActiveConnection(nullptr);  // disconnected while the changes are made
    rs->Fields("NAME") = "uno";        // row 1
    rs->MoveNext();
    rs->Delete();                      // row 2
    rs->AddNew();
    rs->Fields("ID") = 9;
    rs->Fields("NAME") = "nine";
    rs->AddNew();
    rs->Fields("ID") = 10;
    EXPECT_EQ(rs->PendingCount(), 4);
    EXPECT_EQ(Count(), 3);  // nothing written yet

    auto c2 = Open();
    rs->SetActiveConnection(c2);
    rs->UpdateBatch();
    EXPECT_EQ(rs->PendingCount(), 0);
    EXPECT_EQ(rs->RecordCount(), 4);
    EXPECT_EQ(NameOf(1), "uno");
    EXPECT_EQ(NameOf(2), "<none>");
    EXPECT_EQ(NameOf(9), "nine");
    EXPECT_EQ(Count(" WHERE ID = 10"), 1);
}

TEST_P(DataLayer, UpdateBatchFailingOnOneRowWritesNoneAndKeepsThePendingChanges) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS ORDER BY ID", c);
    rs->Fields("NAME") = "uno";
    rs->MoveLast();
    rs->Delete();  // ID 5
    rs->AddNew();
    rs->Fields("ID") = 2;  // duplicate key
    EXPECT_EQ(ErrorOf([&] { rs->UpdateBatch(); }), err::IntegrityViolation);
    EXPECT_FALSE(c->Errors().empty());
    EXPECT_EQ(NameOf(1), "one");
    EXPECT_EQ(NameOf(5), "five");
    EXPECT_EQ(rs->PendingCount(), 3);
    // mend the failing row and write again
    rs->Fields("ID") = 3;
    rs->UpdateBatch();
    EXPECT_EQ(NameOf(1), "uno");
    EXPECT_EQ(NameOf(5), "<none>");
    EXPECT_EQ(Count(), 3);
}

TEST_P(DataLayer, UpdateBatchJoinsTheCallersTransaction) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    c->BeginTrans();
    rs->Fields("NAME") = "inside";
    rs->UpdateBatch();
    c->RollbackTrans();
    EXPECT_EQ(NameOf(1), "one");
}

TEST_P(DataLayer, UpdateOfARowDeletedMeanwhileFails) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    Open()->Execute("DELETE FROM ITEMS WHERE ID = 1");
    rs->Fields("NAME") = "lost";
    EXPECT_EQ(ErrorOf([&] { rs->UpdateBatch(); }), err::RowNotLocated);
}

// Several recordsets written in one batch that ends the transaction: all stand, or none (an
// update whose row went meanwhile, a failing insert ahead of a COMMIT sent with it).
TEST_P(DataLayer, UpdateAllCommitsEveryRecordsetsChangesOrNone) {
    auto c = Open();
    auto one = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    auto added = Query("SELECT * FROM ITEMS WHERE ID = 5", c);
    one->Fields("NAME") = "lost";
    added->AddNew();
    added->Fields("ID") = 8;
    Open()->Execute("DELETE FROM ITEMS WHERE ID = 1");
    c->BeginTrans();
    EXPECT_EQ(ErrorOf([&] { Recordset::UpdateAll({one, added}, *c, true); }), err::RowNotLocated);
    c->RollbackTrans();
    EXPECT_EQ(NameOf(8), "<none>");

    added->AddNew();
    added->Fields("ID") = 2;  // a duplicate key
    c->BeginTrans();
    EXPECT_EQ(ErrorOf([&] { Recordset::UpdateAll({added}, *c, true); }), err::IntegrityViolation);
    c->RollbackTrans();
    EXPECT_EQ(NameOf(8), "<none>");
    EXPECT_EQ(added->PendingCount(), 2);

    added->Fields("ID") = 9;
    c->BeginTrans();
    Recordset::UpdateAll({added}, *c, true);
    EXPECT_FALSE(c->InTransaction());
    EXPECT_EQ(Count(" WHERE ID IN (8, 9)"), 2);
}

TEST_P(DataLayer, FindSearchesForwardFromTheCurrentRow) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS ORDER BY ID", c);
    rs->MoveLast();                   // on 5
    rs->Find("ID = 1");               // 1 lies before the current row
    EXPECT_TRUE(rs->Eof());
    rs->Find("ID = 2");               // at EOF nothing is found any more
    EXPECT_TRUE(rs->Eof());
    rs->MoveFirst();
    rs->Find("ID = 5");
    ASSERT_FALSE(rs->Eof());
    EXPECT_EQ(rs->Fields("NAME").Value().ToString(), "five");
    rs->MoveFirst();
    rs->Find("NAME = 'two'");
    EXPECT_EQ(rs->Fields("ID").Value().ToLong(), 2);
    rs->Find("ID = 2", 1);            // skipping the current row
    EXPECT_TRUE(rs->Eof());
    rs->MoveFirst();
    rs->Find("NAME LIKE 'f*'");
    EXPECT_EQ(rs->Fields("ID").Value().ToLong(), 5);
}

TEST_P(DataLayer, CloneDoesNotShareLaterChanges) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS ORDER BY ID", c);
    rs->Fields("NAME") = "pending";
    auto copy = rs->Clone();
    EXPECT_EQ(copy->Fields("NAME").Value().ToString(), "pending");
    rs->Fields("NAME") = "original only";
    copy->MoveNext();
    copy->Delete();
    EXPECT_EQ(copy->RecordCount(), 2);
    EXPECT_EQ(rs->RecordCount(), 3);
    copy->MoveFirst();
    EXPECT_EQ(copy->Fields("NAME").Value().ToString(), "pending");
    auto readOnly = rs->Clone(adLockReadOnly);
    EXPECT_EQ(ErrorOf([&] { readOnly->Fields("NAME") = "x"; }), err::NotUpdatable);
}

TEST_P(DataLayer, EmptyAndNullRoundTrip) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 0", c);
    EXPECT_TRUE(rs->Bof() && rs->Eof());
    rs->AddNew();
    rs->Fields("ID") = 20;                  // NOTE never set: Empty, so the column default applies
    EXPECT_TRUE(rs->Fields("NOTE").Value().IsEmpty());
    rs->Fields("NAME") = Variant::Null();  // set to Null: stored as NULL
    rs->UpdateBatch();
    auto back = Query("SELECT * FROM ITEMS WHERE ID = 20", c);
    EXPECT_EQ(back->Fields("NOTE").Value().ToString(), "default note");
    EXPECT_TRUE(back->Fields("NAME").Value().IsNull());
    EXPECT_TRUE(back->Fields("QTY").Value().IsNull());
    // a Null written over a value, and Empty written over a value, both store NULL
    back->Fields("NOTE") = Variant();
    back->UpdateBatch();
    EXPECT_TRUE(Query("SELECT NOTE FROM ITEMS WHERE ID = 20", c)->Fields("NOTE").Value().IsNull());
}

TEST_P(DataLayer, ApostrophesAndSqlTextAreStoredExactly) {
    const std::string nasty = "O'Brien'); DROP TABLE ITEMS; -- 100% ?";
    const std::string unicode = "Zoë Ærø Straße Ωμέγα 東京";
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 0", c);
    rs->AddNew();
    rs->Fields("ID") = 30;
    rs->Fields("NAME") = nasty;
    rs->AddNew();
    rs->Fields("ID") = 31;
    rs->Fields("NAME") = unicode;
    rs->UpdateBatch();
    c->Execute("INSERT INTO ITEMS (ID, NAME) VALUES (?, ?)", nullptr, -1, {Variant(32), Variant(nasty)});
    EXPECT_EQ(NameOf(30), nasty);
    EXPECT_EQ(NameOf(31), unicode);
    EXPECT_EQ(NameOf(32), nasty);
    EXPECT_EQ(Count(), 6);
}

TEST_P(DataLayer, FieldTypesAreTheSameOnBothProviders) {
    auto c = Open();
    c->Execute("UPDATE ITEMS SET PRICE = 12.5, AMOUNT = 1.25, DAY = '2026-12-08', STAMP = '2026-12-08 10:11:12', "
               "FLAG = ?, SMALL = 7, CODE = 'EUR' WHERE ID = 1", nullptr, -1, {Variant(true)});
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    EXPECT_EQ(rs->Fields("ID").Type(), adInteger);
    EXPECT_EQ(rs->Fields("NAME").Type(), adVarWChar);
    EXPECT_EQ(rs->Fields("NAME").DefinedSize(), 40);
    EXPECT_EQ(rs->Fields("QTY").Type(), adDouble);
    EXPECT_EQ(rs->Fields("PRICE").Type(), adCurrency);
    EXPECT_EQ(rs->Fields("AMOUNT").Type(), adNumeric);
    EXPECT_EQ(rs->Fields("DAY").Type(), adDate);
    EXPECT_EQ(rs->Fields("STAMP").Type(), adDBTimeStamp);
    EXPECT_EQ(rs->Fields("FLAG").Type(), adBoolean);
    EXPECT_EQ(rs->Fields("SMALL").Type(), adSmallInt);
    EXPECT_EQ(rs->Fields("price").Name(), "PRICE");  // names are found without regard to case

    EXPECT_EQ(rs->Fields("PRICE").Value().Type(), ole::VarType::Currency);
    EXPECT_EQ(rs->Fields("PRICE").Value().ToString(), "12.5");
    EXPECT_EQ(rs->Fields("DAY").Value().ToDate().Iso(), "2026-12-08 00:00:00");
    EXPECT_EQ(rs->Fields("STAMP").Value().ToDate().Iso(), "2026-12-08 10:11:12");
    EXPECT_TRUE(rs->Fields("FLAG").Value().ToBool());
    EXPECT_EQ(rs->Fields("SMALL").Value().Type(), ole::VarType::Integer);
    EXPECT_EQ(rs->Fields("QTY").Value().ToString(), "1.5");
}

TEST_P(DataLayer, DatesRoundTripToTheMillisecond) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    rs->Fields("STAMP") = ole::Date::FromParts(2028, 2, 29, 23, 59, 58.125);
    rs->Fields("DAY") = ole::Date::FromParts(2026, 12, 31);
    rs->UpdateBatch();
    auto back = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    EXPECT_EQ(back->Fields("STAMP").Value().ToDate().Iso(), "2028-02-29 23:59:58.125");
    EXPECT_EQ(back->Fields("DAY").Value().ToDate().Iso(), "2026-12-31 00:00:00");
    if (GetParam() != "sqlite") return;
    // SQLite keeps whatever text a statement wrote: other date forms are read as dates, the rest as text
    c->Execute("UPDATE ITEMS SET STAMP = '2026-12-08T10:11:12', DAY = '2026-02-30' WHERE ID = 1");
    back = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    EXPECT_EQ(back->Fields("STAMP").Value().ToDate().Iso(), "2026-12-08 10:11:12");
    EXPECT_TRUE(back->Fields("DAY").Value().SameAs(Variant("2026-02-30")));
}

// Statements are kept per connection (on PostgreSQL those with markers are
// prepared once): a table changed meanwhile is read with its new columns.
TEST_P(DataLayer, TheSameStatementSeesColumnsAddedMeanwhile) {
    auto c = Open();
    auto keyed = [&] { return c->Execute("SELECT * FROM ITEMS WHERE ID = ?", nullptr, -1, {Variant(1)}); };
    int before = Query("SELECT * FROM ITEMS", c)->FieldCount();
    EXPECT_EQ(keyed()->FieldCount(), before);
    c->ExecuteScript("ALTER TABLE ITEMS ADD COLUMN EXTRA INTEGER");
    c->Execute("UPDATE ITEMS SET EXTRA = 7");
    auto rs = Query("SELECT * FROM ITEMS", c);
    EXPECT_EQ(rs->FieldCount(), before + 1);
    EXPECT_EQ(rs->Fields("EXTRA").Value().ToLong(), 7);
    EXPECT_EQ(c->Execute("SELECT * FROM ITEMS")->Fields("extra").Value().ToLong(), 7);
    auto again = keyed();
    EXPECT_EQ(again->FieldCount(), before + 1);
    EXPECT_EQ(again->Fields("EXTRA").Value().ToLong(), 7);
    EXPECT_EQ(keyed()->Fields("EXTRA").Value().ToLong(), 7);
}

TEST_P(DataLayer, AssignmentsConvertToTheFieldTypeAndRefuseWhatDoesNotFit) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    rs->Fields("QTY") = "2.25";
    rs->Fields("STAMP") = "2026-01-02 03:04:05";
    EXPECT_EQ(rs->Fields("QTY").Value().ToDouble(), 2.25);
    EXPECT_TRUE(rs->Fields("STAMP").Value().IsDate());
    EXPECT_EQ(ErrorOf([&] { rs->Fields("NAME") = std::string(41, 'x'); }), err::MultipleStep);
    EXPECT_EQ(ErrorOf([&] { rs->Fields("QTY") = "lots"; }), err::MultipleStep);
    EXPECT_EQ(ErrorOf([&] { rs->Fields("NOPE").Value(); }), err::ItemNotFound);
    rs->UpdateBatch();
    auto back = Query("SELECT * FROM ITEMS WHERE ID = 1", c);
    EXPECT_EQ(back->Fields("STAMP").Value().ToDate().Iso(), "2026-01-02 03:04:05");
}

TEST_P(DataLayer, NavigationAndDeletedRows) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS ORDER BY ID", c);
    EXPECT_EQ(rs->RecordCount(), 3);
    EXPECT_FALSE(rs->Bof());
    rs->MoveNext();
    rs->Delete();
    EXPECT_EQ(ErrorOf([&] { rs->Fields("NAME").Value(); }), err::NoCurrentRecord);
    rs->MoveNext();
    EXPECT_EQ(rs->Fields("ID").Value().ToLong(), 5);
    rs->MovePrevious();
    EXPECT_EQ(rs->Fields("ID").Value().ToLong(), 1);  // the deleted row is skipped
    rs->MovePrevious();
    EXPECT_TRUE(rs->Bof());
    EXPECT_EQ(ErrorOf([&] { rs->MovePrevious(); }), err::NoCurrentRecord);
    rs->MoveLast();
    rs->MoveNext();
    EXPECT_TRUE(rs->Eof());
    EXPECT_EQ(ErrorOf([&] { rs->MoveNext(); }), err::NoCurrentRecord);
    // a new row deleted before it was written simply disappears
    rs->AddNew();
    rs->Fields("ID") = 50;
    rs->Delete();
    EXPECT_EQ(rs->RecordCount(), 2);
    rs->UpdateBatch();
    EXPECT_EQ(Count(), 2);
}

TEST_P(DataLayer, ImmediateUpdateWithOptimisticLock) {
    auto c = Open();
    auto rs = Query("SELECT * FROM ITEMS WHERE ID = 40", c, adLockOptimistic);
    rs->AddNew();
    rs->Fields("ID") = 40;
    rs->Fields("NAME") = "forty";
    rs->Update();
    EXPECT_EQ(NameOf(40), "forty");
}

TEST_P(DataLayer, CommandsBindTypedParametersAndCallProcedures) {
    auto c = Open();
    auto cmd = std::make_shared<Command>();
    cmd->ActiveConnection = c;
    cmd->CommandText = "UPDATE ITEMS SET NAME = ? WHERE ID = ?";
    cmd->AppendParameter(cmd->CreateParameter("Name", adChar, adParamInput, 9));
    cmd->AppendParameter(cmd->CreateParameter("Id", adInteger, adParamInput));
    cmd->Parameter("Name")->Value = "it's ok";
    cmd->Parameter(1)->Value = "2";
    int32_t affected = 0;
    cmd->Execute(&affected);
    EXPECT_EQ(affected, 1);
    EXPECT_EQ(NameOf(2), "it's ok");
    // a value longer than its parameter is refused, not cut
    cmd->Parameter(0)->Value = "ten chars!";
    EXPECT_EQ(ErrorOf([&] { cmd->Execute(); }), err::MultipleStep);
    EXPECT_EQ(NameOf(2), "it's ok");

    if (Db().IsPostgres())
        Db().Exec("CREATE FUNCTION ItemName(p integer) RETURNS TABLE (NAME varchar) AS "
                  "$$ SELECT NAME FROM ITEMS WHERE ID = p $$ LANGUAGE sql");
    else
        RegisterSQLiteProcedure("ItemName", "SELECT NAME FROM ITEMS WHERE ID = ?");
    auto proc = std::make_shared<Command>();
    proc->ActiveConnection = c;
    proc->CommandType = adCmdStoredProc;
    proc->CommandText = "ItemName";
    proc->AppendParameter(proc->CreateParameter("p", adInteger, adParamInput, 0, 5));
    auto rs = proc->Execute();
    EXPECT_EQ(rs->Fields("NAME").Value().ToString(), "five");
}

TEST_P(DataLayer, ExecuteReturnsRowsAndConnectionsAreReusedAfterClose) {
    for (int i = 0; i < 20; ++i) {
        auto c = Open();
        auto rs = c->Execute("SELECT ID, NAME FROM ITEMS WHERE ID > ? ORDER BY ID", nullptr, -1, {Variant(1)});
        EXPECT_EQ(rs->RecordCount(), 2);
        EXPECT_EQ(rs->Fields("ID").Value().ToLong(), 2);
        EXPECT_EQ(ErrorOf([&] { rs->Fields("NAME") = "x"; }), err::NotUpdatable);
        c->Close();
    }
}

// The provider says in the error itself that the database is busy or cannot be
// reached, so that a host answers "try again later" without reading its text.
TEST_P(DataLayer, ABusyOrUnreachableDatabaseSaysSoInTheErrorItself) {
    using ole::ErrorKind;
    auto kindOf = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const AutomationError& e) {
            return e.Info().Kind;
        }
        ADD_FAILURE() << "no error";
        return ErrorKind::Other;
    };
    auto holder = Open();
    EXPECT_EQ(kindOf([&] { holder->Execute("SELEKT 1"); }), ErrorKind::Other);
    // a row another session holds
    holder->BeginTrans();
    holder->Execute("UPDATE ITEMS SET QTY = 0 WHERE ID = 1");
    auto waiting = std::make_shared<Connection>();
    waiting->Open(Db().ConnectionString() + (Db().IsPostgres() ? "" : ";Busy Timeout=0"));
    EXPECT_EQ(kindOf([&] {
                  waiting->Execute(Db().IsPostgres() ? "SELECT ID FROM ITEMS WHERE ID = 1 FOR UPDATE NOWAIT"
                                                     : "UPDATE ITEMS SET QTY = 1 WHERE ID = 2");
              }),
              ErrorKind::DatabaseBusy);
    holder->RollbackTrans();
    // a database that cannot be opened, and a session the server ended
    std::string missing = Db().IsPostgres() ? Db().ConnectionString() + ";Host=/nonexistent/socket/folder"
                                            : "Provider=SQLite;Data Source=/nonexistent/folder/x.db";
    EXPECT_EQ(kindOf([&] { std::make_shared<Connection>()->Open(missing); }), ErrorKind::DatabaseUnreachable);
    if (Db().IsPostgres()) {
        Variant session = waiting->Execute("SELECT pg_backend_pid()")->Fields(0).Value();
        holder->Execute("SELECT pg_terminate_backend(?)", nullptr, -1, {session});
        EXPECT_EQ(kindOf([&] { waiting->Execute("SELECT 1"); }), ErrorKind::DatabaseUnreachable);
    }
}

// Writers of one process wait for each other's transaction to end, whether it
// commits or its connection goes, and then write at once.
TEST_P(DataLayer, AWriterWaitsForAnotherToEndAndThenWrites) {
    for (bool commit : {true, false}) {
        auto holder = Open();
        holder->BeginTrans();
        holder->Execute("UPDATE ITEMS SET QTY = 7 WHERE ID = 1");
        std::thread waiting([&] { Open()->Execute("UPDATE ITEMS SET QTY = 8 WHERE ID = 2"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (commit)
            holder->CommitTrans();
        else
            holder.reset();
        waiting.join();
        auto rs = Open()->Execute("SELECT QTY FROM ITEMS WHERE ID IN (1, 2) ORDER BY ID");
        EXPECT_EQ(rs->Fields("QTY").Value().ToLong(), commit ? 7 : 0) << commit;
        rs->MoveNext();
        EXPECT_EQ(rs->Fields("QTY").Value().ToLong(), 8) << commit;
        Open()->Execute("UPDATE ITEMS SET QTY = 0 WHERE ID IN (1, 2)");
    }
}

// A thread runs with the shortest slice only while it waits for the write turn
// or holds it: a commit, a rollback and a write outside a transaction give its
// slice back.
TEST_P(DataLayer, AWritersThreadGetsItsSliceBackWhenItsWriteEnds) {
    if (Db().IsPostgres()) GTEST_SKIP() << "the write turn is SQLite's";
    uint64_t before = os::SliceOfThisThread();
    auto c = Open();
    for (bool commit : {true, false}) {
        c->BeginTrans();
        c->Execute("UPDATE ITEMS SET QTY = 1 WHERE ID = 1");
        uint64_t during = os::SliceOfThisThread();
        if (during != before) {  // a kernel that takes slices from a program
            EXPECT_EQ(during, 100'000u);
        }
        if (commit)
            c->CommitTrans();
        else
            c->RollbackTrans();
        EXPECT_EQ(os::SliceOfThisThread(), before) << commit;
    }
    c->Execute("UPDATE ITEMS SET QTY = 0 WHERE ID = 1");
    EXPECT_EQ(os::SliceOfThisThread(), before);
}

// What a transaction leaves on its connection (a temporary table) is that
// connection's own: the next transaction of another connection never sees it.
TEST_P(DataLayer, ATransactionsTemporaryTableStaysWithItsConnection) {
    auto first = Open();
    first->BeginTrans();
    first->Execute("CREATE TEMPORARY TABLE SCRATCH (N INTEGER)");
    first->CommitTrans();
    auto second = Open();
    second->BeginTrans();
    EXPECT_EQ(ErrorOf([&] { second->Execute("SELECT N FROM SCRATCH"); }), err::CommandFailure);
    second->RollbackTrans();
}

// A batch answers every statement in order, more than a pipeline holds at once;
// a failure part-way raises and the caller's transaction rolls back whole, and
// the connection serves again afterwards.
TEST_P(DataLayer, BatchesAnswerEachStatementAndAFailureEndsThem) {
    auto c = Open();
    auto change = std::make_shared<Command>();
    change->ActiveConnection = c;
    change->CommandText = "UPDATE ITEMS SET NAME = ? WHERE ID = ?";
    change->AppendParameter(change->CreateParameter("Name", adVarChar, adParamInput, 40));
    change->AppendParameter(change->CreateParameter("Id", adInteger));
    std::vector<BatchStatement> batch;
    for (int i = 0; i < 2500; ++i) batch.push_back(change->Bind({Variant("n" + std::to_string(i)), Variant(i % 7)}));
    batch.push_back({"SELECT ID, NAME FROM ITEMS WHERE ID IN (?, ?) ORDER BY ID", {Variant(1), Variant(5)}});
    c->BeginTrans();
    auto results = c->ExecuteBatch(batch);
    c->CommitTrans();
    ASSERT_EQ(results.size(), batch.size());
    EXPECT_EQ(results[0].affected, 0);  // no item 0
    EXPECT_EQ(results[1].affected, 1);
    EXPECT_EQ(results[2].affected, 1);
    auto& rows = *results.back().rows;
    ASSERT_EQ(rows.RecordCount(), 2);
    EXPECT_EQ(rows.Fields("NAME").Value().Text(), "n2493");  // the last change of item 1
    EXPECT_EQ(NameOf(5), "n2497");
    // a value too long for its parameter is refused before anything is sent
    EXPECT_EQ(ErrorOf([&] { change->Bind({Variant(std::string(41, 'x')), Variant(1)}); }), err::MultipleStep);

    std::vector<BatchStatement> failing{{"UPDATE ITEMS SET NAME = 'gone' WHERE ID = 1", {}},
                                        {"INSERT INTO ITEMS (ID, NAME) VALUES (?, 'dup')", {Variant(2)}},
                                        {"UPDATE ITEMS SET NAME = 'gone' WHERE ID = 5", {}}};
    c->BeginTrans();
    size_t failedAt = 0;
    EXPECT_EQ(ErrorOf([&] { c->ExecuteBatch(failing, &failedAt); }), err::IntegrityViolation);
    EXPECT_EQ(failedAt, 1u);
    c->RollbackTrans();
    EXPECT_EQ(NameOf(1), "n2493");
    EXPECT_EQ(NameOf(5), "n2497");
    EXPECT_EQ(c->Execute("SELECT COUNT(*) FROM ITEMS")->Fields(0).Value().ToLong(), 3);
    c->Close();
}

// A transaction holds whatever statement comes first, and one in which nothing ran
// ends cleanly; either way the connection answers on outside it.
TEST_P(DataLayer, ATransactionHoldsItsFirstStatementWhateverItsKind) {
    const std::vector<std::pair<const char*, std::function<void(Connection&)>>> firsts = {
        {"bound", [](Connection& c) { c.Execute("UPDATE ITEMS SET NAME = ? WHERE ID = 1", nullptr, -1, {Variant("x")}); }},
        {"plain", [](Connection& c) { c.Execute("UPDATE ITEMS SET NAME = 'x' WHERE ID = 1"); }},
        {"batch", [](Connection& c) { c.ExecuteBatch({{"UPDATE ITEMS SET NAME = ? WHERE ID = 1", {Variant("x")}}}); }},
        {"script", [](Connection& c) { c.ExecuteScript("UPDATE ITEMS SET NAME = 'x' WHERE ID = 1"); }},
    };
    auto c = Open();
    for (const auto& [kind, first] : firsts) {
        SCOPED_TRACE(kind);
        c->BeginTrans();
        EXPECT_TRUE(c->InTransaction());
        first(*c);
        c->Execute("INSERT INTO ITEMS (ID, NAME) VALUES (?, 'later')", nullptr, -1, {Variant(9)});
        c->RollbackTrans();
        EXPECT_FALSE(c->InTransaction());
        EXPECT_EQ(NameOf(1), "one");
        EXPECT_EQ(Count(), 3);
    }
    c->BeginTrans();
    c->CommitTrans();
    c->BeginTrans();
    c->RollbackTrans();
    EXPECT_FALSE(c->InTransaction());
    c->Execute("UPDATE ITEMS SET NAME = ? WHERE ID = 1", nullptr, -1, {Variant("kept")});
    EXPECT_EQ(NameOf(1), "kept");
}

// A caller that splices values into its texts fills the connection's prepared
// statements; they are dropped and made again, and batches run on throughout.
TEST_P(DataLayer, BatchesRunOnAfterManyDistinctTexts) {
    auto c = Open();
    for (int i = 0; i < 1100; ++i) {
        auto results = c->ExecuteBatch({{"SELECT ? + " + std::to_string(i) + " AS N", {Variant(1)}}});
        ASSERT_EQ(results.at(0).rows->Fields("N").Value().ToLong(), i + 1) << i;
    }
    c->BeginTrans();
    c->Execute("UPDATE ITEMS SET NAME = ? WHERE ID = 1", nullptr, -1, {Variant("still")});
    c->CommitTrans();
    EXPECT_EQ(NameOf(1), "still");
}

// A script is split at ";" outside literals, comments and dollar-quoted bodies;
// a statement marked for one provider is left out on the other.
// A lock taken by waiting is released without waiting for the database: the
// next taker who waits gets it, and the releasing session answers on.
TEST_P(DataLayer, AKeyedLockReleasedWithoutWaitingGoesToTheNextTakerAndItsSessionAnswersOn) {
    using namespace std::chrono_literals;
    const std::string cs = Db().ConnectionString();
    const std::string file =
        (std::filesystem::temp_directory_path() / ("keyed_" + std::to_string(getpid()) + ".lock")).string();
    auto takenElsewhere = [&](const std::string& key, std::chrono::milliseconds patience) {
        bool taken = false;
        std::thread([&] { taken = KeyedLock::Acquire(cs, 7, file, key, patience) != nullptr; }).join();
        return taken;
    };
    auto held = KeyedLock::Acquire(cs, 7, file, "basket 1", 1s);
    ASSERT_TRUE(held);
    EXPECT_FALSE(takenElsewhere("basket 1", 0ms));
    held.reset();
    EXPECT_TRUE(takenElsewhere("basket 1", 5s));
    held = KeyedLock::Acquire(cs, 7, file, "basket 2", 1s);
    ASSERT_TRUE(held);
    EXPECT_FALSE(takenElsewhere("basket 2", 0ms));
    // releasing another key of the same thread leaves this one held
    KeyedLock::Acquire(cs, 7, file, "basket 3", 1s).reset();
    EXPECT_FALSE(takenElsewhere("basket 2", 0ms));
    held.reset();
    std::filesystem::remove(file);
}

// A lock taken with a transaction's first statement holds the key until the
// transaction ends; a taker that waits past its patience fails busy, and its
// session takes the lock once the holder's transaction is over.
TEST_P(DataLayer, ATransactionsKeyedLockHoldsTheKeyUntilTheTransactionEnds) {
    using namespace std::chrono_literals;
    if (!Db().IsPostgres()) GTEST_SKIP() << "SQLite's keyed locks are file locks";
    const std::string cs = Db().ConnectionString();
    // "read", or the kind of failure of the first statement under the lock
    auto readLocked = [&](std::chrono::milliseconds patience) -> std::string {
        auto lock = KeyedLock::BeginLocked(cs, 7, "basket 1", patience);
        try {
            lock->Session()->Execute("SELECT NAME FROM ITEMS WHERE ID = ?", nullptr, -1, {Variant(1)});
            return "read";
        } catch (const ole::AutomationError& e) {
            return e.Info().Kind == ole::ErrorKind::DatabaseBusy ? "busy" : e.Description();
        }
    };
    auto held = KeyedLock::BeginLocked(cs, 7, "basket 1", 1s);
    held->Session()->Execute("SELECT NAME FROM ITEMS WHERE ID = ?", nullptr, -1, {Variant(1)});
    std::atomic<int> step{0};
    std::string first, second;
    std::thread taker([&] {
        first = readLocked(50ms);
        step = 1;
        while (step != 2) std::this_thread::sleep_for(1ms);
        second = readLocked(5s);  // the same session, after its failed transaction
    });
    while (step != 1) std::this_thread::sleep_for(1ms);
    held.reset();
    step = 2;
    taker.join();
    EXPECT_EQ(first, "busy");
    EXPECT_EQ(second, "read");
}

// The holder of a transaction's lock writes in that transaction: Commit makes the writes stand
// and frees the key; a commit after a failed statement raises, keeps nothing and frees the key too.
TEST_P(DataLayer, ALockingTransactionCommitsItsWritesOrNoneAndFreesTheKeyEitherWay) {
    using namespace std::chrono_literals;
    if (!Db().IsPostgres()) GTEST_SKIP() << "SQLite's keyed locks are file locks";
    const std::string cs = Db().ConnectionString();
    auto takenAtOnce = [&] {
        bool taken = false;
        std::thread([&] {
            auto lock = KeyedLock::BeginLocked(cs, 7, "basket 1", 50ms);
            taken = ErrorOf([&] { lock->Session()->Execute("SELECT 1 AS X"); }) == 0;
        }).join();
        return taken;
    };
    auto lock = KeyedLock::BeginLocked(cs, 7, "basket 1", 1s);
    lock->Session()->Execute("UPDATE ITEMS SET NAME = 'kept' WHERE ID = 1");
    lock->Commit();
    EXPECT_EQ(NameOf(1), "kept");
    EXPECT_TRUE(takenAtOnce());

    lock = KeyedLock::BeginLocked(cs, 7, "basket 1", 1s);
    lock->Session()->Execute("UPDATE ITEMS SET NAME = 'lost' WHERE ID = 1");
    EXPECT_NE(ErrorOf([&] { lock->Session()->Execute("INSERT INTO ITEMS (ID, NAME) VALUES (2, 'dup')"); }), 0);
    EXPECT_NE(ErrorOf([&] { lock->Commit(); }), 0);  // the server would answer this COMMIT with a rollback
    lock.reset();
    EXPECT_EQ(NameOf(1), "kept");
    EXPECT_TRUE(takenAtOnce());
}

TEST(Scripts, SplitIntoStatementsPerProvider) {
    const std::string script =
        "CREATE TABLE A (X VARCHAR(5) DEFAULT ';');\n"
        "-- a comment; with a semicolon\n"
        "INSERT INTO A VALUES ('it''s; fine') /* ; */;\n"
        "-- provider: PostgreSQL\n"
        "CREATE FUNCTION F() RETURNS INTEGER LANGUAGE sql AS $body$ SELECT 1; $body$;\n"
        "-- provider: SQLite\n"
        "CREATE VIEW V AS SELECT $1;\n"
        "  ;  -- nothing\n"
        "CREATE TEMP TRIGGER T AFTER INSERT ON A BEGIN SELECT 1; SELECT 'END;'; END;\n"
        "SELECT 2";
    auto sqlite = ScriptStatements(script, Dialect::SQLite);
    auto postgres = ScriptStatements(script, Dialect::PostgreSQL);
    ASSERT_EQ(sqlite.size(), 5u);
    ASSERT_EQ(postgres.size(), 5u);
    EXPECT_NE(sqlite[3].find("\nCREATE TEMP TRIGGER T AFTER INSERT ON A BEGIN SELECT 1; SELECT 'END;'; END"),
              std::string::npos);
    EXPECT_EQ(sqlite[4], "\nSELECT 2");
    EXPECT_EQ(sqlite[0], "CREATE TABLE A (X VARCHAR(5) DEFAULT ';')");
    EXPECT_NE(sqlite[1].find("'it''s; fine') /* ; */"), std::string::npos);
    EXPECT_NE(sqlite[2].find("CREATE VIEW V AS SELECT $1"), std::string::npos);
    EXPECT_NE(postgres[2].find("$body$ SELECT 1; $body$"), std::string::npos);
}

INSTANTIATE_DB_TEST(DataLayer);

}  // namespace

TEST(ConnectionStringDisplay, HidesPasswordValuesOnlyQuotedOrNot) {
    EXPECT_EQ(ado::ConnectionStringForDisplay("Provider=PostgreSQL;Host=db;User ID=shop;Password=s3cret;Port=5432"),
              "Provider=PostgreSQL;Host=db;User ID=shop;Password=***;Port=5432");
    EXPECT_EQ(ado::ConnectionStringForDisplay("Provider=PostgreSQL;pwd=\"a;\"\"b\";Database=x"),
              "Provider=PostgreSQL;pwd=***;Database=x");
    EXPECT_EQ(ado::ConnectionStringForDisplay("Provider=SQLite;Data Source=/srv/shop/data/vendalo.db"),
              "Provider=SQLite;Data Source=/srv/shop/data/vendalo.db");
}

TEST(ConnectionStringDisplay, AValueThatRanIntoTheNextAttributeIsNeverShown) {
    // a password holding ";" without quotes: its rest is an attribute of its own
    EXPECT_EQ(ado::ConnectionStringForDisplay("Provider=PostgreSQL;Password=se;cret;Host=db"),
              "Provider=PostgreSQL;Password=***;***;Host=db");
    EXPECT_EQ(ado::ConnectionStringForDisplay("Provider=PostgreSQL;Password=a;b=c;Port=5432"),
              "Provider=PostgreSQL;Password=***;***;Port=5432");
}

TEST(ConnectionOpen, RefusesWhatItCannotReadWithoutEchoingAnyAttribute) {
    testing_support::TempDir dir;
    std::string file = (dir.Path() / "x.db").string();
    auto c = std::make_shared<Connection>();
    std::string text;
    EXPECT_EQ(ErrorOf([&] { c->Open("Provider=PostgreSQL;Host=db;Password=hunter;2secret;Database=x"); }, &text),
              err::ProviderFailure);
    EXPECT_EQ(text.find("2secret"), std::string::npos) << text;
    EXPECT_NE(text.find("attribute 4"), std::string::npos) << text;
    EXPECT_EQ(ErrorOf([&] { c->Open("Provider=Pg;Password=x;Provider=Pgsecret"); }, &text), err::ProviderFailure);
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    // a busy time-out that is no number would have been taken as 0: every lock held elsewhere an error
    for (const char* timeout : {"abc", "-5", "10s", "99999999999"}) {
        EXPECT_EQ(ErrorOf([&] { c->Open("Provider=SQLite;Mode=Create;Data Source=" + file + ";Busy Timeout=" + timeout); },
                          &text),
                  err::ProviderFailure)
            << timeout;
        EXPECT_NE(text.find("Busy Timeout"), std::string::npos) << text;
    }
    c->Open("Provider=SQLite;Mode=Create;Data Source=" + file + ";Busy Timeout=250");
    EXPECT_EQ(c->State(), adStateOpen);
}
