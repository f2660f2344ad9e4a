// The installation's operators (table OPERATOR) and what they did at the
// console (table OPERATORACTIVITY). Each operator has a personal key: 32
// random bytes from the kernel, shown once when made and kept only as its
// SHA-256. A removed operator keeps its row, and its key opens nothing from
// that moment on. The shared OperatorApiKey of the settings stays for scripts
// and acts as the operator "operator key".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/automation/variant.h"

namespace backoffice::http {

// The name the shared OperatorApiKey acts under.
inline const char* const kSharedOperatorName = "operator key";

struct OperatorRecord {
    std::string name;
    ole::Date created;                // UTC
    std::optional<ole::Date> removed;  // UTC
};

// A name fit for an operator: 1 to 100 printable characters, not "operator key".
bool ValidOperatorName(const std::string& name);

// Makes the operator and answers its key (64 hexadecimal digits). Raises
// (ole::AutomationError) when the name is not valid or is taken, removed or not.
std::string AddOperator(const std::string& name);
// Removes the operator; false when there is no such operator still active.
bool RemoveOperator(const std::string& name);
std::vector<OperatorRecord> ListOperators();

// The active operator whose key this is, or "".
std::string OperatorOfKey(const std::string& key);
// True while the operator exists and is not removed (the shared name always).
bool OperatorActive(const std::string& name);

// One line of the console's activity; never the key of a failed login. A
// database that cannot take it is logged, never raised: the record does not
// stop a log-in, a log-out or a batch.
void RecordActivity(const std::string& operatorName, const std::string& what, const std::string& detail,
                    const std::string& requestId);

}  // namespace backoffice::http
