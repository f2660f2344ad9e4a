// The commands of the host; each returns the process exit code.
#pragma once

#include "command_line.h"

namespace backoffice {

int RunInit(const CommandLine& line);
int RunBatch(const CommandLine& line);
int RunDemo(const CommandLine& line);
int RunOrders(const CommandLine& line);

}  // namespace backoffice
