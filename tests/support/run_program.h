// Runs a program of the build (the host, the simulator) as a separate process.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "simulator_process.h"

namespace testing_support {

struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and error
};

// The text quoted for the shell.
std::string Quoted(const std::string& text);

// Runs "program arguments" through the shell and waits for it.
Outcome RunProgram(const std::string& program, const std::string& arguments);

class TestDatabase;

// `backoffice init --demo --home home` (the program at `backoffice`) on the
// test's database: on PostgreSQL its schema, on SQLite the installation's own
// file. The outcome of the run, and the connection string of the installation.
Outcome InitDemoInstallation(const std::string& backoffice, const std::filesystem::path& home, const TestDatabase& db);
std::string DemoConnectionString(const std::filesystem::path& home, const TestDatabase& db);

// A simulator of an outside system run as its own process (see simulator_process.h).
using SimulatorProcess = simcommon::SimulatorProcess;

}  // namespace testing_support
