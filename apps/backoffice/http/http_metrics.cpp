#include "http/http_metrics.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "platform/os/proc_stat.h"

namespace backoffice::http {

void Metrics::Count(const std::string& route, int status, double seconds) {
    std::lock_guard lock(mutex_);
    ++requests_[{route, status}];
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) ++buckets_[i];
    ++count_;
    sum_ += seconds;
}

std::string Metrics::Text() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << "# HELP backoffice_http_requests_total HTTP requests answered, by route and status code.\n"
        << "# TYPE backoffice_http_requests_total counter\n";
    for (const auto& [key, n] : requests_)
        out << "backoffice_http_requests_total{route=\"" << LabelValue(key.first) << "\",code=\"" << key.second
            << "\"} " << n << "\n";
    out << "# HELP backoffice_http_request_duration_seconds Time from routing to the answer.\n"
        << "# TYPE backoffice_http_request_duration_seconds histogram\n";
    for (size_t i = 0; i < kBuckets.size(); ++i)
        out << "backoffice_http_request_duration_seconds_bucket{le=\"" << kBuckets[i] << "\"} " << buckets_[i] << "\n";
    out << "backoffice_http_request_duration_seconds_bucket{le=\"+Inf\"} " << count_ << "\n"
        << "backoffice_http_request_duration_seconds_sum " << sum_ << "\n"
        << "backoffice_http_request_duration_seconds_count " << count_ << "\n";
    return out.str();
}

std::string ProcessMetrics() {
    std::ostringstream out;
    os::ProcStat stat;
    long pageSize = sysconf(_SC_PAGESIZE);
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    double bootTime = 0;
    std::ifstream procStat("/proc/stat");
    for (std::string line; std::getline(procStat, line);)
        if (line.rfind("btime ", 0) == 0) bootTime = std::stod(line.substr(6));
    size_t fds = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        ++fds;
    out << "# HELP process_cpu_seconds_total CPU time the process has used, user and system.\n"
        << "# TYPE process_cpu_seconds_total counter\n"
        << "process_cpu_seconds_total " << stat.CpuSeconds() << "\n"
        << "# HELP process_resident_memory_bytes Resident memory of the process.\n"
        << "# TYPE process_resident_memory_bytes gauge\n"
        << "process_resident_memory_bytes " << std::fixed << std::setprecision(0) << stat.Field(24) * pageSize << "\n"
        << "# HELP process_open_fds Open file descriptors of the process.\n"
        << "# TYPE process_open_fds gauge\n"
        << "process_open_fds " << fds << "\n"
        << "# HELP process_start_time_seconds When the process started, in seconds since the Unix epoch.\n"
        << "# TYPE process_start_time_seconds gauge\n"
        << "process_start_time_seconds " << std::setprecision(2) << bootTime + stat.Field(22) / ticks << std::defaultfloat << "\n";
    return out.str();
}

std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace backoffice::http
