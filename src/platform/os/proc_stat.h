// A process's line of /proc/<pid>/stat, its fields numbered as proc(5) numbers
// them (4 the parent, 14 and 15 user and system ticks, 16 and 17 those of the
// children it waited for, 22 the start, 24 the resident pages): what the host's
// process metrics and the benchmarks' CPU counts read.
#pragma once

#include <string>
#include <vector>

namespace os {

class ProcStat {
public:
    // pid: a process id, or "self"; a process that is gone reads as not Found.
    explicit ProcStat(const std::string& pid = "self");
    bool Found() const { return !fields_.empty(); }
    // The field's number, or 0 when the line has no such field.
    double Field(size_t number) const;
    // The user and system time in seconds (with reaped: those of its waited-for children too).
    double CpuSeconds(bool reaped = false) const;

private:
    std::vector<std::string> fields_;  // from field 3 (the state) on
};

}  // namespace os
