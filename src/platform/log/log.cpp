#include "log/log.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <map>
#include <mutex>

#include "automation/component.h"
#include "config/configuration.h"

namespace qx {
namespace {

std::mutex gLogMutex;
std::map<std::string, std::shared_ptr<spdlog::logger>>& Loggers() {
    static std::map<std::string, std::shared_ptr<spdlog::logger>> loggers;
    return loggers;
}

// Loggers are made once per file and shared by every Log instance: a new Log
// object per entry costs nothing.
std::shared_ptr<spdlog::logger> LoggerFor(const std::string& path) {
    std::lock_guard lock(gLogMutex);
    auto& logger = Loggers()[path];
    if (!logger) {
        std::shared_ptr<spdlog::sinks::sink> sink;
        if (path.empty()) {
            sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        } else {
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
        }
        logger = std::make_shared<spdlog::logger>("vendalo:" + path, std::move(sink));
        logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %v");
        logger->set_level(spdlog::level::trace);
        logger->flush_on(spdlog::level::trace);  // an entry is on disk before the call returns
    }
    return logger;
}

class Log : public ILog {
public:
    void WriteEntry(const std::string& source, const std::string& text, int32_t level) override {
        auto logger = LoggerFor(LogFilePath());
        spdlog::level::level_enum l = level <= LogError ? spdlog::level::err
                                      : level == LogWarning ? spdlog::level::warn
                                                            : spdlog::level::info;
        logger->log(l, "[{}] {}", source, text);
    }
};

}  // namespace

std::string LogFilePath() {
    auto installations = InstallationsFromEnvironment();
    if (installations.empty()) return "";
    return installations.front().Folder + "/log/vendalo.log";
}

void ResetLogs() {
    std::lock_guard lock(gLogMutex);
    for (auto& [path, logger] : Loggers()) logger->flush();
    Loggers().clear();
}

void RegisterLog() { ole::RegisterClass<Log>("Qxcore.Log"); }

}  // namespace qx
