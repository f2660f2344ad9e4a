// Runs a program of the build (the host, the simulator) as a separate process.
#pragma once

#include <string>

namespace testing_support {

struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and error
};

// The text quoted for the shell.
std::string Quoted(const std::string& text);

// Runs "program arguments" through the shell and waits for it.
Outcome RunProgram(const std::string& program, const std::string& arguments);

}  // namespace testing_support
