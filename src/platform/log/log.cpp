#include "platform/log/log.h"
#include "platform/log/journal_fields.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/automation/component.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/os/unique_fd.h"

namespace qx {
namespace {

constexpr const char* kLogSection = "LOG";

std::atomic<int64_t> gLostEntries{0};

// The thread's context, one value per LogField ("" not set).
thread_local std::array<std::string, 5> tContext;
constexpr std::array<const char*, 5> kFieldNames = {"request", "batch", "order", "instance", "operator"};

struct LogSettings {
    bool json = false;
    bool journal = false;
    std::string accessLog;  // "" the default beside the log
    std::string problem;    // why a value cannot be used ("" none)
};

// The installation's LOG settings; a value that cannot be used leaves the default and says why.
LogSettings ReadLogSettings() {
    LogSettings s;
    auto installations = InstallationsFromEnvironment();
    if (installations.empty()) return s;
    auto config = NewConfiguration();
    try {
        config->LoadFile(installations.front().ConfigFolder + "/VendaloConfiguration.xml");
    } catch (...) {
        return s;  // the commands say why the configuration cannot be read
    }
    auto value = [&](const char* name) -> std::string {
        try {
            return config->GetValue(kLogSection, name).Text();
        } catch (...) {
            return "";  // an older installation: the default
        }
    };
    std::string format = value("LogFormat"), target = value("LogTarget");
    if (format == "json") s.json = true;
    else if (!format.empty() && format != "text") s.problem = "LogFormat is \"" + ole::EscapeControls(format) + "\", not text or json";
    if (target == "journal") s.journal = true;
    else if (!target.empty() && target != "file") s.problem = "LogTarget is \"" + ole::EscapeControls(target) + "\", not file or journal";
    s.accessLog = value("AccessLogFile");
    return s;
}

// The log holds what the installation's users and peers sent: it is its
// owner's alone (folder 0700, file 0600), whatever the umask of the process.
os::UniqueFd OpenLogFile(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (!ec) ::chmod(folder.c_str(), 0700);
    }
    os::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) throw std::system_error(errno, std::generic_category(), "the log " + path + " cannot be written");
    return fd;
}

// One file opened for appending; reopened by name after a rotation.
class LogFile {
public:
    explicit LogFile(std::string path) : path_(std::move(path)), fd_(path_.empty() ? os::UniqueFd() : OpenLogFile(path_)) {}

    // The line and its line end in one write: a line is never split between files or writers.
    bool Append(const std::string& line) {
        char end = '\n';
        iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&end, 1}};
        std::lock_guard lock(mutex_);
        int fd = path_.empty() ? STDERR_FILENO : fd_.Get();
        size_t done = 0;
        while (done < line.size() + 1) {
            // what is left of the line, then the line end
            int first = done < line.size() ? 0 : 1;
            size_t into = first == 0 ? done : 0;
            iovec left[2] = {{static_cast<char*>(parts[first].iov_base) + into, parts[first].iov_len - into}, parts[1]};
            ssize_t n = ::writev(fd, left, 2 - first);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void Reopen() {
        if (path_.empty()) return;
        try {
            os::UniqueFd fresh = OpenLogFile(path_);
            std::lock_guard lock(mutex_);
            std::swap(fd_, fresh);
        } catch (const std::system_error&) {
            // the renamed file still takes the entries
        }
    }

private:
    const std::string path_;
    std::mutex mutex_;
    os::UniqueFd fd_;
};

// The open files by path, with the settings read when the main log was opened.
struct OpenLogs {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<LogFile>> files;
    std::map<std::string, LogSettings> settings;  // by the main log's path
};

OpenLogs& Logs() {
    static OpenLogs logs;
    return logs;
}

std::shared_ptr<LogFile> FileFor(const std::string& path) {
    OpenLogs& logs = Logs();
    std::lock_guard lock(logs.mutex);
    auto found = logs.files.find(path);
    if (found != logs.files.end()) return found->second;
    auto file = std::make_shared<LogFile>(path);
    logs.files.emplace(path, file);
    return file;
}

LogSettings SettingsFor(const std::string& logPath) {
    OpenLogs& logs = Logs();
    {
        std::lock_guard lock(logs.mutex);
        auto found = logs.settings.find(logPath);
        if (found != logs.settings.end()) return found->second;
    }
    LogSettings read = ReadLogSettings();  // outside the lock: reading may be slow
    std::lock_guard lock(logs.mutex);
    return logs.settings.emplace(logPath, read).first->second;
}

const char* LevelName(int32_t level) {
    return level <= LogError ? "error" : level == LogWarning ? "warning" : "notice";
}

// The error format's lines joined into one: its line breaks (and the blank
// that begins a frame's line) become one blank; other control characters are escaped.
std::string OneLine(std::string_view text) {
    std::string joined;
    joined.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        if (text.compare(at, 2, "\r\n") == 0) {
            if (!joined.empty() && joined.back() != ' ') joined += ' ';
            ++at;
            while (at + 1 < text.size() && text[at + 1] == ' ') ++at;
            continue;
        }
        joined += text[at];
    }
    while (!joined.empty() && joined.back() == ' ') joined.pop_back();
    return ole::EscapeControls(joined);
}

