#include "platform/log/log.h"

#include <fcntl.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/automation/component.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/os/unique_fd.h"

namespace qx {
namespace {

std::mutex gLogMutex;
std::atomic<int64_t> gLostEntries{0};
thread_local std::string tRequestId;  // the request this thread serves ("" none)

std::map<std::string, std::shared_ptr<spdlog::logger>>& Loggers() {
    static std::map<std::string, std::shared_ptr<spdlog::logger>> loggers;
    return loggers;
}

// The log holds what the installation's users and peers sent: it is its
// owner's alone (folder 0700, file 0600), whatever the umask of the process.
void CreateLogFile(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (!ec) ::chmod(folder.c_str(), 0700);
    }
    os::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) throw std::system_error(errno, std::generic_category(), "the log " + path + " cannot be written");
}

// Loggers are made once per file and shared by every Log instance: a new Log
// object per entry costs nothing.
std::shared_ptr<spdlog::logger> LoggerFor(const std::string& path) {
    std::lock_guard lock(gLogMutex);
    auto found = Loggers().find(path);
    if (found != Loggers().end()) return found->second;
    std::shared_ptr<spdlog::sinks::sink> sink;
    if (path.empty()) {
        sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    } else {
        CreateLogFile(path);
        sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
    }
    auto logger = std::make_shared<spdlog::logger>("vendalo:" + path, std::move(sink));
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %v");
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);  // an entry is on disk before the call returns
    // spdlog keeps a failed write to itself; the host must know that entries are lost
    logger->set_error_handler([](const std::string&) { ++gLostEntries; });
    Loggers().emplace(path, logger);
    return logger;
}

// An entry's own line breaks stay, except one that would begin a line like an
// entry's head ("[time]"); every other control character is escaped. Texts of
// Sls_FormatError reach here with their values escaped already; this keeps a
// text written directly from forging an entry.
std::string EntryText(const std::string& text) {
    std::string shown;
    size_t from = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
        if (at + 2 < text.size() && text[at + 2] == '[') continue;
        shown += ole::EscapeControls(std::string_view(text).substr(from, at - from)) + "\r\n";
        from = at + 2;
    }
    return shown + ole::EscapeControls(std::string_view(text).substr(from));
}

class Log : public ILog {
public:
    void WriteEntry(const std::string& source, const std::string& text, int32_t level) override {
        std::shared_ptr<spdlog::logger> logger;
        try {
            logger = LoggerFor(LogFilePath());
        } catch (...) {
            ++gLostEntries;
            throw;
        }
        spdlog::level::level_enum l = level <= LogError ? spdlog::level::err
                                      : level == LogWarning ? spdlog::level::warn
                                                            : spdlog::level::info;
        std::string shownSource = ole::EscapeControls(ole::Shorten(source, 512));
        if (tRequestId.empty())
            logger->log(l, "[{}] {}", shownSource, EntryText(text));
        else
            logger->log(l, "[request {}] [{}] {}", tRequestId, shownSource, EntryText(text));
    }
};

}  // namespace

std::string LogFilePath() {
    auto installations = InstallationsFromEnvironment();
    if (installations.empty()) return "";
    return installations.front().Folder + "/log/vendalo.log";
}

void CheckLogWritable() {
    std::string path = LogFilePath();
    if (!path.empty()) CreateLogFile(path);
}

int64_t LostLogEntries() { return gLostEntries.load(); }

void ResetLogs() {
    std::lock_guard lock(gLogMutex);
    for (auto& [path, logger] : Loggers()) logger->flush();
    Loggers().clear();
}

void RegisterLog() { ole::RegisterClass<Log>("Qxcore.Log"); }

LogRequest::LogRequest(std::string id) : outer_(std::exchange(tRequestId, std::move(id))) {}
LogRequest::~LogRequest() { tRequestId = std::move(outer_); }

std::string CurrentLogRequest() { return tRequestId; }

}  // namespace qx
