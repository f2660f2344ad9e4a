// Generated bad inputs to every operation of the host, on both databases: the
// property-based run of tests/http/bad_inputs.py (python3-hypothesis) against
// `backoffice serve` on a demo installation.
#include <gtest/gtest.h>

#include "demo_host.h"

using namespace testing_support;

namespace {

class BadInputs : public DemoHost {};

TEST_P(BadInputs, AreRefusedWithoutA500AChangeOrACardNumber) {
    Outcome run = RunProgram("/usr/bin/python3", Quoted((SourceDir() / "tests" / "http" / "bad_inputs.py").string()) +
                                                     " --url http://127.0.0.1:" + std::to_string(serve_->Port()) +
                                                     " --home " + Quoted(home_.string()) + " --database " +
                                                     Quoted(connectionString_));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    if (run.exitCode == 0) std::cout << run.output.substr(run.output.rfind('\n', run.output.size() - 2) + 1);
}

INSTANTIATE_DB_TEST(BadInputs);

}  // namespace
