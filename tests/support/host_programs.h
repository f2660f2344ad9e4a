// The host and the ERP simulator, run as programs by the tests of the host's
// commands and the whole-road tests (whose targets define BACKOFFICE_BINARY
// and ERP_SIMULATOR_BINARY).
#pragma once

#include <string>

#include "run_program.h"

namespace testing_support {

inline Outcome Backoffice(const std::string& arguments) { return RunProgram(BACKOFFICE_BINARY, arguments); }
inline Outcome ErpSimulator(const std::string& arguments) { return RunProgram(ERP_SIMULATOR_BINARY, arguments); }

}  // namespace testing_support
