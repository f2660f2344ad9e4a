#include "batch/batch_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace backoffice {
namespace {
// The advisory lock of the batch: the class "BTCH" (ASCII) and the schema that
// holds the sales tables, so installations that share those tables share the
// lock, and sales tables of another schema in the same database do not.
constexpr int32_t kAdvisoryClass = 0x42544348;
}  // namespace

BatchLock::~BatchLock() {
    if (connection_) {
        try {
            connection_->Close();  // ending the session releases the advisory lock
        } catch (...) {
        }
    }
}

std::unique_ptr<BatchLock> BatchLock::TryAcquire(const std::string& home, const std::string& connectionString,
                                                 std::string& holder) {
    std::unique_ptr<BatchLock> lock(new BatchLock());
    if (ado::DialectOf(connectionString) == ado::Dialect::PostgreSQL) {
        lock->connection_ = ado::OpenConnection(connectionString, ado::Pooling::Unpooled);
        auto rs = lock->connection_->Execute("SELECT pg_try_advisory_lock(?, hashtext(current_schema())) AS TAKEN",
                                            nullptr, -1, {ole::Variant(kAdvisoryClass)});
        if (!rs->Fields("TAKEN").Value().ToBool()) {
            holder = "another batch holds the database's batch lock";
            return nullptr;
        }
        return lock;
    }
    std::string path = home + "/batch.lock";
    lock->fd_.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock->fd_) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    if (::flock(lock->fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
        std::ifstream in(path);
        std::string pid;
        std::getline(in, pid);
        holder = pid.empty() ? "another batch holds " + path : "process " + pid + " holds " + path;
        return nullptr;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock->fd_.Get(), 0) == 0 && ::pwrite(lock->fd_.Get(), pid.data(), pid.size(), 0) < 0) {
        // the pid is only a hint for the message of a second batch
    }
    return lock;
}

}  // namespace backoffice
