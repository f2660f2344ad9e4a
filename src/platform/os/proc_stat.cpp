#include "platform/os/proc_stat.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace os {

ProcStat::ProcStat(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    std::string line{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // the command name (field 2) is in parentheses and may hold blanks and parentheses
    size_t close = line.rfind(')');
    if (close == std::string::npos) return;
    std::istringstream rest(line.substr(close + 1));
    for (std::string field; rest >> field;) fields_.push_back(field);
}

double ProcStat::Field(size_t number) const {
    if (number < 3 || number - 3 >= fields_.size()) return 0;
    try {
        return std::stod(fields_[number - 3]);
    } catch (...) {
        return 0;
    }
}

double ProcStat::CpuSeconds(bool reaped) const {
    double ticks = Field(14) + Field(15) + (reaped ? Field(16) + Field(17) : 0);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace os
