// Calls to an outside system made side by side by a batch stage (today the
// acknowledgements posted to the requisition broker): how many at once, and
// which hosts are left alone for a while because they did not answer.
//
// The settings are in section OUTSIDE_CALLS of VendaloConfiguration.xml:
// OutsideCallsAtOnce (calls in flight at once, default 8) and
// HostBackoffMinutes (how long a host that did not answer is skipped, default
// 15; 0: never skipped). A host is its name alone: a silent host is silent on
// every port and path. The back-off is kept in the database (table
// OUTSIDEHOSTBACKOFF), so that the next batch, a new process, skips the host too.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace ordexa {

inline constexpr const char* kOutsideCallsSection = "OUTSIDE_CALLS";
inline constexpr const char* kOutsideCallsAtOnce = "OutsideCallsAtOnce";
inline constexpr const char* kHostBackoffMinutes = "HostBackoffMinutes";
inline constexpr const char* kAcknowledgementTimeout = "AcknowledgementTimeout";

struct OutsideCallSettings {
    int atOnce = 8;                  // 1 to 64
    int backoffMinutes = 15;         // 0 to 1440
    int acknowledgementTimeout = 10; // seconds a broker acknowledgement post may take, 1 to 600
};

// The installation's settings; a missing setting keeps its default, a value
// that is no whole number in its range raises.
OutsideCallSettings OutsideCallSettingsOfInstallation();

// The hosts that are skipped now, and the reporting of hosts that did not
// answer. Shared by the threads of one stage.
class HostBackoff {
public:
    // Reads the hosts whose back-off still runs. A database that lacks the
    // table (an installation not yet upgraded) gives none: logged, not raised.
    explicit HostBackoff(int minutes);

    // True while calls to the host are to be skipped.
    bool Skipped(const std::string& host);
    // A call to the host got no answer: the host is skipped for the back-off
    // time. The first report of a back-off is logged and stored; reports while
    // it runs add nothing.
    void Failed(const std::string& host, const std::string& reason);

private:
    int minutes_;
    std::mutex mutex_;
    std::map<std::string, ole::Date> until_;  // host (lower case) -> end of its back-off
};

// Runs every job on at most `atOnce` threads and returns when all have run.
// Each thread starts with this installation's state of its own (connection
// string, connection pool, HTTP handle); a job reports its own failures.
void RunAtOnce(size_t atOnce, const std::vector<std::function<void()>>& jobs);

}  // namespace ordexa
