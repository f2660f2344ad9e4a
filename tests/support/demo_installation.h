// A demo installation (`backoffice init --demo`, SQLite or PostgreSQL) in a
// temporary folder, for the tests that run the host's programs on it
// (host_programs.h). VENDALO_HOME is unset, so that only the folder each
// command is given counts.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "host_programs.h"
#include "platform/data/ado.h"
#include "run_program.h"
#include "test_db.h"

namespace testing_support {

class DemoInstallation : public DbTest {
protected:
    bool WithSchema() const override { return false; }

    // A fixture that adds to this returns at once when it is skipped or failed:
    // `if (IsSkipped() || HasFatalFailure()) return;`
    void SetUp() override {
        DbTest::SetUp();
        if (IsSkipped()) return;
        home_ = parent_.Path() / "shop";
        unsetenv("VENDALO_HOME");
        Outcome outcome = InitDemoInstallation(BACKOFFICE_BINARY, home_, Db());
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
        connectionString_ = DemoConnectionString(home_, Db());
    }

    // `backoffice batch` on the installation; the test fails unless it exits 0.
    void Batch() const {
        Outcome outcome = Backoffice("batch --home " + Quoted(home_.string()));
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
    }

    ado::ConnectionPtr Open() const {
        auto c = std::make_shared<ado::Connection>();
        c->Open(connectionString_);
        return c;
    }

    TempDir parent_;
    std::filesystem::path home_;
    std::string connectionString_;
};

}  // namespace testing_support
