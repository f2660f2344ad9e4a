// The log (ProgID "Qxcore.Log"): one file per installation, log/vendalo.log,
// one entry per report with time, level, source and text. Without an
// installation, entries go to standard error.
#pragma once

#include <cstdint>
#include <string>

#include "automation/variant.h"

namespace qx {

enum LogLevel : int32_t { LogError = 0, LogWarning = 1, LogNotice = 2 };

class ILog : public ole::Object {
public:
    virtual void WriteEntry(const std::string& source, const std::string& text, int32_t level) = 0;
};

// The log file of the main installation ("" when there is none).
std::string LogFilePath();
// Flushes and forgets the open log files (a test that moves VENDALO_HOME calls it).
void ResetLogs();

void RegisterLog();  // "Qxcore.Log"

}  // namespace qx
