// Two batches of one installation never run at once. The lock outlives nothing:
// on SQLite it is an flock on <home>/batch.lock, on PostgreSQL a session
// advisory lock on a connection of its own; either is released by the system
// when the process ends, a crash or a kill included.
#pragma once

#include "platform/os/unique_fd.h"

#include <memory>
#include <string>

#include "platform/data/ado.h"

namespace backoffice {

class BatchLock {
public:
    ~BatchLock();
    // The lock, or nullptr when another batch holds it (holder then tells which, when known).
    static std::unique_ptr<BatchLock> TryAcquire(const std::string& home, const std::string& connectionString,
                                                 std::string& holder);

private:
    BatchLock() = default;
    os::UniqueFd fd_;  // closing it releases the flock
    ado::ConnectionPtr connection_;
};

}  // namespace backoffice
