#include "test_db.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "platform/automation/error.h"
#include "platform/data/ado.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {
std::string RandomName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    std::random_device rd;
    std::ostringstream s;
    s << prefix << getpid() << "_" << counter++ << "_" << (rd() % 100000);
    return s.str();
}

std::string AdminConnectionString() {
    const char* pg = std::getenv("VENDALO_TEST_PG");
    return pg ? pg : "";
}
}  // namespace

TempDir::TempDir() {
    path_ = fs::temp_directory_path() / RandomName("backoffice_test_");
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

int32_t ErrorOf(const std::function<void()>& f, std::string* description) {
    try {
        f();
    } catch (const ole::AutomationError& e) {
        if (description) *description = e.Description();
        return e.Number();
    }
    return 0;
}

fs::path SourceDir() { return fs::path(BACKOFFICE_SOURCE_DIR); }

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

bool PostgresAvailable() {
    if (!AdminConnectionString().empty()) return true;
    if (std::getenv("VENDALO_REQUIRE_PG")) {
        ADD_FAILURE() << "VENDALO_TEST_PG is not set but VENDALO_REQUIRE_PG is: PostgreSQL tests must run";
    }
    return false;
}

TestDatabase::TestDatabase(const std::string& provider, bool withSchema, bool ownDatabase) : provider_(provider) {
    if (provider == "sqlite") {
        dir_ = std::make_unique<TempDir>();
        connectionString_ = "Provider=SQLite;Data Source=" + (dir_->Path() / "test.db").string() + ";Mode=Create";
        // create the file
        auto c = std::make_shared<ado::Connection>();
        c->Open(connectionString_);
        c->Close();
        connectionString_ = "Provider=SQLite;Data Source=" + (dir_->Path() / "test.db").string();
    } else if (ownDatabase) {
        database_ = RandomName("d_");
        auto c = std::make_shared<ado::Connection>();
        c->Open(AdminConnectionString() + ";Pooling=False");
        c->ExecuteScript("CREATE DATABASE " + database_);
        c->Close();
        connectionString_ = std::regex_replace(AdminConnectionString(), std::regex("Database=[^;]*"), "Database=" + database_);
    } else {
        schema_ = RandomName("t_");
        auto c = std::make_shared<ado::Connection>();
        c->Open(AdminConnectionString());
        c->ExecuteScript("CREATE SCHEMA " + schema_);
        c->Close();
        connectionString_ = AdminConnectionString() + ";Schema=" + schema_;
    }
    if (withSchema) Exec(ReadFile(SourceDir() / "sql" / "schema.sql"));
}

TestDatabase::~TestDatabase() {
    ado::ClearConnectionPool();
    if (!schema_.empty()) {
        try {
            auto c = std::make_shared<ado::Connection>();
            c->Open(AdminConnectionString() + ";Pooling=False");
            c->ExecuteScript("DROP SCHEMA " + schema_ + " CASCADE");
            c->Close();
        } catch (...) {
        }
    }
    if (!database_.empty()) {
        try {
            auto c = std::make_shared<ado::Connection>();
            c->Open(AdminConnectionString() + ";Pooling=False");
            c->ExecuteScript("DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
            c->Close();
        } catch (...) {
        }
    }
}

void TestDatabase::Exec(const std::string& sql) const {
    auto c = std::make_shared<ado::Connection>();
    c->Open(connectionString_);
    c->ExecuteScript(sql);
    c->Close();
}

void DbTest::SetUp() {
    if (GetParam() == "postgresql" && !PostgresAvailable()) GTEST_SKIP() << "PostgreSQL not available (VENDALO_TEST_PG unset)";
    db_ = std::make_unique<TestDatabase>(GetParam(), WithSchema());
}

void DbTest::TearDown() {
    db_.reset();
    ado::ClearConnectionPool();
}

std::string ProviderName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param == "sqlite" ? "SQLite" : "PostgreSQL";
}

}  // namespace testing_support
