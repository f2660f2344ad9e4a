#include "installation/installation_database.h"

#include "installation/installation_files.h"
#include "installation/schema_upgrade.h"
#include "installation/sql_scripts.h"
#include "platform/automation/error.h"
#include "platform/data/ado.h"
#include "platform/data/transaction.h"
#include "platform/masterdata/membership.h"

namespace backoffice {

namespace {

bool HoldsSalesTables(ado::Connection& c) {
    try {
        c.Execute("SELECT COUNT(*) FROM ORDERHEADER");
        return true;
    } catch (const ole::AutomationError&) {
        return false;
    }
}

bool UserExists(ado::Connection& c, const std::string& userId) {
    return !c.Execute("SELECT USERID FROM WEBUSER WHERE USERID = ?", nullptr, -1, {userId})->Eof();
}

void AddServiceAccount(ado::Connection& c, const std::string& code) {
    auto stored = qx::HashAccessCode(code);
    c.Execute("INSERT INTO WEBUSER (USERID, COMMONNAME, BUSINESSPARTNERID, PASSWORDSALT, PASSWORDHASH) "
              "VALUES (?, ?, NULL, ?, ?)",
              nullptr, -1, {kServiceAccount, "Membership service account", stored.salt, stored.hash});
}

// The rows that hold local paths or CR LF line breaks, which a script cannot write for both databases.
void AddDemoRows(ado::Connection& c, const std::filesystem::path& home) {
    // BIS 1 hands its files over as they are; BIS 2 follows the semaphore handshake
    // in a folder tree of its own (its command folder is edi2/command); BIS 3
    // takes its orders as an XML document and confirms them in XML.
    struct Registry {
        int bisid;
        std::string folder, semaphore, separator, messageType, exportFile, confirmationFile;
    };
    const Registry rows[] = {
        {1, "edi", "false", ",", "0", "orders.edi", "confirm.edi"},
        {2, "edi2", "true", ";", "0", "orders.edi", "confirm.edi"},
        {3, "xml", "false", ",", "1", "orders.xml", "confirm.xml"},
    };
    for (const auto& r : rows)
        c.Execute("INSERT INTO ORDEREXPORTFILE (BISID, FILENAME, EXPORTMESSAGETYPE, CONFIRMATIONFILENAME, "
                  "CONFIRMATIONMESSAGETYPE, USEEDISEMAPHORE, EDIFIELDSEPARATOR, EDIESCAPESEPARATOR, USEFTP, SYSTEM, "
                  "SYSTEMPORT, PROXYSERVER, PROXYPORT, LOGIN, PASSWORD) "
                  "VALUES (?, ?, ?, ?, ?, ?, ?, '''', 'false', '', '', '', '', '', '')",
                  nullptr, -1,
                  {r.bisid, (home / r.folder / "out" / r.exportFile).string(), r.messageType,
                   (home / r.folder / "in" / r.confirmationFile).string(), r.messageType, r.semaphore, r.separator});
    c.Execute("UPDATE PRODUCTCONFIGURATION SET VARIANTOPTIONS = ? WHERE CONFIGID = 'CFG-1001'", nullptr, -1,
              {"Pump P200, configured\r\nVOP,MOTOR,5.5 kW\r\nVOP,VOLTAGE,400 V\r\nVOP,SEAL,FKM"});
}

}  // namespace

DatabaseSetup SetUpDatabase(const std::string& connectionString, const std::filesystem::path& home, bool demo,
                            const std::string& serviceCode) {
    // the embedded database file is made on first use
    std::string opening = connectionString;
    if (ado::DialectOf(connectionString) == ado::Dialect::SQLite) {
        while (!opening.empty() && (opening.back() == ';' || opening.back() == ' ')) opening.pop_back();
        opening += ";Mode=Create";
    }
    auto c = ado::OpenConnection(opening);
    DatabaseSetup setup;
    {
        bool existing = HoldsSalesTables(*c);
        ado::Transaction tx(*c);
        if (!existing) {
            c->ExecuteScript(ReadSqlScript("schema.sql"));
            setup.schemaLoaded = true;
        }
        if (!UserExists(*c, kServiceAccount)) {
            AddServiceAccount(*c, serviceCode);
            setup.serviceAccountCreated = true;
        }
        // demo rows go only into tables this run made: a shared database keeps its data
        if (demo && setup.schemaLoaded) {
            c->ExecuteScript(ReadSqlScript("demo.sql"));
            AddDemoRows(*c, home);
            setup.demoLoaded = true;
        }
        tx.Commit();
    }
    c->Close();
    return setup;
}

std::vector<std::string> UpgradeDatabase(const std::string& connectionString) {
    auto c = ado::OpenConnection(connectionString, ado::Pooling::Unpooled);
    std::vector<std::string> added;
    {
        ado::Transaction tx(*c);
        added = AddMissingSchema(*c, ReadSqlScript("schema.sql"));
        tx.Commit();
    }
    c->Close();
    return added;
}

}  // namespace backoffice