std::string ErrorNumber(int32_t number) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<uint32_t>(number));
    return hex;
}

struct Stamp {
    std::string local, utc;  // "2026-12-08 18:04:29.123", "2026-12-08T17:04:29.123Z"
};

// A moment in UTC or in local time, to the millisecond.
std::string StampOf(std::chrono::system_clock::time_point at, bool utc) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000);
    std::tm t{};
    if (utc)
        gmtime_r(&seconds, &t);
    else
        localtime_r(&seconds, &t);
    char text[96];
    std::snprintf(text, sizeof text, utc ? "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ" : "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms);
    return text;
}

Stamp Now() {
    auto now = std::chrono::system_clock::now();
    return {StampOf(now, false), StampOf(now, true)};
}

// Bumped when the logs are reset or reopened: what a thread resolved from them is read again.
std::atomic<uint64_t> gLogsGeneration{0};

// The log's path, its settings and the access log's path, as the environment
// names them; kept per thread while VENDALO_HOME (an absolute one) and the logs
// stay the same, since every request's access line asks for them.
struct Resolved {
    std::string home;  // VENDALO_HOME as it was read
    uint64_t generation = 0;
    bool valid = false;
    std::string log, access;
    bool json = false;
};

std::string UncachedLogFilePath();
std::string UncachedAccessLogFilePath(const std::string& log, const LogSettings& settings);

const Resolved& Current() {
    thread_local Resolved resolved;
    const char* home = std::getenv("VENDALO_HOME");
    std::string_view now = home ? home : "";
    uint64_t generation = gLogsGeneration.load(std::memory_order_acquire);
    if (resolved.valid && resolved.generation == generation && resolved.home == now) return resolved;
    resolved.valid = false;
    resolved.home = now;
    resolved.generation = generation;
    resolved.log = UncachedLogFilePath();
    LogSettings settings = resolved.log.empty() ? LogSettings() : SettingsFor(resolved.log);
    resolved.json = !resolved.log.empty() && settings.json;
    resolved.access = UncachedAccessLogFilePath(resolved.log, settings);
    // a relative home depends on the working folder: it is resolved every time
    resolved.valid = !now.empty() && now.front() == '/' && now.find(':') == std::string_view::npos;
    return resolved;
}

// The source as every target writes it: shortened, its controls escaped.
std::string LogSource(const LogRecord& r) { return ole::EscapeControls(ole::Shorten(r.source, 512)); }

std::string TextLine(const LogRecord& r, const std::string& source, const Stamp& at) {
    std::string line = "[" + at.local + "] [" + LevelName(r.level) + "] ";
    for (size_t f = 0; f < tContext.size(); ++f)
        if (!tContext[f].empty()) line += std::string("[") + kFieldNames[f] + " " + ole::EscapeControls(tContext[f]) + "] ";
    return line + "[" + source + "] " + OneLine(r.text);
}

std::string JsonLine(const LogRecord& r, const std::string& source, const Stamp& at) {
    std::string line = "{\"time\":\"" + at.utc + "\",\"level\":\"" + LevelName(r.level) + "\",\"source\":" + JsonString(source) +
                       ",\"label\":" + JsonString(r.label);
    if (r.number != 0) line += ",\"error\":\"" + ErrorNumber(r.number) + "\"";
    if (!r.description.empty()) line += ",\"description\":" + JsonString(r.description);
    if (!r.info.empty()) line += ",\"info\":" + JsonString(r.info);
    if (!r.methods.empty()) {
        line += ",\"methods\":[";
        for (size_t i = 0; i < r.methods.size(); ++i) line += (i ? "," : "") + JsonString(r.methods[i]);
        line += "]";
    }
    for (size_t f = 0; f < tContext.size(); ++f)
        if (!tContext[f].empty()) line += std::string(",\"") + kFieldNames[f] + "\":" + JsonString(tContext[f]);
    return line + ",\"text\":" + JsonString(OneLine(r.text)) + "}";
}

// Where journald listens; libsystemd reports success when nothing listens there.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// A journal that cannot be reached loses the entry, and it is counted lost.
bool SendToJournal(const LogRecord& r) {
    if (::access(kJournalSocket, F_OK) != 0) return false;
    std::vector<std::string> fields = JournalFields(r);
    std::vector<iovec> parts;
    for (auto& f : fields) parts.push_back({f.data(), f.size()});
    return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
}

void Write(const LogRecord& record) {
    std::string path = LogFilePath();
    LogSettings settings = SettingsFor(path);
    std::string source = LogSource(record);
    Stamp at = Now();
    bool written = false;
    if (settings.journal && !path.empty()) {
        written = SendToJournal(record);
    } else {
        std::shared_ptr<LogFile> file;
        try {
            file = FileFor(path);
        } catch (...) {
            ++gLostEntries;
            throw;
        }
        written = file->Append(settings.json ? JsonLine(record, source, at) : TextLine(record, source, at));
    }
    if (!written) ++gLostEntries;
}

