// Databases for tests: a fresh SQLite file, or a fresh schema in the throwaway
// PostgreSQL cluster that `make test` starts (its connection string is in
// VENDALO_TEST_PG). Test suites run once per database through DbTest.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

namespace testing_support {

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// The number of the automation error that f raises (0 when it raises none); its
// description goes to *description when asked for.
int32_t ErrorOf(const std::function<void()>& f, std::string* description = nullptr);

// The repository's folder (for sql/ and test data).
std::filesystem::path SourceDir();
std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, const std::string& content);

// "sqlite" or "postgresql"
class TestDatabase {
public:
    // An empty database; withSchema loads the system's schema (sql/schema.sql).
    // On PostgreSQL each test has a schema of the shared test database; a test
    // that takes its database away from everyone asks for a database of its own.
    TestDatabase(const std::string& provider, bool withSchema, bool ownDatabase = false);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;
    const std::string& ConnectionString() const { return connectionString_; }
    const std::string& Provider() const { return provider_; }
    bool IsPostgres() const { return provider_ == "postgresql"; }
    // Runs a script of statements (test set-up).
    void Exec(const std::string& sql) const;

private:
    std::string provider_;
    std::string connectionString_;
    std::string schema_;
    std::string database_;  // a database of its own, dropped at the end
    std::unique_ptr<TempDir> dir_;
};

// True when PostgreSQL tests can run; otherwise skips the current test (or fails it
// when VENDALO_REQUIRE_PG is set, as CI does).
bool PostgresAvailable();

// Parameterised fixture: each test runs on SQLite and on PostgreSQL.
class DbTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    void TearDown() override;
    const TestDatabase& Db() const { return *db_; }
    virtual bool WithSchema() const { return true; }

private:
    std::unique_ptr<TestDatabase> db_;
};

std::string ProviderName(const ::testing::TestParamInfo<std::string>& info);

}  // namespace testing_support

#define INSTANTIATE_DB_TEST(Suite) \
    INSTANTIATE_TEST_SUITE_P(Db, Suite, ::testing::Values("sqlite", "postgresql"), testing_support::ProviderName)
