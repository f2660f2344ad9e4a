// The sales database of a new installation: schema, service account and demo data.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace backoffice {

struct DatabaseSetup {
    bool schemaLoaded = false;      // false: the database held the sales tables already and was kept
    bool serviceAccountCreated = false;
    bool demoLoaded = false;
};

// Sets the database up in one transaction: a failure leaves it as it was.
// The service account gets serviceCode (stored as a salted hash); demo rows
// that name folders point under home.
DatabaseSetup SetUpDatabase(const std::string& connectionString, const std::filesystem::path& home, bool demo,
                            const std::string& serviceCode);

// Adds what sql/schema.sql declares and the database lacks, in one transaction
// (a failure leaves the database as it was); returns what was added.
std::vector<std::string> UpgradeDatabase(const std::string& connectionString);

}  // namespace backoffice
