// `backoffice upgrade`: an existing installation gets what this version's
// `init` makes and it lacks: tables, columns, indexes and procedures of
// sql/schema.sql (in one database transaction), then folders, settings and
// keys (the installation parts). Nothing already there changes; a second run
// adds nothing.
#include <iostream>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "installation/installation_database.h"
#include "installation/installation_files.h"
#include "ordexa/payment/card_data_retention.h"
#include "platform/data/transaction.h"
#include "shared/lib_sales.h"
#include "shared/order_events.h"

namespace backoffice {

namespace {

// A database that holds the demo data (its home organisation is the demo's):
// settings new to this version take the demo installation's values.
bool IsDemoDatabase(const std::string& connection) {
    auto rs = Sls_GetDisconnectedRecordset("SELECT NAME FROM BUSINESSPARTNER WHERE BUSINESSPARTNERID = 1", connection);
    return !rs->Eof() && rs->Fields(0).Value().Text() == "Demo Supplies B.V.";
}

}  // namespace

int RunUpgrade(const std::optional<std::string>& given) {
    int exitCode = 0;
    auto home = UseInstallation("upgrade", given, exitCode, DatabaseUse::Upgrading);
    if (!home) return exitCode;
    std::vector<std::string> added;
    try {
        std::string connection = Sls_ConnectionString();
        for (const auto& item : UpgradeDatabase(connection)) added.push_back("database: " + item);
        for (const auto& item : MakeMissingParts({*home, connection, "", false, IsDemoDatabase(connection)}))
            added.push_back(item);
        // an older version left the folders and the database readable by others
        for (const auto& item : RestrictInstallationToOwner(*home, connection))
            added.push_back("owner-only access: " + item);
        // card numbers an older version kept in clear are sealed with the key
        auto c = Sls_GetOpenConnection(connection);
        if (int32_t sealed = ordexa::SealClearCardNumbers(c); sealed > 0)
            added.push_back("payment logs: " + std::to_string(sealed) + " card number(s) sealed");
        // and those a gateway repeated in its reply texts are masked
        if (int32_t masked = ordexa::MaskCardNumbersInStoredReplies(c); masked > 0)
            added.push_back("payment logs: card numbers masked in " + std::to_string(masked) + " gateway reply text(s)");
        // orders from before the timeline start theirs with the status they hold
        ado::Transaction tx(*c);
        int32_t recorded = Sls_RecordStatusesWithoutEvents(c);
        tx.Commit();
        if (recorded > 0)
            added.push_back("order timeline: " + std::to_string(recorded) + " status(es) recorded at upgrade");
        c->Close();
    } catch (const ole::AutomationError& e) {
        std::cerr << "backoffice upgrade: " << *home << " was not upgraded: " << Reason(e) << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "backoffice upgrade: " << *home << " was not upgraded: " << e.what() << "\n";
        return 1;
    }
    if (added.empty()) {
        std::cout << *home << " is up to date: nothing added.\n";
        return 0;
    }
    std::cout << "Upgraded " << *home << ":\n";
    for (const auto& item : added) std::cout << "  added " << item << "\n";
    return 0;
}

void AddUpgradeCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("upgrade", "bring an installation and its database up to this version");
    command->footer(
        "Adds what this version's init makes and the installation lacks: tables, columns, indexes and\n"
        "procedures of the schema (in one database transaction), folders, settings and API keys, and makes\n"
        "config/, data/, log/, the temporary EDI folder and the database file their owner's alone, as init\n"
        "does. Values already there are kept; running it again changes nothing.");
    auto home = std::make_shared<std::optional<std::string>>();
    AddHomeOption(*command, *home);
    command->callback([home, &selected] { selected = [home] { return RunUpgrade(*home); }; });
}

}  // namespace backoffice
