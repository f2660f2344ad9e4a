// The log (ProgID "Qxcore.Log"): one file per installation, log/vendalo.log,
// one line per entry with time, level, context, source and text. Without an
// installation, entries go to standard error. The file is its owner's alone
// (0600 in a folder of 0700). An entry is one write(2) on a file opened for
// appending, so entries of several threads and processes never mix and an
// entry is on disk before the call returns.
//
// Section LOG of config/VendaloConfiguration.xml: LogFormat "text" (default:
// "[time] [level] [request <id>] [batch <id>] ... [source] text") or "json"
// (one JSON object per line), LogTarget "file" (default) or "journal" (the
// systemd journal, the same fields), AccessLogFile (the HTTP host's access log,
// default log/access.log). They are read when a file is opened and on ReopenLogs().
//
// No text written makes a second line: line breaks of the error format are
// joined, every other control character is escaped ("\x1B").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace qx {

enum LogLevel : int32_t { LogError = 0, LogWarning = 1, LogNotice = 2 };

// One report with its parts, as the one failure path gives them.
struct LogRecord {
    int32_t level = LogError;
    std::string source;               // who reports: the error's source, or the label
    std::string label;                // the method label of the report
    int32_t number = 0;               // the error number; 0 for a notice written without an error
    std::string description;          // what went wrong first, without frames
    std::string info;                 // the report's info ("" without)
    std::vector<std::string> methods; // the frames' labels, innermost first
    std::string text;                 // the whole text: the error format with its frames, or the notice
};

class ILog : public ole::Object {
public:
    // A text written directly: source, text and level.
    virtual void WriteEntry(const std::string& source, const std::string& text, int32_t level) = 0;
    // A report of the failure path; a log that only knows texts writes its text.
    virtual void WriteRecord(const LogRecord& record) { WriteEntry(record.source, record.text, record.level); }
};

// The log file of the main installation ("" when there is none).
std::string LogFilePath();
// The HTTP host's access log of the main installation ("" when there is none).
std::string AccessLogFilePath();
// Raises std::system_error naming the log file when it cannot be opened for
// writing (a host checks before it starts work whose failures only the log would tell).
void CheckLogWritable();
// Why the installation's LOG settings cannot be used ("" when they can).
std::string LogSettingsProblem();
// Entries that could not be written since the process started.
int64_t LostLogEntries();
// Flushes and forgets the open log files (a test that moves VENDALO_HOME calls it).
void ResetLogs();
// Opens every log file again by its name and reads the LOG settings again
// (after logrotate renamed the files; the host calls it on SIGHUP). A file that
// cannot be opened keeps the old one.
void ReopenLogs();
// Appends one line (without its line end) to a log file of its own, such as
// the access log, made owner-only like the log; false when it is not written.
bool AppendLogLine(const std::string& path, const std::string& line);
// True when the installation's log writes JSON lines (LogFormat=json).
bool LogWritesJson();

void RegisterLog();  // "Qxcore.Log"

// What the entries a thread writes belong to.
enum class LogField { Request, Batch, Order, Instance, Operator };

// Sets one field of the calling thread's context for the scope of the object;
// the entries the thread writes meanwhile carry it. Scopes nest and restore
// the outer value. The caller makes sure a value holds no control character
// (request ids are checked by the host; others are escaped when written).
class LogContext {
public:
    LogContext(LogField field, std::string value);
    ~LogContext();
    LogContext(const LogContext&) = delete;
    LogContext& operator=(const LogContext&) = delete;

private:
    LogField field_;
    std::string outer_;
};

// The request the calling thread serves.
class LogRequest : public LogContext {
public:
    explicit LogRequest(std::string id) : LogContext(LogField::Request, std::move(id)) {}
};

// A field of the calling thread's context ("" when not set).
std::string CurrentLogContext(LogField field);
// The id of the request the calling thread serves ("" when none).
std::string CurrentLogRequest();

// Now in UTC, ISO 8601 with milliseconds: "2026-12-08T17:04:29.123Z".
std::string LogTimestampUtc();

// A text as a JSON string, quotes included (invalid UTF-8 shown as U+FFFD).
std::string JsonString(std::string_view text);

}  // namespace qx
