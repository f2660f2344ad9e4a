// `backoffice init`: a missing or empty folder becomes a new installation.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "commands/commands.h"
#include "installation/installation_database.h"
#include "installation/installation_files.h"
#include "ordexa/exchange/exchange_folder_mode.h"
#include "ordexa/payment/card_vault.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/masterdata/membership.h"

namespace backoffice {

namespace fs = std::filesystem;

namespace {

// Removes what a failed init made, so that the folder can be used again.
void Undo(const fs::path& home, bool folderCreated) {
    std::error_code ec;
    if (folderCreated) {
        fs::remove_all(home, ec);
        return;
    }
    for (const auto& entry : fs::directory_iterator(home, ec)) fs::remove_all(entry.path(), ec);
}

// The demo's exchange folders are shared with the back end (another user of
// the group): they get the exchange folder mode, and the installation folder
// above them lets the group pass (search only: it lists nothing).
void ShareWithBackEnd(const fs::path& home, const fs::path& folder) {
    auto fail = [](const fs::path& at) {
        throw fs::filesystem_error("cannot set the permissions", at, std::error_code(errno, std::generic_category()));
    };
    mode_t mode = ordexa::kDefaultExchangeFolderMode;
    for (fs::path at = folder; at != home && at.has_relative_path(); at = at.parent_path())
        if (::chmod(at.c_str(), mode) != 0) fail(at);
    struct stat st {};
    if (::stat(home.c_str(), &st) != 0 || ::chmod(home.c_str(), (st.st_mode & 07777) | (mode & 0011)) != 0) fail(home);
}

}  // namespace

struct InitOptions {
    std::optional<std::string> home, connection;
    bool demo = false;
};

int RunInit(const InitOptions& line) {
    std::string given = HomeFolder(line.home);
    if (given.empty()) {
        std::cerr << "backoffice init: no folder given: use --home DIR or set VENDALO_HOME\n";
        return 2;
    }
    fs::path home = fs::absolute(given).lexically_normal();
    if (!home.has_filename()) home = home.parent_path();  // "dir/" names dir
    if (fs::exists(home / "config" / "VendaloConfiguration.xml")) {
        // another database named for it is a mistake, not a wish to keep the old one
        if (line.connection) {
            std::string current;
            try {
                auto config = qx::NewConfiguration();
                config->LoadFile((home / "config" / "VendaloConfiguration.xml").string());
                current = config->GetConnectionString("Vendalo");
            } catch (const std::exception&) {
            }
            if (current != *line.connection) {
                std::cerr << "backoffice init: " << home.string() << " already holds an installation whose database is "
                          << ole::EscapeControls(ado::ConnectionStringForDisplay(current))
                          << ", not the one --connection names: nothing changed (edit ConnectionString in "
                          << "config/VendaloConfiguration.xml to move it)\n";
                return 1;
            }
        }
        std::cout << home.string() << " already holds an installation (config/VendaloConfiguration.xml): "
                  << "nothing changed.\n";
        return 0;
    }
    bool folderCreated = !fs::exists(home);
    if (!folderCreated && (!fs::is_directory(home) || !fs::is_empty(home))) {
        std::cerr << "backoffice init: " << home.string()
                  << " is not empty and holds no installation; choose a new or empty folder\n";
        return 1;
    }
    std::string connection = line.connection.value_or("Provider=SQLite;Data Source=" +
                                                      (home / "data" / "vendalo.db").string());
    DatabaseSetup setup;
    std::string serviceCode = qx::NewAccessCode();
    try {
        fs::create_directories(home / "data");  // the embedded database is made there
        if (line.demo) {
            for (const char* tree : {"edi", "edi2", "xml"})
                for (const char* folder : {"out", "in", "command"}) {
                    fs::create_directories(home / tree / folder);
                    ShareWithBackEnd(home, home / tree / folder);
                }
        }
        setup = SetUpDatabase(connection, home, line.demo, serviceCode);
        // a kept service account keeps its code, which this run does not know; a new database
        // gets a new card key; the configuration files come last, VendaloConfiguration.xml
        // marking a complete installation
        MakeMissingParts({home, connection, setup.serviceAccountCreated ? serviceCode : "", setup.schemaLoaded,
                          line.demo && setup.demoLoaded});
    } catch (const std::exception& e) {
        Undo(home, folderCreated);
        std::cerr << "backoffice init: " << home.string() << " was not set up: " << ole::EscapeControls(e.what())
                  << "\n";
        return 1;
    }

    std::cout << "New installation in " << home.string() << "\n"
              << "  configuration: config/VendaloConfiguration.xml, config/SiteConfiguration.xml\n"
              << "  labels:        config/labels (1033 English, 1043 Dutch)\n"
              << "  database:      " << ado::ConnectionStringForDisplay(connection) << "\n";
    if (setup.schemaLoaded)
        std::cout << "  tables:        created\n";
    else
        std::cout << "  tables:        the database holds them already; kept as they are\n";
    if (setup.serviceAccountCreated)
        std::cout << "  membership:    service account '" << kServiceAccount
                  << "' created; its access code is in config/SiteConfiguration.xml\n";
    else
        std::cout << "  membership:    service account '" << kServiceAccount
                  << "' exists already: set its access code as MemScriptCode in config/SiteConfiguration.xml\n";
    if (setup.schemaLoaded)
        std::cout << "  card key:      config/card.key (owner only); copy it to every host that shares this database\n";
    else
        std::cout << "  card key:      none made: copy config/card.key from the first installation of this database\n";
    std::cout << "  API keys:      ShopApiKey, OperatorApiKey and BrokerApiKey in config/SiteConfiguration.xml (section API)\n";
    if (line.demo && setup.demoLoaded)
        std::cout << "  demo data:     loaded (export files under " << (home / "edi").string() << ", "
                  << (home / "edi2").string() << " and, as XML, " << (home / "xml").string() << ")\n";
    else if (line.demo)
        std::cout << "  demo data:     not loaded: the database holds data of its own\n";
    return 0;
}

void AddInitCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("init", "make a new installation (configuration, database, folders)");
    command->footer(
        "DIR becomes a new installation: config/VendaloConfiguration.xml (connection string and sales\n"
        "parameters), config/SiteConfiguration.xml (membership settings), data/, log/, Vendalo/TempEdiFtp\n"
        "and the sales database with its tables. DIR must be missing or empty; a folder that already\n"
        "holds an installation is left as it is.");
    auto options = std::make_shared<InitOptions>();
    AddHomeOption(*command, options->home);
    command->add_flag("--demo", options->demo,
                      "also load the demo data (partners, products, prices, freight, three back-end instances, an "
                      "export registry under DIR/edi, DIR/edi2 and DIR/xml)");
    command->add_option("--connection", options->connection,
                        "use this database instead of the embedded DIR/data/vendalo.db, e.g. "
                        "\"Provider=PostgreSQL;Host=db;Port=5432;Database=shop;User ID=shop;Password=...\"")
        ->type_name("STR");
    command->callback([options, &selected] { selected = [options] { return RunInit(*options); }; });
}

}  // namespace backoffice