class Log : public ILog {
public:
    void WriteEntry(const std::string& source, const std::string& text, int32_t level) override {
        LogRecord record;
        record.level = level;
        record.source = record.label = source;
        record.text = text;
        Write(record);
    }
    void WriteRecord(const LogRecord& record) override { Write(record); }
};

}  // namespace

std::vector<std::string> JournalFields(const LogRecord& r) {
    std::string source = LogSource(r);
    std::vector<std::string> fields = {
        "MESSAGE=[" + source + "] " + OneLine(r.text),
        "PRIORITY=" + std::to_string(r.level <= LogError ? 3 : r.level == LogWarning ? 4 : 5),
        "SYSLOG_IDENTIFIER=backoffice",
        std::string("BACKOFFICE_LEVEL=") + LevelName(r.level),
        "BACKOFFICE_SOURCE=" + source,
        "BACKOFFICE_LABEL=" + ole::EscapeControls(r.label)};
    if (r.number != 0) fields.push_back("BACKOFFICE_ERROR=" + ErrorNumber(r.number));
    if (!r.description.empty()) fields.push_back("BACKOFFICE_DESCRIPTION=" + ole::EscapeControls(r.description));
    if (!r.info.empty()) fields.push_back("BACKOFFICE_INFO=" + ole::EscapeControls(r.info));
    for (size_t f = 0; f < tContext.size(); ++f) {
        if (tContext[f].empty()) continue;
        std::string name = kFieldNames[f];
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        fields.push_back("BACKOFFICE_" + name + "=" + ole::EscapeControls(tContext[f]));
    }
    return fields;
}

namespace {

std::string UncachedLogFilePath() {
    auto installations = InstallationsFromEnvironment();
    if (installations.empty()) return "";
    return installations.front().Folder + "/log/vendalo.log";
}

std::string UncachedAccessLogFilePath(const std::string& log, const LogSettings& settings) {
    if (log.empty()) return "";
    const std::string& named = settings.accessLog;
    if (named.empty()) return std::filesystem::path(log).replace_filename("access.log").string();
    if (named.front() == '/') return named;
    return InstallationsFromEnvironment().front().Folder + "/" + named;
}

}  // namespace

std::string LogFilePath() { return Current().log; }

std::string AccessLogFilePath() { return Current().access; }

void CheckLogWritable() {
    std::string path = LogFilePath();
    if (path.empty()) return;
    if (SettingsFor(path).journal) {
        if (::access(kJournalSocket, F_OK) != 0)
            throw std::system_error(errno, std::system_category(),
                                    std::string("the journal (LogTarget=journal) does not listen at ") + kJournalSocket);
        return;
    }
    OpenLogFile(path);
}

std::string LogSettingsProblem() {
    std::string path = LogFilePath();
    return path.empty() ? "" : ReadLogSettings().problem;
}

int64_t LostLogEntries() { return gLostEntries.load(); }

void ResetLogs() {
    OpenLogs& logs = Logs();
    std::lock_guard lock(logs.mutex);
    logs.files.clear();
    logs.settings.clear();
    ++gLogsGeneration;
}

void ReopenLogs() {
    OpenLogs& logs = Logs();
    std::vector<std::shared_ptr<LogFile>> files;
    {
        std::lock_guard lock(logs.mutex);
        for (auto& [path, file] : logs.files) files.push_back(file);
        logs.settings.clear();
        ++gLogsGeneration;
    }
    for (auto& file : files) file->Reopen();
}

bool AppendLogLine(const std::string& path, const std::string& line) {
    try {
        if (FileFor(path)->Append(line)) return true;
    } catch (...) {
        // counted below
    }
    ++gLostEntries;
    return false;
}

bool LogWritesJson() { return Current().json; }

void RegisterLog() { ole::RegisterClass<Log>("Qxcore.Log"); }

LogContext::LogContext(LogField field, std::string value)
    : field_(field), outer_(std::exchange(tContext[static_cast<size_t>(field)], std::move(value))) {}
LogContext::~LogContext() { tContext[static_cast<size_t>(field_)] = std::move(outer_); }

std::string CurrentLogContext(LogField field) { return tContext[static_cast<size_t>(field)]; }
std::string CurrentLogRequest() { return CurrentLogContext(LogField::Request); }

std::string LogTimestampUtc() { return StampOf(std::chrono::system_clock::now(), true); }

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // a whole UTF-8 sequence passes; a broken one becomes U+FFFD
            size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool whole = length > 0 && i + length <= text.size();
            for (size_t k = 1; whole && k < length; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (whole) {
                out.append(text.substr(i, length));
                i += length;
            } else {
                out += "\xEF\xBF\xBD";
                ++i;
            }
        }
    }
    return out + "\"";
}

}  // namespace qx
