// The log (ProgID "Qxcore.Log"): one file per installation, log/vendalo.log,
// one entry per report with time, level, source and text. Without an
// installation, entries go to standard error. The file is its owner's alone
// (0600 in a folder of 0700). No text written makes a line that looks like an
// entry's head: control characters are escaped ("\x1B"), except the line
// breaks of the text's own lines. While a thread serves a request (LogRequest),
// each entry it writes names the request after its level:
// "[time] [level] [request <id>] [source] text".
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/variant.h"

namespace qx {

enum LogLevel : int32_t { LogError = 0, LogWarning = 1, LogNotice = 2 };

class ILog : public ole::Object {
public:
    virtual void WriteEntry(const std::string& source, const std::string& text, int32_t level) = 0;
};

// The log file of the main installation ("" when there is none).
std::string LogFilePath();
// Raises std::system_error naming the log file when it cannot be opened for
// writing (a host checks before it starts work whose failures only the log would tell).
void CheckLogWritable();
// Entries that could not be written since the process started.
int64_t LostLogEntries();
// Flushes and forgets the open log files (a test that moves VENDALO_HOME calls it).
void ResetLogs();

void RegisterLog();  // "Qxcore.Log"

// The request the calling thread serves, for the scope of the object: the
// entries the thread writes meanwhile carry its id (the caller makes sure the
// id holds no blank, bracket or control character). Scopes nest.
class LogRequest {
public:
    explicit LogRequest(std::string id);
    ~LogRequest();
    LogRequest(const LogRequest&) = delete;
    LogRequest& operator=(const LogRequest&) = delete;

private:
    std::string outer_;
};

// The id of the request the calling thread serves ("" when none).
std::string CurrentLogRequest();

}  // namespace qx
