// `backoffice backup FILE`: a consistent copy of the installation's SQLite
// database, taken with SQLite's online backup while batches, payment runs and
// the host go on writing (they wait for no lock longer than a page step). The
// copy is made beside FILE and renamed into place once whole and on disk, so
// FILE is never half a database. A PostgreSQL installation is backed up with
// pg_dump: the command says so and exits 1.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "commands/commands.h"
#include "commands/use_installation.h"
#include "platform/data/ado.h"
#include "platform/os/durable_file.h"
#include "shared/lib_sales.h"

namespace backoffice {
namespace {

namespace fs = std::filesystem;

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

Database Open(const std::string& file, int flags) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    Database opened(db, sqlite3_close);
    if (rc != SQLITE_OK)
        throw std::runtime_error("cannot open " + file + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    return opened;
}

// Copies the database page by page; a step that meets a writer's lock waits and goes on.
void Copy(sqlite3* source, sqlite3* target) {
    std::unique_ptr<sqlite3_backup, decltype(&sqlite3_backup_finish)> backup(
        sqlite3_backup_init(target, "main", source, "main"), sqlite3_backup_finish);
    if (!backup) throw std::runtime_error(sqlite3_errmsg(target));
    int rc;
    while ((rc = sqlite3_backup_step(backup.get(), 256)) == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
        if (rc != SQLITE_OK) sqlite3_sleep(50);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("the copy failed: ") + sqlite3_errstr(rc));
}

void SyncFile(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        int error = errno;
        if (fd >= 0) ::close(fd);
        throw std::system_error(error, std::generic_category(), "cannot flush " + file);
    }
    ::close(fd);
}

int RunBackup(const std::optional<std::string>& given, const std::string& target) {
    int exitCode = 0;
    auto home = UseInstallation("backup", given, exitCode);
    if (!home) return exitCode;
    std::string source;
    try {
        source = ado::SQLiteFileOf(Sls_ConnectionString());
    } catch (const std::exception& e) {
        std::cerr << "backoffice backup: cannot read the connection string: " << Reason(e) << "\n";
        return 1;
    }
    if (source.empty()) {
        std::cerr << "backoffice backup: the database is PostgreSQL: back it up with its own tools, e.g.\n"
                     "    pg_dump --format=custom --file=FILE DATABASE   (restore with pg_restore)\n"
                     "and keep a copy of config/ (the configuration and config/card.key) beside it\n";
        return 1;
    }
    const std::string partial = target + ".partial";
    try {
        {
            Database from = Open(source, SQLITE_OPEN_READONLY);
            sqlite3_busy_timeout(from.get(), 10000);
            fs::remove(partial);
            Database to = Open(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            Copy(from.get(), to.get());
        }
        SyncFile(partial);
        fs::rename(partial, target);
        os::SyncParentFolder(target);
    } catch (const std::exception& e) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        std::cerr << "backoffice backup: " << Reason(e) << "\n";
        return 1;
    }
    std::cout << "backed up " << source << " to " << target << " (" << fs::file_size(target) << " bytes)\n"
              << "keep config/ (the configuration and config/card.key) with it: the card numbers need the key\n";
    return 0;
}

}  // namespace

void AddBackupCommand(CLI::App& app, Runner& selected) {
    auto* command = app.add_subcommand("backup", "copy the installation's SQLite database while it is in use");
    command->footer(
        "Takes a consistent copy of the embedded database with SQLite's online backup, while batches and the\n"
        "host go on; FILE appears only once the copy is whole and on disk. To restore, stop the services and\n"
        "copy FILE over data/vendalo.db. A PostgreSQL installation is backed up with pg_dump (exit 1).");
    auto home = std::make_shared<std::optional<std::string>>();
    auto file = std::make_shared<std::string>();
    AddHomeOption(*command, *home);
    command->add_option("FILE", *file, "where the copy goes")->required()->type_name("FILE");
    command->callback([home, file, &selected] { selected = [home, file] { return RunBackup(*home, *file); }; });
}

}  // namespace backoffice
